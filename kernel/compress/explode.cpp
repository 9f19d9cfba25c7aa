// The explode decompressor: table-driven decoding from a 64-bit bit buffer into a window
// that keeps the last 4,096 output bytes behind the ones being produced.
#include "kernel/compress/explode.h"

#include "kernel/compress/code_tables.h"

#include <cstdint>
#include <cstring>

namespace {

using namespace kova_codec;

constexpr unsigned kInputSize = 16384; // read requests, into a buffer of the calling thread
constexpr unsigned kHistory = 4096;    // the largest distance a stream can use
constexpr unsigned kPiece = 4096;      // output is handed on in pieces of this size
constexpr unsigned kLiteralPeek = 13;  // the longest literal code
constexpr unsigned kLengthPeek = 7;
constexpr unsigned kDistancePeek = 8;

thread_local uint8_t t_input[kInputSize];

// Decoding tables indexed by the next bits of the stream (codes are stored least significant
// bit first, so a code fills every entry whose low bits equal it).
struct DecodeTables {
    uint16_t literal[1u << kLiteralPeek];   // byte | code bits << 8
    uint8_t length[1u << kLengthPeek];      // entry | code bits << 4
    uint16_t distance[1u << kDistancePeek]; // entry | code bits << 8
};

template <typename T, typename Code, std::size_t N>
void fill_table(T *table, unsigned peek, const uint8_t (&bits)[N], const Code (&codes)[N],
                unsigned shift) {
    for (unsigned symbol = 0; symbol < N; ++symbol)
        for (unsigned high = 0; high < (1u << (peek - bits[symbol])); ++high)
            table[codes[symbol] | (high << bits[symbol])] =
                static_cast<T>(symbol | (unsigned{bits[symbol]} << shift));
}

const DecodeTables &decode_tables() {
    static const DecodeTables tables = [] {
        DecodeTables t{};
        fill_table(t.literal, kLiteralPeek, kLiteralBits, kLiteralCodes, 8);
        fill_table(t.length, kLengthPeek, kLengthBits, kLengthCodes, 4);
        fill_table(t.distance, kDistancePeek, kDistanceBits, kDistanceCodes, 8);
        return t;
    }();
    return tables;
}

// Bits of the input, least significant first, refilled a word at a time while the buffer
// holds one and a byte at a time near its end.
class BitInput {
public:
    explicit BitInput(unsigned (*read)(char *, unsigned *, void *)) : read_(read) {}

    // Brings the buffer to at least 56 bits, or to all that is left of the input.
    void refill() {
        if (end_ - next_ >= 8) {
            uint64_t word;
            std::memcpy(&word, next_, 8);
            bits_ |= word << count_;
            next_ += (63 - count_) >> 3;
            count_ |= 56;
            return;
        }
        while (count_ <= 56) {
            if (next_ == end_ && !more()) return;
            bits_ |= static_cast<uint64_t>(*next_++) << count_;
            count_ += 8;
        }
    }

    uint64_t bits() const { return bits_; }
    unsigned count() const { return count_; }
    void consume(unsigned n) {
        bits_ >>= n;
        count_ -= n;
    }

private:
    bool more() {
        if (ended_) return false;
        unsigned request = kInputSize;
        unsigned got = read_(reinterpret_cast<char *>(t_input), &request, nullptr);
        if (got > kInputSize) got = kInputSize; // never trust more than the buffer holds
        if (got == 0) {
            ended_ = true;
            return false;
        }
        next_ = t_input;
        end_ = t_input + got;
        return true;
    }

    unsigned (*read_)(char *, unsigned *, void *);
    const uint8_t *next_ = t_input;
    const uint8_t *end_ = t_input;
    uint64_t bits_ = 0;
    unsigned count_ = 0;
    bool ended_ = false;
};

// The output window: the previous 4,096 bytes, then the piece being filled, then room for
// the longest match and for copies that run a word past their end.
class Window {
public:
    explicit Window(void (*write)(char *, unsigned *, void *)) : write_(write) {}

    bool reaches(unsigned distance) const { return !first_ || distance <= at_ - kHistory; }

    void literal(uint8_t byte) {
        bytes_[at_++] = byte;
        if (at_ == kHistory + kPiece) hand_on_piece();
    }

    void copy(unsigned distance, unsigned length) {
        uint8_t *dst = bytes_ + at_;
        const uint8_t *src = dst - distance;
        if (distance >= 8) {
            for (unsigned k = 0; k < length; k += 8) std::memcpy(dst + k, src + k, 8);
        } else if (distance == 1) {
            std::memset(dst, *src, length);
        } else {
            for (unsigned k = 0; k < length; ++k) dst[k] = src[k];
        }
        at_ += length;
        if (at_ >= kHistory + kPiece) hand_on_piece();
    }

    void finish() {
        if (at_ > kHistory) {
            unsigned size = at_ - kHistory;
            write_(reinterpret_cast<char *>(bytes_ + kHistory), &size, nullptr);
        }
    }

private:
    void hand_on_piece() {
        unsigned size = kPiece;
        write_(reinterpret_cast<char *>(bytes_ + kHistory), &size, nullptr);
        std::memmove(bytes_, bytes_ + kPiece, at_ - kPiece);
        at_ -= kPiece;
        first_ = false;
    }

    void (*write_)(char *, unsigned *, void *);
    unsigned at_ = kHistory;
    bool first_ = true;
    uint8_t bytes_[kHistory + kPiece + kEndLength + 16];
};

int decode(BitInput &in, Window &out, bool coded_literals, unsigned dict_code) {
    const DecodeTables &tables = decode_tables();
    const uint64_t dict_mask = (1u << dict_code) - 1;
    for (;;) {
        in.refill();
        uint64_t bits = in.bits();
        if (in.count() < 1) return DXD_EXPLODE_TRUNCATED;
        if ((bits & 1) == 0) {
            unsigned used, byte;
            if (coded_literals) {
                const unsigned entry = tables.literal[(bits >> 1) & ((1u << kLiteralPeek) - 1)];
                used = 1 + (entry >> 8);
                byte = entry & 0xFF;
            } else {
                used = 9;
                byte = (bits >> 1) & 0xFF;
            }
            if (in.count() < used) return DXD_EXPLODE_TRUNCATED;
            in.consume(used);
            out.literal(static_cast<uint8_t>(byte));
            continue;
        }

        const unsigned entry = tables.length[(bits >> 1) & ((1u << kLengthPeek) - 1)];
        const unsigned index = entry & 0x0F;
        const unsigned code_bits = entry >> 4;
        const unsigned extra = kLengthExtra[index];
        const unsigned length_used = 1 + code_bits + extra;
        if (in.count() < length_used) return DXD_EXPLODE_TRUNCATED;
        const unsigned length =
            kLengthBase[index] + kMinMatch +
            static_cast<unsigned>((bits >> (1 + code_bits)) & ((1u << extra) - 1));
        in.consume(length_used);
        if (length == kEndLength) return DXD_EXPLODE_OK;

        bits = in.bits();
        const unsigned dist_entry = tables.distance[bits & ((1u << kDistancePeek) - 1)];
        const unsigned dist_bits = dist_entry >> 8;
        const unsigned low_bits = length == kMinMatch ? 2 : dict_code;
        const uint64_t low_mask = length == kMinMatch ? 3 : dict_mask;
        if (in.count() < dist_bits + low_bits) return DXD_EXPLODE_TRUNCATED;
        const unsigned distance = ((dist_entry & 0x3F) << low_bits) +
                                  static_cast<unsigned>((bits >> dist_bits) & low_mask) + 1;
        in.consume(dist_bits + low_bits);
        if (!out.reaches(distance)) return DXD_EXPLODE_BAD_DISTANCE;
        out.copy(distance, length);
    }
}

} // namespace

int fxd_explode(unsigned (*read)(char *buf, unsigned *size, void *param),
                void (*write)(char *buf, unsigned *size, void *param)) {
    BitInput in(read);
    in.refill();
    if (in.count() < 16) return DXD_EXPLODE_TRUNCATED;
    const unsigned literal_mode = in.bits() & 0xFF;
    const unsigned dict_code = (in.bits() >> 8) & 0xFF;
    in.consume(16);
    if (literal_mode > 1) return DXD_EXPLODE_BAD_LITERAL;
    if (dict_code < 4 || dict_code > 6) return DXD_EXPLODE_BAD_DICT;

    Window out(write);
    const int result = decode(in, out, literal_mode == 1, dict_code);
    out.finish();
    return result;
}
