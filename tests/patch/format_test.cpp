// The patch file's records byte for byte, its blocks, and the mapping of stored paths.
#include "patch/format.h"
#include "patch/process.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

uint16_t le16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

TEST(PatchFormat, FileHeaderLayout) {
    PATCH_FILE_HEADER header;
    header.created_date = {0x09, 0x12, 0xC6};
    header.created_time = {0x14, 0x05, 0x09};
    std::strcpy(header.creator, "admin");
    header.flags = PATCH_FLAG_UNDO;
    uint8_t bytes[PATCH_FILE_HEADER_SIZE];
    std::memset(bytes, 0xEE, sizeof bytes);
    patch_encode_file_header(header, bytes);
    EXPECT_EQ(le16(bytes), 0x2694);
    EXPECT_EQ(le16(bytes + 2), 2);
    EXPECT_EQ(std::vector<uint8_t>(bytes + 4, bytes + 10),
              (std::vector<uint8_t>{0x09, 0x12, 0xC6, 0x14, 0x05, 0x09}));
    EXPECT_STREQ(reinterpret_cast<char *>(bytes + 10), "admin");
    for (size_t i = 15; i < 267; ++i) ASSERT_EQ(bytes[i], 0) << i; // creator field zero-filled
    EXPECT_EQ(le16(bytes + 267), 1);
    for (size_t i = 269; i < PATCH_FILE_HEADER_SIZE; ++i) ASSERT_EQ(bytes[i], 0) << i;

    PATCH_FILE_HEADER back;
    patch_decode_file_header(bytes, back);
    EXPECT_EQ(back.magic, PATCH_FILE_MAGIC);
    EXPECT_EQ(back.flags, PATCH_FLAG_UNDO);
    EXPECT_STREQ(back.creator, "admin");
    EXPECT_EQ(back.created_date.year, 0xC6);
}

TEST(PatchFormat, DecodedTextsStayTerminated) {
    uint8_t bytes[PATCH_COMPONENT_HEADER_SIZE];
    std::memset(bytes, 'A', sizeof bytes); // no NUL anywhere in the path field
    PATCH_COMPONENT_HEADER component;
    patch_decode_component_header(bytes, 2, component);
    EXPECT_EQ(std::strlen(component.path), PATCH_PATH_SIZE - 1);
}

TEST(PatchFormat, ComponentHeaderLayoutAndVersionOne) {
    PATCH_COMPONENT_HEADER component;
    component.length = 0x01020304;
    std::strcpy(component.path, "\\kova2000\\abc\\x.dat");
    component.stamp = {{0x31, 0x12, 0x20, 0x26}, {0x23, 0x59, 0x58}};
    uint8_t bytes[PATCH_COMPONENT_HEADER_SIZE];
    patch_encode_component_header(component, bytes);
    EXPECT_EQ(le16(bytes), 0x1538);
    EXPECT_EQ(bytes[2], 0x04);
    EXPECT_EQ(bytes[5], 0x01);
    EXPECT_STREQ(reinterpret_cast<char *>(bytes + 6), "\\kova2000\\abc\\x.dat");
    EXPECT_EQ(bytes[1311], 0x31);
    EXPECT_EQ(bytes[1317], 0x58);

    PATCH_COMPONENT_HEADER v2, v1;
    patch_decode_component_header(bytes, 2, v2);
    patch_decode_component_header(bytes, 1, v1);
    EXPECT_EQ(v2.stamp.time.second, 0x58);
    EXPECT_EQ(v1.stamp.date.day, 0); // version 1 headers carry no stamp
    EXPECT_EQ(v1.length, 0x01020304u);
    EXPECT_EQ(patch_component_header_size(1), 1311u);
    EXPECT_EQ(patch_component_header_size(0), 1318u);
}

TEST(PatchFormat, HeaderDateFromClock) {
    struct Case {
        uint8_t century, year, code;
    } cases[] = {{0x20, 0x26, 0xC6}, {0x20, 0x00, 0xA0}, {0x19, 0x99, 0x99}, {0x20, 0x60, 0x00}};
    for (const Case &c : cases) {
        PATCH_FILE_HEADER header;
        patch_header_stamp({{0x01, 0x02, c.century, c.year}, {0x03, 0x04, 0x05}}, header);
        EXPECT_EQ(header.created_date.year, c.code) << int(c.century) << int(c.year);
        EXPECT_EQ(header.created_date.day, 0x01);
        EXPECT_EQ(header.created_time.second, 0x05);
    }
}

std::vector<uint8_t> block_round_trip(const std::vector<uint8_t> &piece, uint8_t *codec,
                                      uint16_t *stored) {
    std::vector<uint8_t> block(PATCH_BUFFER_HEADER_SIZE + PATCH_BLOCK_SIZE);
    size_t size = patch_make_block(piece.data(), static_cast<uint32_t>(piece.size()), block.data());
    PATCH_BUFFER_HEADER header;
    patch_decode_buffer_header(block.data(), header);
    EXPECT_EQ(header.magic, PATCH_BUFFER_MAGIC);
    EXPECT_EQ(size, PATCH_BUFFER_HEADER_SIZE + header.stored_length);
    *codec = header.codec;
    *stored = header.stored_length;
    std::vector<uint8_t> out(PATCH_BLOCK_SIZE);
    uint32_t produced = 0;
    EXPECT_TRUE(
        patch_expand_block(header, block.data() + PATCH_BUFFER_HEADER_SIZE, out.data(), &produced));
    out.resize(produced);
    return out;
}

TEST(PatchFormat, BlocksImplodeOrStore) {
    std::vector<uint8_t> random(PATCH_BLOCK_SIZE);
    std::mt19937 rng(7);
    for (auto &b : random) b = static_cast<uint8_t>(rng());
    uint8_t codec;
    uint16_t stored;
    EXPECT_EQ(block_round_trip(random, &codec, &stored), random);
    EXPECT_EQ(codec, PATCH_CODEC_STORED);
    EXPECT_EQ(stored, PATCH_BLOCK_SIZE);

    std::vector<uint8_t> text;
    while (text.size() < 5000) {
        const char *line = "The quick brown fox jumps over the lazy dog.\r\n";
        text.insert(text.end(), line, line + std::strlen(line));
    }
    EXPECT_EQ(block_round_trip(text, &codec, &stored), text);
    EXPECT_EQ(codec, PATCH_CODEC_IMPLODE);
    EXPECT_LT(stored, text.size() / 4);

    std::vector<uint8_t> one{'x'};
    EXPECT_EQ(block_round_trip(one, &codec, &stored), one);
}

TEST(PatchFormat, OversizedBlockIsRefused) {
    PATCH_BUFFER_HEADER header;
    header.stored_length = PATCH_BLOCK_SIZE + 1;
    std::vector<uint8_t> stored(PATCH_BLOCK_SIZE + 1), out(PATCH_BLOCK_SIZE);
    uint32_t produced = 1;
    EXPECT_FALSE(patch_expand_block(header, stored.data(), out.data(), &produced));
    EXPECT_EQ(produced, 0u);
}

TEST(PatchPaths, MappingIntoReleaseTrees) {
    struct Case {
        const char *stored;
        bool option_248;
        const char *mapped; // empty: refused
    } cases[] = {
        {"\\kova2000\\abc\\overlays\\kv830042.exe", true, "abc\\overlays\\abc30042.exe"},
        {"\\kova2000\\abc\\overlays\\kv830042.exe", false, "abc\\overlays\\kv830042.exe"},
        {"\\KOVA2000\\abc\\data.dat", false, "abc\\data.dat"},
        {"\\KOVABrisel\\x.dat", false, "x.dat"},
        {"\\kova7\\kova2000\\x.dat", false, "kova2000\\x.dat"}, // only the first is removed
        {"kova.kvk", false, "kova.kvk"},
        {"\\other\\x.dat", false, "other\\x.dat"},
        {"\\kova2000\\overlays\\kv8x.exe", true, "overlays\\kv8x.exe"}, // no module in front
        // Paths that would leave the tree.
        {"\\kova2000\\..\\..\\etc\\passwd", false, ""},
        {"\\kova2000\\abc\\..", false, ""},
        {"C:\\Windows\\system.ini", false, ""},
        {"\\\\server\\share\\x.dat", false, ""},
        {"\\kova2000\\abc/../../x", false, ""},
        {"\\kova2000\\abc\\", false, ""},
        {"", false, ""},
    };
    for (const Case &c : cases)
        EXPECT_EQ(patch_map_path(c.stored, c.option_248), c.mapped) << c.stored;
}

} // namespace
