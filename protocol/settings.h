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

constexpr int maxNetInfos = 20;

struct NetInfo {
    char ssid[33];
    char encrypt[10];
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

// 1 while the controller may be sent the next queued message.
extern std::atomic<int> clearToSend;
// 1 from the start of an apply until its "<netup/>" leaves the queue.
extern std::atomic<int> waitingForNetup;

// Copies at most `len` bytes of `src`, stopping early at a NUL, into dst of
// capacity `cap`; truncates to cap - 1 and always terminates. Returns the number
// of bytes stored.
size_t copyBounded(char* dst, size_t cap, const char* src, size_t len);

template <size_t N> size_t copyField(char (&dst)[N], std::string_view src) {
    return copyBounded(dst, N, src.data(), src.size());
}

// The passphrase never reaches the log: log lines that would carry it show
// this mask in its place.
constexpr std::string_view passphraseMask = "********";

// True when `message` holds a passphrase attribute.
bool carriesPassphrase(std::string_view message);

// `message` with the value of its passphrase="..." attribute replaced by the mask.
std::string maskPassphrase(std::string_view message);

// Empties the record and sets the flags to their start values (clearToSend 1).
void resetLoomSettings();
