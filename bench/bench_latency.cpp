// Receive latency: from bytes becoming readable at the driver to the message
// handler having the message.
//
// In-process: the real receiving thread (openLoom) over a small driver of this
// file, with the driver's wait for arriving bytes (event notification) and
// without it (the thread then sleeps 10 ms between polls).
//
// Then through the real program and the D2XX-shaped library in scripted mode:
// from this process sending "<ready>" into the library's socket to the
// program's next queued message arriving back on the wire (receiving thread,
// processMsg, the queue and FT_Write included).
//
// Run:  build/bench/bench_latency [--samples 5000] [--sleep-samples 1000] [--cycles 300]
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/log.h"
#include "link/connection.h"
#include "link/driver.h"
#include "link/reader.h"
#include "scripted_loom.h"
#include "support.h"

namespace {

using namespace bench;

constexpr double targetUs = 1000;

// --- a driver whose bytes this process pushes

std::mutex rxMutex;
std::condition_variable rxCv;
std::deque<std::string> rxChunks; // guarded by rxMutex
int handleToken;

FT_STATUS listDevices(DWORD* n) {
    *n = 1;
    return FT_OK;
}
FT_STATUS listInfo(DeviceInfoNode* list, DWORD* n) {
    list[0] = DeviceInfoNode{};
    std::snprintf(list[0].Description, sizeof list[0].Description, "FT245R USB FIFO");
    *n = 1;
    return FT_OK;
}
FT_STATUS openDevice(int, FT_HANDLE* handle) {
    *handle = &handleToken;
    return FT_OK;
}
FT_STATUS setTimeouts(FT_HANDLE, ULONG, ULONG) {
    return FT_OK;
}
FT_STATUS getStatus(FT_HANDLE, DWORD* rx, DWORD* tx, DWORD* events) {
    std::lock_guard<std::mutex> lock(rxMutex);
    *rx = rxChunks.empty() ? 0 : static_cast<DWORD>(rxChunks.front().size());
    *tx = 0;
    *events = 0;
    return FT_OK;
}
FT_STATUS readBytes(FT_HANDLE, void* buffer, DWORD toRead, DWORD* returned) {
    std::lock_guard<std::mutex> lock(rxMutex);
    *returned = 0;
    if (rxChunks.empty())
        return FT_OK;
    std::string& chunk = rxChunks.front();
    size_t n = std::min<size_t>(toRead, chunk.size());
    std::memcpy(buffer, chunk.data(), n);
    chunk.erase(0, n);
    if (chunk.empty())
        rxChunks.pop_front();
    *returned = static_cast<DWORD>(n);
    return FT_OK;
}
FT_STATUS writeBytes(FT_HANDLE, const void*, DWORD toWrite, DWORD* written) {
    *written = toWrite;
    return FT_OK;
}
FT_STATUS closeDevice(FT_HANDLE) {
    return FT_OK;
}
FT_STATUS waitForRx(FT_HANDLE, uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(rxMutex);
    rxCv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [] { return !rxChunks.empty(); });
    return FT_OK;
}

constexpr Driver benchDriver(const char* name, FT_STATUS (*wait)(FT_HANDLE, uint32_t)) {
    return {
        .name = name,
        .createDeviceInfoList = listDevices,
        .getDeviceInfoList = listInfo,
        .open = openDevice,
        .setTimeouts = setTimeouts,
        .getStatus = getStatus,
        .read = readBytes,
        .write = writeBytes,
        .close = closeDevice,
        .lastError = [] { return ""; },
        .waitForRx = wait,
        .setLatencyTimer = nullptr,
        .devicePath = nullptr,
    };
}
constexpr Driver withEvent = benchDriver("bench (event)", waitForRx);
constexpr Driver withoutEvent = benchDriver("bench (polling)", nullptr);

void push(const std::string& bytes) {
    {
        std::lock_guard<std::mutex> lock(rxMutex);
        rxChunks.push_back(bytes);
    }
    rxCv.notify_all();
}

// --- the handler's side

std::mutex handledMutex;
std::condition_variable handledCv;
uint64_t handledCount = 0; // guarded by handledMutex
Clock::time_point handledAt;

void onMessage(const char*) {
    Clock::time_point now = Clock::now();
    {
        std::lock_guard<std::mutex> lock(handledMutex);
        handledAt = now;
        ++handledCount;
    }
    handledCv.notify_all();
}

struct Latencies {
    Summary summary;
    size_t overMs; // samples over 1 ms
    size_t near10; // samples of 9 ms or more: a whole bounded wait slept through
};

Latencies summarizeLatencies(const std::vector<double>& us) {
    Latencies l{summarize(us), 0, 0};
    for (double v : us) {
        l.overMs += v > 1000;
        l.near10 += v >= 9000;
    }
    return l;
}

void print(const char* what, const Latencies& l) {
    const Summary& s = l.summary;
    std::printf("%-44s median %8.1f us  p99 %8.1f us  max %8.1f us  >1 ms: %zu  >=9 ms: %zu  "
                "(%zu samples)\n",
                what, s.median, s.p99, s.max, l.overMs, l.near10, s.count);
}

// Pushes a message, waits until it is handled, and does that `samples` times
// with a random pause of up to maxGapUs before each, so pushes fall at every
// point of the receiving thread's wait.
Latencies measureInProcess(const Driver& driver, int samples, int maxGapUs) {
    installDriver(&driver);
    setMessageHandler(onMessage);
    if (openLoom() != FT_OK)
        throw Failure("openLoom failed with the benchmark's driver");
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> gap(0, maxGapUs);
    const std::string message = "<hostname=\"LOOM-7\"/>\r\n";
    std::vector<double> latencies;
    uint64_t expected;
    {
        std::lock_guard<std::mutex> lock(handledMutex);
        expected = handledCount;
    }
    for (int i = 0; i < samples; ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(gap(random)));
        Clock::time_point pushed = Clock::now();
        push(message);
        ++expected;
        std::unique_lock<std::mutex> lock(handledMutex);
        if (!handledCv.wait_for(lock, std::chrono::seconds(2),
                                [&] { return handledCount >= expected; }))
            throw Failure("the receiving thread never delivered a message");
        latencies.push_back(usBetween(pushed, handledAt));
    }
    closeLoom();
    return summarizeLatencies(latencies);
}

// Answers the netdown/netup/status round of an apply with nothing to change,
// timing each "<ready>" to the program's next message.
void applyCycle(Child& child, ScriptedLoom& loom, std::vector<double>& out) {
    auto sample = [&](std::string_view next) {
        // The drained report leaves FT_GetStatus just before the receiving
        // thread waits again, so "<ready>" lands where a lost wake-up costs most.
        loom.waitDrained();
        Clock::time_point sent = loom.send("<ready>\r\n");
        out.push_back(usBetween(sent, loom.waitWire(next)));
    };
    child.type("a\n");
    loom.waitWire("<netdown/>\n");
    sample("<netup/>\n");
    loom.send("<please wait>\r\n");
    sample("<netstatus/>\n");
    loom.send("<netstatus>\r\n<hostname=\"LOOM-7\"/>\r\n<state=\"CONNECTED\"/>\r\n"
              "<dhcp=\"DHCP_ON\"/>\r\n<wifi=\"WIFI_ON\"/>\r\n<current=\"192.168.1.23\"/>\r\n"
              "<static=\"192.168.1.50\"/>\r\n");
    sample("<wifistatus/>\n");
    loom.send("<wifistatus>\r\n<ssid=\"Weaving-Hall\"/>\r\n<encryption=\"WPA2\"/>\r\n"
              "</wifistatus>\r\n<ready>\r\n");
    loom.waitDrained();
    child.waitFor(menuPrompt);
}

Latencies measureScripted(int cycles) {
    TempDir dir;
    ScriptedLoom loom(dir.path() + "/loom.sock");
    ChildOptions options;
    options.env.push_back(loom.envEntry());
    Child child(options);
    loom.accept();
    loom.logIn();
    child.waitFor(menuPrompt);
    std::vector<double> latencies;
    for (int i = 0; i < cycles; ++i)
        applyCycle(child, loom, latencies);
    child.type("q\n");
    loom.waitWire("close\n");
    child.waitExit();
    return summarizeLatencies(latencies);
}

int body(int argc, char** argv) {
    int samples = static_cast<int>(option(argc, argv, "--samples", 5000));
    int sleepSamples = static_cast<int>(option(argc, argv, "--sleep-samples", 1000));
    int cycles = static_cast<int>(option(argc, argv, "--cycles", 300));

    std::printf("bench_latency: bytes readable -> message handled\n");
    Latencies event = measureInProcess(withEvent, samples, 1000);
    print("in-process, event wait (waitForRx)", event);
    Latencies polled = measureInProcess(withoutEvent, sleepSamples, 10000);
    print("in-process, no event wait (10 ms sleep)", polled);
    Latencies scripted = measureScripted(cycles);
    print("shedmate + libftd2xx.so: <ready> -> next msg", scripted);
    const Summary& e = event.summary;
    bool pass = e.median < targetUs && e.p99 < targetUs;
    std::printf("verdict: %s (event wait: median %.1f us, p99 %.1f us; target under %.0f us)\n",
                pass ? "PASS" : "FAIL", e.median, e.p99, targetUs);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    return runBenchmark("bench_latency", body, argc, argv);
}
