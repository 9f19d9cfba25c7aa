// The explode decompressor: table-driven decoding from a 64-bit bit buffer into a window
// that keeps the last 4,096 output bytes behind the ones being produced.
#include "kernel/compress/explode.h"

#include "kernel/compress/code_tables.h"

#include <bit>
#include <cstdint>
#include <cstring>

namespace {

using namespace kova_codec;

constexpr unsigned kInputSize = 16384; // read requests, into a buffer of the calling thread
constexpr unsigned kHistory = 4096;    // the largest distance a stream can use
constexpr unsigned kPiece = 4096;      // output is handed on in pieces of this size
constexpr unsigned kLiteralPeek = 13;  // the longest literal code
constexpr unsigned kLengthPeek = 7;    // the longest length code
constexpr unsigned kDistancePeek = 8;  // the longest distance code
// Bits after a match's flag that decode its length symbol and distance code in one lookup,
// when both fit: all the common ones. 4,096 entries keep the table in the first-level cache.
constexpr unsigned kMatchPeek = 12;

thread_local uint8_t t_input[kInputSize];

// Decoding tables indexed by the next bits of the stream: codes are stored least significant
// bit first, so a code fills every entry whose low bits equal it.
struct LengthEntry {
    uint16_t base;       // the shortest length of the entry
    uint8_t used;        // bits of the whole length symbol: flag, code and extra bits
    uint8_t extra_shift; // where the extra bits start
    uint8_t extra_bits;  // bits added to the base
    uint8_t low_bits;    // plain low bits of the distance that follows
};
struct CodeEntry {
    uint8_t symbol;
    uint8_t bits;
};
// A match's length and distance code decoded at once, which spares the wait for one lookup
// before the next can start.
struct MatchEntry {
    uint16_t length; // 0 when the codes take more than kMatchPeek bits (and for the end code)
    uint8_t symbol;  // the distance code's value: the high bits of distance - 1
    uint8_t used;    // the flag, the length symbol, the distance code and its low bits
};
struct DecodeTables {
    CodeEntry literal[1u << kLiteralPeek];
    LengthEntry length[3][1u << kLengthPeek]; // per dictionary size code 4, 5, 6
    CodeEntry distance[1u << kDistancePeek];
    MatchEntry match[3][1u << kMatchPeek]; // per dictionary size code 4, 5, 6
};

template <typename Code, std::size_t N>
constexpr void fill_codes(CodeEntry *table, unsigned peek, const uint8_t (&bits)[N],
                          const Code (&codes)[N]) {
    for (unsigned symbol = 0; symbol < N; ++symbol)
        for (unsigned high = 0; high < (1u << (peek - bits[symbol])); ++high)
            table[codes[symbol] | (high << bits[symbol])] =
                CodeEntry{static_cast<uint8_t>(symbol), bits[symbol]};
}

constexpr DecodeTables make_decode_tables() {
    DecodeTables t{};
    fill_codes(t.literal, kLiteralPeek, kLiteralBits, kLiteralCodes);
    fill_codes(t.distance, kDistancePeek, kDistanceBits, kDistanceCodes);
    CodeEntry lengths[1u << kLengthPeek] = {};
    fill_codes(lengths, kLengthPeek, kLengthBits, kLengthCodes);
    for (unsigned dict_code = 4; dict_code <= 6; ++dict_code) {
        for (unsigned i = 0; i < (1u << kLengthPeek); ++i) {
            const unsigned entry = lengths[i].symbol;
            const unsigned code_bits = kLengthBits[entry];
            t.length[dict_code - 4][i] =
                LengthEntry{static_cast<uint16_t>(kLengthBase[entry] + kMinMatch),
                            static_cast<uint8_t>(1 + code_bits + kLengthExtra[entry]),
                            static_cast<uint8_t>(1 + code_bits), kLengthExtra[entry],
                            static_cast<uint8_t>(entry == 0 ? 2 : dict_code)};
        }
    }
    for (unsigned i = 0; i < (1u << kMatchPeek); ++i) {
        const unsigned entry = lengths[i & ((1u << kLengthPeek) - 1)].symbol;
        const unsigned length_bits = kLengthBits[entry] + kLengthExtra[entry];
        if (length_bits > kMatchPeek) continue;
        const unsigned extra = (i >> kLengthBits[entry]) & ((1u << kLengthExtra[entry]) - 1);
        // Bits beyond the index read as zeros here: a code that needs them is left out.
        const CodeEntry d = t.distance[(i >> length_bits) & ((1u << kDistancePeek) - 1)];
        if (length_bits + d.bits > kMatchPeek) continue;
        for (unsigned dict_code = 4; dict_code <= 6; ++dict_code)
            t.match[dict_code - 4][i] = MatchEntry{
                static_cast<uint16_t>(kLengthBase[entry] + kMinMatch + extra), d.symbol,
                static_cast<uint8_t>(1 + length_bits + d.bits + (entry == 0 ? 2 : dict_code))};
    }
    return t;
}

// Built once, by the compiler.
constexpr DecodeTables kTables = make_decode_tables();

// One expansion: the input side (buffer, bit buffer) and the output window, which holds the
// previous 4,096 bytes, then the piece being filled, then room for the longest match and
// for copies that run a word past their end.
class Exploder {
public:
    Exploder(unsigned (*read)(char *, unsigned *, void *),
             void (*write)(char *, unsigned *, void *))
        : read_(read), write_(write) {}

    int run();

private:
    struct Bits {
        uint64_t bits;
        unsigned count;
        const uint8_t *next;
    };

    bool more_input();
    Bits refill_slow(Bits in);
    unsigned hand_on_piece(unsigned at);
    template <bool kCodedLiterals, unsigned kDictCode>
    int decode(uint64_t bits, unsigned count, const uint8_t *next);

    unsigned (*read_)(char *, unsigned *, void *);
    void (*write_)(char *, unsigned *, void *);
    const uint8_t *end_ = t_input; // end of the input held
    bool ended_ = false;
    uint8_t window_[kHistory + kPiece + kEndLength + 16];
};

bool Exploder::more_input() {
    if (ended_) return false;
    unsigned request = kInputSize;
    unsigned got = read_(reinterpret_cast<char *>(t_input), &request, nullptr);
    if (got > kInputSize) got = kInputSize; // never trust more than the buffer holds
    if (got == 0) {
        ended_ = true;
        return false;
    }
    end_ = t_input + got;
    return true;
}

// Near the end of the input held: a byte at a time, reading more when it runs out, until
// 56 bits are there or the input has ended.
Exploder::Bits Exploder::refill_slow(Bits in) {
    while (in.count <= 56) {
        if (in.next == end_) {
            if (!more_input()) break;
            in.next = t_input;
        }
        in.bits |= static_cast<uint64_t>(*in.next++) << in.count;
        in.count += 8;
    }
    return in;
}

// Writes the full piece and keeps it as the history of the next one; answers where the
// window continues. (The slow paths return their results: a variable whose address is
// taken would live in memory all through the decoding loop.)
unsigned Exploder::hand_on_piece(unsigned at) {
    unsigned size = kPiece;
    write_(reinterpret_cast<char *>(window_ + kHistory), &size, nullptr);
    std::memmove(window_, window_ + kPiece, at - kPiece);
    return at - kPiece;
}

// Bits 0, 9, 18, 27, 36 and 45: the flags of six plain literals in a row; and bit 54, the
// one after them.
constexpr uint64_t kLiteralFlags = 0x0000201008040201ull;
constexpr uint64_t kNoFlag = uint64_t{1} << 54;

// Tops the bit buffer up to at least 56 bits from the 8 or more input bytes at `next`.
inline void refill_fast(uint64_t &bits, unsigned &count, const uint8_t *&next) {
    uint64_t word;
    std::memcpy(&word, next, 8);
    bits |= word << count;
    next += (63 - count) >> 3;
    count |= 56;
}

// A match's length from its length entry and the bits from the match's flag on.
inline unsigned length_of(const LengthEntry &e, uint64_t bits) {
    return e.base +
           static_cast<unsigned>((bits >> e.extra_shift) & ((uint64_t{1} << e.extra_bits) - 1));
}

// A match's distance from its distance code's entry and the bits from that code on.
inline unsigned distance_of(const CodeEntry &d, unsigned low_bits, uint64_t bits) {
    return (unsigned{d.symbol} << low_bits) +
           static_cast<unsigned>((bits >> d.bits) & ((uint64_t{1} << low_bits) - 1)) + 1;
}

// Copies a match within the window; the copy may overlap itself and may write up to 15
// bytes past its end.
inline void copy_match(uint8_t *dst, unsigned distance, unsigned length) {
    const uint8_t *src = dst - distance;
    if (distance >= 8) {
        // Whole words, each reading only bytes written before it; most matches are short
        // enough for the first two.
        std::memcpy(dst, src, 8);
        std::memcpy(dst + 8, src + 8, 8);
        for (unsigned k = 16; k < length; k += 8) std::memcpy(dst + k, src + k, 8);
    } else if (distance == 1) {
        std::memset(dst, *src, length);
    } else {
        for (unsigned k = 0; k < length; ++k) dst[k] = src[k];
    }
}

// The decoding loop keeps its state in locals: stores into the window could otherwise alias
// any member and force reloads.
template <bool kCodedLiterals, unsigned kDictCode>
int Exploder::decode(uint64_t bits, unsigned count, const uint8_t *next) {
    const DecodeTables &tables = kTables;
    uint8_t *const window = window_;
    const LengthEntry *const lengths = tables.length[kDictCode - 4];
    const MatchEntry *const matches = tables.match[kDictCode - 4];
    unsigned at = kHistory;
    const uint8_t *end = end_;
    bool first = true; // no piece written yet: matches may not reach before the output
    int result;

    for (;;) {
        if (!kCodedLiterals && end - next >= 16) {
            // Plain literals are 9 bits each: where they stop shows in their flag bits, so a
            // stretch of up to six is taken without a branch per literal, and a match follows
            // unless all six were literals. Two refills need no more than 16 input bytes.
            refill_fast(bits, count, next);
            // The first flag's bit number is the literals' bits; the next symbol waits for
            // nothing else.
            const unsigned literal_bits =
                static_cast<unsigned>(std::countr_zero((bits & kLiteralFlags) | kNoFlag));
            const unsigned literals = (literal_bits * 57) >> 9; // the bit number divided by 9
            uint8_t *const dst = window + at;
            for (unsigned k = 0; k < 6; ++k) dst[k] = static_cast<uint8_t>(bits >> (9 * k + 1));
            at += literals;
            bits >>= literal_bits;
            count -= literal_bits;
            if (at >= kHistory + kPiece) {
                at = hand_on_piece(at);
                first = false;
            }
            if (literals == 6) continue;

            refill_fast(bits, count, next);
            unsigned length, distance;
            const MatchEntry m = matches[(bits >> 1) & ((1u << kMatchPeek) - 1)];
            if (m.length != 0) {
                // The next symbol's bits wait only for the lookup.
                length = m.length;
                const unsigned low_bits = length == kMinMatch ? 2 : kDictCode;
                distance =
                    (unsigned{m.symbol} << low_bits) +
                    static_cast<unsigned>((bits >> (m.used - low_bits)) & ((1u << low_bits) - 1)) +
                    1;
                bits >>= m.used;
                count -= m.used;
            } else {
                const LengthEntry e = lengths[(bits >> 1) & ((1u << kLengthPeek) - 1)];
                length = length_of(e, bits);
                bits >>= e.used;
                count -= e.used;
                if (length == kEndLength) {
                    result = DXD_EXPLODE_OK;
                    goto done;
                }
                const CodeEntry d = tables.distance[bits & ((1u << kDistancePeek) - 1)];
                distance = distance_of(d, e.low_bits, bits);
                bits >>= unsigned{d.bits} + e.low_bits;
                count -= unsigned{d.bits} + e.low_bits;
            }
            if (first && distance > at - kHistory) {
                result = DXD_EXPLODE_BAD_DISTANCE;
                goto done;
            }
            copy_match(window + at, distance, length);
            at += length;
            if (at >= kHistory + kPiece) {
                at = hand_on_piece(at);
                first = false;
            }
            continue;
        }

        if (end - next >= 8) {
            uint64_t word;
            std::memcpy(&word, next, 8);
            bits |= word << count;
            next += (63 - count) >> 3;
            count |= 56;
        } else {
            const Bits in = refill_slow({bits, count, next});
            bits = in.bits;
            count = in.count;
            next = in.next;
            end = end_;
        }

        if ((bits & 1) == 0) {
            // Literals, as many as the bits at hand hold.
            do {
                unsigned used, byte;
                if (kCodedLiterals) {
                    const CodeEntry e = tables.literal[(bits >> 1) & ((1u << kLiteralPeek) - 1)];
                    used = 1u + e.bits;
                    byte = e.symbol;
                } else {
                    used = 9;
                    byte = static_cast<unsigned>(bits >> 1) & 0xFF;
                }
                if (count < used) {
                    result = DXD_EXPLODE_TRUNCATED;
                    goto done;
                }
                bits >>= used;
                count -= used;
                window[at++] = static_cast<uint8_t>(byte);
                if (at == kHistory + kPiece) {
                    at = hand_on_piece(at);
                    first = false;
                }
            } while (count >= 14 && (bits & 1) == 0);
            continue;
        }

        {
            // A lookup may take bits past the end of the input; then the code it finds is
            // longer than the bits there, which the count check below catches.
            const LengthEntry e = lengths[(bits >> 1) & ((1u << kLengthPeek) - 1)];
            if (count < e.used) {
                result = DXD_EXPLODE_TRUNCATED;
                goto done;
            }
            const unsigned length = length_of(e, bits);
            bits >>= e.used;
            count -= e.used;
            if (length == kEndLength) {
                result = DXD_EXPLODE_OK;
                goto done;
            }

            const CodeEntry d = tables.distance[bits & ((1u << kDistancePeek) - 1)];
            const unsigned distance_used = unsigned{d.bits} + e.low_bits;
            if (count < distance_used) {
                result = DXD_EXPLODE_TRUNCATED;
                goto done;
            }
            const unsigned distance = distance_of(d, e.low_bits, bits);
            bits >>= distance_used;
            count -= distance_used;
            if (first && distance > at - kHistory) {
                result = DXD_EXPLODE_BAD_DISTANCE;
                goto done;
            }

            copy_match(window + at, distance, length);
            at += length;
            if (at >= kHistory + kPiece) {
                at = hand_on_piece(at);
                first = false;
            }
        }
    }

done:
    if (at > kHistory) {
        unsigned size = at - kHistory;
        write_(reinterpret_cast<char *>(window_ + kHistory), &size, nullptr);
    }
    return result;
}

int Exploder::run() {
    const Bits in = refill_slow({0, 0, t_input});
    if (in.count < 16) return DXD_EXPLODE_TRUNCATED;
    const unsigned literal_mode = in.bits & 0xFF;
    const unsigned dict_code = (in.bits >> 8) & 0xFF;
    if (literal_mode > 1) return DXD_EXPLODE_BAD_LITERAL;
    if (dict_code < 4 || dict_code > 6) return DXD_EXPLODE_BAD_DICT;
    const uint64_t bits = in.bits >> 16;
    const unsigned count = in.count - 16;
    switch (literal_mode * 8 + dict_code) {
    case 4:
        return decode<false, 4>(bits, count, in.next);
    case 5:
        return decode<false, 5>(bits, count, in.next);
    case 6:
        return decode<false, 6>(bits, count, in.next);
    case 12:
        return decode<true, 4>(bits, count, in.next);
    case 13:
        return decode<true, 5>(bits, count, in.next);
    default:
        return decode<true, 6>(bits, count, in.next);
    }
}

} // namespace

int fxd_explode(unsigned (*read)(char *buf, unsigned *size, void *param),
                void (*write)(char *buf, unsigned *size, void *param)) {
    Exploder exploder(read, write);
    return exploder.run();
}
