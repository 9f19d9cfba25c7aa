// Helpers of the codec tests (see codec_support.h).
#include "tests/compress/codec_support.h"

#include "kernel/compress/code_tables.h"
#include "kernel/compress/explode.h"
#include "kernel/compress/implode.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>

namespace codec_test {

Bytes from_hex(const std::string &hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::string to_hex(const Bytes &bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

Bytes bytes_of(const std::string &text) {
    return Bytes(text.begin(), text.end());
}

Bytes repeat(const std::string &text, size_t times) {
    Bytes out;
    for (size_t i = 0; i < times; ++i) out.insert(out.end(), text.begin(), text.end());
    return out;
}

namespace {

struct ImplodeIo {
    const Bytes *input;
    size_t at;
    unsigned step;
    Imploded *result;
};

unsigned implode_read(char *buf, unsigned *size, void *param) {
    auto *io = static_cast<ImplodeIo *>(param);
    io->result->requests.push_back(*size);
    const size_t n = std::min<size_t>({*size, io->step, io->input->size() - io->at});
    std::copy_n(io->input->begin() + static_cast<std::ptrdiff_t>(io->at), n, buf);
    io->at += n;
    return static_cast<unsigned>(n);
}

void implode_write(char *buf, unsigned *size, void *param) {
    auto *io = static_cast<ImplodeIo *>(param);
    io->result->stream.insert(io->result->stream.end(), buf, buf + *size);
    io->result->pieces.push_back(*size);
}

// Explode's callbacks get no parameter: the current call's buffers are the thread's.
thread_local const Bytes *t_stream;
thread_local size_t t_at;
thread_local unsigned t_step;
thread_local Exploded *t_result;

unsigned explode_read(char *buf, unsigned *size, void *) {
    t_result->requests.push_back(*size);
    const size_t n = std::min<size_t>({*size, t_step, t_stream->size() - t_at});
    std::copy_n(t_stream->begin() + static_cast<std::ptrdiff_t>(t_at), n, buf);
    t_at += n;
    return static_cast<unsigned>(n);
}

void explode_write(char *buf, unsigned *size, void *) {
    t_result->output.insert(t_result->output.end(), buf, buf + *size);
    t_result->pieces.push_back(*size);
}

} // namespace

Imploded implode(const Bytes &input, unsigned literal_mode, unsigned dict_size, unsigned read_step,
                 uint8_t work_fill) {
    Imploded result;
    ImplodeIo io{&input, 0, read_step, &result};
    std::vector<char> work(DXD_IMPLODE_WORK_SIZE, static_cast<char>(work_fill));
    result.result =
        fxd_implode(implode_read, implode_write, work.data(), &io, &literal_mode, &dict_size);
    return result;
}

Exploded explode(const Bytes &stream, unsigned read_step) {
    Exploded result;
    t_stream = &stream;
    t_at = 0;
    t_step = read_step;
    t_result = &result;
    result.result = fxd_explode(explode_read, explode_write);
    return result;
}

StreamBuilder::StreamBuilder(unsigned literal_mode, unsigned dict_code)
    : literal_mode_(literal_mode), dict_code_(dict_code) {
    bits(literal_mode, 8);
    bits(dict_code, 8);
}

StreamBuilder &StreamBuilder::bits(uint32_t value, unsigned count) {
    for (unsigned k = 0; k < count; ++k) {
        if (used_ == 0) bytes_.push_back(0);
        bytes_.back() |= static_cast<uint8_t>(((value >> k) & 1) << used_);
        used_ = (used_ + 1) % 8;
    }
    return *this;
}

StreamBuilder &StreamBuilder::literal(uint8_t byte) {
    bits(0, 1);
    if (literal_mode_ == 0) return bits(byte, 8);
    return bits(kova_codec::kLiteralCodes[byte], kova_codec::kLiteralBits[byte]);
}

StreamBuilder &StreamBuilder::match(unsigned length, unsigned distance) {
    using namespace kova_codec;
    unsigned entry = 15;
    while (length < kLengthBase[entry] + 2u) --entry;
    bits(1, 1);
    bits(kLengthCodes[entry], kLengthBits[entry]);
    bits(length - 2 - kLengthBase[entry], kLengthExtra[entry]);
    if (length == kEndLength) return *this;
    const unsigned low_bits = length == 2 ? 2 : dict_code_;
    const unsigned upper = (distance - 1) >> low_bits;
    bits(kDistanceCodes[upper], kDistanceBits[upper]);
    return bits((distance - 1) & ((1u << low_bits) - 1), low_bits);
}

StreamBuilder &StreamBuilder::end() {
    return match(kova_codec::kEndLength, 0);
}

Bytes StreamBuilder::bytes() const {
    return bytes_;
}

Bytes sample_text(size_t length) {
    static const char *const words[] = {
        "the",     "patch",   "component", "installation", "release", "tree",    "service",
        "manager", "queue",   "file",      "directory",    "of",      "and",     "to",
        "a",       "is",      "with",      "when",         "every",   "server",  "block",
        "codec",   "expands", "writes",    "reads",        "before",  "after",   "undo",
        "menu",    "table",   "user",      "log",          "stops",   "restarts"};
    std::mt19937 rng(7);
    std::string text;
    size_t line = 0;
    while (text.size() < length) {
        const char *word = words[rng() % std::size(words)];
        text += word;
        line += std::strlen(word) + 1;
        const unsigned r = rng() % 20;
        if (r == 0) text += ".";
        if (r == 1) text += ",";
        if (line > 70) {
            text += "\n";
            line = 0;
        } else {
            text += " ";
        }
    }
    text.resize(length);
    return bytes_of(text);
}

Bytes sample_machine_code(size_t length) {
    std::ifstream file("/proc/self/exe", std::ios::binary);
    Bytes exe((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // Skip the headers: the code proper starts well inside the file.
    const size_t start = exe.size() > length + 8192 ? 8192 : 0;
    Bytes out(exe.begin() + static_cast<std::ptrdiff_t>(start), exe.end());
    while (out.size() < length) out.insert(out.end(), out.begin(), out.end());
    out.resize(length);
    return out;
}

Bytes sample_random(size_t length, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes out(length);
    for (auto &b : out) b = static_cast<uint8_t>(rng());
    return out;
}

} // namespace codec_test
