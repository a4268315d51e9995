// shedmate-demo: the program against the virtual loom, so every menu entry can
// be tried with no loom attached.
#include "app/main_loop.h"
#include "base/interrupt.h"
#include "console/command_line.h"
#include "link/d2xx.h"
#include "virtual_loom/loom_driver.h"

int main(int argc, char** argv) {
    CommandLine line = parseCommandLine("shedmate-demo", argc, argv);
    int answered = answerCommandLine("shedmate-demo", line);
    if (answered >= 0)
        return answered;
    // Close to a real controller: a scan takes a moment, a network restart a few seconds.
    vloom::Timing timing{.scanMs = 400, .restartMs = 2500, .replyMs = 5};
    if (line.fast)
        timing = {};
    installInterruptHandlers();
    installDriver(virtualLoomDriver(timing));
    endProcess(runShedmate());
}
