// The open device and the receiving thread's stop flag: shared by the
// connection, the queue's writes and the receiving thread, so they sit below all three.
#pragma once

#include <atomic>

#include "link/d2xx.h"

// The open device; null while none is open. Read by both threads.
extern std::atomic<FT_HANDLE> ftHandle;

// Set to 1 to end the receiving thread (closeLoom, or a failed write).
extern std::atomic<int> readerStop;

// No device, no stop asked for.
void resetDevice();
