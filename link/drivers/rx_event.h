// The object FTDI's FT_SetEventNotification signals when bytes arrive: a Win32
// event on Windows, FTDI's EVENT_HANDLE (condition variable, mutex, int)
// elsewhere. One file per platform implements it.
#pragma once

#include <cstdint>

struct RxEvent;

// Null when the platform object cannot be made.
RxEvent* rxEventCreate();

// What FT_SetEventNotification takes as its parameter.
void* rxEventParam(RxEvent* event);

// Waits until the event is signalled or timeoutMs passes.
void rxEventWait(RxEvent* event, uint32_t timeoutMs);
