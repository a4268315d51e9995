#include "base/typeahead.h"

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

bool inputIsTerminal(std::FILE* in) {
    int fd = fileno(in);
    return fd >= 0 && ::isatty(fd);
}

size_t discardTypedAhead(std::FILE* in) {
    int fd = fileno(in);
    if (fd < 0 || !::isatty(fd))
        return 0;
    // From the background the terminal's input is not ours, and touching it
    // would stop the run (SIGTTOU).
    pid_t foreground = ::tcgetpgrp(fd);
    if (foreground >= 0 && foreground != ::getpgrp())
        return 0;
    // In canonical mode the count covers whole lines only; for a moment
    // without it, a line begun counts too. It is all thrown away before
    // canonical mode comes back.
    struct termios saved;
    bool lineMode = ::tcgetattr(fd, &saved) == 0 && (saved.c_lflag & ICANON);
    if (lineMode) {
        struct termios counting = saved;
        counting.c_lflag &= ~static_cast<tcflag_t>(ICANON);
        counting.c_cc[VMIN] = 1;
        counting.c_cc[VTIME] = 0;
        lineMode = ::tcsetattr(fd, TCSANOW, &counting) == 0;
    }
    int pending = 0;
    if (::ioctl(fd, FIONREAD, &pending) != 0)
        pending = 0;
    ::tcflush(fd, TCIFLUSH);
    if (lineMode)
        ::tcsetattr(fd, TCSANOW, &saved);
    return pending > 0 ? static_cast<size_t>(pending) : 0;
}
