// Firmware upload: build/shedmate sending a 16 MiB image of random bytes
// through the virtual loom's libftd2xx.so, against bench_firmware_bare doing
// the same device work in a bare loop through the same library.
//
// Both are timed from the start of the upload to the device holding every
// byte: shedmate, its console on a terminal so the progress line is drawn, from
// the file name (and the confirming "y") typed at its prompt to its last
// progress line; the bare loop from its fopen to
// its last FT_Write. Both read the file the same way (one fread into a fresh
// buffer): the model only counts the image's bytes, so FT_Write alone costs
// next to nothing and the file read is most of the work on both sides. The
// bare loop never logs in, so the model answers its image with "<error not
// logged in>", which it sends only once it has counted every byte.
//
// Cases (the verdict is on the first):
//   model         the library's model, one FT_Write takes the whole image
//   model-4k      the model taking at most 4096 bytes per FT_Write
//   socket        scripted mode: every byte crosses the library's socket to
//                 this process, as it would cross USB to a real loom
//   model-no-nul  an image without NUL bytes: shedmate logs what it sends as
//                 text up to the first NUL, so here the whole image
//
// Then "paced": the library taking bytes at an FT245R's rate (1 MB/s), the
// upload's time against size / rate, and how often the progress line moved.
//
// Run:  build/bench/bench_firmware [--runs 7] [--paced-runs 1]
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "scripted_loom.h"
#include "support.h"

namespace {

using namespace bench;

constexpr size_t imageBytes = 16u << 20;
constexpr double targetRatio = 0.8;

struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> env;
    bool socket;
    bool noNul;
};

struct BareTiming {
    double totalMs;
    double freadMs;
    double writeMs;
    unsigned writeCalls;
    std::string answer;
};

void writeImage(const std::string& path, bool noNul) {
    std::vector<unsigned char> bytes(imageBytes);
    std::mt19937_64 random(2024);
    for (size_t i = 0; i < bytes.size(); i += 8) {
        uint64_t r = random();
        std::memcpy(&bytes[i], &r, 8);
    }
    if (noNul)
        std::replace(bytes.begin(), bytes.end(), static_cast<unsigned char>(0),
                     static_cast<unsigned char>(1));
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw Failure("cannot write " + path);
}

std::string commandFor(size_t n) {
    return "receivefirmware " + std::to_string(n) + "\r";
}

// One shedmate run: logs in, 'f', the file name and "y" typed at once, its
// console on a terminal so the progress line is rewritten in place; returns
// ms from typing to the upload being complete.
struct ProgramTiming {
    double ms;
    double reportedS; // the program's own "Firmware sent: N bytes in T s"
    int rewrites;     // of the progress line
    double longestGapMs;
};

ProgramTiming programRun(const Case& c, const std::string& image) {
    TempDir sockets;
    std::unique_ptr<ScriptedLoom> loom;
    ChildOptions options;
    options.terminal = true;
    options.env = instantModel();
    options.env.insert(options.env.end(), c.env.begin(), c.env.end());
    if (c.socket) {
        loom = std::make_unique<ScriptedLoom>(sockets.path() + "/loom.sock");
        options.env.push_back(loom->envEntry());
    }
    Child child(options);
    if (loom) {
        loom->accept();
        loom->logIn();
    }
    child.waitFor(menuPrompt);
    child.type("f\n");
    child.waitFor("Firmware image file: ");
    uint64_t before = loom ? loom->wireBytes() : 0;
    size_t outputBefore = child.output().size();
    Clock::time_point typed = Clock::now();
    child.type(image + "\ny\n");
    Clock::time_point done = Clock::now();
    if (loom) {
        done = loom->waitWireBytes(before + commandFor(imageBytes).size() + imageBytes, 120000);
        loom->send("<ready>\r\n");
    }
    done = std::max(done, child.waitFor("100 %", 120000));
    child.waitFor("Firmware sent: ", 60000);
    child.waitFor("the loom acknowledged it.", 60000);
    child.waitFor(menuPrompt, 60000);
    child.type("q\n");
    if (int status = child.waitExit(); status != 0)
        throw Failure("shedmate exited with status " + std::to_string(status));
    std::string log = child.log();
    if (log.find("sendMsgToLoom(): [" + std::to_string(imageBytes) + "] ") == std::string::npos)
        throw Failure("the log shows no image sent");
    if (!loom && log.find("receivefirmware") == std::string::npos)
        throw Failure("the log shows no receivefirmware");

    ProgramTiming t{msBetween(typed, done), 0, 0, 0};
    const std::string& out = child.output();
    size_t sentAt = out.find("Firmware sent: ", outputBefore);
    t.reportedS = std::stod(out.substr(out.find(" bytes in ", sentAt) + 10));
    Clock::time_point last = typed;
    for (size_t at = out.find("\r\t", outputBefore); at < sentAt; at = out.find("\r\t", at + 1)) {
        Clock::time_point when = child.arrivedAt(at);
        if (t.rewrites > 0)
            t.longestGapMs = std::max(t.longestGapMs, msBetween(last, when));
        last = when;
        ++t.rewrites;
    }
    return t;
}

BareTiming bareRun(const Case& c, const std::string& image) {
    TempDir sockets;
    std::unique_ptr<ScriptedLoom> loom;
    ChildOptions options;
    options.executable = SHEDMATE_BENCH_BARE;
    options.args = {image};
    options.env = instantModel();
    options.env.insert(options.env.end(), c.env.begin(), c.env.end());
    if (c.socket) {
        loom = std::make_unique<ScriptedLoom>(sockets.path() + "/bare.sock");
        options.env.push_back(loom->envEntry());
        options.args.push_back("--no-reply");
    }
    Child child(options);
    Clock::time_point arrived{};
    if (loom) {
        loom->accept();
        arrived = loom->waitWireBytes(commandFor(imageBytes).size() + imageBytes, 60000);
    }
    if (int status = child.waitExit(60000); status != 0)
        throw Failure("bench_firmware_bare exited with status " + std::to_string(status) + ":\n" +
                      child.output());
    std::map<std::string, std::string> fields;
    std::istringstream lines(child.output());
    for (std::string key, value; lines >> key && std::getline(lines, value);)
        fields[key] = value.substr(value.find_first_not_of(' '));
    auto at = [&](const char* key) {
        return Clock::time_point(std::chrono::nanoseconds(std::stoll(fields.at(key))));
    };
    Clock::time_point end = std::max(at("end_ns"), arrived);
    return {msBetween(at("start_ns"), end), msBetween(at("fread_start_ns"), at("fread_end_ns")),
            msBetween(at("fread_end_ns"), at("end_ns")),
            static_cast<unsigned>(std::stoul(fields.at("write_calls"))), fields.at("answer")};
}

double mibPerSecond(double ms) {
    return static_cast<double>(imageBytes) / (1024.0 * 1024.0) / (ms / 1000.0);
}

// Ratio of the medians' throughputs, shedmate over bare.
double runCase(const Case& c, const std::string& dir, int runs) {
    std::string image = dir + (c.noNul ? "/image-no-nul.bin" : "/image.bin");
    writeImage(image, c.noNul);
    // Page cache warm for both, as for an operator who just copied the file.
    bareRun(c, image);
    std::vector<double> program, bare, freads, writes;
    BareTiming last{};
    for (int i = 0; i < runs; ++i) {
        program.push_back(programRun(c, image).ms);
        last = bareRun(c, image);
        bare.push_back(last.totalMs);
        freads.push_back(last.freadMs);
        writes.push_back(last.writeMs);
    }
    Summary p = summarize(program), b = summarize(bare);
    Summary f = summarize(freads), w = summarize(writes);
    double ratio = b.median / p.median;
    std::printf("case %s\n", c.name);
    std::printf("  shedmate  (name typed -> upload done)  median %7.2f ms  %7.0f MiB/s  "
                "(min %.2f, max %.2f ms)\n",
                p.median, mibPerSecond(p.median), p.min, p.max);
    std::printf("  bare loop (fopen -> last FT_Write)     median %7.2f ms  %7.0f MiB/s  "
                "(min %.2f, max %.2f ms)\n",
                b.median, mibPerSecond(b.median), b.min, b.max);
    std::printf("    of which fread %.2f ms, FT_Write %.3f ms (%u calls, %.0f MiB/s alone); "
                "device answer: %s\n",
                f.median, w.median, last.writeCalls, mibPerSecond(w.median), last.answer.c_str());
    std::printf("  ratio shedmate/bare throughput: %.2f (medians), %.2f (best runs)\n", ratio,
                b.min / p.min);
    return ratio;
}

int body(int argc, char** argv) {
    int runs = static_cast<int>(option(argc, argv, "--runs", 7));
    TempDir dir;
    const std::vector<Case> cases = {
        {"model (one FT_Write takes the whole image)", {}, false, false},
        {"model-4k (at most 4096 bytes per FT_Write)",
         {{"SHEDMATE_VLOOM_MAX_WRITE", "4096"}},
         false,
         false},
        {"socket (scripted mode: every byte crosses the library's socket)", {}, true, false},
        {"model-no-nul (image without NUL bytes: all of it goes to the log)", {}, false, true},
    };
    std::printf("bench_firmware: %zu MiB image, shedmate vs a bare write loop through "
                "libftd2xx.so (%d runs each)\n",
                imageBytes >> 20, runs);
    std::vector<double> ratios;
    for (const Case& c : cases)
        ratios.push_back(runCase(c, dir.path(), runs));
    std::printf("verdict: %s (ratio %.2f in the model case; target at least %.1f)\n",
                ratios[0] >= targetRatio ? "PASS" : "FAIL", ratios[0], targetRatio);

    // At an FT245R's rate the upload takes what the bytes take, and the
    // progress line keeps moving.
    int pacedRuns = static_cast<int>(option(argc, argv, "--paced-runs", 1));
    const Case paced{"paced", {{"SHEDMATE_VLOOM_BYTES_PER_S", "1000000"}}, false, false};
    std::string image = dir.path() + "/image.bin";
    const double expectedS = static_cast<double>(imageBytes) / 1e6;
    bool pacedOk = true;
    std::printf("case paced (the library's FT_Write takes 1 000 000 bytes/s; expected %.2f s)\n",
                expectedS);
    for (int i = 0; i < pacedRuns; ++i) {
        ProgramTiming t = programRun(paced, image);
        double off = (t.reportedS - expectedS) / expectedS * 100.0;
        double perSecond = t.rewrites / (t.ms / 1000.0);
        std::printf(
            "  upload %.2f s as the program reports it (%+.1f %%), %.2f s typed -> last "
            "byte; progress line rewritten %d times, %.1f per second, longest gap %.0f ms\n",
            t.reportedS, off, t.ms / 1000.0, t.rewrites, perSecond, t.longestGapMs);
        pacedOk = pacedOk && std::abs(off) <= 5.0 && t.longestGapMs <= 500.0;
    }
    std::printf("verdict: %s (paced upload within 5 %% of size / rate, progress at least twice a "
                "second)\n",
                pacedOk ? "PASS" : "FAIL");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    return runBenchmark("bench_firmware", body, argc, argv);
}
