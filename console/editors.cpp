#include "console/editors.h"

#include <atomic>
#include <cstring>
#include <string>
#include <string_view>

#include "base/io.h"
#include "base/log.h"
#include "base/state.h"
#include "console/input.h"
#include "protocol/limits.h"
#include "protocol/settings.h"

namespace {

// The value has passed textProblem.
void setText(char* field, size_t cap, std::atomic<int>& flag, const char* logFormat,
             std::string_view value) {
    {
        std::lock_guard<std::mutex> lock(settingsMutex);
        copyBounded(field, cap, value.data(), value.size());
        flag = 1;
    }
    std::string text(value);
    logPrint(logFormat, text.c_str());
}

void editText(const char* prompt, const char* what, void (*set)(std::string_view)) {
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
    set(std::string_view(line.text, line.len));
    setAppState(state::showStatus);
}

void setSwitch(char* field, size_t cap, std::atomic<int>& flag, const char* value) {
    {
        std::lock_guard<std::mutex> lock(settingsMutex);
        copyBounded(field, cap, value, std::strlen(value));
        flag = 1;
    }
    logPrint("set: %s\n", value);
}

void toggle(const char* field, const char* on, void (*set)(bool)) {
    bool nowOn;
    {
        std::lock_guard<std::mutex> lock(settingsMutex);
        nowOn = std::strncmp(field, on, 7) != 0;
    }
    set(nowOn);
    setAppState(state::showStatus);
}

} // namespace

void setLoomName(std::string_view name) {
    setText(loomSettings.hostname, sizeof loomSettings.hostname, loomSettings.hostnameChanged,
            "set hostname: %s\n", name);
}

void setStaticAddress(std::string_view address) {
    setText(loomSettings.staticAddress, sizeof loomSettings.staticAddress,
            loomSettings.staticChanged, "set static address: %s\n", address);
}

void setWifi(bool on) {
    setSwitch(loomSettings.wifi, sizeof loomSettings.wifi, loomSettings.wifiChanged,
              on ? "WIFI_ON" : "WIFI_OFF");
}

void setDhcp(bool on) {
    setSwitch(loomSettings.dhcp, sizeof loomSettings.dhcp, loomSettings.dhcpChanged,
              on ? "DHCP_ON" : "DHCP_OFF");
}

void editLoomName() {
    editText("\n\tNew Loom Name: ", "a loom name", setLoomName);
}

void editStaticAddress() {
    editText("\n\tNew Static Address: ", "a static address", setStaticAddress);
}

void toggleWifi() {
    toggle(loomSettings.wifi, "WIFI_ON", setWifi);
}

void toggleDhcp() {
    toggle(loomSettings.dhcp, "DHCP_ON", setDhcp);
}
