// The program's millisecond tick clock: a 32-bit count that wraps, like the
// tick counters of the platforms it runs on. Callers compare ticks by unsigned
// difference only, so the wrap is harmless.
#pragma once

#include <cstdint>

// Milliseconds from an arbitrary origin, wrapping at 2^32. Any thread.
uint32_t tickCount();

// Tests replace the clock to cross the 32-bit wrap; nullptr restores the real one.
using TickSource = uint32_t (*)();
void setTickSource(TickSource source);

// Tick count taken when the run starts; every "[%d]" stamp is measured from it.
extern uint32_t startTick;

// Takes startTick anew from the current tick source.
void resetClock();

// Milliseconds since startTick, as the log prints them (signed).
int msSinceStart();
