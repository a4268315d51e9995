#include "app/commands.h"

#include <cstdio>
#include <string>
#include <vector>

#include "base/interrupt.h"
#include "base/io.h"
#include "base/text.h"
#include "console/command_run.h"
#include "console/results.h"
#include "link/connection.h"
#include "link/device_list.h"
#include "link/driver.h"

int runList(const Invocation& invocation, DriverChoice chooseDriver) {
    installDriver(chooseDriver());
    const DeviceChoice& choice = invocation.device;
    std::vector<ListedDevice> list;
    ChosenDevice chosen;
    if (FT_STATUS status = lookForDevice(choice, list, chosen); status != FT_OK) {
        tellDriverFailure("FT_CreateDeviceInfoList", status);
        return 1;
    }
    if (interruptRequested)
        return interruptExitStatus();
    std::string out =
        invocation.json ? listJson(list, chosen) : listText(list, chosen, !choice.id.empty());
    std::fputs(out.c_str(), stdout);
    std::fflush(stdout);
    if (choiceFound(chosen, choice))
        return 0;
    std::string id = consoleSafe(choice.id);
    if (chosen.matches > 1)
        conPrint("ERROR: %d attached devices have the serial number \"%s\".\n", chosen.matches,
                 id.c_str());
    else if (!choice.id.empty())
        conPrint("ERROR: no attached device has the serial number or path \"%s\".\n", id.c_str());
    else
        conPrint("No loom (FT245R USB FIFO) is attached.\n");
    conFlush();
    return 1;
}

int runInvocation(const Invocation& invocation, DriverChoice chooseDriver) {
    if (invocation.command == Command::interactive) {
        return runShedmate(chooseDriver, &invocation);
    }
    // A command's results go to standard output, everything else to standard error.
    setConsoleStreams(stdin, stderr);
    if (invocation.command == Command::list)
        return runList(invocation, chooseDriver);
    if (int status = prepareCommand(invocation); status >= 0)
        return status;
    return runShedmate(chooseDriver, &invocation);
}
