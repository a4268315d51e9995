#include "protocol/apply.h"

#include <atomic>

#include "base/io.h"
#include "base/log.h"
#include "base/state.h"
#include "link/queue.h"
#include "protocol/settings.h"

namespace {

// 0: nothing to report; 1: an apply waits for the network; 2: its read-back was
// asked for; 3: the read-back is complete.
std::atomic<int> applyPhase{0};
ApplyRecord lastApply; // main thread only

// Caller holds settingsMutex.
ApplyRecord recordChanges() {
    const LoomSettings& s = loomSettings;
    ApplyRecord r;
    auto note = [&r](SentField field, const char* value) {
        ApplyRecord::Change& c = r.changes[r.count++];
        c.field = field;
        copyField(c.value, value);
    };
    if (s.hostnameChanged)
        note(SentField::hostname, s.hostname);
    if (s.wifiChanged)
        note(SentField::wifi, s.wifi);
    if (s.wifiConfigChanged)
        note(SentField::ssid, s.ssid);
    if (s.dhcpChanged)
        note(SentField::dhcp, s.dhcp);
    if (s.staticChanged)
        note(SentField::staticAddress, s.staticAddress);
    return r;
}

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
        lastApply = recordChanges();
    }
    applyPhase = 1;

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

void applyReadBackRequested() {
    int expected = 1;
    applyPhase.compare_exchange_strong(expected, 2);
}

void applyReadBackComplete() {
    int expected = 2;
    applyPhase.compare_exchange_strong(expected, 3);
}

bool takeAppliedChanges(ApplyRecord& out) {
    int expected = 3;
    if (!applyPhase.compare_exchange_strong(expected, 0))
        return false;
    out = lastApply;
    return true;
}

void resetApply() {
    applyPhase = 0;
    lastApply = ApplyRecord{};
}
