#include "console/notices.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

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

// The refusals shown, for a command's result; bounded as the loom's list is.
constexpr size_t maxShownRefusals = 16;
std::vector<std::string> shownRefusals; // main thread

} // namespace

void showLoomErrors() {
    for (const std::string& msg : takeLoomErrors()) {
        std::string reason = reasonOf(msg);
        if (reason.empty())
            conPrint("\n\tThe loom refused a message without giving a reason.\n");
        else
            conPrint("\n\tThe loom refused: %s\n", reason.c_str());
        conFlush();
        if (shownRefusals.size() < maxShownRefusals)
            shownRefusals.push_back(reason);
    }
}

std::vector<std::string> takeShownRefusals() {
    std::vector<std::string> taken;
    taken.swap(shownRefusals);
    return taken;
}

std::vector<NotTakenChange> notTaken(const ApplyRecord& sent) {
    std::vector<NotTakenChange> changes;
    std::lock_guard<std::mutex> lock(settingsMutex);
    for (int i = 0; i < sent.count; ++i) {
        const ApplyRecord::Change& change = sent.changes[i];
        const char* now = reportedValue(change.field);
        if (std::strcmp(now, change.value) != 0)
            changes.push_back({change.field, change.value, now});
    }
    return changes;
}

std::string applyOutcomeLine(const std::vector<NotTakenChange>& changes) {
    if (changes.empty())
        return "Applied.";
    std::string line = "Not applied:";
    for (const NotTakenChange& change : changes) {
        line += &change == &changes.front() ? " " : "; ";
        line += labelOf(change.field);
        if (change.reported.empty())
            line += " (the loom reports nothing)";
        else
            line += " (the loom reports \"" + consoleSafe(change.reported) + "\")";
    }
    return line + ".";
}

void showApplyOutcome() {
    ApplyRecord sent;
    if (!takeAppliedChanges(sent))
        return;
    std::string line = applyOutcomeLine(notTaken(sent));
    conPrint("\n\t%s\n", line.c_str());
    logPrint("%s\n", line.c_str());
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
