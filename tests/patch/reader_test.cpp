// The patch reader expanding blocks ahead on threads: what it delivers, and where and how it
// fails, must be exactly what reading block by block gives, on sound and damaged patches.
#include "patch/format.h"
#include "patch/reader.h"
#include "tests/patch/patch_files.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

using patch_test::Installation;

// A patch written record by record, remembering where each block starts.
struct Written {
    std::string bytes;
    std::vector<std::string> contents;       // per component
    std::vector<std::vector<size_t>> blocks; // per component, the offset of each block
    std::vector<size_t> components;          // the offset of each component header
};

// Two components of several blocks: text that implodes and noise that is stored as it is.
Written write_patch() {
    Written w;
    auto append = [&](const uint8_t *p, size_t n) {
        w.bytes.append(reinterpret_cast<const char *>(p), n);
    };
    PATCH_FILE_HEADER header;
    std::strcpy(header.creator, "reader test");
    uint8_t file_header[PATCH_FILE_HEADER_SIZE];
    patch_encode_file_header(header, file_header);
    append(file_header, sizeof file_header);
    uint32_t seed = 1;
    const std::pair<const char *, size_t> components[] = {
        {"\\kova2000\\abc\\a.dat", 5 * PATCH_BLOCK_SIZE - 1000},
        {"\\kova2000\\abc\\b.dat", 2 * PATCH_BLOCK_SIZE + 7},
    };
    std::vector<uint8_t> block(PATCH_BUFFER_HEADER_SIZE + PATCH_BLOCK_SIZE);
    for (auto [path, length] : components) {
        std::string data;
        while (data.size() < length) {
            bool noise = (data.size() / PATCH_BLOCK_SIZE) % 2 == 1;
            seed = seed * 1103515245 + 12345;
            data += noise ? static_cast<char>(seed >> 16) : "line of text\r\n"[data.size() % 14];
        }
        data.resize(length);
        PATCH_COMPONENT_HEADER component;
        component.length = static_cast<uint32_t>(length);
        std::strcpy(component.path, path);
        uint8_t component_header[PATCH_COMPONENT_HEADER_SIZE];
        patch_encode_component_header(component, component_header);
        w.components.push_back(w.bytes.size());
        append(component_header, sizeof component_header);
        w.blocks.emplace_back();
        for (size_t at = 0; at < length; at += PATCH_BLOCK_SIZE) {
            w.blocks.back().push_back(w.bytes.size());
            uint32_t piece = static_cast<uint32_t>(std::min<size_t>(PATCH_BLOCK_SIZE, length - at));
            append(block.data(),
                   patch_make_block(reinterpret_cast<const uint8_t *>(data.data() + at), piece,
                                    block.data()));
        }
        w.contents.push_back(std::move(data));
    }
    return w;
}

// Everything a caller sees while reading a patch through: each component's path and position,
// each block's length and position, its bytes, and how the reading ended.
struct Walk {
    std::string trace;
    std::vector<std::string> contents;
};

Walk walk(const char *path, unsigned workers, int abandon_after_blocks = -1) {
    Walk w;
    PatchReader reader;
    auto failed = [&] {
        w.trace += " error " + std::to_string(static_cast<int>(reader.error()));
        return w;
    };
    if (!reader.open(path, {workers})) return failed();
    while (!reader.at_end()) {
        PATCH_COMPONENT_HEADER component;
        if (!reader.next_component(component)) return failed();
        w.trace +=
            std::string(" component ") + component.path + "@" + std::to_string(reader.position());
        w.contents.emplace_back();
        for (int n = 0; reader.remaining() > 0 && n != abandon_after_blocks; ++n) {
            const uint8_t *data;
            uint32_t length;
            if (!reader.next_block(&data, &length)) return failed();
            w.trace += " " + std::to_string(length) + "@" + std::to_string(reader.position());
            w.contents.back().append(reinterpret_cast<const char *>(data), length);
        }
    }
    w.trace += " end";
    return w;
}

class PatchReading : public Installation {};

TEST_F(PatchReading, ASoundPatchReadsTheSameWithAndWithoutThreads) {
    Written written = write_patch();
    kova_test::write_file(host("p/sound.kvz"), written.bytes);
    Walk alone = walk("S:\\p\\sound.kvz", 1);
    EXPECT_EQ(alone.contents, written.contents);
    EXPECT_NE(alone.trace.find(" end"), std::string::npos) << alone.trace;
    // More threads than blocks in flight at a component's end, whatever the machine has.
    for (unsigned workers : {2u, 3u, 8u}) {
        Walk ahead = walk("S:\\p\\sound.kvz", workers);
        EXPECT_EQ(ahead.trace, alone.trace) << workers;
        EXPECT_EQ(ahead.contents, written.contents) << workers;
    }
}

TEST_F(PatchReading, DamageIsReportedAtTheBlockThatHasIt) {
    const Written written = write_patch();
    const std::vector<size_t> &a = written.blocks[0];
    auto declare_length = [&](std::string &bytes, uint32_t length) {
        PATCH_COMPONENT_HEADER component;
        patch_decode_component_header(reinterpret_cast<const uint8_t *>(bytes.data()) +
                                          written.components[0],
                                      PATCH_VERSION, component);
        component.length = length;
        uint8_t out[PATCH_COMPONENT_HEADER_SIZE];
        patch_encode_component_header(component, out);
        bytes.replace(written.components[0], sizeof out, reinterpret_cast<char *>(out), sizeof out);
    };
    struct Case {
        const char *what;
        std::function<void(std::string &)> damage;
        PatchReadError error;
        int blocks_before; // delivered before the failure
        int abandon_after_blocks = -1;
    } cases[] = {
        {"a block that does not expand, then a bad block header",
         [&](std::string &b) {
             b.replace(a[2] + PATCH_BUFFER_HEADER_SIZE, 4, "\x07\x07\x07\x07");
             b[a[4]] ^= 1;
         },
         PatchReadError::decompress, 2},
        {"a file cut inside a block", [&](std::string &b) { b.resize(a[3] + 100); },
         PatchReadError::reading, 3},
        {"a component shorter than its blocks",
         [&](std::string &b) { declare_length(b, 2 * PATCH_BLOCK_SIZE + 10); },
         PatchReadError::length_mismatch, 2},
        {"a component longer than its blocks",
         [&](std::string &b) { declare_length(b, 5 * PATCH_BLOCK_SIZE + 100); },
         PatchReadError::bad_buffer_header, 5},
        {"a caller leaving a component part way", [](std::string &) {},
         PatchReadError::bad_component_magic, 1, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::string damaged = written.bytes;
        c.damage(damaged);
        kova_test::write_file(host("p/bad.kvz"), damaged);
        Walk alone = walk("S:\\p\\bad.kvz", 1, c.abandon_after_blocks);
        EXPECT_NE(alone.trace.find(" error " + std::to_string(static_cast<int>(c.error))),
                  std::string::npos)
            << alone.trace;
        ASSERT_FALSE(alone.contents.empty());
        EXPECT_EQ(alone.contents[0],
                  written.contents[0].substr(0, c.blocks_before * PATCH_BLOCK_SIZE));
        for (unsigned workers : {2u, 8u})
            EXPECT_EQ(walk("S:\\p\\bad.kvz", workers, c.abandon_after_blocks).trace, alone.trace)
                << workers;
    }
}

} // namespace
