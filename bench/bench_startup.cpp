// Start-up time: from starting build/shedmate (against the virtual loom's model
// answering at once, in a fresh working folder) to the status screen's menu
// prompt on its console. The start of /bin/echo is printed beside it as the
// floor any process start pays on this machine.
//
// Run:  build/bench/bench_startup [--runs 20]
#include <cstdio>
#include <string>
#include <vector>

#include "support.h"

namespace {

using namespace bench;

constexpr double targetMs = 10; // "a few milliseconds, not tens"

void print(const char* what, const Summary& s) {
    std::printf("%-34s min %6.2f ms  median %6.2f ms  p90 %6.2f ms  max %6.2f ms  (%zu runs)\n",
                what, s.min, s.median, s.p90, s.max, s.count);
}

double oneStart() {
    ChildOptions options;
    options.env = instantModel();
    Child child(options);
    Clock::time_point prompt = child.waitFor(menuPrompt);
    double ms = msBetween(child.started(), prompt);
    child.type("q\n");
    int status = child.waitExit();
    if (status != 0)
        throw Failure("shedmate exited with status " + std::to_string(status));
    return ms;
}

double oneEcho() {
    ChildOptions options;
    options.executable = "/bin/echo";
    Child child(options);
    Clock::time_point line = child.waitFor("\n");
    child.waitExit();
    return msBetween(child.started(), line);
}

int body(int argc, char** argv) {
    int runs = static_cast<int>(option(argc, argv, "--runs", 20));
    // Page cache and dynamic loader caches warm, as for a technician's second run.
    oneStart();
    oneEcho();

    std::vector<double> starts, echoes;
    for (int i = 0; i < runs; ++i) {
        starts.push_back(oneStart());
        echoes.push_back(oneEcho());
    }
    Summary s = summarize(starts);
    Summary floor = summarize(echoes);
    std::printf("bench_startup: start to menu prompt, model answering at once\n");
    print("shedmate start -> menu prompt", s);
    print("/bin/echo start -> its output", floor);
    std::printf("shedmate beyond a bare process start (medians): %.2f ms\n",
                s.median - floor.median);
    std::printf("verdict: %s (median %.2f ms; target a few ms, under %.0f ms)\n",
                s.median < targetMs ? "PASS" : "FAIL", s.median, targetMs);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    return runBenchmark("bench_startup", body, argc, argv);
}
