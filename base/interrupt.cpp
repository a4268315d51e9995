#include "base/interrupt.h"

std::atomic<int> interruptSignal{0};

int interruptExitStatus() {
    int signal = interruptSignal.load();
    return signal > 0 ? 128 + signal : interruptedExitStatus;
}

void resetInterrupts() {
    interruptSeen = 0;
}
