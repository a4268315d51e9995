#include "protocol/settings.h"

LoomSettings loomSettings{};
std::mutex settingsMutex;
std::atomic<int> clearToSend{1};
std::atomic<int> waitingForNetup{0};

size_t copyBounded(char* dst, size_t cap, const char* src, size_t len) {
    if (cap == 0)
        return 0;
    size_t n = 0;
    while (n < len && n + 1 < cap && src[n] != '\0') {
        dst[n] = src[n];
        ++n;
    }
    dst[n] = '\0';
    return n;
}

namespace {
constexpr std::string_view passphraseAttr = "passphrase=\"";
}

bool carriesPassphrase(std::string_view message) {
    return message.find(passphraseAttr) != std::string_view::npos;
}

std::string maskPassphrase(std::string_view message) {
    std::string out;
    size_t from = 0;
    for (;;) {
        size_t at = message.find(passphraseAttr, from);
        if (at == std::string_view::npos)
            break;
        size_t value = at + passphraseAttr.size();
        size_t end = message.find('"', value);
        out.append(message.substr(from, value - from));
        out.append(passphraseMask);
        if (end == std::string_view::npos) {
            from = message.size();
            break;
        }
        from = end;
    }
    out.append(message.substr(from));
    return out;
}

void resetLoomSettings() {
    std::lock_guard<std::mutex> lock(settingsMutex);
    LoomSettings& s = loomSettings;
    std::memset(s.hostname, 0, sizeof s.hostname);
    std::memset(s.version, 0, sizeof s.version);
    std::memset(s.stateText, 0, sizeof s.stateText);
    std::memset(s.currentAddress, 0, sizeof s.currentAddress);
    std::memset(s.wifi, 0, sizeof s.wifi);
    std::memset(s.ssid, 0, sizeof s.ssid);
    std::memset(s.encryption, 0, sizeof s.encryption);
    std::memset(s.passphrase, 0, sizeof s.passphrase);
    std::memset(s.dhcp, 0, sizeof s.dhcp);
    std::memset(s.staticAddress, 0, sizeof s.staticAddress);
    std::memset(s.netInfos, 0, sizeof s.netInfos);
    s.netCount = 0;
    s.hostnameChanged = 0;
    s.wifiChanged = 0;
    s.dhcpChanged = 0;
    s.staticChanged = 0;
    s.wifiConfigChanged = 0;
    clearToSend = 1;
    waitingForNetup = 0;
}
