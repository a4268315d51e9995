#include "base/state.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "base/interrupt.h"

std::atomic<int> appState{0};
std::atomic<int> runActive{0};

namespace {

std::mutex wakeMutex;
std::condition_variable wakeCv;
uint32_t generation = 0; // guarded by wakeMutex

// The one record of how the run ends. Written under wakeMutex, so a state
// change and the end it races with are seen in one order by both threads.
std::atomic<RunEnd> winner{RunEnd::none};
std::atomic<int> exitStatus{0};
std::atomic<unsigned> called{0}; // a bit per reason endRun was called with
std::atomic<int> noticed{0};

unsigned bit(RunEnd reason) {
    return 1u << static_cast<int>(reason);
}

int ownStatus(RunEnd reason) {
    switch (reason) {
    case RunEnd::linkLost:
    case RunEnd::startFailed:
        return 1;
    case RunEnd::interrupted:
        return interruptExitStatus();
    default:
        return 0;
    }
}

// Caller holds wakeMutex.
bool recordEnd(RunEnd reason, int status) {
    unsigned seen = called.load();
    if (reason == RunEnd::loomClosed && (seen & bit(RunEnd::linkLost)))
        return false;
    called = seen | bit(reason);
    if (status < 0)
        status = ownStatus(reason);
    if (winner.load() == RunEnd::none) {
        winner = reason;
        exitStatus = status;
        return true;
    }
    bool counts = reason == RunEnd::interrupted ||
                  (reason == RunEnd::linkLost && !(seen & bit(RunEnd::loomClosed)));
    if (counts && exitStatus.load() == 0)
        exitStatus = status;
    return false;
}

bool endingStep(int value) {
    return value == state::quit || value == state::exit || value == state::done;
}

} // namespace

void resetAppState() {
    std::lock_guard<std::mutex> lock(wakeMutex);
    appState = 0;
    winner = RunEnd::none;
    exitStatus = 0;
    called = 0;
    noticed = 0;
}

void wakeMainLoop() {
    {
        std::lock_guard<std::mutex> lock(wakeMutex);
        ++generation;
    }
    wakeCv.notify_all();
}

void setAppState(int value) {
    {
        std::lock_guard<std::mutex> lock(wakeMutex);
        if (value == state::quit)
            recordEnd(RunEnd::quit, -1);
        bool ending = winner.load() != RunEnd::none;
        if (!ending || (endingStep(value) && value >= appState.load()))
            appState.store(value);
        ++generation;
    }
    wakeCv.notify_all();
}

uint32_t stateGeneration() {
    std::lock_guard<std::mutex> lock(wakeMutex);
    return generation;
}

void waitForStateChange(uint32_t seen, int timeoutMs) {
    std::unique_lock<std::mutex> lock(wakeMutex);
    auto changed = [&] { return generation != seen; };
    if (timeoutMs < 0)
        wakeCv.wait(lock, changed);
    else
        wakeCv.wait_for(lock, std::chrono::milliseconds(timeoutMs), changed);
}

bool endRun(RunEnd reason, int status) {
    if (reason == RunEnd::none)
        return false;
    bool won;
    {
        std::lock_guard<std::mutex> lock(wakeMutex);
        won = recordEnd(reason, status);
        ++generation;
    }
    wakeCv.notify_all();
    return won;
}

RunEnd runEnd() {
    return winner.load();
}

int runExitStatus() {
    return exitStatus.load();
}

bool runEndedFor(RunEnd reason) {
    return (called.load() & bit(reason)) != 0;
}

bool linkLost() {
    unsigned seen = called.load();
    return (seen & bit(RunEnd::linkLost)) && !(seen & bit(RunEnd::loomClosed));
}

bool runMustEnd() {
    return interruptRequested || winner.load() != RunEnd::none;
}

void noticeRunEnd() {
    noticed = 1;
}

bool mainThreadNeedsNudge() {
    return runActive && !noticed && runMustEnd();
}
