// A built Shedmate executable run the way a technician runs it: a child
// process with its console on pipes, in a working folder of its own, against
// the virtual loom library found first on LD_LIBRARY_PATH. Used by the
// end-to-end harness and the benchmarks. POSIX only.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <sys/types.h>
#include <thread>
#include <utility>
#include <vector>

namespace peer {

using Clock = std::chrono::steady_clock;
using EnvList = std::vector<std::pair<std::string, std::string>>;

struct ProgramOptions {
    std::string executable;
    std::vector<std::string> args;
    std::string workDir;  // the child's working folder; stderr goes to stderr.txt in it
    std::string vloomDir; // put first on LD_LIBRARY_PATH
    // Added to the environment after every inherited SHEDMATE_VLOOM_* is
    // removed; of two equal names the later wins.
    EnvList env;
    // The console output on a pseudo-terminal instead of a pipe, as in a terminal window.
    bool terminal = false;
    // With terminal: the console input on the same pseudo-terminal, as typed in
    // a terminal window (echoed, a line at a time). Its output is not
    // post-processed, so a "\n" stays a "\n".
    bool terminalInput = false;
};

class Program {
  public:
    Program() = default;
    ~Program(); // kills a child still running
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    // Starts the child; false with the reason in `error`.
    bool start(const ProgramOptions& options, std::string& error);
    pid_t pid() const { return pid_; }
    // Taken just before the child was spawned.
    Clock::time_point started() const { return started_; }

    // --- the console
    bool type(std::string_view text);
    // On a terminal: Ctrl-D, which ends the input at the start of a line.
    void closeInput();
    // Waits for needle after the cursor and moves the cursor past it; `at` gets
    // the arrival of the output that completed it.
    bool waitOutput(std::string_view needle, int timeoutMs, Clock::time_point* at = nullptr);
    // The output after the cursor must go on with exactly `text`; `got` gets
    // what came instead.
    bool expectOutputNext(std::string_view text, int timeoutMs, std::string* got = nullptr);
    std::string output();
    std::string unreadOutput();
    // When the byte at `index` of output() arrived: the end of the read that brought it.
    Clock::time_point arrivedAt(size_t index);
    // Waits (at most timeoutMs) until the child's output has ended.
    bool waitOutputEnd(int timeoutMs);

    // --- the process
    bool running();
    // Waits for the end; on time-out the child is killed and false returned.
    // `waitStatus` as waitpid gives it.
    bool waitExit(int timeoutMs, int* waitStatus = nullptr, rusage* usage = nullptr);
    void signal(int sig);
    std::string stderrText() const;

  private:
    void readOutput();
    bool reap(bool block, rusage* usage);

    std::string workDir_;
    pid_t pid_ = -1;
    int stdinFd_ = -1;
    bool terminalInput_ = false;
    int stdoutFd_ = -1;
    bool exited_ = false;
    int waitStatus_ = 0;
    Clock::time_point started_;
    std::thread outputThread_;

    std::mutex mutex_;
    std::condition_variable cv_;
    std::string output_; // guarded by mutex_, as are the fields below
    std::vector<std::pair<size_t, Clock::time_point>> arrivals_; // end of each read
    size_t cursor_ = 0;
    bool outputEnded_ = false;
};

// The environment a child gets (see ProgramOptions::env).
std::vector<std::string> childEnvironment(const std::string& vloomDir, const EnvList& env);

// Reads a whole file; "" when it cannot.
std::string readFile(const std::string& path);

} // namespace peer
