#include "base/quick_edit.h"

#include <windows.h>

QuickEditOff::QuickEditOff() {
    // The console's own input, whatever the program's input is redirected to.
    HANDLE console =
        CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (console == INVALID_HANDLE_VALUE)
        return;
    DWORD mode = 0;
    if (!GetConsoleMode(console, &mode) || !(mode & ENABLE_QUICK_EDIT_MODE) ||
        !SetConsoleMode(console, (mode | ENABLE_EXTENDED_FLAGS) & ~ENABLE_QUICK_EDIT_MODE)) {
        CloseHandle(console);
        return;
    }
    console_ = console;
    savedMode_ = mode;
}

QuickEditOff::~QuickEditOff() {
    if (!console_)
        return;
    SetConsoleMode(console_, savedMode_ | ENABLE_EXTENDED_FLAGS);
    CloseHandle(console_);
}
