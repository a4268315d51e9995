// The FTDI devices the back end sees, and which of them a run opens: the last
// FT245R USB FIFO, or exactly the one the operator named.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "link/d2xx.h"

struct ListedDevice {
    int index = 0;
    uint32_t locId = 0;
    std::string serial; // as the driver gives them: bytes, not necessarily text
    std::string description;
    std::string path; // the back end's own name for it ("/dev/ttyUSB0"), "" when it has none
    bool ft245r = false;
};

// Which device a run opens, and whether it waits for it.
struct DeviceChoice {
    std::string id;       // a serial number or a device path; empty: the automatic rule
    bool wait = false;    // not attached yet: look again twice a second
    int waitSeconds = -1; // for this long; -1 until Ctrl-C
};

struct ChosenDevice {
    int index = -1;  // the entry to open; -1 when there is none
    int matches = 0; // entries the id names (0 or 1, unless two share a serial number)
    int looms = 0;   // FT245Rs listed
};

// True when the description names the loom's FIFO ("FT245R USB FIFO").
bool describesLoom(std::string_view description);

// Without an id, the last FT245R listed, or entry 0 whatever it is when none
// is; with one, the single entry whose serial number or path is exactly the id.
ChosenDevice chooseDevice(const std::vector<ListedDevice>& list, std::string_view id);

// True when the choice has found what it is after: the named device, or
// without a name at least one FT245R.
bool choiceFound(const ChosenDevice& chosen, const DeviceChoice& choice);

// Asks the driver for its device list. With toLog, writes the count and each
// device's fields to the log ("Dev 0:" ...). FT_OK, or the failed call's status
// (logged; tellDriverFailure words it for the operator). Main thread.
FT_STATUS listDevices(std::vector<ListedDevice>& list, bool toLog);

// Lists the devices and chooses one. With choice.wait, while the choice finds
// nothing, says so once on the console and looks again every 500 ms, until the
// wait's time is up or an interrupt comes. Returns the list's status; the list
// and the choice are those of the last look. Main thread.
FT_STATUS lookForDevice(const DeviceChoice& choice, std::vector<ListedDevice>& list,
                        ChosenDevice& chosen);

// "serial VL000001, /dev/ttyUSB0" for a console line; device text made safe.
std::string deviceLabel(const ListedDevice& device);

// The one console report of a failed list or open, straight after the failed
// call: the back end's reason on an ERROR line, its advice, if any, on the next.
void tellDriverFailure(const char* call, FT_STATUS status);
