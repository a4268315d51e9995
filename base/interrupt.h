// Ctrl-C and termination requests. One file per platform implements them.
//
// The first request asks the run to end cleanly (the main loop quits through
// its exit state); a second one ends the process at once, restoring the
// terminal's echo first.
#pragma once

#include <atomic>

// Set when the operator asked the run to end. Read by the main thread.
extern std::atomic<int> interruptRequested;

// Set by the main loop once it has acted on the interrupt.
extern std::atomic<int> interruptSeen;

// While holdInterrupts is set (a firmware upload is on the wire) an interrupt
// only adds one to heldInterrupts and never ends the process at once: the
// upload decides between its pieces whether to stop.
extern std::atomic<int> holdInterrupts;
extern std::atomic<int> heldInterrupts;

// Process exit status of a run ended by an interrupt.
constexpr int interruptedExitStatus = 130;

// Installs the handlers. Main thread, at start.
void installInterruptHandlers();

// An interrupt that arrives just before the main thread starts reading the
// console cannot cut that read short. The receiving thread calls this on every
// pass until the main loop has seen the interrupt, to cut it short after all.
// Any thread but the main one.
void nudgeMainThread();

// Keeps interrupts from being delivered to the calling thread, so that they
// reach the main thread and cut short its wait for the operator. Called by the
// receiving thread as it starts.
void keepInterruptsOffThisThread();
