// The compressor: its exact output for the reference inputs, its parameters, its output
// pieces, and streams that every dictionary size and literal mode expand back.
#include "kernel/compress/explode.h"
#include "kernel/compress/implode.h"
#include "tests/compress/codec_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

using namespace codec_test;

namespace {

const char kSentence[] =
    "The update tool reads every component of the patch, expands it to verify the patch, and "
    "asks the operator before it installs anything. The update tool then stops the services, "
    "writes every component into every release tree, and restarts the services.";

struct Reference {
    const char *name;
    Bytes input;
    unsigned literal_mode;
    unsigned dict_size;
    const char *stream;
};

TEST(Implode, ProducesTheReferenceStreamsByteForByte) {
    const Reference references[] = {
        {"empty raw 1K", {}, 0, 1024, "000401ff"},
        {"empty raw 2K", {}, 0, 2048, "000501ff"},
        {"empty raw 4K", {}, 0, 4096, "000601ff"},
        {"empty coded 1K", {}, 1, 1024, "010401ff"},
        {"empty coded 2K", {}, 1, 2048, "010501ff"},
        {"empty coded 4K", {}, 1, 4096, "010601ff"},
        {"hello raw", bytes_of("hello hello hello world"), 0, 1024,
         "0004d09461c3e60d48cce5ce1b396cc802fe01"},
        {"hello coded", bytes_of("hello hello hello world"), 1, 1024,
         "010414db34751f73c1eb9a490ff807"},
        {"abc x 40", repeat("abc", 40), 0, 2048, "0005c288190bb68b807f"},
        {"2000 x A", Bytes(2000, 'A'), 0, 4096, "0006820405f01f04f07b4500bf9604e81e04fc03"},
        {"sentence raw 1K", bytes_of(kSentence), 0, 1024,
         "0004a8a02903a20e1c3261e8b645e7cd1b3620e4940943660e883276cac8c90362cc9b3670deb829e386"
         "0e883766ebf74270eb6a0c1a96f583b705b75749dbc05a0379a93466f262fadfbc6fce9ab9eef1066efd"
         "37ea8d1c1062ca986da76c3249e3660e9d306cd8d67f1de4ade7e69c710112c1b3e7e40664dd56a72632"
         "b7daeca41953666e85bb5b0eeb1dc98155b997b569f9635bf8d762cdb75056bddde2e1c9a18b4dca25e0"
         "1f"},
        {"sentence coded 4K", bytes_of(kSentence), 1, 4096,
         "01062c8aed6512dd51b65574ddf49aedd0556f43b035709ea19349ba611b8ad769ebf751d2ba3228f8eb"
         "077e0be397d606d6da7fd5a2818bf9fbdcbe8aa0f6934e5aff8dea9a67dab4edec99b60c55714c73fdd7"
         "01dc7a6e8e8ae72394f173c3afdbead426d4d58660316c7585c32f87f58e54e0aabc923ab5fccd857f2d"
         "d67c0bbbd6b2c5fbd594d856f002fe01"},
    };
    for (const Reference &ref : references) {
        const Bytes &input = ref.input;
        const Imploded out = implode(input, ref.literal_mode, ref.dict_size);
        EXPECT_EQ(out.result, DXD_IMPLODE_OK) << ref.name;
        EXPECT_EQ(to_hex(out.stream), ref.stream) << ref.name;
        // The same bytes whatever the work area held and however the input trickles in.
        EXPECT_EQ(to_hex(implode(input, ref.literal_mode, ref.dict_size, 7, 0xA5).stream),
                  ref.stream)
            << ref.name;
        const Exploded back = explode(out.stream);
        EXPECT_EQ(back.result, DXD_EXPLODE_OK) << ref.name;
        EXPECT_EQ(back.output, input) << ref.name;
    }
}

TEST(Implode, RejectsBadParametersWithoutWriting) {
    struct Case {
        unsigned literal_mode, dict_size, result;
    } const cases[] = {{0, 3000, DXD_IMPLODE_BAD_DICT},    {1, 0, DXD_IMPLODE_BAD_DICT},
                       {0, 8192, DXD_IMPLODE_BAD_DICT},    {2, 1024, DXD_IMPLODE_BAD_LITERAL},
                       {7, 4096, DXD_IMPLODE_BAD_LITERAL}, {2, 3000, DXD_IMPLODE_BAD_DICT}};
    for (const Case &c : cases) {
        const Imploded out = implode(bytes_of("abcabc"), c.literal_mode, c.dict_size);
        EXPECT_EQ(out.result, c.result) << c.literal_mode << " " << c.dict_size;
        EXPECT_TRUE(out.stream.empty());
    }
}

TEST(Implode, HandsOnTheStreamIn2048BytePieces) {
    const Imploded out = implode(sample_random(20000), 0, 4096);
    ASSERT_GT(out.pieces.size(), 2u);
    size_t total = 0;
    for (size_t i = 0; i < out.pieces.size(); ++i) {
        if (i + 1 < out.pieces.size()) {
            EXPECT_EQ(out.pieces[i], 2048u);
        }
        total += out.pieces[i];
    }
    EXPECT_GT(out.pieces.back(), 0u);
    EXPECT_LE(out.pieces.back(), 2048u);
    EXPECT_EQ(total, out.stream.size());
}

TEST(Implode, GivesTheSameBytesHoweverTheInputArrives) {
    for (const Bytes &input : {sample_text(20000), sample_machine_code(12288)}) {
        const Bytes expected = implode(input, 0, 4096).stream;
        const Imploded trickled = implode(input, 0, 4096, 1000);
        EXPECT_EQ(trickled.stream, expected);
        EXPECT_EQ(implode(input, 0, 4096, 1, 0xFF).stream, expected);
        // 4,096 bytes at a time, asking again for what is missing.
        const std::vector<unsigned> first(trickled.requests.begin(), trickled.requests.begin() + 6);
        EXPECT_EQ(first, (std::vector<unsigned>{4096, 3096, 2096, 1096, 96, 4096}));
    }
}

TEST(Implode, RoundTripsThroughEveryDictionaryAndLiteralMode) {
    std::vector<std::pair<std::string, Bytes>> inputs = {
        {"empty", {}},
        {"one byte", {0x41}},
        {"2 equal", Bytes(2, 'x')},
        {"517 equal", Bytes(517, 'x')},
        {"518 equal", Bytes(518, 0)},
        {"70000 equal", Bytes(70000, 0xEE)},
        {"long text", sample_text(100000)},
    };
    for (size_t length : {1, 2048, 2049, 4096, 4097, 4612, 32768}) {
        const std::string n = std::to_string(length);
        inputs.emplace_back("text " + n, sample_text(length));
        inputs.emplace_back("code " + n, sample_machine_code(length));
        inputs.emplace_back("random " + n, sample_random(length));
    }
    for (unsigned mode : {DXD_IMPLODE_RAW, DXD_IMPLODE_CODED}) {
        for (unsigned dict : {1024u, 2048u, 4096u}) {
            for (const auto &[name, input] : inputs) {
                const Imploded out = implode(input, mode, dict);
                ASSERT_EQ(out.result, DXD_IMPLODE_OK);
                const Exploded back = explode(out.stream);
                EXPECT_EQ(back.result, DXD_EXPLODE_OK) << name << " " << mode << " " << dict;
                EXPECT_TRUE(back.output == input) << name << " " << mode << " " << dict;
            }
        }
    }
}

TEST(Implode, FindsTheRepetitionsInItsInput) {
    // Round trips would also pass for a coder that found no matches at all.
    EXPECT_LT(implode(Bytes(32768, 0), 0, 4096).stream.size(), 300u);
    EXPECT_LT(implode(sample_text(32768), 0, 4096).stream.size(), 32768u * 45 / 100);
    EXPECT_LT(implode(sample_machine_code(32768), 0, 4096).stream.size(), 32768u * 80 / 100);
}

// The compressor's decisions restated by brute force over the whole input. The input
// arrives in 4,096-byte refills; all but the last 516 bytes of a full refill are coded before
// the next one, and the lazy choice looks no further than that. A search at p looks at every
// position from p - dict + 1 to p - 2, longest first, the later one on equal length; the first
// of 516 bytes ends it. After a refill, the oldest usable position also moves up by as many
// bytes as the previous part's last match ran past that part. Past the input's end a
// comparison sees what the window holds there: the previous refill's bytes, then zeros, and
// nothing beyond a buffer of 4,096 + 4,096 + 516 bytes; a match running past the end is cut
// back to it.
Bytes model_stream(const Bytes &in, unsigned literal_mode, unsigned dict) {
    const unsigned dict_code = dict == 1024 ? 4 : dict == 2048 ? 5 : 6;
    const size_t n = in.size();
    StreamBuilder out(literal_mode, dict_code);
    size_t p = 0, oldest = 0;
    for (size_t refill = 0;; ++refill) {
        const size_t filled = 4096 * (refill + 1);
        const bool last = n < filled;
        const size_t part_end = last ? n : filled - 516;
        if (refill > 0) {
            const size_t carried_from = filled - 4612; // where the carried look-ahead starts
            const size_t oldest_held = carried_from - std::min<size_t>(dict, carried_from);
            oldest = oldest_held + (p - carried_from);
        }
        const size_t buffer_end = filled + 4096 - dict; // input position of the buffer's end
        Bytes seen(buffer_end, 0);
        for (size_t x = 0; x < buffer_end; ++x)
            seen[x] = x < n ? in[x] : refill > 0 && x < filled ? in[x - 4096] : 0;
        auto find = [&](size_t at) {
            std::pair<unsigned, unsigned> best{0, 0}; // length, distance
            for (size_t c = std::max(oldest, at + 1 > dict ? at + 1 - dict : 0); c + 2 <= at; ++c) {
                unsigned m = 0;
                while (m < 516 && at + m < buffer_end && seen[c + m] == seen[at + m]) ++m;
                if (m < 2) continue;
                if (m >= best.first) best = {m, static_cast<unsigned>(at - c)};
                if (m == 516) break;
            }
            return best;
        };
        auto worth = [](unsigned length, unsigned distance) {
            return length > 2 || (length == 2 && distance <= 256);
        };
        while (p < part_end) {
            auto [length, distance] = find(p);
            for (;;) {
                if (!worth(length, distance)) {
                    out.literal(in[p++]);
                    break;
                }
                if (last && p + length > n) {
                    length = static_cast<unsigned>(n - p);
                    if (!worth(length, distance)) {
                        out.literal(in[p++]);
                        break;
                    }
                } else if (length < 8 && p + 1 < part_end) {
                    const auto next = find(p + 1);
                    if (next.first > length && (next.first > length + 1 || distance - 1 > 128)) {
                        out.literal(in[p++]);
                        std::tie(length, distance) = next;
                        continue;
                    }
                }
                out.match(length, distance);
                p += length;
                break;
            }
        }
        if (last) break;
    }
    return out.end().bytes();
}

TEST(Implode, MakesTheDecisionsOfTheBruteForceSearchAcrossRefills) {
    // Text, random bytes and a motif repeated with scattered changes (long matches with
    // many candidates and borders); 8,192 bytes end exactly on a refill.
    Bytes motif;
    const Bytes seed = sample_random(37, 5);
    Bytes changes = sample_random(9000, 6);
    for (size_t i = 0; i < 9000; ++i) motif.push_back(changes[i] < 6 ? changes[i] : seed[i % 37]);
    // And a short match right before the end of a step whose next position matches longer:
    // the lazy choice does not look past the step.
    Bytes boundary = sample_random(9000, 8);
    for (auto &b : boundary) b |= 0x80;
    auto put = [&](size_t at, const char *text) {
        std::copy_n(text, std::strlen(text), &boundary[at]);
    };
    put(100, "abcXY");
    put(200, "ZbcdefgW");
    put(3579, "abcdefg");
    put(3579 + 4096, "abcdefg");
    // Runs reach back as far as the dictionary allows; 12,000 bytes end with a short refill
    // whose last matches run up to the end of the buffer.
    const std::vector<Bytes> inputs = {sample_text(9000), sample_random(9000), motif,
                                       boundary,          sample_text(8192),   Bytes(9000, 'A'),
                                       sample_text(12000)};
    for (const Bytes &input : inputs) {
        for (unsigned dict : {1024u, 2048u, 4096u}) {
            for (unsigned mode : {DXD_IMPLODE_RAW, DXD_IMPLODE_CODED})
                EXPECT_EQ(to_hex(implode(input, mode, dict).stream),
                          to_hex(model_stream(input, mode, dict)))
                    << input.size() << " " << dict << " " << mode;
        }
    }
}

} // namespace
