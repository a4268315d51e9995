// The main loop's state number, the wake-up that goes with it, and how the run
// ends.
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

// Stores the state and wakes the main loop. Any thread. Once the run is ending
// (endRun) only a step further along the way out is taken (quit, then exit,
// then done); anything else is ignored, so no late message or dialog can draw a
// screen or wait for the operator after 'q'. Entering quit ends the run for
// RunEnd::quit.
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

// Why a run ends.
enum class RunEnd : int { none = 0, quit, loomClosed, linkLost, interrupted, startFailed };

// Ends the run for `reason`: any thread; the first call wins and fixes what the
// run does next; it wakes the main loop. status < 0 takes the reason's own
// status (quit 0, loomClosed 0, linkLost 1, interrupted 128+signal, startFailed
// 1). Returns true for the call that won.
//
// A later call changes only the status, and only a success: a lost link or a
// signal that comes while a quit (or the loom's close) is on its way still
// counts, so 0 never hides them. Once the loom has said it is closing, the link
// going away is the loom hanging up, not a loss; once the link is lost, nothing
// the loom says is heard.
bool endRun(RunEnd reason, int status = -1);
RunEnd runEnd();     // the reason that won; none while the run goes on
int runExitStatus(); // the status the run will end with

// True once endRun(reason) has been called, whether it won or not.
bool runEndedFor(RunEnd reason);

// The link to the loom failed (a write failed, or the receiving thread ended
// on its own) before the loom said it was closing. Any thread.
bool linkLost();

// True when a prompt must return at once, with no answer: the run is ending,
// or an interrupt asks it to. Any thread.
bool runMustEnd();

// The main loop has taken the end of the run in. Main thread.
void noticeRunEnd();

// 1 while runShedmate runs: there is a main loop to wake.
extern std::atomic<int> runActive;

// True while the main loop has yet to act on runMustEnd(): it may be blocked
// reading the console, so the receiving thread keeps nudging it. Any thread.
bool mainThreadNeedsNudge();

// Puts the state number and the run's end back as a run starts.
void resetAppState();
