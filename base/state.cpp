#include "base/state.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "base/interrupt.h"

std::atomic<int> appState{0};
std::atomic<int> linkLost{0};
std::atomic<int> loomClosed{0};
std::atomic<int> exitStatus{0};
std::atomic<int> runActive{0};
std::atomic<int> endNoticed{0};

namespace {
std::mutex wakeMutex;
std::condition_variable wakeCv;
uint32_t generation = 0; // guarded by wakeMutex
} // namespace

void resetAppState() {
    appState = 0;
    linkLost = 0;
    loomClosed = 0;
    exitStatus = 0;
    endNoticed = 0;
}

void wakeMainLoop() {
    {
        std::lock_guard<std::mutex> lock(wakeMutex);
        ++generation;
    }
    wakeCv.notify_all();
}

void setAppState(int value) {
    appState.store(value);
    wakeMainLoop();
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

bool runMustEnd() {
    return interruptRequested || loomClosed || linkLost;
}

bool mainThreadNeedsNudge() {
    return runActive && !endNoticed && runMustEnd();
}
