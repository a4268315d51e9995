#include "console/editors.h"

#include <atomic>
#include <cstring>

#include "base/io.h"
#include "base/log.h"
#include "base/state.h"
#include "console/input.h"
#include "protocol/limits.h"
#include "protocol/settings.h"

namespace {

void editText(const char* prompt, const char* what, char* field, size_t cap, std::atomic<int>& flag,
              const char* logFormat) {
    Line line;
    conPrint("%s", prompt);
    if (!readAnswer(line)) {
        logInputEnded("editor");
        setAppState(state::quit);
        return;
    }
    if (line.tooLong) {
        setAppState(state::showStatus);
        return;
    }
    switch (textProblem(std::string_view(line.text, line.len))) {
    case ValueProblem::none:
        break;
    case ValueProblem::unsafe:
        reportUnsafeValue();
        setAppState(state::showStatus);
        return;
    case ValueProblem::tooLong:
    case ValueProblem::tooShort:
        conPrint("\n\tNot changed: %s may be at most %d characters.\n", what,
                 static_cast<int>(maxTextBytes));
        setAppState(state::showStatus);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(settingsMutex);
        copyBounded(field, cap, line.text, line.len);
        flag = 1;
    }
    logPrint(logFormat, line.text);
    setAppState(state::showStatus);
}

void toggle(char* field, size_t cap, std::atomic<int>& flag, const char* on, const char* off) {
    bool nowOn;
    {
        std::lock_guard<std::mutex> lock(settingsMutex);
        nowOn = std::strncmp(field, on, 7) != 0;
        copyBounded(field, cap, nowOn ? on : off, std::strlen(nowOn ? on : off));
        flag = 1;
    }
    logPrint("set: %s\n", nowOn ? on : off);
    setAppState(state::showStatus);
}

} // namespace

void editLoomName() {
    editText("\n\tNew Loom Name: ", "a loom name", loomSettings.hostname,
             sizeof loomSettings.hostname, loomSettings.hostnameChanged, "set hostname: %s\n");
}

void editStaticAddress() {
    editText("\n\tNew Static Address: ", "a static address", loomSettings.staticAddress,
             sizeof loomSettings.staticAddress, loomSettings.staticChanged,
             "set static address: %s\n");
}

void toggleWifi() {
    toggle(loomSettings.wifi, sizeof loomSettings.wifi, loomSettings.wifiChanged, "WIFI_ON",
           "WIFI_OFF");
}

void toggleDhcp() {
    toggle(loomSettings.dhcp, sizeof loomSettings.dhcp, loomSettings.dhcpChanged, "DHCP_ON",
           "DHCP_OFF");
}
