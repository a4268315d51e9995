#include "app/interrupt.h"

#include <csignal>
#include <pthread.h>
#include <unistd.h>

#include "app/echo.h"

std::atomic<int> interruptRequested{0};

namespace {

void onInterrupt(int) {
    if (interruptRequested.exchange(1) != 0) {
        restoreEcho();
        _exit(interruptedExitStatus);
    }
}

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
}

void keepInterruptsOffThisThread() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}
