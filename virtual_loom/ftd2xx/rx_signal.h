// Waking the program's wait for arriving bytes, through the object it gave
// FT_SetEventNotification. Kept apart from the D2XX types, which clash with the
// Windows headers' own.
#pragma once

namespace vloom {

// param is FTDI's EVENT_HANDLE on Linux and macOS, an event HANDLE on Windows.
void signalRxEvent(void* param);

} // namespace vloom
