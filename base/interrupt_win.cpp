#include "base/interrupt.h"

#include <cstdlib>
#include <io.h>
#include <windows.h>

#include "base/echo.h"

std::atomic<int> interruptRequested{0};

namespace {

// Duplicated from the main thread's pseudo-handle, so other threads can cancel its reads.
HANDLE mainThread = nullptr;
// Set by runFinished; manual reset, so every waiting handler sees it.
HANDLE runDone = nullptr;

// Windows ends the process 5 s after a close, logoff or shutdown event.
constexpr DWORD closeHoldMs = 4000;
// How long a console read cut short may wait for its control handler.
constexpr DWORD lateHandlerMs = 500;

// A console read blocks until Enter even once the handler has run; cancelling
// it (Windows 8 and later, and wine) ends it at once.
void cutConsoleRead() {
    if (mainThread)
        CancelSynchronousIo(mainThread);
}

BOOL WINAPI onConsoleEvent(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        if (holdInterrupts) {
            heldInterrupts.fetch_add(1);
            return TRUE;
        }
        if (interruptRequested.exchange(1) != 0) {
            restoreEcho();
            std::_Exit(interruptedExitStatus);
        }
        cutConsoleRead();
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        // The process ends when this returns: the run ends as after Ctrl-C (an
        // upload stops at its next piece) while this holds the process until
        // the loom is closed and the exit line written.
        if (holdInterrupts)
            heldInterrupts.fetch_add(1);
        else
            interruptRequested = 1;
        cutConsoleRead();
        if (runDone)
            WaitForSingleObject(runDone, closeHoldMs);
        return TRUE;
    default:
        return FALSE;
    }
}

bool isConsole(std::FILE* in) {
    int fd = _fileno(in);
    if (fd < 0)
        return false;
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    DWORD mode = 0;
    return h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode);
}

} // namespace

void installInterruptHandlers() {
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &mainThread, 0,
                    FALSE, DUPLICATE_SAME_ACCESS);
    runDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

void nudgeMainThread() {
    cutConsoleRead();
}

// Windows delivers console events on a thread of their own.
void keepInterruptsOffThisThread() {}

bool interruptCutRead(std::FILE* in) {
    if (!interruptRequested && isConsole(in)) {
        for (DWORD waited = 0; waited < lateHandlerMs && !interruptRequested; waited += 10)
            Sleep(10);
    }
    if (!interruptRequested)
        return false;
    // The cancelled read left the stream's error flag, not its end.
    std::clearerr(in);
    return true;
}

void runFinished() {
    if (runDone)
        SetEvent(runDone);
}
