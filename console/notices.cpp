#include "console/notices.h"

#include <cstring>
#include <mutex>
#include <string>

#include "base/io.h"
#include "base/text.h"
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
    if (notTaken.empty())
        conPrint("\n\tApplied.\n");
    else
        conPrint("\n\tNot applied:%s.\n", notTaken.c_str());
}
