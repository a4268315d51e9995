// shedmate-demo: the program against the virtual loom, so every menu entry can
// be tried with no loom attached.
#include "app/main_loop.h"
#include "base/interrupt.h"
#include "base/io.h"
#include "console/command_line.h"
#include "virtual_loom/loom_driver.h"

namespace {

// Close to a real controller: a scan takes a moment, a network restart a few seconds.
vloom::Timing timing{.scanMs = 400, .restartMs = 2500, .replyMs = 5};

const Driver* demoDriver() {
    return virtualLoomDriver(timing);
}

} // namespace

int main(int argc, char** argv) {
    CommandLine line = parseCommandLine("shedmate-demo", argc, argv);
    int answered = answerCommandLine("shedmate-demo", line);
    if (answered >= 0)
        return answered;
    if (line.fast)
        timing = {};
    installInterruptHandlers();
    useUtf8Console();
    int status = runShedmate(demoDriver);
    // The run is over: a console window closed from here on need not wait for it.
    runFinished();
    holdConsoleWindow();
    endProcess(status);
}
