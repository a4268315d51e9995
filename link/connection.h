// Finding, opening and closing the loom's USB FIFO, and the receiving thread's
// life around it.
#pragma once

#include <atomic>

#include "link/d2xx.h"

// The open device; null while none is open. Read by both threads.
extern std::atomic<FT_HANDLE> ftHandle;

// Set to 1 to end the receiving thread (closeLoom, or a failed write).
extern std::atomic<int> readerStop;

// Lists the attached FTDI devices in the log, picks the loom's FIFO and opens
// it. Returns FT_Open's status. Main thread.
FT_STATUS openDevice();

// Opens the device, sets its time-outs and starts the receiving thread.
// Returns 0, or the failed open's status (or FT_INSUFFICIENT_RESOURCES when the
// thread cannot be started). Main thread, once.
FT_STATUS openLoom();

// Stops the receiving thread (waiting at most 200 ms) and closes the device.
// Main thread.
void closeLoom();

// True when closeLoom had to leave a receiving thread stuck in a driver call.
// The process must then end without running static destructors under it.
bool readerAbandoned();

// True once the receiving thread has returned (or was never started).
bool readerFinished();

// Called by the receiving thread as it ends. A thread that ends while closeLoom
// did not ask it to marks the link lost and wakes the main loop.
void readerEnded();
