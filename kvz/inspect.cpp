// kvz list, diff and extract: what a patch holds, how two patches differ, and its components
// written into a folder. All three read through the tool's own patch reader.
#include "kvz/kvz.h"

#include "kernel/compress/codec.h"
#include "kernel/files/file.h"
#include "kernel/files/paths.h"
#include "kernel/text/text.h"
#include "patch/log.h"
#include "patch/process.h"
#include "patch/reader.h"

#include <sodium.h>

#include <map>

namespace {

// Where the reader's failures go: collected, then printed by the command.
std::vector<std::string> *collected = nullptr;

void collect(const char *text) {
    if (collected) collected->push_back(text);
}

// Prints the reader's failure as the tool words it; answers KVZ_FAILED.
int read_failure(const std::string &patch, const PatchReader &reader) {
    std::vector<std::string> problems;
    collected = &problems;
    patch_set_report_sink(collect);
    patch_report_read_error(reader);
    patch_set_report_sink(nullptr);
    collected = nullptr;
    for (const std::string &problem : problems) kvz_err(kvz_utf8(patch + ": " + problem));
    return KVZ_FAILED;
}

// One component as listed: its header and how its blocks are stored.
struct Listed {
    std::string path;
    uint32_t length = 0;
    TXD_CLOCK stamp{};
    uint32_t blocks = 0, imploded = 0, run_length = 0, stored = 0;
    uint64_t stored_bytes = 0;
    std::array<uint8_t, crypto_generichash_BYTES> digest{}; // of the expanded bytes
};

// Reads every component of a patch, expanding each block (the codec is the only check of a
// block's contents); with `digests` each component's expanded bytes are hashed for comparing.
// False after the reader failed.
bool read_all(PatchReader &reader, std::vector<Listed> &out, bool digests) {
    while (!reader.at_end()) {
        PATCH_COMPONENT_HEADER component;
        if (!reader.next_component(component)) return false;
        Listed listed;
        listed.path = component.path;
        listed.length = component.length;
        listed.stamp = component.stamp;
        crypto_generichash_state hash;
        if (digests) crypto_generichash_init(&hash, nullptr, 0, listed.digest.size());
        while (reader.remaining() > 0) {
            const uint8_t *data;
            uint32_t length;
            if (!reader.next_block(&data, &length)) return false;
            if (digests) crypto_generichash_update(&hash, data, length);
            const PATCH_BUFFER_HEADER &block = reader.block_header();
            ++listed.blocks;
            listed.stored_bytes += block.stored_length;
            if (block.codec == PATCH_CODEC_STORED)
                ++listed.stored;
            else if (block.codec == DXD_CODEC_IMPLODE_1K || block.codec == DXD_CODEC_IMPLODE)
                ++listed.imploded;
            else
                ++listed.run_length;
        }
        if (digests) crypto_generichash_final(&hash, listed.digest.data(), listed.digest.size());
        out.push_back(std::move(listed));
    }
    return true;
}

std::string storage_text(const Listed &c) {
    std::string text;
    auto add = [&](uint32_t n, const char *how) {
        if (n == 0) return;
        if (!text.empty()) text += ", ";
        text += std::to_string(n) + " " + how;
    };
    add(c.imploded, "imploded");
    add(c.run_length, "run-length");
    add(c.stored, "stored");
    return text.empty() ? "no blocks" : text;
}

std::string percent(uint64_t part, uint64_t whole) {
    if (whole == 0) return "-";
    char text[16];
    std::snprintf(text, sizeof text, "%.1f%%",
                  100.0 * static_cast<double>(part) / static_cast<double>(whole));
    return text;
}

nlohmann::ordered_json ratio(uint64_t part, uint64_t whole) {
    if (whole == 0) return nullptr;
    return static_cast<double>(static_cast<int64_t>(
               10000.0 * static_cast<double>(part) / static_cast<double>(whole) + 0.5)) /
           10000.0;
}

nlohmann::ordered_json stamp_json(const PATCH_FILE_HEADER &header, const TXD_CLOCK &stamp) {
    if (header.version == 1) return nullptr; // version 1 stores no stamps
    return kvz_clock_text(stamp);
}

// Paths compare as Windows names do: without regard to case.
std::string name_key(const std::string &path) {
    std::string key = path;
    return fxd_string_upper(key);
}

// Components compare by the place they take in a release tree, so that a patch and an undo
// patch (which stores paths below the tree) line up.
std::string place_key(const std::string &stored) {
    std::string mapped = patch_map_path(stored.c_str(), false);
    return name_key(mapped.empty() ? stored : mapped);
}

} // namespace

int kvz_list(const KvzOptions &options) {
    const std::string &patch = options.operands[0];
    PatchReader reader;
    if (!reader.open(patch.c_str())) return read_failure(patch, reader);
    std::vector<Listed> components;
    bool sound = read_all(reader, components, false);
    const PATCH_FILE_HEADER &header = reader.header();
    std::string created = kvz_date2_text(header.created_date, header.created_time);
    uint64_t total_length = 0, total_stored = 0;
    for (const Listed &c : components) {
        total_length += c.length;
        total_stored += c.stored_bytes;
    }

    if (options.json) {
        nlohmann::ordered_json doc;
        doc["patch"] = kvz_utf8(patch);
        doc["version"] = header.version;
        doc["created"] = created;
        doc["creator"] = kvz_utf8(header.creator);
        doc["undo"] = reader.is_undo();
        doc["components"] = nlohmann::ordered_json::array();
        for (const Listed &c : components) {
            doc["components"].push_back({{"path", kvz_utf8(c.path)},
                                         {"length", c.length},
                                         {"stamp", stamp_json(header, c.stamp)},
                                         {"blocks", c.blocks},
                                         {"imploded", c.imploded},
                                         {"run_length", c.run_length},
                                         {"stored", c.stored},
                                         {"stored_bytes", c.stored_bytes},
                                         {"ratio", ratio(c.stored_bytes, c.length)}});
        }
        doc["total_length"] = total_length;
        doc["total_stored_bytes"] = total_stored;
        doc["sound"] = sound;
        kvz_out_json(doc);
    } else {
        kvz_out(kvz_utf8(patch));
        kvz_out(kvz_utf8("  " + std::string(reader.is_undo() ? "undo patch" : "patch") +
                         ", version " + std::to_string(header.version) + ", created " + created +
                         " by " + header.creator));
        for (const Listed &c : components) {
            char line[128];
            std::snprintf(line, sizeof line, "%12u  %-19s  %8llu  %7s  ", c.length,
                          header.version == 1 ? "(no stamp)" : kvz_clock_text(c.stamp).c_str(),
                          static_cast<unsigned long long>(c.stored_bytes),
                          percent(c.stored_bytes, c.length).c_str());
            kvz_out(kvz_utf8("  " + c.path));
            kvz_out(std::string("    ") + line + std::to_string(c.blocks) +
                    (c.blocks == 1 ? " block: " : " blocks: ") + storage_text(c));
        }
        kvz_out("  " + std::to_string(components.size()) +
                (components.size() == 1 ? " component, " : " components, ") +
                std::to_string(total_length) + " bytes stored in " + std::to_string(total_stored) +
                " (" + percent(total_stored, total_length) + ")");
    }
    return sound ? KVZ_OK : read_failure(patch, reader);
}

int kvz_diff(const KvzOptions &options) {
    // As diff(1): 0 the same, 1 different, 2 when a patch cannot be read.
    constexpr int trouble = 2;
    std::map<std::string, Listed> sides[2];
    std::vector<std::string> order[2];
    PATCH_FILE_HEADER headers[2];
    for (int side = 0; side < 2; ++side) {
        const std::string &patch = options.operands[side];
        PatchReader reader;
        std::vector<Listed> components;
        if (!reader.open(patch.c_str()) || !read_all(reader, components, true)) {
            read_failure(patch, reader);
            return trouble;
        }
        headers[side] = reader.header();
        // Of several entries for one path the last is what installing leaves.
        for (Listed &c : components) {
            std::string key = place_key(c.path);
            if (!sides[side].count(key)) order[side].push_back(key);
            sides[side][key] = std::move(c);
        }
    }
    bool different = false;
    auto stamp = [&](int side, const Listed &c) {
        return headers[side].version == 1 ? std::string("(no stamp)") : kvz_clock_text(c.stamp);
    };
    for (const std::string &key : order[0]) {
        if (sides[1].count(key)) continue;
        kvz_out(kvz_utf8("- " + sides[0][key].path));
        different = true;
    }
    for (const std::string &key : order[1]) {
        const Listed &b = sides[1][key];
        auto found = sides[0].find(key);
        if (found == sides[0].end()) {
            kvz_out(kvz_utf8("+ " + b.path + "  (" + std::to_string(b.length) + " bytes, " +
                             stamp(1, b) + ")"));
            different = true;
            continue;
        }
        const Listed &a = found->second;
        std::vector<std::string> changes;
        if (a.digest != b.digest) changes.push_back("contents");
        if (a.length != b.length)
            changes.push_back("length " + std::to_string(a.length) + " -> " +
                              std::to_string(b.length));
        if (stamp(0, a) != stamp(1, b))
            changes.push_back("stamp " + stamp(0, a) + " -> " + stamp(1, b));
        if (changes.empty()) continue;
        std::string line = "~ " + b.path + "  (";
        for (size_t i = 0; i < changes.size(); ++i) line += (i ? ", " : "") + changes[i];
        kvz_out(kvz_utf8(line + ")"));
        different = true;
    }
    return different ? 1 : KVZ_OK;
}

int kvz_extract(const KvzOptions &options) {
    const std::string &patch = options.operands[0];
    std::string dir = options.operands[1];
    if (dir.empty()) return kvz_fail("no folder to extract into");
    if (dir.back() != '\\') dir += '\\';

    // Everything is read and checked before the first file is written.
    PatchReader reader;
    if (!reader.open(patch.c_str())) return read_failure(patch, reader);
    struct Place {
        uint64_t offset;
        std::string target;
        bool superseded = false;
    };
    std::vector<Place> places;
    std::map<std::string, size_t> last_of;
    std::vector<std::string> problems;
    while (!reader.at_end()) {
        uint64_t offset = reader.position();
        PATCH_COMPONENT_HEADER component;
        if (!reader.next_component(component) || !reader.skip_component())
            return read_failure(patch, reader);
        // Never outside the folder: the same rules as installing, on the whole stored path.
        std::string relative = component.path;
        relative.erase(0, std::min(relative.find_first_not_of('\\'), relative.size()));
        if (patch_map_path(component.path, false).empty() || relative.empty()) {
            problems.push_back(std::string("the path '") + component.path +
                               "' would be written outside the folder");
            continue;
        }
        if (const char *problem = patch_path_problem(relative)) {
            problems.push_back(std::string("the path '") + component.path + "' " + problem);
            continue;
        }
        std::string key = name_key(relative);
        if (auto earlier = last_of.find(key); earlier != last_of.end())
            places[earlier->second].superseded = true; // the last entry is what installs
        last_of[key] = places.size();
        places.push_back({offset, dir + relative});
    }
    for (const Place &place : places)
        if (!place.superseded && fxi_test_file(place.target.c_str()))
            problems.push_back(place.target + " exists already; nothing was written");
    if (!problems.empty()) {
        for (const std::string &problem : problems) kvz_err(kvz_utf8(patch + ": " + problem));
        return KVZ_FAILED;
    }

    size_t written = 0;
    for (const Place &place : places) {
        if (place.superseded) continue;
        char folder[DXI_PATH_BUFFER];
        fxi_path_folder(place.target.c_str(), folder);
        if (folder[0] && !fxi_dir_exists(folder) && fxi_dir_make_all(folder) != 0)
            return kvz_fail("cannot create the folder " + std::string(folder));
        PATCH_COMPONENT_HEADER component;
        if (!reader.component_at(place.offset, component)) return read_failure(patch, reader);
        TXI_FILE output(place.target.c_str());
        if (output.create()) return kvz_fail(place.target + ": " + output.error_text());
        bool complete = true;
        while (complete && reader.remaining() > 0) {
            const uint8_t *data;
            uint32_t length;
            if (!reader.next_block(&data, &length)) {
                (void)output.close();
                (void)output.remove();
                return read_failure(patch, reader);
            }
            complete = output.write(data, length) == 0;
        }
        // Stamps are those of version 2 files, as installing applies them.
        if (complete && reader.header().version == 2)
            complete = output.set_time(&component.stamp) == 0;
        if (complete) complete = output.close() == 0;
        if (!complete) {
            std::string error = output.error_text();
            (void)output.close();
            (void)output.remove();
            return kvz_fail(place.target + ": " + error);
        }
        kvz_out(kvz_utf8(place.target));
        ++written;
    }
    kvz_out(std::to_string(written) + (written == 1 ? " component" : " components") + " extracted");
    return KVZ_OK;
}
