// The kernel's own FTDI serial devices (ftdi_sio's /dev/ttyUSB*) as a driver
// back end, for Linux machines without FTDI's library. Linux only.
#pragma once

#include <string>

#include "link/driver.h"

// FT_Open's index refers to the list the last FT_CreateDeviceInfoList found
// (see enumerateFtdiTtys), and devicePath gives its node ("/dev/ttyUSB0"). Why
// a device cannot be opened is logged and given by lastError; insteadOfLibrary:
// FTDI's library could not be loaded, which finding no device then also says.
const Driver* kernelSerialDriver(bool insteadOfLibrary = false);

// Where devices are looked for: "/sys" and "/dev" unless a test points
// elsewhere. Forgets the current device list. With no device open.
void kernelSerialSetRoots(const std::string& sysfsRoot, const std::string& devDir);
