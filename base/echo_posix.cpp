#include "base/echo.h"

#include <atomic>
#include <termios.h>
#include <unistd.h>

namespace {
// The settings to restore, kept where a signal handler can reach them.
struct termios savedTerm;
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
    if (tcsetattr(fd, TCSAFLUSH, &term) != 0)
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
        tcsetattr(fd, TCSAFLUSH, &savedTerm);
}
