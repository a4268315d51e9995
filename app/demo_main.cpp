// shedmate-demo: the program against the virtual loom, so every menu entry can
// be tried with no loom attached.
#include <cstdio>
#include <cstring>

#include "app/main_loop.h"
#include "base/interrupt.h"
#include "base/io.h"
#include "virtual_loom/loom_driver.h"

namespace {

// Close to a real controller: a scan takes a moment, a network restart a few seconds.
vloom::Timing timing{.scanMs = 400, .restartMs = 2500, .replyMs = 5};

const Driver* demoDriver() {
    return virtualLoomDriver(timing);
}

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--fast") == 0) {
            timing = {};
        } else {
            std::fprintf(stderr, "usage: shedmate-demo [--fast]\n"
                                 "  --fast  the virtual loom answers everything at once\n");
            return 2;
        }
    }
    installInterruptHandlers();
    useUtf8Console();
    endProcess(runShedmate(demoDriver));
}
