// A command's part of a run. The run starts, logs in and reads the status as
// the interactive one does; where that one shows the status screen and the
// menu, the command does its work with the dialogs' own functions (the status
// screen, the scan, the editors' setters, the apply, the firmware upload) and
// then ends the run as 'q' does, its verdict the exit status: 0 done, 2 a
// value the loom cannot take, 3 refused or not taken, 4 no answer in time.
#pragma once

#include <cstdint>

#include "console/command_line.h"

// Before the run, with nothing opened: reads the passphrase file, checks the
// firmware image. -1 to go on; otherwise the exit status (2), the reason told
// on the console. Main thread.
int prepareCommand(const Invocation& invocation);

// As the run starts: the command it carries out (null or the interactive run:
// none). It must outlive the run. Main thread.
void beginCommand(const Invocation* invocation);

// As the run ends: forgets the command and wipes the passphrase. Main thread.
void endCommand();

// True while the run carries out a command.
bool commandRunning();

// Where the interactive run shows the status screen and the menu: the
// command's next step. The main loop has set the idle state first. Main thread.
void commandAtMenu();

// The controller is open, or asked something new: its answer is waited for
// --timeout from now.
void armCommandDeadline();

// On each pass while the main loop waits for the controller: once the
// deadline has passed, says so and quits (exit status 4). Main thread.
void commandTick();

// The firmware answer's bound for sendFirmware: --timeout, or 0 (its own)
// without a command.
uint32_t commandAnswerWaitMs();
