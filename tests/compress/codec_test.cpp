// The block codec and run-length coding: their results, the dictionary chosen by block
// length, the capacity limit, malformed blocks and blocks coded on several threads at once.
#include "kernel/compress/codec.h"
#include "tests/compress/codec_support.h"

#include <gtest/gtest.h>

#include <thread>

using namespace codec_test;

namespace {

struct Coded {
    int result;
    Bytes bytes; // the coded form when result is 1
    uint32_t out_len;
};

Coded compress(const Bytes &block, int codec) {
    Bytes dst(block.size()); // exactly what the interface asks for: overruns show under ASan
    uint32_t out_len = 0xDEAD;
    const int result = fxd_block_compress(block.data(), static_cast<uint32_t>(block.size()),
                                          dst.data(), &out_len, codec);
    if (result == 1) dst.resize(out_len);
    return {result, dst, out_len};
}

Coded expand(const Bytes &block, int codec, uint32_t capacity) {
    Bytes dst(capacity);
    uint32_t out_len = capacity;
    const int result = fxd_block_expand(block.data(), static_cast<uint32_t>(block.size()),
                                        dst.data(), &out_len, codec);
    if (result == 1) dst.resize(out_len);
    return {result, dst, out_len};
}

Coded rle_encode(const Bytes &block) {
    Bytes dst(block.size());
    uint32_t out_len = 0;
    const int result =
        fxd_rle_encode(block.data(), static_cast<uint32_t>(block.size()), dst.data(), &out_len);
    if (result == 1) dst.resize(out_len);
    return {result, dst, out_len};
}

Coded rle_decode(const Bytes &block, uint32_t capacity) {
    Bytes dst(capacity);
    uint32_t out_len = capacity;
    const int result =
        fxd_rle_decode(block.data(), static_cast<uint32_t>(block.size()), dst.data(), &out_len);
    if (result == 1) dst.resize(out_len);
    return {result, dst, out_len};
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

TEST(RunLength, EncodesRunsOfSixOrMoreAndEscapesTheItemBytes) {
    struct Case {
        const char *name;
        Bytes block;
        int result;
        Bytes coded; // when compressed
    };
    const Case cases[] = {
        {"nine A and B", bytes_of("AAAAAAAAAB"), 1, from_hex("020800414142")},
        {"no repetition", bytes_of("ABCDEFGH"), 0, {}},
        {"three bytes", bytes_of("AAA"), 0, {}},
        {"70000 equal", Bytes(70000, 'c'), 1, from_hex("02ffff6302711163")},
        {"only item bytes", repeat("\x01\x02", 50), 0, {}},
        {"runs of 5, 6 and 7", bytes_of("xxxxxyyyyyyzzzzzzz-------"), 1,
         concat({bytes_of("xxxxx"), from_hex("020600790206007a7a0206002d2d")})},
        {"escapes around a run", concat({{0x01}, Bytes(30, 'A'), {0x02}}), 1,
         from_hex("0101021e00410102")},
    };
    for (const Case &c : cases) {
        const Coded out = rle_encode(c.block);
        EXPECT_EQ(out.result, c.result) << c.name;
        if (c.result == 1) {
            EXPECT_EQ(to_hex(out.bytes), to_hex(c.coded)) << c.name;
            EXPECT_EQ(rle_decode(out.bytes, static_cast<uint32_t>(c.block.size())).bytes, c.block)
                << c.name;
        } else {
            EXPECT_EQ(out.out_len, c.block.size()) << c.name;
        }
    }
}

TEST(RunLength, NeverWritesPastTheSourceLengthForVeryLongRuns) {
    // Escapes double the output; a run of more than two longest runs then needs three items.
    // Only the room left decides, item by item, and the answer is "not compressed".
    const Bytes block = concat({Bytes(131076, 0x01), Bytes(131082, 'A')});
    const Coded out = rle_encode(block);
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.out_len, block.size());
    // With fewer escapes the same run fits.
    const Bytes fits = concat({Bytes(1000, 0x01), Bytes(131082, 'A')});
    const Coded ok = rle_encode(fits);
    ASSERT_EQ(ok.result, 1);
    EXPECT_EQ(rle_decode(ok.bytes, static_cast<uint32_t>(fits.size())).bytes, fits);
}

TEST(RunLength, DecodesWithinTheCapacityAndRejectsTruncatedItems) {
    struct Case {
        const char *name;
        Bytes coded;
        uint32_t capacity;
        int result;
        Bytes block;
    };
    const Case cases[] = {
        {"zero-length run", from_hex("02000041"), 10, 1, {}},
        {"escapes", from_hex("0101010241"), 10, 1, from_hex("010241")},
        {"run at capacity", from_hex("02050078"), 5, 1, bytes_of("xxxxx")},
        {"run beyond capacity", from_hex("02050078"), 4, 0, {}},
        {"literal beyond capacity", bytes_of("abc"), 2, 0, {}},
        {"escape beyond capacity", from_hex("410101"), 1, 0, {}},
        {"escape cut", from_hex("4101"), 10, 0, {}},
        {"run cut", from_hex("41020500"), 10, 0, {}},
        {"empty", {}, 10, 1, {}},
    };
    for (const Case &c : cases) {
        const Coded out = rle_decode(c.coded, c.capacity);
        EXPECT_EQ(out.result, c.result) << c.name;
        if (c.result == 1)
            EXPECT_EQ(out.bytes, c.block) << c.name;
        else
            EXPECT_EQ(out.out_len, c.coded.size()) << c.name;
    }
}

TEST(BlockCodec, ChoosesTheDictionaryByBlockLength) {
    struct Case {
        size_t length;
        int codec;
        uint8_t dict_code;
    } const cases[] = {{2048, 2, 4}, {2049, 2, 5},  {4096, 2, 5},
                       {4097, 2, 6}, {32768, 2, 6}, {32768, 1, 4}};
    for (const Case &c : cases) {
        const Coded out = compress(sample_text(c.length), c.codec);
        ASSERT_EQ(out.result, 1) << c.length;
        EXPECT_EQ(out.bytes[0], 0) << "raw literals"; // the block codec never codes literals
        EXPECT_EQ(out.bytes[1], c.dict_code) << c.length << " codec " << c.codec;
    }
}

TEST(BlockCodec, RoundTripsEveryCodecType) {
    std::vector<Bytes> blocks = {Bytes(32768, 0), Bytes(517, 'x'), Bytes(518, 'x'),
                                 bytes_of("hello hello hello world")};
    for (size_t length : {2048, 2049, 4096, 4097, 32768}) {
        blocks.push_back(sample_text(length));
        blocks.push_back(sample_machine_code(length));
    }
    for (int codec : {1, 2, 0, 7}) {
        for (const Bytes &block : blocks) {
            const Coded packed = compress(block, codec);
            if (packed.result == 0) {
                EXPECT_NE(codec, 2) << block.size(); // these all shrink when imploded
                continue;
            }
            EXPECT_LE(packed.out_len, block.size());
            const Coded back = expand(packed.bytes, codec, 32768);
            ASSERT_EQ(back.result, 1) << codec << " " << block.size();
            EXPECT_TRUE(back.bytes == block) << codec << " " << block.size();
        }
    }
    EXPECT_LT(compress(Bytes(32768, 0), 2).out_len, 32768u / 50);
}

TEST(BlockCodec, KeepsBlocksThatDoNotShrink) {
    for (int codec : {1, 2, 0}) {
        for (const Bytes &block : {bytes_of("abc"), sample_random(32768), Bytes{}}) {
            const Coded out = compress(block, codec);
            EXPECT_EQ(out.result, 0) << codec << " " << block.size();
            EXPECT_EQ(out.out_len, block.size()) << codec;
        }
    }
}

TEST(BlockCodec, CountsAStreamOfExactlyTheBlockLengthAsCompressed) {
    // Random bytes followed by zeros: find the length at which the stream is as long as the
    // block, which must still count as compressed, and one byte less of zeros, which must not.
    const Bytes head = sample_random(200, 3);
    for (size_t zeros = 1; zeros < 400; ++zeros) {
        const Bytes block = concat({head, Bytes(zeros, 0)});
        const size_t stream = implode(block, 0, 1024).stream.size();
        if (stream != block.size()) continue;
        const Coded out = compress(block, 1);
        ASSERT_EQ(out.result, 1);
        EXPECT_EQ(out.out_len, block.size());
        EXPECT_EQ(expand(out.bytes, 1, 32768).bytes, block);
        const Bytes shorter = concat({head, Bytes(zeros - 1, 0)});
        if (implode(shorter, 0, 1024).stream.size() > shorter.size()) {
            EXPECT_EQ(compress(shorter, 1).result, 0);
        }
        return;
    }
    FAIL() << "no block of its own stream length found";
}

TEST(BlockCodec, FailsExpansionBeyondTheCapacityOrOfMalformedBlocks) {
    const Bytes block = sample_text(10000);
    const Coded packed = compress(block, 2);
    ASSERT_EQ(packed.result, 1);
    EXPECT_EQ(expand(packed.bytes, 2, 10000).result, 1);
    for (uint32_t capacity : {9999u, 4096u, 0u}) {
        const Coded out = expand(packed.bytes, 2, capacity);
        EXPECT_EQ(out.result, 0) << capacity;
        EXPECT_EQ(out.out_len, packed.bytes.size()) << capacity;
    }
    const Bytes cut(packed.bytes.begin(), packed.bytes.end() - 40);
    const Bytes bad_header =
        concat({from_hex("0007"), Bytes(packed.bytes.begin() + 2, packed.bytes.end())});
    for (const Bytes &malformed : {cut, bad_header, Bytes{}}) {
        const Coded out = expand(malformed, 2, 32768);
        EXPECT_EQ(out.result, 0);
        EXPECT_EQ(out.out_len, malformed.size());
    }
}

TEST(BlockCodec, CodesOnSeveralThreadsAtOnce) {
    std::vector<Bytes> blocks;
    for (uint32_t i = 0; i < 4; ++i) {
        blocks.push_back(sample_text(32768));
        blocks.push_back(concat({sample_machine_code(20000), sample_random(5000, i)}));
    }
    std::vector<Bytes> expected;
    for (const Bytes &block : blocks) expected.push_back(compress(block, 2).bytes);

    std::vector<std::vector<std::string>> failures(blocks.size());
    std::vector<std::thread> threads;
    for (size_t t = 0; t < blocks.size(); ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 20; ++round) {
                const Coded packed = compress(blocks[t], 2);
                if (packed.bytes != expected[t]) failures[t].push_back("compressed differently");
                const Coded back = expand(packed.bytes, 2, 32768);
                if (back.result != 1 || back.bytes != blocks[t])
                    failures[t].push_back("expanded differently");
            }
        });
    }
    for (auto &thread : threads) thread.join();
    for (size_t t = 0; t < blocks.size(); ++t) EXPECT_TRUE(failures[t].empty()) << t;
}

} // namespace
