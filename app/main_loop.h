// The main thread's loop: one state number, one action per pass.
#pragma once

#include <cstdint>

#include "console/command_line.h"
#include "link/driver.h"

// Tick of the last progress dot; 0 at start, so the first wait prints one at once.
extern uint32_t lastDotTick;

// Runs a whole session from start-up to exit and returns the process exit
// status: 0 when the operator quit or the controller closed the connection, 1
// when the device could not be opened, the connection was lost or another run
// holds the folder's log, 128 + the signal after an interrupt. Main thread.
// chooseDriver, when given, picks the back end once the log is open; without
// it the driver installed before stays. invocation, when given, is what the
// command line asked for (the device to open); it outlives the run.
using DriverChoice = const Driver* (*)();
int runShedmate(DriverChoice chooseDriver = nullptr, const Invocation* invocation = nullptr);

// Everything a run keeps process-wide, put back as a run starts: each module
// that owns such state has its reset beside it, and a new one is added here.
// Main thread, with no receiving thread running. The installed driver, the
// console streams and the tick source are the caller's choice and stay.
void resetRunState();

// Forgets the progress dots, the silence watch and how the run is ending, as a run starts.
void resetMainLoop();

// State 2: opens the log and the device and wakes the controller.
void startUp();

// State 12: prints a dot when more than 2 s have passed since the last one.
void progressTick();

// Ends the process with `status`. When a receiving thread had to be left
// inside a driver call, the process ends without running static destructors
// under it.
[[noreturn]] void endProcess(int status);
