#include "console/menu.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "base/clock.h"
#include "base/io.h"
#include "base/log.h"
#include "base/state.h"
#include "base/text.h"
#include "console/input.h"
#include "console/notices.h"
#include "protocol/firmware.h"
#include "protocol/settings.h"

namespace {

// What the screen shows, copied out so printing never holds the record's lock.
struct StatusView {
    char stateText[sizeof LoomSettings::stateText];
    char currentAddress[sizeof LoomSettings::currentAddress];
    char hostname[sizeof LoomSettings::hostname];
    char version[sizeof LoomSettings::version];
    char wifi[sizeof LoomSettings::wifi];
    char ssid[sizeof LoomSettings::ssid];
    char dhcp[sizeof LoomSettings::dhcp];
    char staticAddress[sizeof LoomSettings::staticAddress];
};

StatusView snapshot() {
    StatusView v;
    std::lock_guard<std::mutex> lock(settingsMutex);
    const LoomSettings& s = loomSettings;
    std::memcpy(v.stateText, s.stateText, sizeof v.stateText);
    std::memcpy(v.currentAddress, s.currentAddress, sizeof v.currentAddress);
    std::memcpy(v.hostname, s.hostname, sizeof v.hostname);
    std::memcpy(v.version, s.version, sizeof v.version);
    std::memcpy(v.wifi, s.wifi, sizeof v.wifi);
    std::memcpy(v.ssid, s.ssid, sizeof v.ssid);
    std::memcpy(v.dhcp, s.dhcp, sizeof v.dhcp);
    std::memcpy(v.staticAddress, s.staticAddress, sizeof v.staticAddress);
    return v;
}

// The image is read before the operator is asked, so what is confirmed is what
// goes.
void confirmFirmware() {
    if (!loadFirmware()) {
        setAppState(state::showStatus);
        return;
    }
    bool answered;
    if (firmwareConfirmed(answered)) {
        setAppState(state::firmware);
        return;
    }
    // End of input quits, as at every prompt.
    setAppState(answered ? state::showStatus : state::quit);
}

// 'f' asks for the firmware image's file name; a line end is stored after it
// for sendFirmware to remove.
void askFirmwarePath() {
    conPrint("\n\tFirmware image file: ");
    Line line;
    if (!readAnswer(line)) {
        setAppState(state::quit);
        return;
    }
    constexpr size_t maxPath = sizeof firmwarePath - 2;
    if (line.len > maxPath) {
        // Sending nothing beats sending a file picked by a cut-off name.
        conPrint("\n\tFile name too long (at most %d characters)\n", static_cast<int>(maxPath));
        line.len = 0;
    }
    if (line.len == 0) {
        firmwarePath[0] = '\0';
        setAppState(state::showStatus);
        return;
    }
    std::memcpy(firmwarePath, line.text, line.len);
    firmwarePath[line.len] = '\n';
    firmwarePath[line.len + 1] = '\0';
    confirmFirmware();
}

} // namespace

bool firmwareConfirmed(bool& answered) {
    char loomName[sizeof LoomSettings::hostname];
    {
        std::lock_guard<std::mutex> lock(settingsMutex);
        std::memcpy(loomName, loomSettings.hostname, sizeof loomName);
    }
    conPrint("\n\tSend %s (%zu bytes) to the loom %s? Type y to send: ", firmwareFile().c_str(),
             firmwareSize(), consoleSafe(loomName).c_str());
    Line answer;
    answered = readAnswer(answer);
    if (answered && answeredYes(answer))
        return true;
    dropFirmware();
    conPrint("\n\tFirmware not sent.\n");
    logPrint("sendFirmware(): not sent: not confirmed\n");
    return false;
}

void displayStatus() {
    StatusView v = snapshot();
    // Values from the controller (or typed by the operator) never drive the terminal.
    auto safe = [](const char* value) { return consoleSafe(value); };
    discardTypeAhead();
    showApplyOutcome();
    conPrint("\n\n\t\t\tCurrent Status\n");
    conPrint("%28s: %s\n", "Current State", safe(v.stateText).c_str());
    conPrint("%28s: %s\n", "Current Address", safe(v.currentAddress).c_str());
    conPrint("\n");
    conPrint("%24s [1]: %s - Version: %s\n", "Loom Name", safe(v.hostname).c_str(),
             safe(v.version).c_str());
    conPrint("%24s [2]: %s\n", "Enable Wireless", safe(v.wifi).c_str());
    conPrint("%24s [3]: %s\n", "Network Name", safe(v.ssid).c_str());
    conPrint("%24s [4]: %s\n", "Acquire Address (DHCP)", safe(v.dhcp).c_str());
    conPrint("%24s [5]: %s\n", "Static Address", safe(v.staticAddress).c_str());
    showPendingChanges();
    logPrint("[%d] displayStatus()\n", msSinceStart());
}

void readCommand() {
    conPrint("\n\tEnter the number of the field you would like to change\n");
    conPrint("\tOr enter 'a' for apply, 'q' for quit: ");
    Line answer;
    if (!readAnswer(answer)) {
        // Nothing more will ever be typed: leave as 'q' does instead of
        // showing the menu to no one without end.
        logInputEnded("readCommand()");
        setAppState(state::quit);
        return;
    }
    if (answer.tooLong) {
        setAppState(state::showStatus);
        return;
    }
    if (answer.text[0] == 'a') {
        setAppState(state::apply);
        return;
    }
    if (answer.text[0] == 'q') {
        setAppState(quitConfirmed() ? state::quit : state::showStatus);
        return;
    }
    if (answer.text[0] == 'f') {
        askFirmwarePath();
        return;
    }
    static constexpr int entryStates[] = {state::editName, state::toggleWifi, state::chooseNetwork,
                                          state::toggleDhcp, state::editStatic};
    int entry = answerNumber(answer.text);
    if (entry >= 1 && entry <= 5) {
        setAppState(entryStates[entry - 1]);
        return;
    }
    reportNotUnderstood(answer);
    setAppState(state::showStatus);
}
