#include "base/interrupt.h"

std::atomic<int> interruptSignal{0};
std::atomic<int> holdInterrupts{0};
std::atomic<int> heldInterrupts{0};
std::atomic<int> heldEndSignal{0};

int interruptExitStatus() {
    int signal = interruptSignal.load();
    return signal > 0 ? 128 + signal : interruptedExitStatus;
}

void resetInterrupts() {
    holdInterrupts = 0;
    heldInterrupts = 0;
    heldEndSignal = 0;
}

void releaseHeldEndSignal() {
    if (int sig = heldEndSignal.exchange(0)) {
        int none = 0;
        interruptSignal.compare_exchange_strong(none, sig);
        interruptRequested = 1;
    }
}
