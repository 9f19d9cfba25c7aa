// The compressor: its exact output for the reference inputs, its parameters, its output
// pieces, and streams that every dictionary size and literal mode expand back.
#include "kernel/compress/explode.h"
#include "kernel/compress/implode.h"
#include "tests/compress/codec_support.h"

#include <gtest/gtest.h>

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
        {"abc x 40", bytes_of(std::string(40 * 3, ' ')), 0, 2048, "0005c288190bb68b807f"},
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
        Bytes input = ref.input;
        if (std::string(ref.name) == "abc x 40")
            for (size_t i = 0; i < input.size(); ++i) input[i] = static_cast<uint8_t>("abc"[i % 3]);
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

} // namespace
