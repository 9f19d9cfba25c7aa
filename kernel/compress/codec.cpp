// The block codec: implode/explode over in-memory blocks, and run-length coding. The stream
// positions the callbacks work on belong to the calling thread, so blocks may be coded on
// several threads at once.
#include "kernel/compress/codec.h"

#include "kernel/compress/explode.h"
#include "kernel/compress/implode.h"

#include <cstring>

namespace {

// Where the callbacks of the current call read and write.
struct Stream {
    const uint8_t *src = nullptr;
    uint32_t src_left = 0;
    uint8_t *dst = nullptr;
    uint32_t written = 0;
    uint32_t capacity = 0;
    bool overflow = false;
};

thread_local Stream t_stream;
thread_local char t_work[DXD_IMPLODE_WORK_SIZE];

unsigned stream_read(char *buf, unsigned *size, void *) {
    Stream &s = t_stream;
    if (s.overflow) return 0; // the result is decided: stop feeding the coder
    const uint32_t n = *size < s.src_left ? *size : s.src_left;
    if (n == 0) return 0;
    std::memcpy(buf, s.src, n);
    s.src += n;
    s.src_left -= n;
    return n;
}

void stream_write(char *buf, unsigned *size, void *) {
    Stream &s = t_stream;
    if (s.overflow || *size == 0) return;
    if (*size > s.capacity - s.written) {
        s.overflow = true;
        return;
    }
    std::memcpy(s.dst + s.written, buf, *size);
    s.written += *size;
}

void start_stream(const uint8_t *src, uint32_t src_len, uint8_t *dst, uint32_t capacity) {
    t_stream = Stream{src, src_len, dst, 0, capacity, false};
}

// Answers whether the call succeeded without running out of room, and forgets the buffers.
bool end_stream(bool coder_ok, uint32_t *written) {
    Stream &s = t_stream;
    const bool ok = coder_ok && !s.overflow;
    *written = s.written;
    s = Stream{};
    return ok;
}

constexpr uint32_t kLongestRun = 65535;

} // namespace

int fxd_block_compress(const uint8_t *src, uint32_t src_len, uint8_t *dst, uint32_t *out_len,
                       int codec) {
    if (codec != DXD_CODEC_IMPLODE_1K && codec != DXD_CODEC_IMPLODE)
        return fxd_rle_encode(src, src_len, dst, out_len);

    unsigned dict_size = 1024;
    if (codec == DXD_CODEC_IMPLODE && src_len > 2048) dict_size = src_len > 4096 ? 4096 : 2048;
    unsigned literal_mode = DXD_IMPLODE_RAW;

    start_stream(src, src_len, dst, src_len);
    const unsigned result =
        fxd_implode(stream_read, stream_write, t_work, nullptr, &literal_mode, &dict_size);
    uint32_t written;
    if (end_stream(result == DXD_IMPLODE_OK, &written)) {
        *out_len = written;
        return 1;
    }
    *out_len = src_len;
    return 0;
}

int fxd_block_expand(const uint8_t *src, uint32_t src_len, uint8_t *dst, uint32_t *out_len,
                     int codec) {
    if (codec != DXD_CODEC_IMPLODE_1K && codec != DXD_CODEC_IMPLODE)
        return fxd_rle_decode(src, src_len, dst, out_len);

    start_stream(src, src_len, dst, *out_len);
    const int result = fxd_explode(stream_read, stream_write);
    uint32_t written;
    if (end_stream(result == DXD_EXPLODE_OK, &written)) {
        *out_len = written;
        return 1;
    }
    *out_len = src_len;
    return 0;
}

int fxd_rle_encode(const uint8_t *src, uint32_t src_len, uint8_t *dst, uint32_t *out_len) {
    *out_len = src_len;
    if (src_len < 4) return 0;
    // The output must stay shorter than the input: every item is written only while at
    // least 5 bytes of room below the input length remain.
    const uint32_t room = src_len - 4;
    uint32_t i = 0, o = 0;
    while (i < src_len) {
        if (o >= room) return 0;
        const uint8_t c = src[i];
        if (c == 0x01 || c == 0x02) {
            dst[o++] = 0x01;
            dst[o++] = c;
            ++i;
            continue;
        }
        uint32_t run = 1;
        while (i + run < src_len && src[i + run] == c) ++run;
        run &= ~uint32_t{1}; // an odd run leaves its last byte for the next item
        while (run > kLongestRun) {
            if (o >= room) return 0;
            const uint8_t chunk[4] = {0x02, 0xFF, 0xFF, c};
            std::memcpy(dst + o, chunk, 4);
            o += 4;
            i += kLongestRun;
            run -= kLongestRun;
        }
        if (run > 4) {
            if (o >= room) return 0;
            const uint8_t item[4] = {0x02, static_cast<uint8_t>(run),
                                     static_cast<uint8_t>(run >> 8), c};
            std::memcpy(dst + o, item, 4);
            o += 4;
            i += run;
        } else {
            dst[o++] = c;
            ++i;
        }
    }
    *out_len = o;
    return 1;
}

int fxd_rle_decode(const uint8_t *src, uint32_t src_len, uint8_t *dst, uint32_t *out_len) {
    const uint32_t capacity = *out_len;
    *out_len = src_len;
    uint32_t i = 0, o = 0;
    while (i < src_len) {
        const uint8_t c = src[i];
        if (c == 0x01) {
            if (src_len - i < 2 || o >= capacity) return 0;
            dst[o++] = src[i + 1];
            i += 2;
        } else if (c == 0x02) {
            if (src_len - i < 4) return 0;
            const uint32_t run = src[i + 1] | uint32_t{src[i + 2]} << 8;
            if (run > capacity - o) return 0;
            if (run > 0) std::memset(dst + o, src[i + 3], run);
            o += run;
            i += 4;
        } else {
            if (o >= capacity) return 0;
            dst[o++] = c;
            ++i;
        }
    }
    *out_len = o;
    return 1;
}
