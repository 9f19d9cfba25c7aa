// The compressor's input window, its pair index and the longest-match search over it.
// Internal to the compressor (and its tests): which candidate wins decides the output bytes.
#pragma once

#include "kernel/compress/code_tables.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

namespace kova_codec {

inline constexpr unsigned kWindowStep = 4096; // input read per refill
inline constexpr unsigned kMaxDict = 4096;
inline constexpr unsigned kWindowSize = kMaxDict + kWindowStep + kMaxMatch;
inline constexpr unsigned kPairBuckets = 2304;
// Beyond this length the search stops comparing candidates from their start and follows
// the borders of the matched text instead.
inline constexpr unsigned kBorderScanFrom = 10;

struct Match {
    unsigned length; // 0 when nothing of at least 2 bytes was found
    unsigned offset; // distance - 1
};

// Number of equal leading bytes of a and b, at most limit.
inline unsigned common_prefix(const uint8_t *a, const uint8_t *b, unsigned limit) {
    unsigned n = 0;
    while (n + 8 <= limit) {
        uint64_t x, y;
        std::memcpy(&x, a + n, 8);
        std::memcpy(&y, b + n, 8);
        if (x != y) return n + (static_cast<unsigned>(std::countr_zero(x ^ y)) >> 3);
        n += 8;
    }
    while (n < limit && a[n] == b[n]) ++n;
    return n;
}

inline uint16_t load_pair(const uint8_t *p) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}

struct MatchIndex {
    // The dictionary, the look-ahead and the new input; comparisons may run up to a full
    // match length past the end, into the zeroed tail.
    uint8_t window[kWindowSize + kMaxMatch + 8];
    uint16_t bucket[kPairBuckets];  // per pair hash: first live entry in `sorted`
    uint16_t sorted[kWindowSize];   // window positions by pair hash, ascending within one
    uint16_t border[kMaxMatch + 1]; // border[k]: longest proper border of the first k bytes
    unsigned dict = 0;              // dictionary size in bytes
    unsigned data_start = 0;        // first window position that holds input

    static unsigned pair_hash(const uint8_t *p) { return p[0] * 4u + p[1] * 5u; }

    void begin(unsigned dict_size, unsigned first_data) {
        dict = dict_size;
        data_start = first_data;
    }

    // Files every position from the oldest one `pos` can reach up to data_end under the hash
    // of the two bytes starting there, in increasing position order.
    void build(unsigned pos, unsigned data_end) {
        const unsigned from = std::max(data_start, pos - dict);
        std::memset(bucket, 0, sizeof bucket);
        for (unsigned q = from; q < data_end; ++q) ++bucket[pair_hash(window + q)];
        unsigned total = 0;
        for (unsigned h = 0; h < kPairBuckets; ++h) {
            total += bucket[h];
            bucket[h] = static_cast<uint16_t>(total);
        }
        for (unsigned q = data_end; q-- > from;)
            sorted[--bucket[pair_hash(window + q)]] = static_cast<uint16_t>(q);
    }

    // Keeps the dictionary and the uncoded look-ahead for the next refill.
    void slide() {
        std::memmove(window, window + kWindowStep, dict + kMaxMatch);
        data_start = data_start > kWindowStep ? data_start - kWindowStep : 0;
    }

    // The longest earlier match for position p (indexed, at least 2): candidates run from
    // the oldest within the dictionary to p - 2 (p - 1 never is one); on equal length the
    // later one wins; the first to reach kMaxMatch ends the search.
    Match find(unsigned p) {
        const uint8_t *const target = window + p;
        const unsigned h = pair_hash(target);
        unsigned i = bucket[h];
        const unsigned reach = std::max(p - dict, data_start);
        while (sorted[i] < reach) ++i;
        bucket[h] = static_cast<uint16_t>(i); // later positions reach no further back
        const unsigned last = p - 2;
        const uint16_t pair = load_pair(target);
        unsigned best = 1, best_at = 0;
        for (unsigned c; (c = sorted[i]) <= last; ++i) {
            if (load_pair(window + c) != pair || window[c + best - 1] != target[best - 1]) continue;
            const unsigned length =
                kMinMatch + common_prefix(window + c + 2, target + 2, kMaxMatch - 2);
            if (length < best) continue;
            best = length;
            best_at = c;
            if (length == kMaxMatch) break;
            if (length > kBorderScanFrom) {
                scan_borders(p, i, best, best_at);
                break;
            }
        }
        if (best < kMinMatch) return {0, 0};
        return {best, p - best_at - 1};
    }

private:
    // Continues the search after candidate sorted[i] matched `best` bytes, the way substring
    // search does: from a match of L bytes the next start that can match as far is L minus
    // the longest border of those L bytes further on, with the border already known to
    // match. Starts in between match fewer bytes, so skipping them changes nothing.
    void scan_borders(unsigned p, unsigned i, unsigned &best, unsigned &best_at) {
        const uint8_t *const target = window + p;
        const unsigned last = p - 2;
        const uint16_t pair = load_pair(target);
        unsigned known = 1; // border[] is valid up to here
        border[1] = 0;
        unsigned at = best_at, length = best;
        for (;;) {
            while (known < length) {
                const unsigned k = ++known;
                unsigned j = border[k - 1];
                while (j > 0 && target[j] != target[k - 1]) j = border[j];
                if (target[j] == target[k - 1]) ++j;
                border[k] = static_cast<uint16_t>(j);
            }
            const unsigned shared = border[length];
            const unsigned next = at + length - shared;
            if (shared >= kMinMatch) {
                if (next > last) return;
                at = next;
                length = shared +
                         common_prefix(window + at + shared, target + shared, kMaxMatch - shared);
            } else {
                // No usable border: the next candidate of the bucket at or after `next`.
                while (sorted[i] < next) ++i;
                for (;; ++i) {
                    const unsigned c = sorted[i];
                    if (c > last) return;
                    if (load_pair(window + c) == pair) break;
                }
                at = sorted[i];
                length = kMinMatch + common_prefix(window + at + 2, target + 2, kMaxMatch - 2);
            }
            if (length >= best) {
                best = length;
                best_at = at;
                if (length == kMaxMatch) return;
            }
        }
    }
};

} // namespace kova_codec
