// Throughput of implode and explode on 32 KiB blocks, as patches store them, of four kinds of
// data (source text, machine code, zeros, random bytes), and on one long stream; counts the
// heap allocations made inside the coders. Figures in MB/s of uncompressed data.
#include "kernel/compress/explode.h"
#include "kernel/compress/implode.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <new>
#include <random>
#include <string>
#include <vector>

namespace {

std::atomic<long> g_allocations{0};

} // namespace

// Every allocation of the program passes here, so a coder that allocated would show. (GCC
// takes the pairing of this operator new with free for a mismatch.)
#pragma GCC diagnostic ignored "-Wpragmas"
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void *operator new(std::size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void *p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void *p) noexcept {
    std::free(p);
}
void operator delete(void *p, std::size_t) noexcept {
    std::free(p);
}

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kBlock = 32768;
constexpr size_t kCorpusSize = 4u << 20; // 128 blocks per corpus

Bytes read_file(const std::filesystem::path &path, size_t limit) {
    std::ifstream file(path, std::ios::binary);
    Bytes bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (bytes.size() > limit) bytes.resize(limit);
    return bytes;
}

// Source text: the system's C headers, concatenated in name order.
Bytes headers() {
    std::vector<std::filesystem::path> names;
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator("/usr/include", error))
        if (entry.is_regular_file() && entry.path().extension() == ".h")
            names.push_back(entry.path());
    std::sort(names.begin(), names.end());
    Bytes text;
    for (const auto &name : names) {
        const Bytes file = read_file(name, kCorpusSize);
        text.insert(text.end(), file.begin(), file.end());
        if (text.size() >= kCorpusSize) break;
    }
    return text;
}

// Machine code: a large executable, or this benchmark itself.
Bytes executable() {
    for (const char *path : {"/usr/bin/cmake", "/proc/self/exe"}) {
        Bytes code = read_file(path, kCorpusSize);
        if (code.size() >= 16 * kBlock) return code;
    }
    return read_file("/proc/self/exe", kCorpusSize);
}

Bytes random_bytes() {
    std::mt19937 rng(1);
    Bytes bytes(kCorpusSize);
    for (auto &b : bytes) b = static_cast<uint8_t>(rng());
    return bytes;
}

const Bytes &corpus(const std::string &name) {
    static std::map<std::string, Bytes> corpora;
    auto it = corpora.find(name);
    if (it != corpora.end()) return it->second;
    Bytes bytes = name == "text"    ? headers()
                  : name == "code"  ? executable()
                  : name == "zeros" ? Bytes(kCorpusSize, 0)
                                    : random_bytes();
    bytes.resize(bytes.size() / kBlock * kBlock);
    return corpora.emplace(name, std::move(bytes)).first->second;
}

// The coders' callbacks over plain buffers. Explode's carry no parameter, so its buffers
// are the thread's.
struct Source {
    const uint8_t *data;
    size_t left;
};
struct Sink {
    uint8_t *data;
    size_t used;
};

unsigned read_source(Source &s, char *buf, unsigned size) {
    const size_t n = std::min<size_t>(size, s.left);
    std::memcpy(buf, s.data, n);
    s.data += n;
    s.left -= n;
    return static_cast<unsigned>(n);
}

void write_sink(Sink &s, const char *buf, unsigned size) {
    std::memcpy(s.data + s.used, buf, size);
    s.used += size;
}

struct ImplodeIo {
    Source in;
    Sink out;
};
unsigned implode_read(char *buf, unsigned *size, void *param) {
    return read_source(static_cast<ImplodeIo *>(param)->in, buf, *size);
}
void implode_write(char *buf, unsigned *size, void *param) {
    write_sink(static_cast<ImplodeIo *>(param)->out, buf, *size);
}

thread_local Source t_in;
thread_local Sink t_out;
unsigned explode_read(char *buf, unsigned *size, void *) {
    return read_source(t_in, buf, *size);
}
void explode_write(char *buf, unsigned *size, void *) {
    write_sink(t_out, buf, *size);
}

size_t implode_into(const uint8_t *data, size_t size, uint8_t *out, char *work) {
    ImplodeIo io{{data, size}, {out, 0}};
    unsigned literal_mode = DXD_IMPLODE_RAW;
    unsigned dict_size = size <= 2048 ? 1024 : size <= 4096 ? 2048 : 4096;
    fxd_implode(implode_read, implode_write, work, &io, &literal_mode, &dict_size);
    return io.out.used;
}

size_t explode_into(const uint8_t *data, size_t size, uint8_t *out) {
    t_in = {data, size};
    t_out = {out, 0};
    fxd_explode(explode_read, explode_write);
    return t_out.used;
}

// Room for the worst stream a block can give (9 bits a byte and the header and end code).
size_t stream_room(size_t size) {
    return size + size / 8 + 16;
}

void BM_Implode(benchmark::State &state, const std::string &name) {
    const Bytes &data = corpus(name);
    const size_t blocks = data.size() / kBlock;
    Bytes out(stream_room(kBlock));
    std::vector<char> work(DXD_IMPLODE_WORK_SIZE);
    size_t packed = 0;
    for (size_t b = 0; b < blocks; ++b)
        packed += implode_into(&data[b * kBlock], kBlock, out.data(), work.data());
    size_t block = 0;
    const long before = g_allocations.load();
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            implode_into(&data[block * kBlock], kBlock, out.data(), work.data()));
        block = (block + 1) % blocks;
    }
    const long allocations = g_allocations.load() - before;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBlock));
    state.counters["ratio%"] =
        100.0 * static_cast<double>(packed) / static_cast<double>(data.size());
    state.counters["allocs"] = static_cast<double>(allocations);
}

void BM_Explode(benchmark::State &state, const std::string &name) {
    const Bytes &data = corpus(name);
    const size_t blocks = data.size() / kBlock;
    std::vector<Bytes> streams;
    std::vector<char> work(DXD_IMPLODE_WORK_SIZE);
    Bytes out(kBlock);
    for (size_t b = 0; b < blocks; ++b) {
        Bytes stream(stream_room(kBlock));
        stream.resize(implode_into(&data[b * kBlock], kBlock, stream.data(), work.data()));
        if (explode_into(stream.data(), stream.size(), out.data()) != kBlock ||
            std::memcmp(out.data(), &data[b * kBlock], kBlock) != 0) {
            state.SkipWithError("expanded differently");
            return;
        }
        streams.push_back(std::move(stream));
    }
    size_t block = 0;
    const long before = g_allocations.load();
    for (auto _ : state) {
        const Bytes &stream = streams[block];
        benchmark::DoNotOptimize(explode_into(stream.data(), stream.size(), out.data()));
        block = (block + 1) % blocks;
    }
    const long allocations = g_allocations.load() - before;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBlock));
    state.counters["allocs"] = static_cast<double>(allocations);
}

// The whole text corpus as one stream: the window refills and slides all along.
void BM_ImplodeLongStream(benchmark::State &state) {
    const Bytes &data = corpus("text");
    Bytes out(stream_room(data.size()));
    std::vector<char> work(DXD_IMPLODE_WORK_SIZE);
    for (auto _ : state) implode_into(data.data(), data.size(), out.data(), work.data());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

void BM_ExplodeLongStream(benchmark::State &state) {
    const Bytes &data = corpus("text");
    Bytes stream(stream_room(data.size()));
    std::vector<char> work(DXD_IMPLODE_WORK_SIZE);
    stream.resize(implode_into(data.data(), data.size(), stream.data(), work.data()));
    Bytes out(data.size());
    for (auto _ : state) {
        if (explode_into(stream.data(), stream.size(), out.data()) != data.size()) {
            state.SkipWithError("expanded differently");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

} // namespace

BENCHMARK_CAPTURE(BM_Implode, text, std::string("text"));
BENCHMARK_CAPTURE(BM_Implode, code, std::string("code"));
BENCHMARK_CAPTURE(BM_Implode, zeros, std::string("zeros"));
BENCHMARK_CAPTURE(BM_Implode, random, std::string("random"));
BENCHMARK_CAPTURE(BM_Explode, text, std::string("text"));
BENCHMARK_CAPTURE(BM_Explode, code, std::string("code"));
BENCHMARK_CAPTURE(BM_Explode, zeros, std::string("zeros"));
BENCHMARK_CAPTURE(BM_Explode, random, std::string("random"));
BENCHMARK(BM_ImplodeLongStream)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ExplodeLongStream)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
