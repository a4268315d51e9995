// The unmodified build/shedmate through FTDI's own libftd2xx.so and an FT245R
// emulated at the usbfs level (tests/ftdi/), beside the same runs through the
// virtual loom's D2XX-shaped library; the loom's model answers at once in both.
//
//   start    start of the process to the status screen's menu prompt; from the
//            log's millisecond stamps, the part until the device is open, and
//            the login's own exchange (first byte sent to the status shown)
//   apply    'a' typed to the read-back status screen's menu prompt
//   firmware a 4 MiB image: shedmate's upload against a bare read-and-FT_Write
//            loop (bench_firmware_bare) through the same library and chip
//
// Each is set against the chip's floor: every round trip waits for the next
// 1 ms frame out and for the latency timer (2 ms, as shedmate sets it) back;
// an upload goes at the chip's 16 packets of 64 bytes a frame.
//
// Needs root (the chip's bus is laid out in a private mount namespace) and
// FTDI's library in build/ftdi/lib, which `ctest --preset ftdi` fetches.
//
// Run:  build/bench/bench_ftdi [--runs 10] [--firmware-runs 3]
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "ftdi/ft245r.h"
#include "support.h"

namespace {

using namespace bench;
using Env = std::vector<std::pair<std::string, std::string>>;

constexpr double frameMs = 1;
constexpr double latencyMs = 2;
constexpr double roundTripFloorMs = frameMs + latencyMs;
// "\n", the password, "<netstatus/>", "<wifistatus/>".
constexpr int loginRoundTrips = 4;
// "<netdown/>", "<netconfig .../>", "<netup/>", "<netstatus/>", "<wifistatus/>".
constexpr int applyRoundTrips = 5;
constexpr double chipBytesPerS = 16 * 64 * 1000;
constexpr size_t imageBytes = 4u << 20;
constexpr double targetRatio = 0.8;

struct Link {
    const char* name;
    std::string libraryDir;
    Env env;
};

ChildOptions optionsFor(const Link& link) {
    ChildOptions options;
    options.libraryDir = link.libraryDir;
    options.env = instantModel();
    options.env.insert(options.env.end(), link.env.begin(), link.env.end());
    return options;
}

// The millisecond stamp of the first log line holding `what`, or -1.
int stamp(const std::string& log, const std::string& what) {
    size_t at = log.find(what);
    if (at == std::string::npos)
        return -1;
    size_t open = log.rfind('[', at);
    return open == std::string::npos ? -1 : std::atoi(log.c_str() + open + 1);
}

void print(const char* what, const Summary& s) {
    std::printf("    %-30s median %7.2f ms  p90 %7.2f ms  min %7.2f ms  (%zu runs)\n", what,
                s.median, s.p90, s.min, s.count);
}

struct StartFigures {
    Summary start, open, login;
};

StartFigures starts(const Link& link, int runs) {
    std::vector<double> start, open, login;
    for (int i = 0; i <= runs; ++i) {
        Child child(optionsFor(link));
        Clock::time_point prompt = child.waitFor(menuPrompt);
        child.type("q\n");
        if (int status = child.waitExit(); status != 0)
            throw Failure(std::string(link.name) + ": shedmate exited with status " +
                          std::to_string(status));
        // The first run warms the page cache.
        if (i == 0)
            continue;
        start.push_back(msBetween(child.started(), prompt));
        std::string log = child.log();
        size_t opened = log.find("connection opened and thread created ");
        if (opened != std::string::npos)
            open.push_back(std::atoi(log.c_str() + opened + 37));
        int sent = stamp(log, "] sendMsgToLoom(): [1] ");
        int shown = stamp(log, "] displayStatus()");
        if (sent < 0 || shown < 0)
            throw Failure(std::string(link.name) + ": the log shows no login");
        login.push_back(shown - sent);
    }
    return {summarize(start), summarize(open), summarize(login)};
}

Summary applies(const Link& link, int runs) {
    Child child(optionsFor(link));
    child.waitFor(menuPrompt);
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        child.type("1\n");
        child.waitFor("New Loom Name: ");
        child.type(i % 2 ? "LOOM-7\n" : "LOOM-9\n");
        child.waitFor(menuPrompt);
        Clock::time_point typed = Clock::now();
        child.type("a\n");
        child.waitFor("\tApplied.\n");
        ms.push_back(msBetween(typed, child.waitFor(menuPrompt)));
    }
    child.type("q\n");
    child.waitExit();
    return summarize(ms);
}

void writeImage(const std::string& path) {
    std::string bytes(imageBytes, '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>((i * 131 + i / 4093) & 0xff);
    std::ofstream(path, std::ios::binary) << bytes;
}

double programUpload(const Link& link, const std::string& image) {
    Child child(optionsFor(link));
    child.waitFor(menuPrompt);
    child.type("f\n");
    child.waitFor("Firmware image file: ");
    Clock::time_point typed = Clock::now();
    child.type(image + "\ny\n");
    Clock::time_point done = child.waitFor("100 %", 120000);
    child.waitFor("Firmware sent: ", 60000);
    child.waitFor(menuPrompt, 60000);
    child.type("q\n");
    child.waitExit(20000);
    return msBetween(typed, done);
}

double bareUpload(const Link& link, const std::string& image, const std::string& library) {
    ChildOptions options = optionsFor(link);
    options.executable = SHEDMATE_BENCH_BARE;
    options.args = {image, "--library", library};
    Child child(options);
    if (int status = child.waitExit(120000); status != 0)
        throw Failure("bench_firmware_bare exited with status " + std::to_string(status) + ":\n" +
                      child.output());
    std::map<std::string, long long> fields;
    std::istringstream lines(child.output());
    std::string key, value;
    while (lines >> key && std::getline(lines, value))
        if (key.size() > 3 && key.compare(key.size() - 3, 3, "_ns") == 0)
            fields[key] = std::stoll(value);
    return static_cast<double>(fields.at("end_ns") - fields.at("start_ns")) / 1e6;
}

bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

int body(int argc, char** argv) {
    int runs = static_cast<int>(option(argc, argv, "--runs", 10));
    int firmwareRuns = static_cast<int>(option(argc, argv, "--firmware-runs", 3));
    const std::string ftdiDir = SHEDMATE_FTDI_LIB_DIR;
    if (::geteuid() != 0)
        throw Failure("needs root: the chip's bus is laid out in a private mount namespace");
    if (!exists(ftdiDir + "/libftd2xx.so"))
        throw Failure(ftdiDir + "/libftd2xx.so is missing: `ctest --preset ftdi` fetches it");
    const std::vector<ft245r::Chip> chips = {{"FT000001"}};
    if (std::string error = ft245r::enterBus(ft245r::Bus::Chips, chips); !error.empty())
        throw Failure(error);

    const Link vloom{"virtual loom's library", vloomDir(), {}};
    const Link chip{
        "FTDI's library + FT245R",
        ftdiDir,
        {{"LD_PRELOAD", SHEDMATE_FT245R_USBFS}, {ft245r::chipsEnv, ft245r::describe(chips)}}};

    std::printf("bench_ftdi: shedmate through FTDI's libftd2xx.so and an emulated FT245R, beside "
                "the virtual loom's library; model answering at once\n");
    const double loginFloor = loginRoundTrips * roundTripFloorMs;
    const double applyFloor = applyRoundTrips * roundTripFloorMs;
    for (const Link* link : {&vloom, &chip}) {
        std::printf("  %s\n", link->name);
        StartFigures s = starts(*link, runs);
        print("start -> menu prompt", s.start);
        print("of which list and open (log)", s.open);
        print("login exchange (log)", s.login);
        Summary a = applies(*link, runs);
        print("'a' -> read-back menu prompt", a);
        if (link == &chip)
            std::printf("    chip's floor: login %d round trips x %.0f ms = %.0f ms (median %+.1f "
                        "ms over it); apply %d x %.0f ms = %.0f ms (median %+.1f ms over it)\n",
                        loginRoundTrips, roundTripFloorMs, loginFloor, s.login.median - loginFloor,
                        applyRoundTrips, roundTripFloorMs, applyFloor, a.median - applyFloor);
    }

    TempDir dir;
    const std::string image = dir.path() + "/image.bin";
    writeImage(image);
    std::vector<double> program, bare;
    for (int i = 0; i < firmwareRuns; ++i) {
        program.push_back(programUpload(chip, image));
        bare.push_back(bareUpload(chip, image, ftdiDir + "/libftd2xx.so"));
    }
    Summary p = summarize(program), b = summarize(bare);
    const double floorMs = static_cast<double>(imageBytes) / chipBytesPerS * 1000;
    const double ratio = b.median / p.median;
    std::printf("  firmware, %zu MiB through FTDI's library + FT245R (%d runs)\n", imageBytes >> 20,
                firmwareRuns);
    print("shedmate (typed -> 100 %)", p);
    print("bare FT_Write loop", b);
    std::printf("    chip's floor %.0f ms (%.0f bytes/s): shedmate %+.1f %%, bare %+.1f %%\n",
                floorMs, chipBytesPerS, (p.median - floorMs) / floorMs * 100,
                (b.median - floorMs) / floorMs * 100);
    std::printf("    ratio shedmate/bare throughput: %.2f (medians)\n", ratio);
    std::printf("verdict: %s (firmware ratio %.2f; target at least %.1f)\n",
                ratio >= targetRatio ? "PASS" : "FAIL", ratio, targetRatio);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    return runBenchmark("bench_ftdi", body, argc, argv);
}
