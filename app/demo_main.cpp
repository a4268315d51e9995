// shedmate-demo: the program against the virtual loom, so every menu entry and
// every command can be tried with no loom attached.
#include "app/commands.h"
#include "base/arguments.h"
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
    Arguments args(argc, argv);
    CommandLine line =
        parseCommandLine("shedmate-demo", args.count(), args.values(), conInIsTerminal());
    if (line.status >= 0)
        return answerCommandLine(line);
    if (line.invocation.fast)
        timing = {};
    installInterruptHandlers();
    useUtf8Console();
    int status = runInvocation(line.invocation, demoDriver);
    // The run is over: a console window closed from here on need not wait for it.
    runFinished();
    holdConsoleWindow();
    endProcess(status);
}
