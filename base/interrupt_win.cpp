#include "base/interrupt.h"

#include <cstdlib>
#include <windows.h>

#include "base/echo.h"

std::atomic<int> interruptRequested{0};
std::atomic<int> interruptSeen{0};

namespace {

BOOL WINAPI onConsoleEvent(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
        if (holdInterrupts) {
            heldInterrupts.fetch_add(1);
            return TRUE;
        }
        if (interruptRequested.exchange(1) != 0) {
            restoreEcho();
            std::_Exit(interruptedExitStatus);
        }
        return TRUE;
    default:
        return FALSE;
    }
}

} // namespace

void installInterruptHandlers() {
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

// A console read returns by itself when Ctrl-C is pressed.
void nudgeMainThread() {}

// Windows delivers console events on a thread of their own.
void keepInterruptsOffThisThread() {}
