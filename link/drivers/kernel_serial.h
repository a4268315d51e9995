// The kernel's own FTDI serial devices (ftdi_sio's /dev/ttyUSB*) as a driver
// back end, for Linux machines without FTDI's library. Linux only.
#pragma once

#include <string>

#include "link/driver.h"

// FT_Open's index refers to the list the last FT_CreateDeviceInfoList found
// (see enumerateFtdiTtys). A device that cannot be opened is explained in one
// console line and one log line before the failure is returned.
const Driver* kernelSerialDriver();

// The same, for when FTDI's library could not be loaded: a failed open also
// says on the console that the library is not installed.
const Driver* kernelSerialInsteadOfLibrary();

// Where devices are looked for: "/sys" and "/dev" unless a test points
// elsewhere. Forgets the current device list. With no device open.
void kernelSerialSetRoots(const std::string& sysfsRoot, const std::string& devDir);

// Opens a device node as FT_Open opens a listed one, failures reported the
// same way, but with no latency timer to set.
FT_STATUS kernelSerialOpenPath(const char* path, FT_HANDLE* handle);
