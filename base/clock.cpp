#include "base/clock.h"

#include <atomic>
#include <chrono>

uint32_t startTick = 0;

namespace {

uint32_t steadyTicks() {
    using namespace std::chrono;
    auto ms = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    return static_cast<uint32_t>(ms);
}

std::atomic<TickSource> tickSource{&steadyTicks};

} // namespace

uint32_t tickCount() {
    return tickSource.load()();
}

void setTickSource(TickSource source) {
    tickSource.store(source ? source : &steadyTicks);
}

int msSinceStart() {
    return static_cast<int>(tickCount() - startTick);
}

void resetClock() {
    startTick = tickCount();
}
