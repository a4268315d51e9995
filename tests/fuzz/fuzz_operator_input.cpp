// Arbitrary operator input through the menu, the editors and the chooser.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "base/io.h"
#include "base/state.h"
#include "console/chooser.h"
#include "console/editors.h"
#include "console/menu.h"
#include "link/connection.h"
#include "link/queue.h"
#include "protocol/apply.h"
#include "protocol/messages.h"
#include "protocol/settings.h"
#include "support/fake_driver.h"

namespace {

// A controller that answers every message, so applies and scans complete.
void answer(const std::string& line) {
    if (line == "<wifiscan/>")
        fake::pushRx("<wifiscan>");
}

void seedScan() {
    std::lock_guard<std::mutex> lock(settingsMutex);
    loomSettings.netCount = 0;
    addNetInfo("Weaving-Hall,-48,WPA2");
    addNetInfo("Guest,-70,NONE");
    addNetInfo("Old Shed,-81,WEP");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = [] {
        fake::reset();
        fake::setDevices({fake::Device{"FT245R USB FIFO"}});
        fake::setResponder(answer);
        openDevice();
        scanSettleMs = 0;
        scanGiveUpMs = 0;
        return true;
    }();
    (void)ready;

    // A quit ends the run for good: each input starts a run of its own.
    resetAppState();
    resetLoomSettings();
    resetMsgQueue();
    createMsgQueue();
    seedScan();

    std::FILE* in = std::tmpfile();
    std::FILE* out = std::fopen("/dev/null", "w");
    std::fwrite(data, 1, size, in);
    std::rewind(in);
    setConsoleStreams(in, out);

    setAppState(state::showStatus);
    // Every dialog reads at least one line, so the input runs out in bounded steps.
    for (int step = 0; step < 4096; ++step) {
        int s = appState.load();
        if (s == state::showStatus) {
            displayStatus();
            setAppState(state::idle);
            readCommand();
        } else if (s == state::editName) {
            editLoomName();
        } else if (s == state::toggleWifi) {
            toggleWifi();
        } else if (s == state::chooseNetwork) {
            seedScan();
            chooseNetwork();
        } else if (s == state::toggleDhcp) {
            toggleDhcp();
        } else if (s == state::editStatic) {
            editStaticAddress();
        } else if (s == state::apply) {
            applyChanges();
            createMsgQueue();
            clearToSend = 1;
            setAppState(state::showStatus);
        } else {
            // Quit, firmware (a file name from the input is not opened here),
            // or anything unexpected ends the session.
            break;
        }
        if (std::feof(in))
            break;
    }

    setConsoleStreams(nullptr, nullptr);
    std::fclose(in);
    std::fclose(out);
    // What this input made goes with it: memory stays flat over a long run,
    // and leak detection, which gives up on a target whose heap keeps
    // growing, stays on.
    resetMsgQueue();
    fake::forgetTraffic();
    return 0;
}
