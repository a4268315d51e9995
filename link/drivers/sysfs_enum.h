// Finding the FTDI chips that the kernel's ftdi_sio driver offers as ttys, by
// reading sysfs. Linux only.
#pragma once

#include <string>
#include <vector>

#include "link/d2xx.h"

struct SerialDevice {
    std::string name;         // "ttyUSB0"
    std::string node;         // the device node to open: <devDir>/<name>
    std::string latencyTimer; // ftdi_sio's latency_timer attribute, "" when absent
    DeviceInfoNode info;      // as FTDI's library would list the chip
};

// Every <sysfsRoot>/class/tty/ttyUSB* whose USB device has FTDI's vendor id,
// ordered by the number in the name. Reads sysfs and /proc only: no device is
// opened. An unreadable or missing root gives an empty list.
std::vector<SerialDevice> enumerateFtdiTtys(const std::string& sysfsRoot,
                                            const std::string& devDir = "/dev");
