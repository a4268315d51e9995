#include "console/notices.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>

#include "base/io.h"
#include "base/log.h"
#include "base/text.h"
#include "base/typeahead.h"
#include "console/input.h"
#include "protocol/apply.h"
#include "protocol/messages.h"
#include "protocol/settings.h"

namespace {

// "<error bad address "x">" gives "bad address "x"".
std::string reasonOf(const std::string& msg) {
    std::string_view reason(msg);
    reason.remove_prefix(std::strlen("<error"));
    while (!reason.empty() && reason.front() == ' ')
        reason.remove_prefix(1);
    if (!reason.empty() && reason.back() == '>')
        reason.remove_suffix(1);
    return consoleSafe(reason);
}

const char* labelOf(SentField field) {
    switch (field) {
    case SentField::hostname:
        return "Loom Name";
    case SentField::wifi:
        return "Enable Wireless";
    case SentField::ssid:
        return "Network Name";
    case SentField::dhcp:
        return "Acquire Address (DHCP)";
    case SentField::staticAddress:
        return "Static Address";
    }
    return "";
}

// Caller holds settingsMutex.
const char* reportedValue(SentField field) {
    const LoomSettings& s = loomSettings;
    switch (field) {
    case SentField::hostname:
        return s.hostname;
    case SentField::wifi:
        return s.wifi;
    case SentField::ssid:
        return s.ssid;
    case SentField::dhcp:
        return s.dhcp;
    case SentField::staticAddress:
        return s.staticAddress;
    }
    return "";
}

} // namespace

void showLoomErrors() {
    for (const std::string& msg : takeLoomErrors()) {
        std::string reason = reasonOf(msg);
        if (reason.empty())
            conPrint("\n\tThe loom refused a message without giving a reason.\n");
        else
            conPrint("\n\tThe loom refused: %s\n", reason.c_str());
        conFlush();
    }
}

void showApplyOutcome() {
    ApplyRecord sent;
    if (!takeAppliedChanges(sent))
        return;
    std::string notTaken;
    {
        std::lock_guard<std::mutex> lock(settingsMutex);
        for (int i = 0; i < sent.count; ++i) {
            const ApplyRecord::Change& change = sent.changes[i];
            const char* now = reportedValue(change.field);
            if (std::strcmp(now, change.value) == 0)
                continue;
            notTaken += notTaken.empty() ? " " : "; ";
            notTaken += labelOf(change.field);
            if (now[0] == '\0')
                notTaken += " (the loom reports nothing)";
            else
                notTaken += " (the loom reports \"" + consoleSafe(now) + "\")";
        }
    }
    if (notTaken.empty()) {
        conPrint("\n\tApplied.\n");
        logPrint("Applied.\n");
    } else {
        conPrint("\n\tNot applied:%s.\n", notTaken.c_str());
        logPrint("Not applied:%s.\n", notTaken.c_str());
    }
}

std::string pendingChanges() {
    const LoomSettings& s = loomSettings;
    const std::pair<const std::atomic<int>&, SentField> fields[] = {
        {s.hostnameChanged, SentField::hostname},
        {s.wifiChanged, SentField::wifi},
        {s.wifiConfigChanged, SentField::ssid},
        {s.dhcpChanged, SentField::dhcp},
        {s.staticChanged, SentField::staticAddress}};
    std::string names;
    for (const auto& [flag, field] : fields) {
        if (!flag)
            continue;
        if (!names.empty())
            names += ", ";
        names += labelOf(field);
    }
    return names;
}

void showPendingChanges() {
    std::string pending = pendingChanges();
    if (!pending.empty())
        conPrint("\n\tNot yet applied: %s. Enter 'a' to apply.\n", pending.c_str());
}

bool quitConfirmed() {
    std::string pending = pendingChanges();
    if (pending.empty())
        return true;
    if (inputIsTerminal(conIn())) {
        conPrint("\n\tQuit without applying %s? Type y to quit: ", pending.c_str());
        Line answer;
        if (!readAnswer(answer))
            logInputEnded("quit");
        else if (!answeredYes(answer))
            return false;
    }
    logPrint("quitting without applying: %s\n", pending.c_str());
    return true;
}
