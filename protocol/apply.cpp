#include "protocol/apply.h"

#include "base/io.h"
#include "base/log.h"
#include "base/state.h"
#include "link/queue.h"
#include "protocol/settings.h"

namespace {

// Values go in as they stand: the editors refuse the characters that would
// break the message.
void appendAttr(std::string& msg, const char* name, const char* value) {
    msg += name;
    msg += "=\"";
    msg += value;
    msg += "\" ";
}

} // namespace

std::string composeNetConfig() {
    const LoomSettings& s = loomSettings;
    std::string msg = "<netconfig ";
    if (s.hostnameChanged)
        appendAttr(msg, "hostname", s.hostname);
    if (s.dhcpChanged)
        appendAttr(msg, "dhcp", s.dhcp);
    if (s.wifiChanged)
        appendAttr(msg, "wifi", s.wifi);
    if (s.staticChanged)
        appendAttr(msg, "address", s.staticAddress);
    msg += "/>";
    return msg;
}

std::string composeWifiConfig() {
    const LoomSettings& s = loomSettings;
    std::string msg = "<wificonfig ";
    appendAttr(msg, "ssid", s.ssid);
    appendAttr(msg, "encryption", s.encryption);
    if (s.passphrase[0] != '\0')
        appendAttr(msg, "passphrase", s.passphrase);
    msg += "/>";
    return msg;
}

void applyChanges() {
    logPrint("applyChanges(): entered\n");
    queueMsg("<netdown/>");

    std::string netConfig, wifiConfig;
    bool netChanged, wifiConfigChanged;
    {
        std::lock_guard<std::mutex> lock(settingsMutex);
        const LoomSettings& s = loomSettings;
        netChanged = s.hostnameChanged || s.dhcpChanged || s.wifiChanged || s.staticChanged;
        wifiConfigChanged = s.wifiConfigChanged != 0;
        netConfig = composeNetConfig();
        if (wifiConfigChanged)
            wifiConfig = composeWifiConfig();
    }

    if (netChanged) {
        queueMsg(netConfig.c_str());
        logPrint("applyChanges(): sent - %s\n", netConfig.c_str());
    } else {
        logPrint("applyChanges(): no reason to send - %s\n", netConfig.c_str());
    }
    if (wifiConfigChanged) {
        queueMsg(wifiConfig.c_str());
        logPrint("applyChanges(): sent - %s\n", maskPassphrase(wifiConfig).c_str());
    } else {
        logPrint("applyChanges(): no reason to send %s\n", "wificonfig");
    }

    // The flag goes up before the state: a "<ready" handled in between must not
    // end a wait whose "<netup/>" has not been queued yet.
    waitingForNetup = 1;
    setAppState(state::pleaseWait);
    queueMsg("<netup/>");

    logPrint("setting wait\n");
    conPrint("\n\nPlease wait ");
    conFlush();
}
