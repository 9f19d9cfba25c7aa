// The compressor's input window, its index and the longest-match search over it.
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
// The window buffer has room for the largest dictionary; with a smaller one its tail is
// never filled and stays zero. No comparison reaches past its end.
inline constexpr unsigned kWindowSize = kMaxDict + kWindowStep + kMaxMatch;
// The index files each position under its first three bytes: a search walks only the
// candidates that can match 3 bytes or more, and most of those a pair index would list
// share no more than the pair. Two bytes are worth coding only when they reach back less
// than 256 bytes, so the latest such pair is looked for among those positions alone.
inline constexpr unsigned kIndexedMatch = 3;
inline constexpr unsigned kPairReach = 256;
inline constexpr unsigned kPairHeads = 512;
// Which bucket a triple lands in changes nothing but how many other triples share it, so
// the hash spreads them; each one walked past costs a comparison.
inline constexpr unsigned kBuckets = 2048;
// Beyond this length the search stops comparing candidates from their start and follows
// the borders of the matched text instead. Both give the same answer; the borders pay off
// for long matches among many candidates, as in repetitive data. Comparing candidates 16
// bytes at a time stays cheaper up to well past 32 bytes, on text and repetitive data alike.
inline constexpr unsigned kBorderScanFrom = 128;
// How far back a search for a short run first looks for its value before using the index.
inline constexpr unsigned kNearby = 64;
// Positions past the last one coded that the index must hold: a search for a short run
// looks at triples up to 5 bytes into candidates that start at least 2 bytes before the
// position searched, which is at most the last one coded.
inline constexpr unsigned kIndexedPast = 8;

inline constexpr unsigned kNoCandidate = ~0u; // no window position is as large

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

inline uint64_t load_word(const uint8_t *p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
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
    // Per hash, the first entry of `sorted` a search can still reach (positions only
    // grow, so what fell out of the dictionary stays out); the last one is the total.
    uint16_t bucket[kBuckets + 1];
    uint16_t sorted[kWindowSize];   // window positions by hash, ascending within one
    uint16_t border[kMaxMatch + 1]; // border[k]: longest proper border of the first k bytes
    unsigned dict = 0;              // dictionary size in bytes
    // Oldest window position a search may use: the zeros before the input, which the first
    // refill leaves in the dictionary's place, are never candidates, nor are as many
    // positions after them as the last match before a refill ran past its part (see slide).
    unsigned data_start = 0;
    unsigned indexed_end = 0; // the first position build left out
    // The positions of the last kPairReach bytes before the position searched, chained by
    // the hash of their pair: pair_head holds the latest of each hash, pair_prev the one
    // before a position. Only a search that needs a 2-byte match files them, so they are
    // filed lazily, from the first position such a search can use.
    uint16_t pair_head[kPairHeads];
    uint16_t pair_prev[kPairReach];
    unsigned pair_filed = 0; // the first position not filed

    static unsigned pair_hash(const uint8_t *p) { return (load_pair(p) * 0x9E3779B1u) >> 23; }

    static unsigned hash(const uint8_t *p) {
        uint32_t v;
        std::memcpy(&v, p, 4);
        return ((v & 0xFFFFFFu) * 0x9E3779B1u) >> 21;
    }

    void begin(unsigned dict_size, unsigned first_data) {
        dict = dict_size;
        data_start = first_data;
    }

    // Files every position from the oldest one `pos` can reach up to `end` under the hash of
    // the three bytes starting there, in increasing position order.
    void build(unsigned pos, unsigned end) {
        const unsigned from = std::max(data_start, pos - dict);
        indexed_end = end;
        std::memset(pair_head, 0, sizeof pair_head); // no position of the window is as old
        pair_filed = 0;
        uint16_t hashes[kWindowSize]; // each position's hash, computed once
        std::memset(bucket, 0, sizeof bucket);
        for (unsigned q = from; q < end; ++q) {
            const unsigned h = hash(window + q);
            hashes[q - from] = static_cast<uint16_t>(h);
            ++bucket[h];
        }
        unsigned total = 0;
        for (unsigned h = 0; h < kBuckets; ++h) {
            total += bucket[h];
            bucket[h] = static_cast<uint16_t>(total);
        }
        bucket[kBuckets] = static_cast<uint16_t>(total);
        for (unsigned q = end; q-- > from;)
            sorted[--bucket[hashes[q - from]]] = static_cast<uint16_t>(q);
    }

    // Keeps the dictionary and the uncoded look-ahead for the next refill. Only the front
    // of the window moves: behind the new input, a last refill that comes up short leaves
    // the previous refill's bytes, which comparisons running past the input's end see.
    // `overshoot` is how far the last match of the part just coded ran into the look-ahead:
    // the oldest usable position moves up by as much. Only the first refill with the
    // 4,096-byte dictionary notices, as everywhere else the dictionary's own reach is the
    // tighter bound.
    void slide(unsigned overshoot) {
        std::memmove(window, window + kWindowStep, dict + kMaxMatch);
        data_start = (data_start > kWindowStep ? data_start - kWindowStep : 0) + overshoot;
    }

    // The longest earlier match for position p (indexed, at least 2): candidates run from
    // the oldest within the dictionary (distance dict - 1 at most) to p - 2 (p - 1 never is
    // one); on equal length the later one wins; the first to reach kMaxMatch ends the
    // search. p's own entry ends every walk through its bucket. Matches shorter than
    // `shortest` are of no use to the caller and come back as none: a look ahead only cares
    // for matches longer than the one it may replace, and leaving the others out early
    // spares most of its comparisons. So does a 2-byte match reaching back 256 bytes or more,
    // which is not worth coding.
    Match find(unsigned p, unsigned shortest = kMinMatch) {
        const uint8_t *const target = window + p;
        const unsigned h = hash(target);
        unsigned i = bucket[h];
        const unsigned reach = std::max(p + 1 - dict, data_start);
        while (sorted[i] < reach) ++i;
        bucket[h] = static_cast<uint16_t>(i); // later positions reach no further back
        // The look ahead usually searches p + 1 next: its candidates load while p's are walked.
        __builtin_prefetch(&sorted[bucket[hash(target + 1)]]);
        // Candidates of the bucket that share only the pair (or less) never count here.
        unsigned best = std::max(shortest, kIndexedMatch) - 1, best_at = 0;
        if (p + kMaxMatch > kWindowSize) [[unlikely]] {
            scan_to_buffer_end(p, i, best, best_at);
        } else if (target[0] == target[1] && target[1] == target[2]) [[unlikely]] {
            const unsigned run = run_length(p, target[0], kMaxMatch);
            if (run < 8)
                scan_short_run(p, i, reach, run, best, best_at);
            else
                scan_runs(p, i, best, best_at);
        } else {
            scan_candidates(p, i, best, best_at);
        }
        if (best < kIndexedMatch) {
            if (shortest > kMinMatch || p + kMinMatch > kWindowSize) return {0, 0};
            return latest_pair(p, reach);
        }
        if (best < shortest) return {0, 0};
        return {best, p - best_at - 1};
    }

private:
    // The latest candidate within kPairReach that shares the first two bytes, through the
    // chains of the positions before p; those not filed yet are filed first.
    Match latest_pair(unsigned p, unsigned reach) {
        const unsigned lowest = std::max(reach, p - kPairReach);
        for (unsigned q = std::max(pair_filed, lowest); q + 2 <= p; ++q) {
            const unsigned h = pair_hash(window + q);
            pair_prev[q % kPairReach] = pair_head[h];
            pair_head[h] = static_cast<uint16_t>(q);
        }
        pair_filed = p - 1;
        const uint16_t pair = load_pair(window + p);
        for (unsigned c = pair_head[pair_hash(window + p)]; c >= lowest;
             c = pair_prev[c % kPairReach])
            if (load_pair(window + c) == pair) return {kMinMatch, p - c - 1};
        return {0, 0};
    }

    // Near the end of the buffer, which only the last part of an input coded with the
    // 4,096-byte dictionary reaches, every comparison stops there: each candidate on its own.
    // No match can reach kMaxMatch here.
    void scan_to_buffer_end(unsigned p, unsigned i, unsigned &best, unsigned &best_at) const {
        const uint8_t *const target = window + p;
        const unsigned limit = kWindowSize - p;
        for (unsigned c; (c = sorted[i]) <= p - 2; ++i) {
            const unsigned length = common_prefix(window + c, target, limit);
            if (length >= kIndexedMatch && length >= best) {
                best = length;
                best_at = c;
            }
        }
    }

    // Bytes a candidate must share with the target to match at least `length` bytes, as far
    // as one word can tell.
    static uint64_t prefix_mask(unsigned length) {
        return length >= 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * length)) - 1;
    }

    // Length of the match at candidate c, known to share the pair; `diff` is the first
    // words of candidate and target exclusive-ored.
    unsigned match_length(unsigned c, const uint8_t *target, uint64_t diff) const {
        if (diff != 0) return static_cast<unsigned>(std::countr_zero(diff)) >> 3;
        return 8 + common_prefix(window + c + 8, target + 8, kMaxMatch - 8);
    }

    // One pass over the bucket from the oldest candidate; a tie replaces the best, as the later
    // one wins, and until something beats the length the caller asked for, ties with it do
    // not count. Whether a candidate beats the best goes either way at random, so the first
    // 16 bytes are compared and the best kept without a branch; only a candidate that shares
    // all of them takes one. (The buffer's end is a whole match length away here.)
    void scan_candidates(unsigned p, unsigned i, unsigned &best, unsigned &best_at) {
        const uint8_t *const target = window + p;
        const unsigned last = p - 2;
        const uint64_t head = load_word(target);
        const uint64_t head_next = load_word(target + 8);
        unsigned needed = best + 1; // the length a candidate must reach to count
        unsigned at = kNoCandidate;
        for (unsigned c; (c = sorted[i]) <= last; ++i) {
            const uint8_t *const candidate = window + c;
            const unsigned first =
                static_cast<unsigned>(std::countr_zero(load_word(candidate) ^ head)) >> 3;
            const unsigned second =
                static_cast<unsigned>(std::countr_zero(load_word(candidate + 8) ^ head_next)) >> 3;
            unsigned length = first + (first == 8 ? second : 0);
            if (length == 16) {
                length += common_prefix(candidate + 16, target + 16, kMaxMatch - 16);
                if (length > kBorderScanFrom) { // longer than any best so far
                    best = length;
                    best_at = c;
                    if (length < kMaxMatch) scan_borders(p, i, best, best_at);
                    return;
                }
            }
            const bool counts = length >= needed;
            needed = counts ? length : needed;
            at = counts ? c : at;
        }
        if (at != kNoCandidate) {
            best = needed;
            best_at = at;
        }
    }

    // Number of bytes equal to `value` from `from` on, counting no further than `limit`.
    unsigned run_length(unsigned from, uint8_t value, unsigned limit) const {
        const uint64_t spread = value * 0x0101010101010101ull;
        unsigned n = 0;
        while (n < limit) {
            const uint64_t diff = load_word(window + from + n) ^ spread;
            if (diff != 0)
                return std::min(limit, n + (static_cast<unsigned>(std::countr_zero(diff)) >> 3));
            n += 8;
        }
        return limit;
    }

    // The candidates of a short run's search that match past the run: they hold the triple
    // that ends the target's run at the same place, run - 2 bytes in. As in scan_candidates,
    // the greatest length first, then the newest of that length. True when one matched
    // past the run (best and best_at then hold it).
    template <bool kBounded>
    bool scan_shifted_triples(unsigned p, unsigned reach, unsigned run, unsigned &best,
                              unsigned &best_at) {
        const uint8_t *const target = window + p;
        const unsigned shift = run - 2;
        const unsigned h = hash(target + shift);
        // Without the own entry: up to the next bucket's first live entry at most. Before it
        // may come entries of that bucket which fell out of reach, and as they are older
        // than this search's reach, the first of them ends the walk.
        const unsigned end = kBounded ? bucket[h + 1] : kWindowSize;
        unsigned j = bucket[h];
        while ((!kBounded || j < end) && sorted[j] < reach) ++j;
        bucket[h] = static_cast<uint16_t>(j);
        while ((!kBounded || j < end) && sorted[j] < reach + shift) ++j;
        const uint64_t head = load_word(target);
        const unsigned first = j;
        uint64_t longer = prefix_mask(run + 1);
        for (unsigned x; (!kBounded || j < end) && (x = sorted[j]) <= p - 2 + shift; ++j) {
            if (kBounded && x < reach) break;
            const unsigned c = x - shift;
            const uint64_t diff = load_word(window + c) ^ head;
            if (diff & longer) continue;
            const unsigned length = match_length(c, target, diff);
            if (length <= best) continue;
            best = length;
            best_at = c;
            if (length == kMaxMatch) return true;
            longer = prefix_mask(length + 1);
        }
        if (best <= run) return false;
        const uint64_t same = prefix_mask(best);
        while (j-- > first) {
            const unsigned c = sorted[j] - shift;
            const uint64_t diff = load_word(window + c) ^ head;
            if ((diff & same) == 0 && match_length(c, target, diff) == best) {
                best_at = c;
                break;
            }
        }
        return true;
    }

    // The target starts with a short run of one byte value (3 bytes at least), then another
    // byte. A candidate that matches past the run holds the run's last two bytes and that
    // byte run - 2 bytes in: their bucket, usually far smaller than the run's own, lists all
    // of them. When none does, the answer is the latest start of the longest stretch of the
    // value (no longer than the run): looked for close by first, else through the run's own
    // bucket from index i.
    void scan_short_run(unsigned p, unsigned i, unsigned reach, unsigned run, unsigned &best,
                        unsigned &best_at) {
        const uint8_t *const target = window + p;
        const unsigned shift = run - 2;
        // Unless p + shift lies past what is indexed (near the input's end), its own entry in
        // the bucket ends every walk through it, and the walk needs no other bound.
        const bool bounded = p + shift >= indexed_end;
        if (bounded ? scan_shifted_triples<true>(p, reach, run, best, best_at)
                    : scan_shifted_triples<false>(p, reach, run, best, best_at))
            return;

        const uint8_t value = target[0];
        unsigned stretch = window[p - 1] == value ? run : 0; // from the position after c
        const unsigned near = std::max(reach, p > kNearby + 2 ? p - 2 - kNearby : 0);
        for (unsigned c = p - 2; c + 1 > near; --c) {
            stretch = window[c] == value ? std::min(stretch + 1, run) : 0;
            if (stretch == run) {
                best = run;
                best_at = c;
                return;
            }
        }
        scan_runs(p, i, best, best_at);
    }

    // The target starts with a run of one byte value, so every candidate of its bucket whose
    // triple matches lies in such a run (the last two starts of a run share only the pair and
    // are left to the 2-byte search). Within one run the candidates' lengths follow from
    // the run's end: those leaving more of the run than the target has all match the
    // target's run (ties, the latest wins), the one leaving exactly as much may match
    // further, and the later ones match only the rest of their run. One run at a time gives
    // the same answer as one candidate at a time.
    void scan_runs(unsigned p, unsigned i, unsigned &best, unsigned &best_at) {
        const uint8_t *const target = window + p;
        const uint8_t value = target[0];
        const int last = static_cast<int>(p) - 2;
        const int target_run = static_cast<int>(run_length(p, value, kMaxMatch));
        const uint64_t head = load_word(target);
        const uint64_t spread = value * 0x0101010101010101ull;
        uint64_t needed = prefix_mask(kIndexedMatch);
        for (int c; (c = sorted[i]) <= last; ++i) {
            const uint64_t word = load_word(window + c);
            if (word != spread) {
                // A run of fewer than 8 bytes from here: this candidate on its own.
                const uint64_t diff = word ^ head;
                if (diff & needed) continue;
                const unsigned length = match_length(static_cast<unsigned>(c), target, diff);
                if (length < best) continue;
                best = length;
                best_at = static_cast<unsigned>(c);
                if (length == kMaxMatch) return;
                needed = prefix_mask(best);
                continue;
            }
            // The run's end, looked for only as far as it can matter.
            const int end = c + 2 +
                            static_cast<int>(run_length(
                                c + 2, value, static_cast<unsigned>(last + target_run - c - 1)));
            const int run_last = std::min(end - 3, last); // last candidate in this run
            const int exact = end - target_run;           // the candidate leaving the target's run
            if (c < exact) {
                if (target_run == static_cast<int>(kMaxMatch)) {
                    best = kMaxMatch; // the oldest of the full-length matches
                    best_at = static_cast<unsigned>(c);
                    return;
                }
                if (static_cast<unsigned>(target_run) >= best) {
                    best = static_cast<unsigned>(target_run);
                    best_at = static_cast<unsigned>(std::min(run_last, exact - 1));
                }
            }
            if (exact >= c && exact <= run_last) {
                const unsigned length =
                    static_cast<unsigned>(target_run) +
                    common_prefix(window + end, target + target_run, kMaxMatch - target_run);
                if (length >= best) {
                    best = length;
                    best_at = static_cast<unsigned>(exact);
                    if (length == kMaxMatch) return;
                }
            }
            const int rest = std::max(c, exact + 1);
            if (rest <= run_last && static_cast<unsigned>(end - rest) >= best) {
                best = static_cast<unsigned>(end - rest);
                best_at = static_cast<unsigned>(rest);
            }
            i += static_cast<unsigned>(run_last - c);
            needed = prefix_mask(best);
        }
    }

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
