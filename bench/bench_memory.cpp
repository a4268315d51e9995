// Peak resident memory of a typical session of build/shedmate against the
// virtual loom's model (its usual delays): log in, status screen, rename the
// loom, apply, the status read back after the restart, quit. VmHWM is read
// from /proc/<pid>/status at each step and, after 'q', as often as possible
// until the process is gone, so the last figure is from just before its exit.
//
// Run:  build/bench/bench_memory [--runs 5]
#include <chrono>
#include <cstdio>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <vector>

#include "support.h"

namespace {

using namespace bench;

struct Peaks {
    long loggedIn; // VmHWM at the first menu
    long readBack; // VmHWM at the menu after the apply
    long beforeExit;
    long rssAtEnd; // VmRSS at the last menu
    long maxrss;   // ru_maxrss of the reaped child
};

Peaks session() {
    Child child;
    Peaks p{};
    child.waitFor(menuPrompt);
    p.loggedIn = statusKiB(child.pid(), "VmHWM");
    child.type("1\n");
    child.waitFor("New Loom Name: ");
    child.type("LOOM-9\n");
    child.waitFor(menuPrompt);
    child.type("a\n");
    child.waitFor("Please wait ");
    child.waitFor("Loom Name [1]: LOOM-9");
    child.waitFor(menuPrompt);
    p.readBack = statusKiB(child.pid(), "VmHWM");
    p.rssAtEnd = statusKiB(child.pid(), "VmRSS");
    child.type("q\n");
    // A process that has exited keeps its /proc entry, without Vm lines, until reaped.
    p.beforeExit = p.readBack;
    for (long hwm; (hwm = statusKiB(child.pid(), "VmHWM")) > 0;) {
        p.beforeExit = hwm;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    rusage usage{};
    int status = child.waitExit(10000, &usage);
    if (status != 0)
        throw Failure("shedmate exited with status " + std::to_string(status));
    p.maxrss = usage.ru_maxrss;
    return p;
}

int body(int argc, char** argv) {
    int runs = static_cast<int>(option(argc, argv, "--runs", 5));
    std::vector<double> peaks;
    Peaks last{};
    for (int i = 0; i < runs; ++i) {
        last = session();
        peaks.push_back(static_cast<double>(last.beforeExit));
    }
    Summary s = summarize(peaks);
    std::printf("bench_memory: peak resident memory of a session (login, rename, apply, "
                "read back, quit)\n");
    std::printf("VmHWM after login                  %6ld KiB\n", last.loggedIn);
    std::printf("VmHWM after apply and read-back    %6ld KiB\n", last.readBack);
    std::printf("VmRSS at the last menu             %6ld KiB\n", last.rssAtEnd);
    std::printf("VmHWM just before exit             %6.0f KiB median, %.0f..%.0f KiB over %zu "
                "runs\n",
                s.median, s.min, s.max, s.count);
    // The kernel may count pages the child had before exec in it.
    std::printf("ru_maxrss of the reaped child      %6ld KiB (for comparison)\n", last.maxrss);
    std::printf("verdict: no target; peak resident memory %.1f MiB\n", s.median / 1024);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    return runBenchmark("bench_memory", body, argc, argv);
}
