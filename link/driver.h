// The table of driver operations the program calls, and the contract every
// back end keeps (FTDI's library loaded at run time, the kernel's serial
// devices, the virtual loom, a test fake). The contract suite in
// tests/unit/driver_contract_test.cpp runs the same cases against each.
//
// Threads. read, getStatus and waitForRx are called on the receiving thread;
// write on either thread, concurrently with a read; createDeviceInfoList,
// getDeviceInfoList, open, setTimeouts, setLatencyTimer and close on the main
// thread. close is never called while a read is in flight on the same handle.
//
// Arguments, checked first, in this order:
//   - a handle that is null, was never opened by this back end or is closed
//     gives FT_INVALID_HANDLE and changes nothing;
//   - a null out-parameter, or a null buffer with a non-zero length, gives
//     FT_INVALID_PARAMETER.
// Out-parameters on any other failure: counts are 0 (but for read, below) and
// the handle of a failed open is null, so a caller may read them whatever the
// status.
//
// Reads: a read with a status other than FT_IO_ERROR reports in `returned` the
// bytes it placed in the buffer, whatever the status, and the caller uses them
// (FTDI's FT_Read may return bytes with another error); FT_IO_ERROR returns none.
//
// Time-outs: a read that finds fewer bytes than asked for returns FT_OK with
// what it has (perhaps none) within the read time-out; asked for no more than
// getStatus reported, it returns them at once. A write that cannot place all
// its bytes returns FT_OK with the count it did place (perhaps 0) within the
// write time-out. waitForRx returns FT_OK when bytes are waiting or its own
// time-out has passed, whichever comes first.
//
// A lost device (unplugged, switched off): getStatus, read and write return
// FT_IO_ERROR at once, without waiting out a time-out, and the handle never
// recovers, even when the device comes back; waitForRx still returns within
// its time-out; close still releases it with FT_OK.
//
// Failures are reported, never printed: no back end writes to the console.
// After a failed createDeviceInfoList, getDeviceInfoList or open, lastError
// gives the reason in the back end's own terms and the core words it for the
// operator once. No open is attempted after a failed device list (FTDI's own
// FT_Open crashes then).
#pragma once

#include <cstdint>

#include "link/d2xx.h"

// The entries up to lastError are required. The last three are optional, null
// where a back end cannot offer them:
//   waitForRx       blocks until bytes are waiting or timeoutMs passes; without
//                   it the receiving thread sleeps 10 ms between polls.
//   setLatencyTimer sets the device's latency timer in milliseconds.
//   devicePath      the device `index` of the last device list in the back
//                   end's own terms ("/dev/ttyUSB0"), for naming it to the
//                   operator and choosing it by name; null or "" when the index
//                   is not in that list. Main thread; valid until the next
//                   main-thread call into the back end.
//
// lastError: why the last main-thread operation (createDeviceInfoList,
// getDeviceInfoList, open) failed, "" when it did not: one line, then at most
// one line of advice after a '\n', neither with "ERROR:" or a line end of its
// own. Main thread; valid until the next main-thread call into the back end.
struct Driver {
    const char* name;
    FT_STATUS (*createDeviceInfoList)(DWORD* numDevs);
    FT_STATUS (*getDeviceInfoList)(DeviceInfoNode* list, DWORD* numDevs);
    FT_STATUS (*open)(int index, FT_HANDLE* handle);
    FT_STATUS (*setTimeouts)(FT_HANDLE handle, ULONG readMs, ULONG writeMs);
    FT_STATUS (*getStatus)(FT_HANDLE handle, DWORD* rxBytes, DWORD* txBytes, DWORD* events);
    FT_STATUS (*read)(FT_HANDLE handle, void* buffer, DWORD toRead, DWORD* returned);
    FT_STATUS (*write)(FT_HANDLE handle, const void* buffer, DWORD toWrite, DWORD* written);
    FT_STATUS (*close)(FT_HANDLE handle);
    const char* (*lastError)();
    FT_STATUS (*waitForRx)(FT_HANDLE handle, uint32_t timeoutMs);
    FT_STATUS (*setLatencyTimer)(FT_HANDLE handle, UCHAR ms);
    const char* (*devicePath)(int index);
};

// Installs the back end for the run: once, on the main thread, after the log
// is open and before the device is looked for. Null installs the absent
// driver, which sees no device at all.
void installDriver(const Driver* driver);

// The operations of a back end with nothing to drive: every handle is unknown
// and an open finds no device. For tables that stand in when there is nothing
// to talk to (no back end installed, FTDI's library not loaded).
namespace absent {
FT_STATUS open(int index, FT_HANDLE* handle);
FT_STATUS setTimeouts(FT_HANDLE handle, ULONG readMs, ULONG writeMs);
FT_STATUS getStatus(FT_HANDLE handle, DWORD* rxBytes, DWORD* txBytes, DWORD* events);
FT_STATUS read(FT_HANDLE handle, void* buffer, DWORD toRead, DWORD* returned);
FT_STATUS write(FT_HANDLE handle, const void* buffer, DWORD toWrite, DWORD* written);
FT_STATUS close(FT_HANDLE handle);
} // namespace absent

// The installed back end. Any thread.
const Driver& driver();
