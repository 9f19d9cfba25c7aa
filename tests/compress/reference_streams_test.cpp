// The compressor against the standard streams of the format: every input of the reference
// directory, with every dictionary size and literal mode, gives its stream byte for byte
// however the input arrives, and every stream expands back to its input.
#include "kernel/compress/explode.h"
#include "kernel/compress/implode.h"
#include "tests/compress/codec_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>

using namespace codec_test;
namespace fs = std::filesystem;

namespace {

// The standard streams are kept with the project's shared data, beside the source tree.
const fs::path kReferenceDir =
    fs::path(KOVA_SOURCE_DIR) / ".." / "shared" / "data" / "implode-reference";

Bytes read_bytes(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct ReferenceStream {
    std::string name; // NAME.dDICT.mMODE
    std::string input_name;
    unsigned dict_size, literal_mode;
    Bytes stream;
};

std::vector<ReferenceStream> reference_streams() {
    std::vector<ReferenceStream> streams;
    const std::regex pattern(R"(([a-z]+-[0-9]+)\.d([0-9]+)\.m([01])\.imp)");
    for (const auto &entry : fs::directory_iterator(kReferenceDir / "streams")) {
        const std::string file = entry.path().filename().string();
        std::smatch m;
        if (!std::regex_match(file, m, pattern)) continue;
        streams.push_back({file.substr(0, file.size() - 4), m[1],
                           static_cast<unsigned>(std::stoul(m[2])),
                           static_cast<unsigned>(std::stoul(m[3])), read_bytes(entry.path())});
    }
    std::sort(streams.begin(), streams.end(),
              [](const auto &a, const auto &b) { return a.name < b.name; });
    return streams;
}

// Where two byte strings first differ, for a message that points at the decision.
size_t first_difference(const Bytes &a, const Bytes &b) {
    return static_cast<size_t>(std::mismatch(a.begin(), a.end(), b.begin(), b.end()).first -
                               a.begin());
}

TEST(ImplodeReference, ProducesEveryStandardStreamHoweverTheInputArrives) {
    ASSERT_TRUE(fs::is_directory(kReferenceDir / "streams"))
        << "the reference streams are missing: " << kReferenceDir;
    const std::vector<ReferenceStream> streams = reference_streams();
    ASSERT_FALSE(streams.empty());
    // Whole refills, single bytes, and odd pieces that split refills anywhere.
    const unsigned read_steps[] = {4096, 1, 7, 1000, 4095};
    std::vector<std::string> inputs_seen;
    for (const ReferenceStream &ref : streams) {
        const Bytes input = read_bytes(kReferenceDir / "inputs" / (ref.input_name + ".in"));
        ASSERT_FALSE(input.empty()) << ref.input_name;
        inputs_seen.push_back(ref.input_name);
        for (unsigned step : read_steps) {
            const Imploded out =
                implode(input, ref.literal_mode, ref.dict_size, step, step == 7 ? 0xA5 : 0);
            ASSERT_EQ(out.result, DXD_IMPLODE_OK) << ref.name;
            EXPECT_TRUE(out.stream == ref.stream)
                << ref.name << " read in pieces of " << step << ": " << out.stream.size()
                << " bytes against " << ref.stream.size() << ", first difference at byte "
                << first_difference(out.stream, ref.stream);
        }
        for (unsigned step : {16384u, 3u}) {
            const Exploded back = explode(ref.stream, step);
            EXPECT_EQ(back.result, DXD_EXPLODE_OK) << ref.name;
            EXPECT_TRUE(back.output == input)
                << ref.name << ": " << back.output.size() << " bytes, first difference at "
                << first_difference(back.output, input);
        }
    }
    // Every input has its streams for the three dictionaries and the two literal modes.
    for (const std::string &name : inputs_seen)
        EXPECT_EQ(std::count(inputs_seen.begin(), inputs_seen.end(), name), 6) << name;
}

} // namespace
