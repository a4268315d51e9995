#include "console/chooser.h"

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "base/io.h"
#include "base/log.h"
#include "base/state.h"
#include "console/editors.h"
#include "console/input.h"
#include "link/queue.h"
#include "protocol/settings.h"

int scanSettleMs = 500;

namespace {

constexpr size_t passphraseChars = 48;

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

    conPrint("\n\tThe network you have chosen (%s) requires a passphrase", entry.ssid);
    conPrint("\n\tPassphrase: ");
    char passphrase[passphraseChars + 2];
    // A passphrase that cannot be read is empty; the next prompt then meets the
    // same end of input and quits.
    if (!readSecret(passphrase, passphraseChars) && runMustEnd())
        return;
    stripNewline(passphrase);
    if (unsafeForLoom(passphrase)) {
        reportUnsafeValue();
        return;
    }
    {
        std::lock_guard<std::mutex> lock(settingsMutex);
        copyField(s.ssid, entry.ssid);
        s.wifiConfigChanged = 1;
        copyField(s.encryption, entry.encrypt);
        copyField(s.passphrase, passphrase);
    }
    logPrint("set ssid: %s\n", entry.ssid);
    // The mask hides the passphrase, not whether there was one.
    if (passphrase[0] == '\0')
        logPrint("set passphrase: (empty)\n");
    else
        logPrint("set passphrase: %.*s\n", static_cast<int>(passphraseMask.size()),
                 passphraseMask.data());
}

} // namespace

void chooseNetwork() {
    queueMsg("<wifiscan/>");
    std::this_thread::sleep_for(std::chrono::milliseconds(scanSettleMs));

    ScanList list = snapshotScan();
    conPrint("\tAvailable networks:\n");
    for (int k = 1; k <= list.count; ++k)
        conPrint("\t\t[%d] %s\n", k, list.entries[k - 1].ssid);
    conPrint("\tOr enter 'a' for apply, or 'q' for quit, or 's' for scan: ");

    char answer[4];
    if (!readAnswer(answer, 3)) {
        logInputEnded("chooseNetwork()");
        setAppState(state::quit);
        return;
    }
    switch (answer[0]) {
    case 'q':
        setAppState(state::quit);
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
    if (std::isdigit(static_cast<unsigned char>(answer[0]))) {
        int k = std::atoi(answer);
        if (k >= 1 && k <= list.count)
            choose(list.entries[k - 1]);
    } else {
        conPrint("\n\tCommand not understood: %s\n", answer);
    }
    setAppState(state::showStatus);
}
