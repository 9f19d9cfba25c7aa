// The implode compressor. Its decisions are fixed, because patches are compared byte for
// byte with those the suite's earlier tool built from the same input. The standard streams
// of the format settle them:
// - Refills. Input arrives 4,096 bytes at a time behind the dictionary and the 516 bytes of
//   look-ahead carried over. All but the last 516 bytes of a full refill are coded before
//   the next one, and the lazy look at the next position stays inside that part; after a
//   short refill (the input's end) everything is coded.
// - Reach. Candidates for position p run from p - (dict - 1) to p - 2: no match reaches
//   back a whole dictionary, and the byte right before p is never one, so a run of one
//   value starts with two literals.
// - Across a refill. The oldest usable position moves up by as many bytes as the last match
//   before the refill ran past its part. This only shows in the second part with the
//   4,096-byte dictionary, which still reaches the start of the input; elsewhere the reach
//   is the tighter bound.
// - Choice. The longest match wins, on equal length the later candidate; the first
//   (oldest) candidate of 516 bytes ends the search. So a long run with a small dictionary
//   is matched 516 bytes at a time at distance dict - 1.
// - The input's end. Comparisons run on past it into what the window holds there (the
//   previous refill's bytes, then zeros, up to the end of the window buffer, which is sized
//   for the largest dictionary), and the chosen match is then cut back to the end: which
//   candidate wins is decided as if the input went on.
// - Short matches. Two bytes reaching back more than 256 are coded as literals. A match of
//   fewer than 8 bytes yields to one starting at the next byte that is 2 bytes longer, or
//   1 byte longer when the current one reaches back more than 129 bytes.
#include "kernel/compress/implode.h"

#include "kernel/compress/code_tables.h"
#include "kernel/compress/match_search.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

namespace {

using namespace kova_codec;

constexpr unsigned kOutPiece = 2048; // output is handed on in pieces of this size

// Everything one call needs, placed in the caller's work area.
struct ImplodeWork {
    MatchIndex index;
    uint8_t out[kOutPiece + 8]; // a full piece, then room for the word a put stores
};
static_assert(sizeof(ImplodeWork) + alignof(ImplodeWork) <= DXD_IMPLODE_WORK_SIZE);

// Codes of the match symbols by length 2 ... 519, the leading 1 bit included: a length
// entry with L code bits and E extra bits gives 2^E symbols of 1 + L + E bits.
struct LengthSymbols {
    uint16_t code[kEndLength + 1] = {};
    uint8_t bits[kEndLength + 1] = {};
};

constexpr LengthSymbols make_length_symbols() {
    LengthSymbols table;
    for (unsigned entry = 0; entry < 16; ++entry) {
        for (unsigned k = 0; k < (1u << kLengthExtra[entry]); ++k) {
            const unsigned length = kLengthBase[entry] + kMinMatch + k;
            if (length > kEndLength) break;
            table.code[length] = static_cast<uint16_t>(1 + 2 * kLengthCodes[entry] +
                                                       (k << (kLengthBits[entry] + 1)));
            table.bits[length] = static_cast<uint8_t>(1 + kLengthBits[entry] + kLengthExtra[entry]);
        }
    }
    return table;
}

constexpr LengthSymbols kLengthSymbols = make_length_symbols();

// The bit stream: bits are packed least significant first and handed to the write callback
// as soon as 2,048 whole bytes are ready.
class BitOutput {
public:
    BitOutput(uint8_t *buffer, void (*write)(char *, unsigned *, void *), void *param)
        : buffer_(buffer), write_(write), param_(param) {}

    // Up to 32 bits at a time. Every put stores the whole bit buffer and keeps only the bits
    // of the byte not yet complete: a test for a full word would go either way at random.
    void put(uint32_t code, unsigned bits) {
        bits_ |= static_cast<uint64_t>(code) << count_;
        count_ += bits;
        uint8_t bytes[8];
        for (unsigned k = 0; k < 8; ++k) bytes[k] = static_cast<uint8_t>(bits_ >> (8 * k));
        std::memcpy(buffer_ + used_, bytes, 8);
        used_ += count_ >> 3;
        bits_ >>= count_ & ~7u;
        count_ &= 7;
        if (used_ >= kOutPiece) [[unlikely]]
            hand_on_piece();
    }

    // Completes the last byte with zero bits and hands on everything still held.
    void finish() {
        while (count_ > 0) {
            buffer_[used_++] = static_cast<uint8_t>(bits_);
            bits_ >>= 8;
            count_ = count_ > 8 ? count_ - 8 : 0;
            if (used_ >= kOutPiece) hand_on_piece();
        }
        if (used_ > 0) {
            unsigned size = used_;
            write_(reinterpret_cast<char *>(buffer_), &size, param_);
            used_ = 0;
        }
    }

private:
    void hand_on_piece() {
        unsigned size = kOutPiece;
        write_(reinterpret_cast<char *>(buffer_), &size, param_);
        std::memmove(buffer_, buffer_ + kOutPiece, used_ - kOutPiece);
        used_ -= kOutPiece;
    }

    uint8_t *buffer_;
    void (*write_)(char *, unsigned *, void *);
    void *param_;
    uint64_t bits_ = 0;
    unsigned count_ = 0;
    unsigned used_ = 0;
};

class Coder {
public:
    Coder(BitOutput &out, unsigned literal_mode, unsigned dict_code)
        : out_(out), coded_literals_(literal_mode == DXD_IMPLODE_CODED), dict_code_(dict_code),
          dict_mask_((1u << dict_code) - 1) {}

    void literal(uint8_t byte) {
        if (coded_literals_)
            out_.put(static_cast<uint32_t>(kLiteralCodes[byte]) << 1, kLiteralBits[byte] + 1u);
        else
            out_.put(static_cast<uint32_t>(byte) << 1, 9);
    }

    // The whole match in one put: 16 bits of length symbol at most, then 8 of distance code
    // and 6 low bits.
    void match(unsigned length, unsigned offset) {
        const unsigned length_bits = kLengthSymbols.bits[length];
        const unsigned low_bits = length == kMinMatch ? 2 : dict_code_;
        const unsigned low_mask = length == kMinMatch ? 3 : dict_mask_;
        const unsigned entry = offset >> low_bits;
        const unsigned code_bits = length_bits + kDistanceBits[entry];
        out_.put(kLengthSymbols.code[length] | (unsigned{kDistanceCodes[entry]} << length_bits) |
                     ((offset & low_mask) << code_bits),
                 code_bits + low_bits);
    }

    void end() { out_.put(kLengthSymbols.code[kEndLength], kLengthSymbols.bits[kEndLength]); }

private:
    BitOutput &out_;
    bool coded_literals_;
    unsigned dict_code_;
    unsigned dict_mask_;
};

// Reads up to `want` bytes, asking again for the missing part; fewer means the input ended.
unsigned fill(unsigned (*read)(char *, unsigned *, void *), void *param, uint8_t *dst,
              unsigned want) {
    unsigned have = 0;
    while (have < want) {
        unsigned request = want - have;
        unsigned got = read(reinterpret_cast<char *>(dst + have), &request, param);
        if (got == 0) break;
        have += got < want - have ? got : want - have; // a callback that claims more gets no more
    }
    return have;
}

// A 2-byte match is only worth its bits when it reaches back less than 256 bytes.
bool worth_coding(const Match &m) {
    return m.length > kMinMatch || (m.length == kMinMatch && m.offset < 256);
}

} // namespace

unsigned fxd_implode(unsigned (*read)(char *buf, unsigned *size, void *param),
                     void (*write)(char *buf, unsigned *size, void *param), char *work, void *param,
                     unsigned *literal_mode, unsigned *dict_size) {
    unsigned dict_code;
    switch (dict_size ? *dict_size : 0) {
    case 1024:
        dict_code = 4;
        break;
    case 2048:
        dict_code = 5;
        break;
    case 4096:
        dict_code = 6;
        break;
    default:
        return DXD_IMPLODE_BAD_DICT;
    }
    if (!literal_mode || (*literal_mode != DXD_IMPLODE_RAW && *literal_mode != DXD_IMPLODE_CODED))
        return DXD_IMPLODE_BAD_LITERAL;
    const unsigned dict = *dict_size;

    void *area = work;
    std::size_t space = DXD_IMPLODE_WORK_SIZE;
    auto *state = static_cast<ImplodeWork *>(
        std::align(alignof(ImplodeWork), sizeof(ImplodeWork), area, space));
    new (state) ImplodeWork;
    MatchIndex &index = state->index;
    // Comparisons may look past the end of the input; what they see there must not depend
    // on what the caller left in the work area.
    std::memset(index.window, 0, sizeof index.window);

    BitOutput out(state->out, write, param);
    Coder coder(out, *literal_mode, dict_code);
    out.put(*literal_mode, 8);
    out.put(dict_code, 8);

    // New input always lands after the dictionary and the look-ahead carried over from the
    // previous window; all but the last look-ahead's worth is coded before the next refill.
    const unsigned carried = dict + kMaxMatch;
    unsigned pos = carried;
    index.begin(dict, carried);
    for (;;) {
        const unsigned got = fill(read, param, index.window + carried, kWindowStep);
        const bool last = got < kWindowStep;
        const unsigned data_end = carried + got;
        const unsigned code_end = last ? data_end : dict + kWindowStep;
        index.build(pos, std::min(data_end, code_end + kIndexedPast));

        while (pos < code_end) {
            Match m = index.find(pos);
            for (;;) {
                if (!worth_coding(m)) {
                    coder.literal(index.window[pos++]);
                    break;
                }
                if (last && pos + m.length > data_end) {
                    // The match ran into whatever lies past the input: keep the real part.
                    // It reaches the end, so no later start could do better: no look ahead.
                    m.length = data_end - pos;
                    if (!worth_coding(m)) {
                        coder.literal(index.window[pos++]);
                        break;
                    }
                } else if (m.length < 8 && pos + 1 < code_end) {
                    // The look ahead stays within the part coded before the next refill.
                    const Match next = index.find(pos + 1, m.length + 1);
                    if (next.length > m.length && (next.length > m.length + 1 || m.offset > 128)) {
                        coder.literal(index.window[pos++]);
                        m = next;
                        continue;
                    }
                }
                coder.match(m.length, m.offset);
                pos += m.length;
                break;
            }
        }
        if (last) break;
        pos -= kWindowStep;
        index.slide(pos - dict);
    }

    coder.end();
    out.finish();
    return DXD_IMPLODE_OK;
}
