// Helpers of the codec tests: running implode and explode over byte vectors through their
// callbacks, hex forms, and the sample inputs (text, machine code, random bytes).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace codec_test {

using Bytes = std::vector<uint8_t>;

Bytes from_hex(const std::string &hex);
std::string to_hex(const Bytes &bytes);
Bytes bytes_of(const std::string &text);
Bytes repeat(const std::string &text, size_t times);

struct Imploded {
    unsigned result = 0;
    Bytes stream;
    std::vector<unsigned> pieces;   // sizes handed to the write callback, in order
    std::vector<unsigned> requests; // byte counts asked of the read callback
};

// Implodes `input`, delivering at most `read_step` bytes per read callback. The work area is
// filled with `work_fill` first (the compressor must not depend on it).
Imploded implode(const Bytes &input, unsigned literal_mode, unsigned dict_size,
                 unsigned read_step = 4096, uint8_t work_fill = 0);

struct Exploded {
    int result = 0;
    Bytes output;
    std::vector<unsigned> pieces;
    std::vector<unsigned> requests; // byte counts asked of the read callback
};

// Explodes `stream`, delivering at most `read_step` bytes per read callback.
Exploded explode(const Bytes &stream, unsigned read_step = 16384);

// Writes streams symbol by symbol, including ones the compressor never makes.
class StreamBuilder {
public:
    // Starts with the two header bytes.
    StreamBuilder(unsigned literal_mode, unsigned dict_code);
    StreamBuilder &bits(uint32_t value, unsigned count); // least significant bit first
    StreamBuilder &literal(uint8_t byte);
    StreamBuilder &match(unsigned length, unsigned distance);
    StreamBuilder &end();
    // The stream so far, its last byte completed with zero bits.
    Bytes bytes() const;

private:
    unsigned literal_mode_, dict_code_;
    Bytes bytes_;
    unsigned used_ = 0; // bits used in the last byte
};

// Sample inputs, the same on every run.
Bytes sample_text(size_t length);         // prose-like words with punctuation and lines
Bytes sample_machine_code(size_t length); // from this test program's own executable
Bytes sample_random(size_t length, uint32_t seed = 1);

} // namespace codec_test
