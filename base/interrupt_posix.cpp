#include "base/interrupt.h"

#include <csignal>
#include <pthread.h>
#include <unistd.h>

#include "base/echo.h"

std::atomic<int> interruptRequested{0};

namespace {

// The signals that ask the run to end: Ctrl-C, a termination request, and a
// closed terminal or dropped SSH session.
constexpr int endSignals[] = {SIGINT, SIGTERM, SIGHUP};

void onInterrupt(int sig) {
    if (holdInterrupts) {
        // Only the operator's Ctrl-C may stop an image halfway; a hang-up or a
        // termination request waits for the image to be whole, then ends the run.
        if (sig == SIGINT) {
            heldInterrupts.fetch_add(1);
        } else {
            int none = 0;
            heldEndSignal.compare_exchange_strong(none, sig);
        }
        return;
    }
    int none = 0;
    interruptSignal.compare_exchange_strong(none, sig);
    if (interruptRequested.exchange(1) == 0)
        return;
    // A hang-up may be repeated by the shell as it goes; only a person asks twice.
    if (sig == SIGHUP)
        return;
    restoreEcho();
    _exit(128 + sig);
}

void onNudge(int) {}

// Ctrl-Z and fg: the shell gives the terminal its own settings back while the
// run is stopped; a secret being typed must stay unseen after fg.
void onContinue(int) {
    reapplyEchoOff();
}

pthread_t mainThread;
std::atomic<bool> installed{false};

// Without SA_RESTART (cutsReads) a read of the console is cut short, so the
// dialog waiting on the operator returns and the main loop can act.
void install(int sig, void (*handler)(int), bool cutsReads = true) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = cutsReads ? 0 : SA_RESTART;
    sigaction(sig, &action, nullptr);
}

} // namespace

void installInterruptHandlers() {
    // Held back while the handlers go in, delivered the moment they are in.
    sigset_t held, before;
    sigemptyset(&held);
    for (int sig : endSignals)
        sigaddset(&held, sig);
    sigaddset(&held, SIGCONT);
    pthread_sigmask(SIG_BLOCK, &held, &before);

    for (int sig : endSignals)
        install(sig, onInterrupt);
    install(SIGUSR1, onNudge);
    // A stop and continue must not cut the passphrase's read short.
    install(SIGCONT, onContinue, false);
    // A console reader that went away (shedmate | head) or a full disk under
    // a size limit must not end the run: the failed write is dealt with.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    mainThread = pthread_self();
    installed = true;

    // The receiving thread takes SIGCONT: the main thread's read of the
    // console goes on undisturbed.
    sigaddset(&before, SIGCONT);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

void nudgeMainThread() {
    if (installed)
        pthread_kill(mainThread, SIGUSR1);
}

void keepInterruptsOffThisThread() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : endSignals)
        sigaddset(&set, sig);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    sigset_t cont;
    sigemptyset(&cont);
    sigaddset(&cont, SIGCONT);
    pthread_sigmask(SIG_UNBLOCK, &cont, nullptr);
}
