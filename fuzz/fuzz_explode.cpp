// Fuzzes the decompressor with arbitrary streams: it must answer a documented result, stay
// inside its buffers and hand on whole pieces. What it expands is imploded again and must
// come back unchanged, which exercises the compressor on varied input as well.
#include "kernel/compress/explode.h"
#include "kernel/compress/implode.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

const uint8_t *g_input;
size_t g_left;
std::vector<uint8_t> g_output;
bool g_short_piece_seen;

unsigned read_input(char *buf, unsigned *size, void *) {
    const size_t n = *size < g_left ? *size : g_left;
    if (n) std::memcpy(buf, g_input, n);
    g_input += n;
    g_left -= n;
    return static_cast<unsigned>(n);
}

void write_output(char *buf, unsigned *size, void *) {
    // Only the last piece may be shorter than 4,096 bytes.
    if (*size > 4096 || g_short_piece_seen) std::abort();
    if (*size < 4096) g_short_piece_seen = true;
    if (g_output.size() < (1u << 20)) g_output.insert(g_output.end(), buf, buf + *size);
}

int explode(const uint8_t *data, size_t size) {
    g_input = data;
    g_left = size;
    g_output.clear();
    g_short_piece_seen = false;
    return fxd_explode(read_input, write_output);
}

// The compressor's side: it reads what explode wrote and collects its stream.
const std::vector<uint8_t> *g_source;
size_t g_source_at;
std::vector<uint8_t> g_stream;

unsigned read_source(char *buf, unsigned *size, void *) {
    const size_t n = std::min<size_t>(*size, g_source->size() - g_source_at);
    if (n) std::memcpy(buf, g_source->data() + g_source_at, n);
    g_source_at += n;
    return static_cast<unsigned>(n);
}

void write_stream(char *buf, unsigned *size, void *) {
    g_stream.insert(g_stream.end(), buf, buf + *size);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const int result = explode(data, size);
    switch (result) {
    case DXD_EXPLODE_OK:
    case DXD_EXPLODE_TRUNCATED:
    case DXD_EXPLODE_BAD_LITERAL:
    case DXD_EXPLODE_BAD_DICT:
    case DXD_EXPLODE_BAD_DISTANCE:
        break;
    default:
        std::abort();
    }
    // A symbol takes at least 5 bits and yields at most 518 bytes.
    if (g_output.size() > size * 8 / 5 * 518 + 1) std::abort();
    if (result != DXD_EXPLODE_OK || size < 2 || g_output.size() > 65536) return 0;

    const std::vector<uint8_t> original = g_output;
    std::vector<char> work(DXD_IMPLODE_WORK_SIZE);
    unsigned literal_mode = data[0];
    unsigned dict_size = 1024u << (data[1] - 4);
    g_source = &original;
    g_source_at = 0;
    g_stream.clear();
    if (fxd_implode(read_source, write_stream, work.data(), nullptr, &literal_mode, &dict_size) !=
        DXD_IMPLODE_OK)
        std::abort();
    if (explode(g_stream.data(), g_stream.size()) != DXD_EXPLODE_OK || g_output != original)
        std::abort();
    return 0;
}
