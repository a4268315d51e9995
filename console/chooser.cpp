#include "console/chooser.h"

#include <cctype>
#include <cstring>

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
// or scanGiveUpMs have passed. False when the scan had not finished.
bool waitForScan(uint32_t started) {
    for (;;) {
        uint32_t seen = stateGeneration();
        showLoomErrors();
        uint32_t waited = tickCount() - started;
        bool finished = scanState == scanIdle;
        if (runEnding())
            return finished;
        if (finished && waited >= static_cast<uint32_t>(scanSettleMs))
            return true;
        if (waited >= static_cast<uint32_t>(scanGiveUpMs))
            return finished;
        waitForStateChange(seen, scanPollMs);
    }
}

// Asks until a passphrase the loom can take is typed; an empty line or end of
// input gives up. No part of a refused passphrase is shown or logged.
bool askPassphrase(Line& passphrase, const char* kind) {
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

void choose(const NetInfo& entry) {
    LoomSettings& s = loomSettings;
    if (std::strncmp(entry.encrypt, "NONE", 4) == 0) {
        {
            std::lock_guard<std::mutex> lock(settingsMutex);
            copyField(s.ssid, entry.ssid);
            s.wifiConfigChanged = 1;
        }
        logPrint("set ssid: %s\n", entry.ssid);
        return;
    }

    conPrint("\n\tThe network you have chosen (%s) requires a passphrase",
             consoleSafe(entry.ssid).c_str());
    Line passphrase;
    if (!askPassphrase(passphrase, entry.encrypt)) {
        wipeLine(passphrase);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(settingsMutex);
        copyField(s.ssid, entry.ssid);
        s.wifiConfigChanged = 1;
        copyField(s.encryption, entry.encrypt);
        copyField(s.passphrase, passphrase.text);
    }
    wipeLine(passphrase);
    logPrint("set ssid: %s\n", entry.ssid);
    // An empty answer cancelled above, so there always is a passphrase to mask.
    logPrint("set passphrase: %.*s\n", static_cast<int>(passphraseMask.size()),
             passphraseMask.data());
}

} // namespace

void chooseNetwork() {
    uint32_t started = tickCount();
    conPrint("\tScanning for networks\u2026\n");
    conFlush();
    operatorWaits();
    queueMsg("<wifiscan/>");
    bool finished = waitForScan(started);
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
