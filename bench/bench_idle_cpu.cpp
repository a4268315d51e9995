// Idle CPU: what build/shedmate burns while nothing happens, over a window of
// wall time, in two runs against the virtual loom's model: sitting at the menu
// with nothing typed, and in the progress wait after 'a' while the loom's
// network restart takes longer than the window. CPU time is the process's
// utime+stime from /proc/<pid>/stat (clock ticks) and, finer, the sum of its
// threads' scheduler run time; context switches show how often it woke.
//
// Run:  build/bench/bench_idle_cpu [--seconds 5]
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>

#include "support.h"

namespace {

using namespace bench;

constexpr double targetPercent = 1.0;

struct Usage {
    double statPercent;  // from clock ticks
    double schedPercent; // from the scheduler's nanoseconds
    double wakeupsPerSecond;
    double mainWakeupsPerSecond; // the main thread's share
};

Usage watch(pid_t pid, int seconds) {
    double stat0 = processCpuSeconds(pid);
    double sched0 = threadsCpuSeconds(pid);
    uint64_t switches0 = contextSwitches(pid);
    uint64_t main0 = contextSwitches(pid, pid);
    Clock::time_point from = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    double stat1 = processCpuSeconds(pid);
    double sched1 = threadsCpuSeconds(pid);
    uint64_t switches1 = contextSwitches(pid);
    uint64_t main1 = contextSwitches(pid, pid);
    double wall = msBetween(from, Clock::now()) / 1000;
    return {100 * (stat1 - stat0) / wall, 100 * (sched1 - sched0) / wall,
            static_cast<double>(switches1 - switches0) / wall,
            static_cast<double>(main1 - main0) / wall};
}

void print(const char* what, const Usage& u, int seconds) {
    std::printf("%-32s %6.3f %% of a core (stat ticks)  %6.3f %% (scheduler)  "
                "%5.1f wake-ups/s (main thread %4.1f)  over %d s\n",
                what, u.statPercent, u.schedPercent, u.wakeupsPerSecond, u.mainWakeupsPerSecond,
                seconds);
}

// Lets the burst of the step that led here (start-up, the apply) settle first.
void settle() {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
}

Usage atMenu(int seconds) {
    ChildOptions options;
    options.env = instantModel();
    Child child(options);
    child.waitFor(menuPrompt);
    settle();
    Usage u = watch(child.pid(), seconds);
    child.type("q\n");
    child.waitExit();
    return u;
}

Usage inProgressWait(int seconds) {
    ChildOptions options;
    options.env = instantModel();
    // The loom's network restart outlasts the window: the program keeps waiting.
    options.env.emplace_back("SHEDMATE_VLOOM_RESTART_MS", std::to_string(seconds * 4000));
    Child child(options);
    child.waitFor(menuPrompt);
    child.type("a\n");
    child.waitFor("Please wait ");
    settle();
    Usage u = watch(child.pid(), seconds);
    child.drain();
    if (child.output().find(menuPrompt, child.output().rfind("Please wait ")) != std::string::npos)
        throw Failure("the progress wait ended inside the window");
    // Ctrl-C: the program closes the connection and leaves.
    ::kill(child.pid(), SIGINT);
    child.waitExit();
    return u;
}

int body(int argc, char** argv) {
    int seconds = static_cast<int>(option(argc, argv, "--seconds", 5));
    std::printf("bench_idle_cpu: CPU used while nothing happens\n");
    Usage menu = atMenu(seconds);
    print("at the menu, nothing typed", menu, seconds);
    Usage wait = inProgressWait(seconds);
    print("in the progress wait after 'a'", wait, seconds);
    // The tick-based figure moves in 10 ms steps; the scheduler's is exact.
    double worst = std::max(menu.schedPercent, wait.schedPercent);
    if (worst == 0)
        worst = std::max(menu.statPercent, wait.statPercent);
    std::printf("verdict: %s (worst %.3f %% of one core; target under %.0f %%)\n",
                worst < targetPercent ? "PASS" : "FAIL", worst, targetPercent);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    return runBenchmark("bench_idle_cpu", body, argc, argv);
}
