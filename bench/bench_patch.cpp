// Building and installing a patch of one 64 MiB component with the real kvpatch, against
// gzip -6 and gunzip on the same file in the same run; building also on one core (taskset),
// to show how it scales, and adding to a 64 MiB patch, where the add's safety copy shows;
// kvz listing and verifying that patch. Reports throughput, the peak resident memory and the
// processor time of each process.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr size_t component_size = 64u << 20;

// A scratch prefix with the server drive S: holding the component and one release tree.
struct Scene {
    fs::path root = fs::temp_directory_path() / ("kvpatch-bench-" + std::to_string(getpid()));
    fs::path server = root / "server";

    Scene() {
        fs::create_directories(root / "prefix/dosdevices");
        fs::create_directories(server / "KOVABrisel/kova2000");
        fs::create_symlink(server, root / "prefix/dosdevices/s:");
        std::ofstream(server / "KOVABrisel/kova.kvk");
        std::ofstream(server / "KOVABrisel/kova.ini") << "[system]\r\nrelease=21\r\n";
        setenv("KOVA_PREFIX", (root / "prefix").c_str(), 1);
        setenv("KOVA_UNATTENDED", "1", 1);
        make_component(server / "kova2000/big.bin");
        std::ofstream(server / "kova2000/small.dat") << std::string(4096, 's');
        std::ofstream(root / "prefix/system.reg")
            << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\KOVA Business Software]\n"
               "\"ServiceDataHome\"=\"S:\\\\KOVABrisel\\\\\"\n";
    }
    ~Scene() {
        std::error_code ec;
        fs::remove_all(root, ec);
    }

    // Headers and executables of the system, concatenated up to the size.
    static void make_component(const fs::path &path) {
        fs::create_directories(path.parent_path());
        std::ofstream out(path, std::ios::binary);
        size_t written = 0;
        std::vector<char> buffer(1 << 16);
        for (const char *dir : {"/usr/include", "/usr/bin", "/usr/lib/x86_64-linux-gnu"}) {
            std::error_code ec;
            for (auto it = fs::recursive_directory_iterator(dir, ec);
                 !ec && it != fs::recursive_directory_iterator() && written < component_size;
                 it.increment(ec)) {
                if (!it->is_regular_file(ec) || it->is_symlink(ec)) continue;
                std::ifstream in(it->path(), std::ios::binary);
                while (written < component_size &&
                       in.read(buffer.data(), buffer.size()).gcount() > 0) {
                    size_t n = std::min<size_t>(in.gcount(), component_size - written);
                    out.write(buffer.data(), static_cast<std::streamsize>(n));
                    written += n;
                }
            }
        }
    }
};

Scene &scene() {
    static Scene s;
    return s;
}

struct Run {
    double seconds = 0;
    double cpu_seconds = 0;
    long peak_kib = 0;
    int status = -1;
};

// Runs a command line through the shell in `dir`, timing it and taking its peak memory.
Run run(const std::string &command, const fs::path &dir) {
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0) _exit(126);
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    Run r;
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.peak_kib = usage.ru_maxrss;
    auto seconds = [](const timeval &t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    r.cpu_seconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

void measure(benchmark::State &state, const std::string &command, const fs::path &dir,
             const std::string &before = {}, size_t bytes = component_size) {
    long peak = 0;
    double cpu = 0;
    for (auto _ : state) {
        if (!before.empty()) run(before, dir);
        Run r = run(command, dir);
        if (r.status != 0) state.SkipWithError(("failed: " + command).c_str());
        state.SetIterationTime(r.seconds);
        peak = std::max(peak, r.peak_kib);
        cpu += r.cpu_seconds;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
    state.counters["peak_MiB"] = static_cast<double>(peak) / 1024.0;
    state.counters["cpu_s"] = cpu / static_cast<double>(state.iterations());
}

const std::string kvpatch = KOVA_KVPATCH;

void BM_KvpatchBuild(benchmark::State &state) {
    measure(state, kvpatch + " bench 'S:\\kova2000\\big.bin'", scene().server,
            "rm -f source/patches/bench.kvz");
}

void BM_KvpatchBuildOneCore(benchmark::State &state) {
    measure(state, "taskset -c 0 " + kvpatch + " bench1 'S:\\kova2000\\big.bin'", scene().server,
            "rm -f source/patches/bench1.kvz");
}

// A small component added to the 64 MiB patch: appended, where only the patch's old length is
// set aside; and added again to a patch that holds it ahead of the 64 MiB component, where its
// entry is replaced and everything after it is set aside and written again.
void BM_KvpatchAppendToLargePatch(benchmark::State &state) {
    measure(state, kvpatch + " bench 'S:\\kova2000\\small.dat'", scene().server,
            "cd source/patches && { [ -f bench.keep ] || cp bench.kvz bench.keep; } && "
            "cp bench.keep bench.kvz",
            4096);
}

void BM_KvpatchReplaceInLargePatch(benchmark::State &state) {
    const std::string small = " 'S:\\kova2000\\small.dat'";
    measure(state, kvpatch + " front" + small, scene().server,
            "[ -f source/patches/front.keep ] || { " + kvpatch + " front" + small + " && " +
                kvpatch +
                " front 'S:\\kova2000\\big.bin' && "
                "cp source/patches/front.kvz source/patches/front.keep; } && "
                "cp source/patches/front.keep source/patches/front.kvz",
            4096);
}

void BM_Gzip6(benchmark::State &state) {
    measure(state, "gzip -6 -c kova2000/big.bin > big.gz", scene().server);
}

void BM_KvpatchInstall(benchmark::State &state) {
    // The tree is installed into afresh each time, without an undo copy to save.
    measure(state, kvpatch + " 'S:\\source\\patches\\bench.kvz'", scene().server,
            "rm -rf KOVABrisel/big.bin KOVABrisel/unpatch");
}

void BM_Gunzip(benchmark::State &state) {
    measure(state, "gunzip -c big.gz > big.out", scene().server);
}

const std::string kvz = KOVA_KVZ;

// Reads and expands every block, since expanding is the only check of a block, and counts how
// each is stored.
void BM_KvzList(benchmark::State &state) {
    measure(state, kvz + " list 'S:\\source\\patches\\bench.kvz' > /dev/null", scene().server);
}

// Expands every block, as installing does, and writes nothing.
void BM_KvzVerify(benchmark::State &state) {
    measure(state, kvz + " verify 'S:\\source\\patches\\bench.kvz' > /dev/null", scene().server);
}

} // namespace

// Each figure is the median of five runs; building and gzip alternate so that both meet the
// same load.
#define KOVA_RUNS(bench)                                                                           \
    BENCHMARK(bench)                                                                               \
        ->UseManualTime()                                                                          \
        ->Iterations(1)                                                                            \
        ->Repetitions(5)                                                                           \
        ->ReportAggregatesOnly(true)                                                               \
        ->Unit(benchmark::kMillisecond)
KOVA_RUNS(BM_KvpatchBuild);
KOVA_RUNS(BM_Gzip6);
KOVA_RUNS(BM_KvpatchBuildOneCore);
KOVA_RUNS(BM_KvpatchAppendToLargePatch);
KOVA_RUNS(BM_KvpatchReplaceInLargePatch);
KOVA_RUNS(BM_KvpatchInstall);
KOVA_RUNS(BM_Gunzip);
KOVA_RUNS(BM_KvzList);
KOVA_RUNS(BM_KvzVerify);

BENCHMARK_MAIN();
