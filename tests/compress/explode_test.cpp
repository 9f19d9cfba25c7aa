// The decompressor: its results for malformed streams, overlapping and far-reaching
// matches, and how it reads and writes.
#include "kernel/compress/explode.h"
#include "kernel/compress/implode.h"
#include "tests/compress/codec_support.h"

#include <gtest/gtest.h>

using namespace codec_test;

namespace {

TEST(Explode, AnswersTheDocumentedResults) {
    struct Case {
        const char *name;
        Bytes stream;
        int result;
        Bytes output; // written even when the stream fails
    };
    Bytes hello = from_hex("0004d09461c3e60d48cce5ce1b396cc802fe01");
    const Case cases[] = {
        {"complete", hello, DXD_EXPLODE_OK, bytes_of("hello hello hello world")},
        {"followed by other bytes",
         [&] {
             Bytes b = hello;
             b.insert(b.end(), {0x12, 0x34, 0x56});
             return b;
         }(),
         DXD_EXPLODE_OK, bytes_of("hello hello hello world")},
        {"empty input", {}, DXD_EXPLODE_TRUNCATED, {}},
        {"header cut", {0x00}, DXD_EXPLODE_TRUNCATED, {}},
        {"no end code", StreamBuilder(0, 4).literal('a').literal('b').match(4, 2).bytes(),
         DXD_EXPLODE_TRUNCATED, bytes_of("ababab")},
        {"cut inside a symbol", Bytes(hello.begin(), hello.begin() + 8), DXD_EXPLODE_TRUNCATED,
         bytes_of("hello")},
        {"literal mode 2", {0x02, 0x04, 0x01, 0xFF}, DXD_EXPLODE_BAD_LITERAL, {}},
        {"dictionary code 7", {0x00, 0x07, 0x01, 0xFF}, DXD_EXPLODE_BAD_DICT, {}},
        {"dictionary code 3", {0x01, 0x03, 0x01, 0xFF}, DXD_EXPLODE_BAD_DICT, {}},
        {"distance 5 after 3 literals",
         StreamBuilder(0, 4).literal('a').literal('b').literal('c').match(3, 5).end().bytes(),
         DXD_EXPLODE_BAD_DISTANCE, bytes_of("abc")},
        {"distance 3 after 3 literals",
         StreamBuilder(1, 6).literal('a').literal('b').literal('c').match(3, 3).end().bytes(),
         DXD_EXPLODE_OK, bytes_of("abcabc")},
    };
    for (const Case &c : cases) {
        const Exploded out = explode(c.stream);
        EXPECT_EQ(out.result, c.result) << c.name;
        EXPECT_EQ(out.output, c.output) << c.name;
    }
}

TEST(Explode, CopiesMatchesThatOverlapThemselves) {
    // 100 at distance 1 repeats the byte; the longest lengths the format holds (517, 518)
    // and distances short of the length repeat a pattern.
    const Bytes stream = StreamBuilder(0, 5)
                             .literal('q')
                             .match(100, 1)
                             .literal('x')
                             .literal('y')
                             .literal('z')
                             .match(518, 3)
                             .match(517, 9)
                             .end()
                             .bytes();
    const Exploded out = explode(stream);
    ASSERT_EQ(out.result, DXD_EXPLODE_OK);
    Bytes expected(101, 'q');
    for (size_t i = 0; i < 3 + 518 + 517; ++i) expected.push_back("xyz"[i % 3]);
    EXPECT_EQ(out.output, expected);
}

TEST(Explode, ReachesBackAsFarAsTheOutputOnceItFillsTheWindow) {
    // The first 4,096 bytes bound the distance; after them any distance the format holds.
    for (size_t before : {4095, 4096, 6000}) {
        StreamBuilder stream(0, 6);
        Bytes expected;
        for (size_t i = 0; i < before; ++i) {
            const auto byte = static_cast<uint8_t>(i * 7 + i / 256);
            stream.literal(byte);
            expected.push_back(byte);
        }
        const Exploded out = explode(stream.match(3, 4096).end().bytes());
        if (before < 4096) {
            EXPECT_EQ(out.result, DXD_EXPLODE_BAD_DISTANCE);
            EXPECT_EQ(out.output, expected);
            continue;
        }
        for (size_t i = 0; i < 3; ++i) expected.push_back(expected[before - 4096 + i]);
        EXPECT_EQ(out.result, DXD_EXPLODE_OK) << before;
        EXPECT_EQ(out.output, expected) << before;
    }
}

TEST(Explode, ReadsIn16384ByteRequestsAndWritesIn4096BytePieces) {
    const Bytes input = sample_random(50000);
    const Bytes stream = implode(input, 0, 4096).stream;
    ASSERT_GT(stream.size(), 16384u * 3);
    // However the input trickles in: whole requests, odd pieces, single bytes.
    for (unsigned step : {16384u, 1000u, 7u, 1u}) {
        const Exploded out = explode(stream, step);
        EXPECT_EQ(out.result, DXD_EXPLODE_OK) << step;
        EXPECT_TRUE(out.output == input) << step;
        for (unsigned request : out.requests) EXPECT_EQ(request, 16384u);
        ASSERT_EQ(out.pieces.size(), 13u);
        for (size_t i = 0; i + 1 < out.pieces.size(); ++i) EXPECT_EQ(out.pieces[i], 4096u);
        EXPECT_EQ(out.pieces.back(), 50000u - 12 * 4096);
    }
}

TEST(Explode, SurvivesArbitraryStreams) {
    // Every header the decoder accepts, followed by noise: a documented result and no more
    // output than the bits could describe (a symbol of at least 5 bits yields at most 518
    // bytes).
    for (uint32_t seed = 0; seed < 3000; ++seed) {
        Bytes stream = sample_random(1 + seed % 300, seed);
        stream[0] = static_cast<uint8_t>(seed % 2);
        if (stream.size() > 1) stream[1] = static_cast<uint8_t>(4 + seed % 3);
        const Exploded out = explode(stream);
        EXPECT_TRUE(out.result == DXD_EXPLODE_OK || out.result == DXD_EXPLODE_TRUNCATED ||
                    out.result == DXD_EXPLODE_BAD_DISTANCE)
            << seed;
        EXPECT_LE(out.output.size(), stream.size() * 8 / 5 * 518) << seed;
    }
}

} // namespace
