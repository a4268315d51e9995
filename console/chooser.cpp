#include "console/chooser.h"

#include <cctype>
#include <cstring>
#include <vector>

#include "base/clock.h"
#include "base/interrupt.h"
#include "base/io.h"
#include "base/log.h"
#include "base/state.h"
#include "base/text.h"
#include "console/input.h"
#include "console/notices.h"
#include "link/queue.h"
#include "protocol/limits.h"
#include "protocol/settings.h"

int scanSettleMs = 500;
int scanGiveUpMs = 10000;

namespace {

// A Ctrl-C during the scan wait is noticed within this time.
constexpr int scanPollMs = 20;

// The list as printed: the operator's number picks what they saw, even when a
// late scan reply rewrites the table while they type.
struct ScanList {
    NetInfo entries[maxNetInfos];
    int count;
};

ScanList snapshotScan() {
    ScanList list;
    std::lock_guard<std::mutex> lock(settingsMutex);
    list.count = loomSettings.netCount;
    if (list.count < 0)
        list.count = 0;
    if (list.count > maxNetInfos)
        list.count = maxNetInfos;
    std::memcpy(list.entries, loomSettings.netInfos, sizeof list.entries);
    return list;
}

bool runEnding() {
    return runMustEnd();
}

// At least scanSettleMs, then until the controller has acknowledged the scan
// or giveUpMs have passed. False when the scan had not finished.
bool waitForScan(uint32_t started, uint32_t giveUpMs) {
    for (;;) {
        uint32_t seen = stateGeneration();
        showLoomErrors();
        uint32_t waited = tickCount() - started;
        bool finished = scanState == scanIdle;
        if (runEnding())
            return finished;
        if (finished && waited >= static_cast<uint32_t>(scanSettleMs))
            return true;
        if (waited >= giveUpMs)
            return finished;
        waitForStateChange(seen, scanPollMs);
    }
}

} // namespace

bool askNetworkPassphrase(const char* ssid, const char* kind, Line& passphrase) {
    conPrint("\n\tThe network you have chosen (%s) requires a passphrase",
             consoleSafe(ssid).c_str());
    // Asked again, the prompt follows the line that said why.
    for (const char* prompt = "\n\tPassphrase: ";; prompt = "\tPassphrase: ") {
        conPrint("%s", prompt);
        if (!readSecret(passphrase))
            return false;
        if (passphrase.tooLong)
            continue;
        if (passphrase.len == 0) {
            conPrint("\n\tNo passphrase: the network is not changed.\n");
            return false;
        }
        ValueProblem problem = passphraseProblem({passphrase.text, passphrase.len}, kind);
        if (problem == ValueProblem::tooLong) {
            conPrint("\n\tA passphrase may be at most %d characters; type it again, or press "
                     "Enter to cancel.\n",
                     static_cast<int>(maxPassphraseBytes));
        } else if (problem == ValueProblem::tooShort) {
            conPrint("\n\tA WPA passphrase has at least %d characters; type it again, or press "
                     "Enter to cancel.\n",
                     static_cast<int>(minWpaPassphraseBytes));
        } else if (problem == ValueProblem::unsafe) {
            reportUnsafeValue();
        } else {
            return true;
        }
        wipeLine(passphrase);
    }
}

void takeNetwork(const char* ssid, const char* encryption, const char* passphrase) {
    LoomSettings& s = loomSettings;
    {
        std::lock_guard<std::mutex> lock(settingsMutex);
        copyField(s.ssid, ssid);
        s.wifiConfigChanged = 1;
        if (encryption)
            copyField(s.encryption, encryption);
        if (passphrase)
            copyField(s.passphrase, passphrase);
    }
    logPrint("set ssid: %s\n", ssid);
    if (passphrase && *passphrase)
        logPrint("set passphrase: %.*s\n", static_cast<int>(passphraseMask.size()),
                 passphraseMask.data());
}

bool scanNetworks(uint32_t giveUpMs) {
    uint32_t started = tickCount();
    conPrint("\tScanning for networks\u2026\n");
    conFlush();
    operatorWaits();
    queueMsg("<wifiscan/>");
    return waitForScan(started, giveUpMs);
}

std::vector<NetInfo> scannedNetworks() {
    ScanList list = snapshotScan();
    return std::vector<NetInfo>(list.entries, list.entries + list.count);
}

namespace {

void choose(const NetInfo& entry) {
    if (std::strncmp(entry.encrypt, "NONE", 4) == 0) {
        // An earlier network's kind and passphrase would tell the loom to join
        // an open network as an encrypted one.
        takeNetwork(entry.ssid, entry.encrypt, "");
        return;
    }
    Line passphrase;
    if (askNetworkPassphrase(entry.ssid, entry.encrypt, passphrase))
        takeNetwork(entry.ssid, entry.encrypt, passphrase.text);
    wipeLine(passphrase);
}

} // namespace

void chooseNetwork() {
    bool finished = scanNetworks(static_cast<uint32_t>(scanGiveUpMs));
    // The main loop acts on whatever ends the run.
    if (runEnding())
        return;
    discardTypeAhead();

    ScanList list = snapshotScan();
    if (!finished)
        conPrint("\tThe scan has not finished yet; the list may be incomplete.\n");
    if (list.count == 0) {
        conPrint("\tNo networks found.\n");
    } else {
        conPrint("\tAvailable networks:\n");
        for (int k = 1; k <= list.count; ++k)
            conPrint("\t\t[%d] %s\n", k, consoleSafe(list.entries[k - 1].ssid).c_str());
    }
    conPrint("\tOr enter 'a' for apply, or 'q' for quit, or 's' for scan: ");

    Line answer;
    if (!readAnswer(answer)) {
        logInputEnded("chooseNetwork()");
        setAppState(state::quit);
        return;
    }
    if (answer.tooLong) {
        setAppState(state::showStatus);
        return;
    }
    switch (answer.text[0]) {
    case 'q':
        setAppState(quitConfirmed() ? state::quit : state::showStatus);
        return;
    case 's':
        setAppState(state::chooseNetwork);
        return;
    case 'a':
        // The prompt offers apply, so 'a' applies, as at the main menu.
        setAppState(state::apply);
        return;
    default:
        break;
    }
    if (std::isdigit(static_cast<unsigned char>(answer.text[0]))) {
        int k = answerNumber(answer.text);
        if (k >= 1 && k <= list.count)
            choose(list.entries[k - 1]);
    } else {
        reportNotUnderstood(answer);
    }
    setAppState(state::showStatus);
}
