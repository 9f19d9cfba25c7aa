// Load on the queue manager: 50 clients, each on its own connection, take a semaphore, read a
// 504-byte table (two chunks), write it back and give the semaphore back, for 10 seconds.
// Measured over each transport a client on the manager's machine can have (the socket, and
// shared memory with named events), and for each twice: every client on one shared semaphore
// and table (the user table's pattern, where waiting clients back off), and each client on its
// own (the manager's and the transport's own pace).
// Reports exchanges per second (requests sent), the 50th and 99th percentile of one
// operation's latency, and checks that no table was lost or torn.
// Then contention: 20 clients take one semaphore, hold it 2 ms and give it back, for 10
// seconds, waiting as the documented client does. Reports the rounds per client (fewest and
// most), the longest wait for the semaphore, rounds per second and the waits' 99th percentile.
#include "kernel/coord/queue.h"
#include "kernel/files/install.h"
#include "platform/host.h"
#include "platform/win32.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int clients = 50;
constexpr auto duration = std::chrono::seconds(10);
constexpr uint16_t table_size = 504;

using Clock = std::chrono::steady_clock;

// How the clients reach the manager: an explicit socket address, or none, which on the
// manager's own machine gives shared memory.
struct Transport {
    const char *name;
    std::string server; // empty: the installation's own manager, found locally
    TXI_CONN_TRANSPORT expected;
    const char *server_or_null() const { return server.empty() ? nullptr : server.c_str(); }
};

struct Result {
    uint64_t exchanges = 0, rounds = 0, failures = 0, torn = 0;
    double seconds = 0;
    uint64_t fewest = 0, most = 0; // rounds of the least and the most served client
    std::vector<uint32_t> latencies_us, rounds_us;
};

// kvqm lies beside the benchmarks' folder, as the build lays the programs out.
std::string kvqm_path() {
    char self[MAX_PATH * 4] = {};
    GetModuleFileNameA(nullptr, self, sizeof self);
    std::string path = self;
    path = path.substr(0, path.find_last_of('\\'));
    path = path.substr(0, path.find_last_of('\\'));
    return path + "\\services\\kvqm";
}

// Connects one client; false (counted as a failure) when it could not, or when it reached the
// manager by another transport than the one measured.
bool connect_client(CXI_QUEUE_SYSTEM &system, const Transport &transport, Result &result) {
    if (system.connect(transport.server_or_null()) == 0 &&
        system.connection().transport() == transport.expected)
        return true;
    ++result.failures;
    return false;
}

void run_client(int index, bool shared, const Transport &transport, std::atomic<bool> &go,
                Clock::time_point &end, Result &result) {
    CXI_QUEUE_SYSTEM system;
    if (!connect_client(system, transport, result)) return;
    std::string suffix = shared ? "" : std::to_string(index);
    TXI_QUEUE sem, table;
    std::string sem_name = "MXB" + suffix, table_name = "TBL" + suffix;
    if (system.sem_make(sem_name.c_str(), &sem) == DXI_SEM_EXISTS)
        system.sem_open(sem_name.c_str(), &sem);
    else
        system.sem_write(&sem, 0);
    if (system.make(table_name.c_str(), table_size, 0, &table) == DXI_QUEUE_EXISTS)
        system.open(table_name.c_str(), table_size, &table);
    std::vector<uint8_t> data(table_size);
    while (!go) std::this_thread::yield();
    auto timed = [&](auto operation) {
        auto start = Clock::now();
        uint16_t status = operation();
        result.latencies_us.push_back(static_cast<uint32_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count()));
        if (status) ++result.failures;
        return status;
    };
    while (Clock::now() < end) {
        auto round_start = Clock::now();
        if (timed([&] { return system.sem_read(&sem, 0); })) break;
        timed([&] { return system.read(&table, data.data(), 0); });
        // Every table carries one byte value throughout; a mixed table was torn somewhere.
        if (std::any_of(data.begin(), data.end(), [&](uint8_t b) { return b != data[0]; }))
            ++result.torn;
        std::fill(data.begin(), data.end(), static_cast<uint8_t>(data[0] + 1));
        timed([&] { return system.write(&table, data.data(), 0); });
        timed([&] { return system.sem_write(&sem, 0); });
        ++result.rounds;
        result.rounds_us.push_back(static_cast<uint32_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - round_start)
                .count()));
    }
    result.exchanges = system.messages_sent();
    system.disconnect();
}

Result phase(bool shared, const Transport &transport) {
    std::vector<Result> results(clients);
    std::vector<std::thread> threads;
    std::atomic<bool> go{false};
    Clock::time_point end;
    for (int i = 0; i < clients; ++i)
        threads.emplace_back(run_client, i, shared, std::cref(transport), std::ref(go),
                             std::ref(end), std::ref(results[i]));
    Sleep(1000); // every client connected and set up
    auto start = Clock::now();
    end = start + duration;
    go = true;
    for (std::thread &t : threads) t.join();
    Result total;
    total.fewest = UINT64_MAX;
    // Rounds under way at the end finish after it: the rate is over the time actually taken.
    total.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    for (Result &r : results) {
        total.exchanges += r.exchanges;
        total.rounds += r.rounds;
        total.failures += r.failures;
        total.torn += r.torn;
        total.fewest = std::min(total.fewest, r.rounds);
        total.most = std::max(total.most, r.rounds);
        total.latencies_us.insert(total.latencies_us.end(), r.latencies_us.begin(),
                                  r.latencies_us.end());
        total.rounds_us.insert(total.rounds_us.end(), r.rounds_us.begin(), r.rounds_us.end());
    }
    std::sort(total.latencies_us.begin(), total.latencies_us.end());
    std::sort(total.rounds_us.begin(), total.rounds_us.end());
    return total;
}

// One client of the contention case: takes the semaphore, holds it for `hold`, gives it back.
void contend(const Transport &transport, std::chrono::milliseconds hold, std::atomic<bool> &go,
             Clock::time_point &end, Result &result) {
    CXI_QUEUE_SYSTEM system;
    if (!connect_client(system, transport, result)) return;
    TXI_QUEUE sem;
    if (system.sem_make("MXHOLD", &sem) == DXI_SEM_EXISTS)
        system.sem_open("MXHOLD", &sem);
    else
        system.sem_write(&sem, 0);
    while (!go) std::this_thread::yield();
    while (Clock::now() < end) {
        auto asked = Clock::now();
        if (system.sem_read(&sem, 0) != 0) {
            ++result.failures;
            break;
        }
        result.latencies_us.push_back(static_cast<uint32_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - asked).count()));
        std::this_thread::sleep_for(hold);
        if (system.sem_write(&sem, 0) != 0) {
            ++result.failures;
            break;
        }
        ++result.rounds;
    }
    system.disconnect();
}

Result contention(const Transport &transport, int count, std::chrono::milliseconds hold) {
    std::vector<Result> results(static_cast<size_t>(count));
    std::vector<std::thread> threads;
    std::atomic<bool> go{false};
    Clock::time_point end;
    for (Result &r : results)
        threads.emplace_back(contend, std::cref(transport), hold, std::ref(go), std::ref(end),
                             std::ref(r));
    Sleep(1000);
    auto start = Clock::now();
    end = start + duration;
    go = true;
    for (std::thread &t : threads) t.join();
    Result total;
    total.fewest = UINT64_MAX;
    total.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    for (Result &r : results) {
        total.rounds += r.rounds;
        total.failures += r.failures;
        total.fewest = std::min(total.fewest, r.rounds);
        total.most = std::max(total.most, r.rounds);
        total.latencies_us.insert(total.latencies_us.end(), r.latencies_us.begin(),
                                  r.latencies_us.end());
    }
    std::sort(total.latencies_us.begin(), total.latencies_us.end());
    return total;
}

uint32_t percentile(const std::vector<uint32_t> &sorted, double p) {
    if (sorted.empty()) return 0;
    return sorted[std::min(sorted.size() - 1, static_cast<size_t>(p * sorted.size()))];
}

} // namespace

int main() {
    // A private prefix and data home, removed afterwards.
    std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                ("kova-bench-managers-" + std::to_string(GetCurrentProcessId()));
    std::filesystem::create_directories(dir / "prefix");
    SetEnvironmentVariableA("KOVA_PREFIX", (dir / "prefix").string().c_str());
    // Shared memory is measured also where a client would not take it by itself.
    SetEnvironmentVariableA("LXICONN_SHARED_MEMORY", "1");
    std::string home = kova_dos_from_host(dir.string()) + "\\";
    // The clients are programs of this installation: the same data home as the manager's.
    {
        FILE *ini = std::fopen((dir / "kova.ini").string().c_str(), "wb");
        if (ini) {
            std::fputs("[system]\r\nrelease=24\r\nusers=62\r\n", ini);
            std::fclose(ini);
        }
    }
    fxi_set_data_home(home.c_str());
    fxi_load_installation();

    // kvqm runs detached from this console (its log would drown the figures).
    // Quoted without its last backslash, which would escape the closing quote.
    std::string parameters = "\"" + home.substr(0, home.size() - 1) + "\"";
    std::string program = kvqm_path();
    SHELLEXECUTEINFOA run{};
    run.cbSize = sizeof run;
    run.fMask = SEE_MASK_NOCLOSEPROCESS;
    run.lpFile = program.c_str();
    run.lpParameters = parameters.c_str();
    run.nShow = SW_HIDE;
    if (!ShellExecuteExA(&run)) {
        std::fprintf(stderr, "cannot start %s: error %u\n", program.c_str(),
                     static_cast<unsigned>(GetLastError()));
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
        return 1;
    }
    fxi_conn_init();
    std::string address = (dir / "kova03B3.adr").string();
    for (int i = 0; i < 500 && (!std::filesystem::exists(address) ||
                                std::filesystem::file_size(address) != DXI_CONN_ADDRESS_SIZE);
         ++i)
        Sleep(10);
    FILE *f = std::fopen(address.c_str(), "rb");
    unsigned char bytes[DXI_CONN_ADDRESS_SIZE] = {};
    if (!f || std::fread(bytes, 1, sizeof bytes, f) != sizeof bytes) {
        std::fprintf(stderr, "kvqm (%s) did not publish its address in %s\n", program.c_str(),
                     home.c_str());
        if (f) std::fclose(f);
        TerminateProcess(run.hProcess, 1);
        WaitForSingleObject(run.hProcess, 5000);
        CloseHandle(run.hProcess);
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
        return 1;
    }
    std::fclose(f);
    std::string server = "127.0.0.1:" + std::to_string(bytes[14] << 8 | bytes[15]);
    const Transport transports[] = {
        {"TCP socket", server, TXI_CONN_TRANSPORT::socket},
        {"shared memory", "", TXI_CONN_TRANSPORT::shared_memory},
    };

    std::printf("queue manager: %d clients, %lld s per pattern, %u-byte table\n", clients,
                static_cast<long long>(duration.count()), table_size);
    int failed = 0;
    for (const Transport &transport : transports)
        for (bool shared : {true, false}) {
            Result r = phase(shared, transport);
            double seconds = r.seconds;
            std::printf("%s, %s\n", transport.name,
                        shared ? "one shared semaphore and table (waiters back off 100 ms to 1 s):"
                               : "a semaphore and table per client:");
            std::printf("  %.0f exchanges/s, %.0f rounds/s; one exchange p50 %u us, p99 %u us; "
                        "one round p99 %u us\n",
                        static_cast<double>(r.exchanges) / seconds,
                        static_cast<double>(r.rounds) / seconds, percentile(r.latencies_us, 0.50),
                        percentile(r.latencies_us, 0.99), percentile(r.rounds_us, 0.99));
            std::printf("  rounds per client %llu to %llu; failures %llu, torn tables %llu\n",
                        static_cast<unsigned long long>(r.fewest),
                        static_cast<unsigned long long>(r.most),
                        static_cast<unsigned long long>(r.failures),
                        static_cast<unsigned long long>(r.torn));
            failed += r.failures || r.torn || r.rounds == 0;
        }
    for (const Transport &transport : transports) {
        constexpr int contenders = 20;
        constexpr auto hold = std::chrono::milliseconds(2);
        Result r = contention(transport, contenders, hold);
        std::printf("%s, one semaphore, %d clients holding it %lld ms each:\n", transport.name,
                    contenders, static_cast<long long>(hold.count()));
        std::printf(
            "  %.0f rounds/s; rounds per client %llu to %llu; wait p50 %u us, p99 %u us, "
            "longest %u us; failures %llu\n",
            static_cast<double>(r.rounds) / r.seconds, static_cast<unsigned long long>(r.fewest),
            static_cast<unsigned long long>(r.most), percentile(r.latencies_us, 0.50),
            percentile(r.latencies_us, 0.99), r.latencies_us.empty() ? 0u : r.latencies_us.back(),
            static_cast<unsigned long long>(r.failures));
        failed += r.failures || r.rounds == 0;
    }

    CXI_CONN stopper;
    uint16_t confirmed = 0, answer = 0;
    if (stopper.connect(server.c_str(), DXI_CONN_QUEUE_MANAGER, 0, DXI_CONN_QUEUE_SIZE, nullptr,
                        &confirmed) == 0)
        stopper.stop(1, &answer);
    if (WaitForSingleObject(run.hProcess, 5000) != WAIT_OBJECT_0) TerminateProcess(run.hProcess, 1);
    CloseHandle(run.hProcess);
    fxi_conn_term();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return failed ? 1 : 0;
}
