// Ctrl-C and termination requests. One file per platform implements them.
//
// The first request asks the run to end cleanly (the main loop quits through
// its exit state); a second one ends the process at once, restoring the
// terminal's echo first.
#pragma once

#include <atomic>
#include <cstdio>

// Set when the operator asked the run to end; the main loop turns it into the
// run's end (a handler can only set a flag).
extern std::atomic<int> interruptRequested;

// Forgets the interrupts held during an upload, as a run starts. A request that
// came before the run stays: it ends the run as soon as it starts.
void resetInterrupts();

// While holdInterrupts is set (a firmware upload is on the wire) an interrupt
// only adds one to heldInterrupts and never ends the process at once: the
// upload decides between its pieces whether to stop.
extern std::atomic<int> holdInterrupts;
extern std::atomic<int> heldInterrupts;
// A signal other than Ctrl-C that came while interrupts were held.
extern std::atomic<int> heldEndSignal;

// Ends holding: a signal held back meanwhile now asks the run to end. Main thread.
void releaseHeldEndSignal();

// Process exit status of a run ended by an interrupt when the signal is not
// known (Windows' console events): 130, as for Ctrl-C.
constexpr int interruptedExitStatus = 130;

// The signal behind the first request; 0 when none came or the platform has no
// signal numbers.
extern std::atomic<int> interruptSignal;

// Exit status of a run ended by an interrupt: 128 plus the signal, as shells
// report it (130 Ctrl-C, 143 SIGTERM, 129 SIGHUP).
int interruptExitStatus();

// Installs the handlers. Main thread, first thing in main: a request that
// arrives while they are being installed is held back, not lost.
void installInterruptHandlers();

// An interrupt that arrives just before the main thread starts reading the
// console cannot cut that read short. The receiving thread calls this on every
// pass until the main loop has acted on the end of the run (see
// mainThreadNeedsNudge), to cut it short after all. Any thread but the main one.
void nudgeMainThread();

// Keeps interrupts from being delivered to the calling thread, so that they
// reach the main thread and cut short its wait for the operator. Called by the
// receiving thread as it starts.
void keepInterruptsOffThisThread();

// A console read came back with nothing: true when an interrupt cut it short.
// On Windows the read ends at the Ctrl-C before the control handler (a thread
// of its own) may have run, so for a console this waits briefly for it rather
// than take the interrupt for end of input. Main thread.
#if defined(_WIN32)
bool interruptCutRead(std::FILE* in);
#else
inline bool interruptCutRead(std::FILE*) {
    return interruptRequested != 0;
}
#endif

// The run has closed the loom and written its exit line. On Windows a console
// close, logoff or shutdown handler holds the process until then (at most
// about 4 s). Main thread, just before the process ends.
#if defined(_WIN32)
void runFinished();
#else
inline void runFinished() {}
#endif
