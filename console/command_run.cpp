#include "console/command_run.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/io.h"
#include "base/log.h"
#include "base/state.h"
#include "base/text.h"
#include "console/chooser.h"
#include "console/editors.h"
#include "console/input.h"
#include "console/menu.h"
#include "console/notices.h"
#include "console/results.h"
#include "link/connection.h"
#include "protocol/apply.h"
#include "protocol/firmware.h"
#include "protocol/limits.h"

namespace {

enum class Step { atMenu, applying, uploading, done };

struct CommandState {
    const Invocation* invocation = nullptr;
    Step step = Step::atMenu;
    bool armed = false;
    uint32_t armedAt = 0;
};
CommandState run; // main thread

// Read before the run, so that standard input can carry it; wiped at the end.
std::string passphrase;
bool passphraseGiven = false;

void wipe(std::string& secret) {
    volatile char* p = secret.data();
    for (size_t i = 0; i < secret.size(); ++i)
        p[i] = '\0';
    secret.clear();
}

uint32_t timeoutMs() {
    return static_cast<uint32_t>(run.invocation->timeoutSeconds) * 1000u;
}

void printResult(const std::string& text) {
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
}

// The command's verdict: the run quits as 'q' does and ends with it.
void finish(int verdict) {
    run.step = Step::done;
    run.armed = false;
    endRun(RunEnd::quit, verdict);
}

void noAnswer() {
    conPrint("\nERROR: the loom did not answer within %d s.\n", run.invocation->timeoutSeconds);
    conFlush();
    logPrintFlush("command: the loom did not answer within %d s\n", run.invocation->timeoutSeconds);
    finish(4);
}

// A value the loom cannot take: nothing has been applied.
void refuseValue(const std::string& why) {
    conPrint("ERROR: %s; nothing was applied.\n", why.c_str());
    conFlush();
    logPrintFlush("command: %s\n", why.c_str());
    finish(2);
}

std::vector<ScanEntry> scanEntries(const std::vector<NetInfo>& networks) {
    std::vector<ScanEntry> entries;
    for (const NetInfo& n : networks) {
        ScanEntry e{n.ssid, std::nullopt, n.encrypt};
        if (n.signalKnown)
            e.signal = n.signal;
        entries.push_back(std::move(e));
    }
    return entries;
}

void show() {
    const Invocation& inv = *run.invocation;
    if (inv.json) {
        printResult(showJson(openedDevice(), viewOfLoom()));
    } else {
        // What was typed while the loom was waited for is told on the console,
        // not in the result.
        discardTypeAhead();
        std::FILE* in = conIn();
        std::FILE* out = conOut();
        setConsoleStreams(in, stdout);
        displayStatus();
        conFlush();
        setConsoleStreams(in, out);
    }
    finish(0);
}

void scan() {
    bool finished = scanNetworks(timeoutMs());
    if (runMustEnd())
        return;
    if (!finished) {
        noAnswer();
        return;
    }
    std::vector<ScanEntry> entries = scanEntries(scannedNetworks());
    printResult(run.invocation->json ? scanJson(entries) : scanText(entries));
    finish(0);
}

void tellNotFound(const std::string& ssid, const std::vector<NetInfo>& networks) {
    conPrint("ERROR: no network named \"%s\" was found; nothing was applied.\n",
             consoleSafe(ssid).c_str());
    if (networks.empty())
        conPrint("The scan found no networks.\n");
    else
        conPrint("The scan found:\n%s", scanText(scanEntries(networks)).c_str());
    conPrint("For a network the scan does not show, give its kind as well: encryption=NONE, WEP, "
             "WPA or WPA2.\n");
    conFlush();
    logPrintFlush("command: network %s not found\n", ssid.c_str());
}

// network=: the scan first, as the chooser does; the entry whose name matches
// byte for byte gives the kind. False when the command has ended.
bool takeSetNetwork(const SetFields& f) {
    const std::string& ssid = *f.network;
    bool finished = scanNetworks(timeoutMs());
    if (runMustEnd())
        return false;
    if (!finished) {
        noAnswer();
        return false;
    }
    std::vector<NetInfo> networks = scannedNetworks();
    std::string kind;
    const NetInfo* found = nullptr;
    for (const NetInfo& n : networks)
        if (ssid == n.ssid) {
            found = &n;
            break;
        }
    if (found) {
        kind = found->encrypt;
        if (f.encryption && *f.encryption != kind)
            conPrint("The scan finds \"%s\" as %s; that is the kind used, not %s.\n",
                     consoleSafe(ssid).c_str(), consoleSafe(kind).c_str(), f.encryption->c_str());
    } else if (f.encryption) {
        kind = *f.encryption;
    } else {
        tellNotFound(ssid, networks);
        finish(3);
        return false;
    }

    // An open network joins with no passphrase: nothing of the one before goes with it.
    if (kind.compare(0, 4, "NONE") == 0) {
        if (passphraseGiven)
            conPrint("\"%s\" is an open network; the passphrase is not used.\n",
                     consoleSafe(ssid).c_str());
        takeNetwork(ssid.c_str(), kind.c_str(), "");
        return true;
    }
    if (passphraseGiven) {
        if (passphraseProblem(passphrase, kind) != ValueProblem::none) {
            refuseValue("the passphrase is shorter than 8 bytes, too short for a " +
                        consoleSafe(kind) + " network");
            return false;
        }
        takeNetwork(ssid.c_str(), kind.c_str(), passphrase.c_str());
        wipe(passphrase);
        return true;
    }
    if (!conInIsTerminal()) {
        refuseValue("\"" + consoleSafe(ssid) + "\" is a " + consoleSafe(kind) +
                    " network: give its passphrase with --passphrase-file FILE (- for standard "
                    "input)");
        return false;
    }
    Line typed;
    bool got = askNetworkPassphrase(ssid.c_str(), kind.c_str(), typed);
    if (got)
        takeNetwork(ssid.c_str(), kind.c_str(), typed.text);
    wipeLine(typed);
    if (!got && !runMustEnd())
        refuseValue("no passphrase was given");
    return got;
}

void set() {
    const SetFields& f = run.invocation->set;
    // Refusals of the login are not this command's.
    takeShownRefusals();
    if (f.network && !takeSetNetwork(f))
        return;
    if (f.name)
        setLoomName(*f.name);
    if (f.address)
        setStaticAddress(*f.address);
    if (f.wifi)
        setWifi(*f.wifi);
    if (f.dhcp)
        setDhcp(*f.dhcp);
    run.step = Step::applying;
    armCommandDeadline();
    setAppState(state::apply);
}

const char* fieldName(SentField field) {
    switch (field) {
    case SentField::hostname:
        return "name";
    case SentField::wifi:
        return "wifi";
    case SentField::ssid:
        return "network";
    case SentField::dhcp:
        return "dhcp";
    case SentField::staticAddress:
        return "address";
    }
    return "";
}

// After the read-back: what took, what did not, what the loom refused.
void setOutcome() {
    ApplyRecord sent;
    // A report that is not the read-back of this apply: it is still waited for.
    if (!takeAppliedChanges(sent))
        return;
    // The progress dots end their line.
    conPrint("\n");
    conFlush();
    std::vector<NotTakenChange> changes = notTaken(sent);
    std::vector<std::string> refusals = takeShownRefusals();
    std::string line = applyOutcomeLine(changes);
    logPrint("%s\n", line.c_str());
    SetOutcome outcome;
    outcome.applied = changes.empty() && refusals.empty();
    if (run.invocation->json) {
        for (const NotTakenChange& c : changes)
            outcome.notApplied.push_back({fieldName(c.field), c.sent, c.reported});
        outcome.refusals = refusals;
        outcome.settings = viewOfLoom();
        printResult(setJson(outcome));
    } else {
        std::string text = line + "\n";
        for (const std::string& reason : refusals)
            text += reason.empty() ? "The loom refused a message without giving a reason.\n"
                                   : "The loom refused: " + reason + "\n";
        printResult(text);
    }
    finish(outcome.applied ? 0 : 3);
}

void firmware() {
    const Invocation& inv = *run.invocation;
    if (!loadFirmwareFile(inv.firmwareFile)) {
        finish(2);
        return;
    }
    bool answered = true;
    if (!inv.yes && !firmwareConfirmed(answered)) {
        if (!runMustEnd())
            finish(2);
        return;
    }
    run.step = Step::uploading;
    setAppState(state::firmware);
}

void firmwareResult() {
    switch (firmwareOutcome()) {
    case FirmwareOutcome::acknowledged:
        finish(0);
        return;
    case FirmwareOutcome::refused:
        finish(3);
        return;
    case FirmwareOutcome::noAnswer:
        finish(4);
        return;
    case FirmwareOutcome::notSent:
        finish(1);
        return;
    }
}

} // namespace

int prepareCommand(const Invocation& inv) {
    wipe(passphrase);
    passphraseGiven = false;
    if (inv.command == Command::set && !inv.set.passphraseFile.empty()) {
        std::string error;
        if (!readPassphraseFile(inv.set.passphraseFile, stdin, inv.set.encryption.value_or(""),
                                passphrase, error)) {
            conPrint("shedmate set: %s\n", error.c_str());
            conFlush();
            return 2;
        }
        passphraseGiven = true;
    }
    if (inv.command == Command::firmware) {
        bool readable = loadFirmwareFile(inv.firmwareFile);
        dropFirmware();
        conFlush();
        if (!readable)
            return 2;
    }
    return -1;
}

void beginCommand(const Invocation* inv) {
    run = CommandState{};
    if (inv && inv->command != Command::interactive)
        run.invocation = inv;
}

void endCommand() {
    run = CommandState{};
    wipe(passphrase);
    passphraseGiven = false;
}

bool commandRunning() {
    return run.invocation != nullptr;
}

void commandAtMenu() {
    if (!run.invocation)
        return;
    switch (run.step) {
    case Step::atMenu:
        switch (run.invocation->command) {
        case Command::show:
            show();
            return;
        case Command::scan:
            scan();
            return;
        case Command::set:
            set();
            return;
        case Command::firmware:
            firmware();
            return;
        case Command::interactive:
        case Command::list:
            finish(1);
            return;
        }
        return;
    case Step::applying:
        setOutcome();
        return;
    case Step::uploading:
        firmwareResult();
        return;
    case Step::done:
        return;
    }
}

void armCommandDeadline() {
    if (!run.invocation)
        return;
    run.armed = true;
    run.armedAt = tickCount();
}

void commandTick() {
    if (!run.armed || tickCount() - run.armedAt < timeoutMs())
        return;
    run.armed = false;
    if (runEnd() == RunEnd::none)
        noAnswer();
    // Bounded even while an apply that a Ctrl-C let finish waits for the loom.
    setAppState(state::quit);
}

uint32_t commandAnswerWaitMs() {
    return run.invocation ? timeoutMs() : 0;
}
