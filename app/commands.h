// What a command line asks for: the interactive run, or one command. The list
// command is whole here: it opens no device and writes no log, so it may run
// beside another Shedmate in the same folder. The others are runs of the
// interactive program's own (console/command_run.h does their work at the menu).
#pragma once

#include "app/main_loop.h"
#include "console/command_line.h"

// Runs it and returns the process exit status. chooseDriver gives the back end
// (called once). Main thread, with the interrupt handlers installed.
int runInvocation(const Invocation& invocation, DriverChoice chooseDriver);

// shedmate list: the devices the back end sees on standard output, 0 when the
// device a run would open is there (at least one FT245R, or the --device), 1
// when not, 128 + the signal when an interrupt ended a --wait.
int runList(const Invocation& invocation, DriverChoice chooseDriver);
