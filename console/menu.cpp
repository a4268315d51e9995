#include "console/menu.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>

#include "base/clock.h"
#include "base/io.h"
#include "base/log.h"
#include "base/state.h"
#include "console/input.h"
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

void discardRestOfLine() {
    int c;
    while ((c = std::fgetc(conIn())) != EOF && c != '\n') {
    }
}

// The image is read before the operator is asked, so what is confirmed is what
// goes. Only "y" or "yes" sends it.
void confirmFirmware() {
    if (!loadFirmware()) {
        setAppState(state::showStatus);
        return;
    }
    char loomName[sizeof LoomSettings::hostname];
    {
        std::lock_guard<std::mutex> lock(settingsMutex);
        std::memcpy(loomName, loomSettings.hostname, sizeof loomName);
    }
    conPrint("\n\tSend %s (%zu bytes) to the loom %s? Type y to send: ", firmwareFile().c_str(),
             firmwareSize(), loomName);
    // Room for any answer an operator types, so no rest is left for the menu.
    char answer[64];
    bool answered = readAnswer(answer, sizeof answer - 1);
    std::string_view yes(answer);
    while (!yes.empty() && std::strchr(" \t\r\n", yes.back()))
        yes.remove_suffix(1);
    while (!yes.empty() && std::strchr(" \t", yes.front()))
        yes.remove_prefix(1);
    if (answered && (yes == "y" || yes == "yes")) {
        setAppState(state::firmware);
        return;
    }
    dropFirmware();
    conPrint("\n\tFirmware not sent.\n");
    logPrint("sendFirmware(): not sent: not confirmed\n");
    // End of input quits, as at every prompt.
    setAppState(answered ? state::showStatus : state::quit);
}

// 'f' asks for the firmware image's file name; the line end stays with it for
// sendFirmware to remove.
void askFirmwarePath(const char* answer) {
    // The rest of a longer answer ("firmware") must not become the file name:
    // an image is too consequential to send on a guess.
    if (std::strchr(answer, '\n') == nullptr)
        discardRestOfLine();
    conPrint("\n\tFirmware image file: ");
    if (!readAnswer(firmwarePath, sizeof firmwarePath - 1)) {
        setAppState(state::quit);
        return;
    }
    size_t len = std::strlen(firmwarePath);
    if (len == 0 || firmwarePath[len - 1] != '\n') {
        // Longer than the buffer: drop the rest of the line rather than let it
        // answer the next prompt, and send nothing.
        discardRestOfLine();
        conPrint("\n\tFile name too long (at most %d characters)\n",
                 static_cast<int>(sizeof firmwarePath - 2));
        firmwarePath[0] = '\0';
        setAppState(state::showStatus);
        return;
    }
    if (len >= 2 && firmwarePath[len - 2] == '\r') {
        // sendFirmware drops one trailing character: a CRLF must leave just one.
        firmwarePath[len - 2] = '\n';
        firmwarePath[--len] = '\0';
    }
    if (len == 1) {
        firmwarePath[0] = '\0';
        setAppState(state::showStatus);
        return;
    }
    confirmFirmware();
}

} // namespace

void displayStatus() {
    StatusView v = snapshot();
    conPrint("\n\n\t\t\tCurrent Status\n");
    conPrint("%28s: %s\n", "Current State", v.stateText);
    conPrint("%28s: %s\n", "Current Address", v.currentAddress);
    conPrint("\n");
    conPrint("%24s [1]: %s - Version: %s\n", "Loom Name", v.hostname, v.version);
    conPrint("%24s [2]: %s\n", "Enable Wireless", v.wifi);
    conPrint("%24s [3]: %s\n", "Network Name", v.ssid);
    conPrint("%24s [4]: %s\n", "Acquire Address (DHCP)", v.dhcp);
    conPrint("%24s [5]: %s\n", "Static Address", v.staticAddress);
    logPrint("[%d] displayStatus()\n", msSinceStart());
}

void readCommand() {
    conPrint("\n\tEnter the number of the field you would like to change\n");
    conPrint("\tOr enter 'a' for apply, 'q' for quit: ");
    char answer[4];
    if (!readAnswer(answer, 3)) {
        // Nothing more will ever be typed: leave as 'q' does instead of
        // showing the menu to no one without end.
        logInputEnded("readCommand()");
        setAppState(state::quit);
        return;
    }
    if (answer[0] == 'a') {
        setAppState(state::apply);
        return;
    }
    if (answer[0] == 'q') {
        setAppState(state::quit);
        return;
    }
    if (answer[0] == 'f') {
        askFirmwarePath(answer);
        return;
    }
    static constexpr int entryStates[] = {state::editName, state::toggleWifi, state::chooseNetwork,
                                          state::toggleDhcp, state::editStatic};
    int entry = std::atoi(answer);
    if (entry >= 1 && entry <= 5) {
        setAppState(entryStates[entry - 1]);
        return;
    }
    conPrint("\n\tCommand not understood: %s\n", answer);
    setAppState(state::showStatus);
}
