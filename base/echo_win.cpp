#include "base/echo.h"

#include <atomic>
#include <io.h>
#include <windows.h>

namespace {
std::atomic<HANDLE> echoHandle{nullptr};
std::atomic<DWORD> savedMode{0};
} // namespace

EchoOff::EchoOff(std::FILE* in) {
    int fd = _fileno(in);
    if (fd < 0 || !_isatty(fd))
        return;
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    DWORD mode = 0;
    if (h == INVALID_HANDLE_VALUE || !GetConsoleMode(h, &mode))
        return;
    savedMode = mode;
    if (!SetConsoleMode(h, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)))
        return;
    echoHandle = h;
    active_ = true;
}

EchoOff::~EchoOff() {
    if (active_)
        restoreEcho();
}

void restoreEcho() {
    HANDLE h = echoHandle.exchange(nullptr);
    if (h)
        SetConsoleMode(h, savedMode.load());
}

// A Windows console keeps its mode while the program waits.
void reapplyEchoOff() {}
