// LoomSettings: the program's one picture of the controller, and the two flags
// of the conversation with it.
//
// The text fields are fixed buffers. The receiving thread writes them while it
// handles a report, the main thread while the operator edits: both hold
// settingsMutex for the copy, and neither holds it while waiting for the
// operator or the device.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>

#include "base/text.h"
#include "link/queue.h"

constexpr int maxNetInfos = 20;

struct NetInfo {
    char ssid[33];
    char encrypt[10];
    int signal;       // as the controller reports it (dBm), when signalKnown
    bool signalKnown; // the second field was a whole number
};

struct LoomSettings {
    char hostname[64];
    char version[20];
    char stateText[64];
    char currentAddress[64];
    char wifi[64];
    char ssid[64];
    char encryption[64];
    char passphrase[64];
    char dhcp[64];
    char staticAddress[52];

    // Change flags: 1 while an edit waits to be sent, until the controller
    // reports the value again.
    std::atomic<int> hostnameChanged;
    std::atomic<int> wifiChanged;
    std::atomic<int> dhcpChanged;
    std::atomic<int> staticChanged;
    std::atomic<int> wifiConfigChanged;

    NetInfo netInfos[maxNetInfos];
    int netCount;
};

extern LoomSettings loomSettings;

// Held while a thread copies into or out of loomSettings' fields and table.
extern std::mutex settingsMutex;

// Empties the record and clears the change flags.
void resetLoomSettings();
