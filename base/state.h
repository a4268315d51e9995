// The main loop's state number and the wake-up that goes with it.
//
// appState is written by both threads; every write goes through setAppState so
// that a main loop waiting in an idle state wakes at once.
#pragma once

#include <atomic>
#include <cstdint>

namespace state {
constexpr int idle = 1;
constexpr int startUp = 2;
constexpr int showStatus = 3;
constexpr int editName = 4;
constexpr int toggleWifi = 5;
constexpr int chooseNetwork = 6;
constexpr int toggleDhcp = 7;
constexpr int editStatic = 8;
constexpr int apply = 9;
constexpr int scanRequest = 10;
constexpr int pleaseWait = 12;
constexpr int firmware = 21;
constexpr int quit = 97;
constexpr int exit = 98;
constexpr int done = 99;
} // namespace state

extern std::atomic<int> appState;

// Stores the state and wakes the main loop. Any thread.
void setAppState(int value);

// Wakes the main loop without changing the state (another flag it checks has
// changed). Any thread.
void wakeMainLoop();

// Counter bumped by every setAppState/wakeMainLoop. Read it before looking at
// the state, then wait on it: a change made in between is never missed.
uint32_t stateGeneration();

// Waits until the generation differs from `seen` or `timeoutMs` has passed.
// timeoutMs < 0 waits without a bound. Main thread.
void waitForStateChange(uint32_t seen, int timeoutMs);

// Set when the link to the loom failed: the receiving thread ended for any
// reason but closeLoom, or a write failed. The run must leave through the exit
// state with status 1.
extern std::atomic<int> linkLost;

// Set when the controller closed the connection. The exit state it sets must
// survive a dialog that was waiting for the operator meanwhile and stores its
// own next state afterwards.
extern std::atomic<int> loomClosed;

// The process exit status the run reports: 0 unless the run ended on a failure.
extern std::atomic<int> exitStatus;

// 1 while runShedmate runs: there is a main loop to wake.
extern std::atomic<int> runActive;

// Set by the main loop once it has acted on the end of the run.
extern std::atomic<int> endNoticed;

// True when the run must end whatever the operator answers: an interrupt, the
// controller closed the connection, or the link was lost. A console read
// returns at once then, with no answer. Any thread.
bool runMustEnd();

// True while the main loop has yet to act on runMustEnd(): it may be blocked
// reading the console, so the receiving thread keeps nudging it. Any thread.
bool mainThreadNeedsNudge();

// Puts the state number and the flags above back as a run starts.
void resetAppState();
