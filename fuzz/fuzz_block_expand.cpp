// Fuzzes block expansion: the first byte picks the codec type, the next two the capacity,
// the rest is the block. Expansion must stay within the capacity (the destination is exactly
// that long) and, when it succeeds, what it wrote must survive compression and expansion.
#include "kernel/compress/codec.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) return 0;
    const int codec = data[0] % 3; // 0: run-length, 1 and 2: implode
    const uint32_t capacity = (data[1] | uint32_t{data[2]} << 8) % 32769;
    const uint8_t *block = data + 3;
    const auto block_len = static_cast<uint32_t>(size - 3);

    std::unique_ptr<uint8_t[]> dst(new uint8_t[capacity ? capacity : 1]);
    uint32_t out_len = capacity;
    const int result = fxd_block_expand(block, block_len, dst.get(), &out_len, codec);
    if (result == 0) {
        if (out_len != block_len) std::abort();
        return 0;
    }
    if (result != 1 || out_len > capacity) std::abort();

    std::vector<uint8_t> packed(out_len ? out_len : 1);
    uint32_t packed_len = 0;
    if (fxd_block_compress(dst.get(), out_len, packed.data(), &packed_len, codec) == 0) {
        if (packed_len != out_len) std::abort();
        return 0;
    }
    if (packed_len > out_len) std::abort();
    std::vector<uint8_t> back(out_len ? out_len : 1);
    uint32_t back_len = out_len;
    if (fxd_block_expand(packed.data(), packed_len, back.data(), &back_len, codec) != 1 ||
        back_len != out_len || std::memcmp(back.data(), dst.get(), out_len) != 0)
        std::abort();
    return 0;
}
