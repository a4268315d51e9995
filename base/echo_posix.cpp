#include "base/echo.h"

#include <atomic>
#include <termios.h>
#include <unistd.h>

namespace {
// The settings to restore and to re-apply, kept where a signal handler can
// reach them; echoFd is published only once both are written.
struct termios savedTerm;
struct termios quietTerm;
std::atomic<int> echoFd{-1};
} // namespace

EchoOff::EchoOff(std::FILE* in) {
    int fd = fileno(in);
    if (fd < 0 || !isatty(fd))
        return;
    struct termios term;
    if (tcgetattr(fd, &term) != 0)
        return;
    savedTerm = term;
    term.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quietTerm = term;
    // TCSANOW: a passphrase typed ahead of the prompt stays in the input.
    if (tcsetattr(fd, TCSANOW, &term) != 0)
        return;
    echoFd = fd;
    active_ = true;
}

EchoOff::~EchoOff() {
    if (active_)
        restoreEcho();
}

void restoreEcho() {
    int fd = echoFd.exchange(-1);
    if (fd >= 0)
        tcsetattr(fd, TCSANOW, &savedTerm);
}

void reapplyEchoOff() {
    int fd = echoFd.load();
    // Continued in the background, a change of settings would stop the run again.
    if (fd >= 0 && tcgetpgrp(fd) == getpgrp())
        tcsetattr(fd, TCSANOW, &quietTerm);
}
