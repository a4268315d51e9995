#include "protocol/settings.h"

LoomSettings loomSettings{};
std::mutex settingsMutex;

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
}
