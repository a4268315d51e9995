#include "app/main_loop.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/clock.h"
#include "base/echo.h"
#include "base/interrupt.h"
#include "base/io.h"
#include "base/log.h"
#include "base/state.h"
#include "base/text.h"
#include "base/version.h"
#include "console/chooser.h"
#include "console/command_run.h"
#include "console/editors.h"
#include "console/input.h"
#include "console/menu.h"
#include "console/notices.h"
#include "link/connection.h"
#include "link/device.h"
#include "link/queue.h"
#include "link/reader.h"
#include "protocol/apply.h"
#include "protocol/firmware.h"
#include "protocol/messages.h"
#include "protocol/settings.h"

uint32_t lastDotTick = 0;

namespace {

DriverChoice driverChoice = nullptr;
const Invocation* commandLine = nullptr;

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

// How long "close" may wait for the controller to finish with the message in
// flight; a controller that stays busy longer is left without it.
constexpr uint32_t closeWaitMs = 2000;

// How the run is ending, as the main loop follows it. Main thread.
struct Ending {
    bool quitStarted = false;    // "close" is queued or sent
    uint32_t quitSince = 0;      // when it was queued
    bool waitedForApply = false; // the end came while the loom's network was down
    bool logFailureTold = false;
};
Ending ending;

// Quit: what waits behind the message in flight is dropped and "close" takes
// its place, the last message of the run; it goes as soon as the controller is
// ready, or not at all after closeWaitMs. The state stays quit until then.
void quit() {
    uint32_t now = tickCount();
    if (!ending.quitStarted) {
        ending.quitStarted = true;
        ending.quitSince = now;
        closeMsgQueue("close");
    }
    // Nothing is taken after "close": whatever waits goes before it or is it.
    bool waiting = queuedCount() != 0;
    if (waiting && now - ending.quitSince < closeWaitMs)
        return;
    if (waiting)
        logPrintFlush("close not sent: the controller was not ready within %u ms\n",
                      static_cast<unsigned>(closeWaitMs));
    setAppState(state::exit);
}

void tellLogFailure() {
    int err = logWriteError();
    if (err == 0 || ending.logFailureTold)
        return;
    ending.logFailureTold = true;
    conPrint("\n\tWARNING: writing Shedmate.log failed (%s); the log is incomplete from here. "
             "Carrying on.\n",
             std::strerror(err));
    conFlush();
}

// The loom's own close and a lost link are told as the run exits;
// "<closing connection>" after our "close" is just the answer.
void tellEnd() {
    if (runEnd() == RunEnd::loomClosed) {
        conPrint("\n\tThe loom closed the connection.\n");
        conFlush();
        logPrintFlush("controller closed the connection\n");
    } else if (linkLost()) {
        conPrint("\n\n\tThe connection to the loom was lost (unplugged or switched off?).\n");
        conFlush();
        logPrintFlush("connection to the loom lost\n");
    }
}

// A signal's handler can only set a flag: here it becomes the run's end. One
// that comes while the run is already ending still counts for the status.
void takeInterrupt() {
    if (!interruptRequested || runEndedFor(RunEnd::interrupted))
        return;
    endRun(RunEnd::interrupted);
    logPrintFlush("interrupted by the operator\n");
}

void exitRun() {
    noticeRunEnd();
    tellEnd();
    closeLoom();
    takeInterrupt();
    logPrintFlush("Shedmate exiting at %s\n", nowText());
    logClose();
    tellLogFailure();
    setAppState(state::done);
}

// What the run does once it is ending; true when the state was moved on.
bool followEnd(int s) {
    bool interruptNew = interruptRequested && !runEndedFor(RunEnd::interrupted);
    takeInterrupt();
    RunEnd why = runEnd();
    if (why == RunEnd::none)
        return false;
    noticeRunEnd();
    if (why == RunEnd::loomClosed || linkLost()) {
        // Whatever a dialog chose meanwhile has no one left to talk to.
        setAppState(state::exit);
        return true;
    }
    // Quitting now would strand the loom with its network down: the apply
    // finishes first.
    bool finishApply = loomNetworkDown();
    if (interruptNew) {
        if (finishApply) {
            conPrint("\n\n\tInterrupted: finishing the apply so the loom's network comes back "
                     "up, then closing the connection (Ctrl-C again ends at once).\n");
            logPrintFlush("finishing the apply before closing\n");
        } else {
            conPrint("\n\n\tInterrupted: closing the connection to the loom (Ctrl-C again ends "
                     "at once).\n");
        }
        conFlush();
    }
    if (finishApply) {
        ending.waitedForApply = true;
        return false;
    }
    if (s == state::quit)
        return false;
    if (ending.waitedForApply)
        logPrint("apply finished; closing\n");
    setAppState(state::quit);
    return true;
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
        // Logged first: whoever sees the line on screen finds it in the log too.
        logPrintFlush("[%d] loom not answering for %u ms\n", msSinceStart(),
                      static_cast<unsigned>(quiet));
        conPrint("\n\tThe loom is not answering (nothing heard for %u s). Waiting; press Ctrl-C "
                 "to quit.\n",
                 static_cast<unsigned>(quiet / 1000));
        conFlush();
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
        // A command does its work where the operator would be shown the menu.
        if (commandRunning()) {
            setAppState(state::idle);
            commandAtMenu();
            break;
        }
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
        // Back to the menu: idle would leave the operator with no prompt and
        // nothing on the way to bring one. An upload that ended the run has
        // set what comes next.
        if (sendFirmware(commandAnswerWaitMs()))
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
    if (!logOpen()) {
        switch (logRefusal()) {
        case LogRefusal::inUse:
            // Its log and its loom are the other run's; this one touches neither.
            conPrint("ERROR: another Shedmate is running here (it holds Shedmate.log). Only one "
                     "may run in a folder at a time.\n");
            conFlush();
            endRun(RunEnd::startFailed);
            setAppState(state::exit);
            return;
        case LogRefusal::notPlainFile:
            conPrint("\tWARNING: Shedmate.log in the working folder is a link or not a plain "
                     "file; not writing through it, carrying on without a log\n");
            break;
        default:
            conPrint("\tWARNING: cannot create Shedmate.log in the working folder (%s); "
                     "carrying on without a log\n",
                     std::strerror(errno));
            break;
        }
        conFlush();
    }
    logPrintFlush("\n\nShedmate: starting at %s\n", nowText());
    logPrintFlush("Shedmate version %s\n", shedmateVersion());
    if (commandRunning())
        logPrintFlush("command: %s\n", consoleSafe(commandLine->typed).c_str());
    createMsgQueue();
    setMessageHandler(processMsg);
    if (driverChoice)
        installDriver(driverChoice());

    FT_STATUS status = openLoom(commandLine ? commandLine->device : DeviceChoice{});
    if (status != FT_OK) {
        logPrintFlush("openLoom failed: %d\n", static_cast<int>(status));
        // A Ctrl-C that stopped the wait for the device ends the run as a signal does.
        takeInterrupt();
        endRun(RunEnd::startFailed);
        setAppState(state::exit);
        return;
    }
    armCommandDeadline();
    setAppState(state::idle);
    queueMsg("\n");
}

void resetMainLoop() {
    lastDotTick = 0;
    silence = SilenceWatch{};
    ending = Ending{};
}

void resetRunState() {
    logClose();
    resetAppState();
    resetClock();
    resetInterrupts();
    resetDevice();
    resetReader();
    resetMsgQueue();
    resetLoomSettings();
    resetMessages();
    resetApply();
    resetFirmware();
    resetMainLoop();
}

int runShedmate(DriverChoice chooseDriver, const Invocation* invocation) {
    // An interrupt that came before the run is not forgotten: it ends the run
    // as soon as it starts.
    resetRunState();
    driverChoice = chooseDriver;
    commandLine = invocation;
    beginCommand(invocation);
    setAppState(state::startUp);
    runActive = 1;

    for (;;) {
        uint32_t seen = stateGeneration();
        int s = appState.load();
        showLoomErrors();
        if (s != state::startUp && s != state::exit && s != state::done && followEnd(s))
            continue;
        tellLogFailure();
        runState(s);
        if (appState == state::done)
            break;
        // Idle and the progress wait have nothing to do until the state
        // changes or the next dot is due; quitting polls for "close" to leave.
        bool waitingForLoom = (s == state::idle || s == state::pleaseWait) && appState == s;
        if (waitingForLoom || s == state::startUp || s == state::firmware)
            operatorWaits();
        watchSilence(waitingForLoom);
        if (waitingForLoom && commandRunning())
            commandTick();
        if (waitingForLoom) {
            int waitMs = idleWaitMs(s);
            if (waitMs < 0 || waitMs > interruptPollMs)
                waitMs = interruptPollMs;
            waitForStateChange(seen, waitMs);
        } else if (s == state::quit && appState == s) {
            waitForStateChange(seen, 10);
        }
    }
    runActive = 0;
    endCommand();
    return runExitStatus();
}

void endProcess(int status) {
    restoreEcho();
    std::fflush(stdout);
    std::fflush(stderr);
    runFinished();
    if (readerAbandoned())
        std::_Exit(status);
    std::exit(status);
}
