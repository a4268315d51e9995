// Receiving thread against broken drivers: one whose FT_GetStatus reports bytes
// waiting while FT_Read returns none, with and without the optional wait for
// arriving bytes (which such a driver ends at once), and one whose FT_Read
// returns FT_OK with nothing while bytes are said to wait. Counts the thread's
// passes (FT_GetStatus calls) and its CPU time over a window. Target: at most
// one pass per 10 ms, i.e. 100 passes a second, and no core kept busy.
//
// Run:  build/bench/bench_reader_spin [--seconds 2]
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

#include "base/log.h"
#include "link/connection.h"
#include "link/d2xx.h"
#include "link/driver.h"
#include "link/reader.h"

namespace {

constexpr double maxPassesPerSecond = 100;

std::atomic<uint64_t> passes{0};
FT_STATUS readResult = FT_OK;

FT_STATUS listDevices(DWORD* n) {
    *n = 1;
    return FT_OK;
}
FT_STATUS listInfo(DeviceInfoNode* list, DWORD* n) {
    std::memset(list, 0, sizeof *list);
    std::strcpy(list->Description, "FT245R USB FIFO");
    *n = 1;
    return FT_OK;
}
FT_STATUS openDevice(int, FT_HANDLE* h) {
    *h = reinterpret_cast<FT_HANDLE>(1);
    return FT_OK;
}
FT_STATUS setTimeouts(FT_HANDLE, ULONG, ULONG) {
    return FT_OK;
}
// Always "64 bytes waiting".
FT_STATUS phantomStatus(FT_HANDLE, DWORD* rx, DWORD* tx, DWORD* events) {
    ++passes;
    *rx = 64;
    *tx = 0;
    *events = 0;
    return FT_OK;
}
// ...that no read ever returns.
FT_STATUS emptyRead(FT_HANDLE, void*, DWORD, DWORD* returned) {
    *returned = 0;
    return readResult;
}
FT_STATUS writeBytes(FT_HANDLE, const void*, DWORD toWrite, DWORD* written) {
    *written = toWrite;
    return FT_OK;
}
FT_STATUS closeDevice(FT_HANDLE) {
    return FT_OK;
}
// Bytes are "waiting", so a wait for them ends at once.
FT_STATUS waitReturnsAtOnce(FT_HANDLE, uint32_t) {
    return FT_OK;
}

constexpr Driver phantomDriver(const char* name, FT_STATUS (*wait)(FT_HANDLE, uint32_t)) {
    return Driver{
        .name = name,
        .createDeviceInfoList = listDevices,
        .getDeviceInfoList = listInfo,
        .open = openDevice,
        .setTimeouts = setTimeouts,
        .getStatus = phantomStatus,
        .read = emptyRead,
        .write = writeBytes,
        .close = closeDevice,
        .lastError = [] { return ""; },
        .waitForRx = wait,
        .setLatencyTimer = nullptr,
        .devicePath = nullptr,
    };
}

constexpr Driver withWait = phantomDriver("phantom bytes, wait", waitReturnsAtOnce);
constexpr Driver withoutWait = phantomDriver("phantom bytes, no wait", nullptr);

double threadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

struct Figures {
    double passesPerSecond;
    double cpuPercent;
};

Figures measure(const Driver& driver, FT_STATUS status, int seconds) {
    installDriver(&driver);
    readResult = status;
    if (openLoom() != FT_OK) {
        std::fprintf(stderr, "openLoom failed with the benchmark's driver\n");
        std::exit(2);
    }
    uint64_t p0 = passes;
    double cpu0 = threadCpuSeconds();
    auto from = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    uint64_t p1 = passes;
    double cpu1 = threadCpuSeconds();
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
    closeLoom();
    return {static_cast<double>(p1 - p0) / wall, 100 * (cpu1 - cpu0) / wall};
}

} // namespace

int main(int argc, char** argv) {
    int seconds = 2;
    if (argc == 3 && std::strcmp(argv[1], "--seconds") == 0)
        seconds = std::atoi(argv[2]);
    std::printf("bench_reader_spin: FT_GetStatus says bytes wait, FT_Read returns none (%d s "
                "each)\n",
                seconds);
    bool ok = true;
    struct Case {
        const char* what;
        const Driver* driver;
        FT_STATUS status;
    } cases[] = {
        {"with a wait that ends at once, FT_Read FT_OK", &withWait, FT_OK},
        {"without a wait, FT_Read FT_OK", &withoutWait, FT_OK},
        {"without a wait, FT_Read FT_OTHER_ERROR", &withoutWait, FT_OTHER_ERROR},
    };
    for (const Case& c : cases) {
        Figures f = measure(*c.driver, c.status, seconds);
        std::printf("%-46s %8.1f passes/s  %5.2f %% of a core\n", c.what, f.passesPerSecond,
                    f.cpuPercent);
        ok = ok && f.passesPerSecond <= maxPassesPerSecond;
    }
    std::printf("verdict: %s (target at most %.0f passes/s: one per 10 ms)\n",
                ok ? "MET" : "MISSED", maxPassesPerSecond);
    return 0;
}
