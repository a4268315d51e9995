#include "app/main_loop.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/clock.h"
#include "base/interrupt.h"
#include "base/io.h"
#include "base/log.h"
#include "base/state.h"
#include "base/version.h"
#include "console/chooser.h"
#include "console/editors.h"
#include "console/menu.h"
#include "link/connection.h"
#include "link/queue.h"
#include "link/reader.h"
#include "protocol/apply.h"
#include "protocol/firmware.h"
#include "protocol/messages.h"
#include "protocol/settings.h"

uint32_t lastDotTick = 0;

namespace {

constexpr uint32_t dotIntervalMs = 2000;

// How long the controller may stay silent, while it is waited for, before the
// operator is told.
constexpr uint32_t silenceWarningMs = 30000;

// Idle waits are bounded so an interrupt (whose handler cannot wake a condition
// variable) is noticed within this time.
constexpr int interruptPollMs = 200;

// The spell of waiting for the controller that the silence watch measures.
struct SilenceWatch {
    bool waiting = false;
    uint32_t since = 0;
    bool warned = false;
};
SilenceWatch silence;

const char* nowText() {
    std::time_t now = std::time(nullptr);
    return std::ctime(&now);
}

void quit() {
    queueMsg("close");
    // A "close" that could not go at once goes with the rest.
    clearMsgQueue();
    clearToSend = 1;
    setAppState(state::exit);
}

void exitRun() {
    closeLoom();
    logPrintFlush("Shedmate exiting at %s\n", nowText());
    logClose();
    setAppState(state::done);
}

void reportLinkLost() {
    conPrint("\n\n\tThe connection to the loom was lost (unplugged or switched off?).\n");
    conFlush();
    logPrintFlush("connection to the loom lost\n");
    exitStatus = 1;
    setAppState(state::exit);
}

void noticeInterrupt() {
    interruptSeen = 1;
    exitStatus = interruptedExitStatus;
    conPrint(
        "\n\n\tInterrupted: closing the connection to the loom (Ctrl-C again ends at once).\n");
    conFlush();
    logPrintFlush("interrupted by the operator\n");
    setAppState(state::quit);
}

// Tells the operator, once per silent spell, that the controller has said
// nothing for a long while; a late answer still carries the run on.
void watchSilence(bool waitingForLoom) {
    uint32_t now = tickCount();
    if (!waitingForLoom) {
        silence.waiting = false;
        return;
    }
    if (!silence.waiting) {
        silence = SilenceWatch{true, now, false};
        return;
    }
    uint32_t quiet = now - silence.since;
    uint32_t sinceHeard = now - lastRxTick.load();
    if (sinceHeard < quiet)
        quiet = sinceHeard;
    if (quiet < silenceWarningMs) {
        silence.warned = false;
    } else if (!silence.warned) {
        silence.warned = true;
        conPrint("\n\tThe loom is not answering (nothing heard for %u s). Waiting; press Ctrl-C "
                 "to quit.\n",
                 static_cast<unsigned>(quiet / 1000));
        conFlush();
        logPrintFlush("[%d] loom not answering for %u ms\n", msSinceStart(),
                      static_cast<unsigned>(quiet));
    }
}

void runState(int s) {
    switch (s) {
    case state::idle:
        break;
    case state::startUp:
        startUp();
        break;
    case state::showStatus:
        displayStatus();
        setAppState(state::idle);
        readCommand();
        break;
    case state::editName:
        editLoomName();
        break;
    case state::toggleWifi:
        toggleWifi();
        break;
    case state::chooseNetwork:
        chooseNetwork();
        break;
    case state::toggleDhcp:
        toggleDhcp();
        break;
    case state::editStatic:
        editStaticAddress();
        break;
    case state::apply:
        applyChanges();
        break;
    case state::scanRequest:
        queueMsg("<wifiscan/>");
        break;
    case state::pleaseWait:
        progressTick();
        break;
    case state::firmware:
        sendFirmware();
        // Back to the menu: idle would leave the operator with no prompt and
        // nothing on the way to bring one.
        setAppState(state::showStatus);
        break;
    case state::quit:
        quit();
        break;
    case state::exit:
        exitRun();
        break;
    default:
        break;
    }
}

// How long the loop may sleep after a pass in state s; -1 = until woken.
int idleWaitMs(int s) {
    if (s == state::idle)
        return -1;
    if (s == state::pleaseWait) {
        uint32_t since = tickCount() - lastDotTick;
        return since > dotIntervalMs ? 1 : static_cast<int>(dotIntervalMs - since) + 1;
    }
    return 0;
}

} // namespace

void progressTick() {
    uint32_t now = tickCount();
    if (now - lastDotTick > dotIntervalMs) {
        conPrint(".");
        conFlush();
        lastDotTick = now;
    }
}

void startUp() {
    bool haveLog = logOpen();
    if (!haveLog) {
        conPrint("\tWARNING: cannot create Shedmate.log in the working folder (%s); "
                 "carrying on without a log\n",
                 std::strerror(errno));
        conFlush();
    }
    logPrintFlush("\n\nShedmate: starting at %s\n", nowText());
    logPrintFlush("Shedmate version %s\n", shedmateVersion());
    createMsgQueue();
    setMessageHandler(processMsg);

    FT_STATUS status = openLoom();
    if (status != FT_OK) {
        logPrintFlush("openLoom failed: %d\n", static_cast<int>(status));
        exitStatus = 1;
        setAppState(state::exit);
        return;
    }
    setAppState(state::idle);
    queueMsg("\n");
}

int runShedmate() {
    exitStatus = 0;
    linkLost = 0;
    loomClosed = 0;
    lastDotTick = 0;
    interruptRequested = 0;
    interruptSeen = 0;
    silence = SilenceWatch{};
    setAppState(state::startUp);
    startTick = tickCount();

    for (;;) {
        uint32_t seen = stateGeneration();
        int s = appState.load();
        if (s != state::startUp && s != state::exit && s != state::done) {
            if (interruptRequested && !interruptSeen) {
                noticeInterrupt();
                continue;
            }
            if (loomClosed) {
                // The controller has gone; whatever a dialog chose meanwhile
                // has no one left to talk to.
                conPrint("\n\tThe loom closed the connection.\n");
                logPrint("controller closed the connection\n");
                setAppState(state::exit);
                continue;
            }
            if (linkLost) {
                reportLinkLost();
                continue;
            }
        }
        runState(s);
        if (appState == state::done)
            break;
        // Idle and the progress wait have nothing to do until the state
        // changes or the next dot is due.
        bool waitingForLoom = (s == state::idle || s == state::pleaseWait) && appState == s;
        watchSilence(waitingForLoom);
        if (waitingForLoom) {
            int waitMs = idleWaitMs(s);
            if (waitMs < 0 || waitMs > interruptPollMs)
                waitMs = interruptPollMs;
            waitForStateChange(seen, waitMs);
        }
    }
    return exitStatus;
}

void endProcess(int status) {
    std::fflush(stdout);
    std::fflush(stderr);
    runFinished();
    if (readerAbandoned())
        std::_Exit(status);
    std::exit(status);
}
