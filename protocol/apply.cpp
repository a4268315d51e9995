#include "protocol/apply.h"

#include "base/io.h"
#include "base/log.h"
#include "base/state.h"
#include "link/queue.h"
#include "protocol/settings.h"

namespace {

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
    // Before the first message is queued: it may leave at once, and the queue
    // moves the stage on as it does.
    applyStage = ApplyStage::queued;
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

    setAppState(state::pleaseWait);
    queueMsg("<netup/>");

    logPrint("setting wait\n");
    conPrint("\n\nPlease wait ");
    conFlush();
}

bool takeAppliedChanges(ApplyRecord& out) {
    ApplyStage complete = ApplyStage::readBack;
    if (!applyStage.compare_exchange_strong(complete, ApplyStage::none))
        return false;
    out = lastApply;
    return true;
}

void resetApply() {
    lastApply = ApplyRecord{};
}
