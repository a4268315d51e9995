// Finding, opening and closing the loom's USB FIFO, and the receiving thread's
// life around it.
#pragma once

#include "link/d2xx.h"
#include "link/device.h"
#include "link/device_list.h"

// Lists the attached FTDI devices in the log, picks the loom's FIFO (or the
// device the choice names, waiting for it when asked) and opens it. Returns
// FT_Open's status; the device list's when the list failed (the open is then
// not attempted); or FT_DEVICE_NOT_FOUND, with no open, when the named or
// awaited device is not attached (the console lists what is). A failure is told
// on the console once, in the back end's words. Main thread.
FT_STATUS openDevice(const DeviceChoice& choice = {});

// The device the last openDevice opened, as the device list gave it; empty
// fields when none was opened or it was not listed. Main thread.
const ListedDevice& openedDevice();

// Opens the device, sets its time-outs and starts the receiving thread.
// Returns 0, or the failed open's status (or FT_INSUFFICIENT_RESOURCES when the
// thread cannot be started). Main thread, once.
FT_STATUS openLoom(const DeviceChoice& choice = {});

// Stops the receiving thread (waiting at most 200 ms) and closes the device
// (waiting at most 1 s for FT_Close).
// Main thread.
void closeLoom();

// True when closeLoom had to leave a receiving thread, or FT_Close, stuck in a
// driver call.
// The process must then end without running static destructors under it.
bool readerAbandoned();
