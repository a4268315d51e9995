// What the benchmark programs share: running the built shedmate as a child with
// its console on pipes, figures from /proc, and the summary of a sample.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <sys/types.h>
#include <utility>
#include <vector>

#include "peer/program.h"

namespace bench {

using Clock = std::chrono::steady_clock;

// Ends a benchmark with a message; main prints it and exits non-zero.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The executables and the virtual loom of the build tree the benchmark came from.
std::string shedmatePath();
std::string vloomDir();
std::string vloomLibrary();

inline const std::string menuPrompt = "Or enter 'a' for apply, 'q' for quit: ";

// The model answering at once: every delay it has set to 0.
std::vector<std::pair<std::string, std::string>> instantModel();

// A fresh folder under /tmp, removed with everything in it when this goes.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

struct ChildOptions {
    std::string executable = shedmatePath();
    std::vector<std::string> args;
    // Added to the environment after every inherited SHEDMATE_VLOOM_* is removed;
    // of two equal names the later wins.
    std::vector<std::pair<std::string, std::string>> env;
    // The console output on a terminal (a pseudo-terminal) instead of a pipe.
    bool terminal = false;
    // Put first on LD_LIBRARY_PATH: the folder of the libftd2xx.so used.
    std::string libraryDir = vloomDir();
};

// shedmate started as a technician starts it, in a working folder of its own,
// with the virtual loom's folder (or libraryDir) first on LD_LIBRARY_PATH
// (peer::Program).
class Child {
  public:
    explicit Child(const ChildOptions& options = {});
    ~Child() = default; // kills a child still running
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Taken just before the spawn.
    Clock::time_point started() const { return program_.started(); }
    pid_t pid() const { return program_.pid(); }
    const std::string& workDir() const { return dir_.path(); }

    void type(std::string_view text);
    // Waits for needle in the console output after the previous match; returns
    // when the read that completed it returned. Throws on time-out or end of
    // output.
    Clock::time_point waitFor(std::string_view needle, int timeoutMs = 10000);
    // Output is collected as it comes; nothing to do.
    void drain() {}
    // Waits for the child to end and reaps it. Throws on time-out (the child is
    // killed).
    int waitExit(int timeoutMs = 10000, rusage* usage = nullptr);
    bool running() { return program_.running(); }

    std::string output() { return program_.output(); }
    // When the byte at `index` of output() arrived: the end of the read that brought it.
    Clock::time_point arrivedAt(size_t index) { return program_.arrivedAt(index); }
    std::string log() const;

  private:
    std::string tail();

    TempDir dir_;
    peer::Program program_;
};

// CPU time of the whole process (every thread) from /proc/<pid>/stat, in
// clock ticks turned into seconds: 10 ms steps on most kernels.
double processCpuSeconds(pid_t pid);
// The same from the scheduler's per-thread counters, to the nanosecond; 0 when
// the kernel keeps none.
double threadsCpuSeconds(pid_t pid);
// Voluntary plus involuntary context switches of one thread (tid) or of every
// thread (tid 0): about how often it woke up.
uint64_t contextSwitches(pid_t pid, pid_t tid = 0);
// A "Vm...:" line of /proc/<pid>/status in KiB, or -1.
long statusKiB(pid_t pid, const char* field);

struct Summary {
    size_t count = 0;
    double min = 0, median = 0, mean = 0, p90 = 0, p99 = 0, max = 0;
};
Summary summarize(std::vector<double> values);

double msBetween(Clock::time_point from, Clock::time_point to);
double usBetween(Clock::time_point from, Clock::time_point to);

// Runs body, turning a Failure (or any exception) into a message and status 1.
int runBenchmark(const char* name, int (*body)(int argc, char** argv), int argc, char** argv);

// "--name value" from the command line as a number, or fallback.
long option(int argc, char** argv, const char* name, long fallback);

} // namespace bench
