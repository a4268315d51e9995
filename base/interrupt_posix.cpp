#include "base/interrupt.h"

#include <csignal>
#include <pthread.h>
#include <unistd.h>

#include "base/echo.h"

std::atomic<int> interruptRequested{0};
std::atomic<int> interruptSeen{0};
std::atomic<int> holdInterrupts{0};
std::atomic<int> heldInterrupts{0};

namespace {

void onInterrupt(int) {
    if (holdInterrupts) {
        heldInterrupts.fetch_add(1);
        return;
    }
    if (interruptRequested.exchange(1) != 0) {
        restoreEcho();
        _exit(interruptedExitStatus);
    }
}

void onNudge(int) {}

pthread_t mainThread;
std::atomic<bool> installed{false};

} // namespace

void installInterruptHandlers() {
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a read of the console is cut short, so the dialog waiting
    // on the operator returns and the main loop can quit.
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    struct sigaction nudge {};
    nudge.sa_handler = onNudge;
    sigemptyset(&nudge.sa_mask);
    sigaction(SIGUSR1, &nudge, nullptr);
    mainThread = pthread_self();
    installed = true;
}

void nudgeMainThread() {
    if (installed)
        pthread_kill(mainThread, SIGUSR1);
}

void keepInterruptsOffThisThread() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}
