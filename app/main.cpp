// shedmate: the program a technician runs with a loom attached.
#include "app/commands.h"
#include "base/arguments.h"
#include "base/interrupt.h"
#include "base/io.h"
#include "console/command_line.h"
#include "link/drivers/system_driver.h"

int main(int argc, char** argv) {
    Arguments args(argc, argv);
    CommandLine line = parseCommandLine("shedmate", args.count(), args.values(), conInIsTerminal());
    if (line.status >= 0)
        return answerCommandLine(line);
    installInterruptHandlers();
    useUtf8Console();
    int status = runInvocation(line.invocation, systemDriver);
    // The run is over: a console window closed from here on need not wait for it.
    runFinished();
    holdConsoleWindow();
    endProcess(status);
}
