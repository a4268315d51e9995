// shedmate: the program a technician runs with a loom attached.
#include "app/main_loop.h"
#include "base/interrupt.h"
#include "base/io.h"
#include "console/command_line.h"
#include "link/drivers/system_driver.h"

int main(int argc, char** argv) {
    int answered = answerCommandLine("shedmate", parseCommandLine("shedmate", argc, argv));
    if (answered >= 0)
        return answered;
    installInterruptHandlers();
    useUtf8Console();
    int status = runShedmate(systemDriver);
    // The run is over: a console window closed from here on need not wait for it.
    runFinished();
    holdConsoleWindow();
    endProcess(status);
}
