#include "base/typeahead.h"

#include <io.h>
#include <vector>
#include <windows.h>

namespace {
HANDLE consoleOf(std::FILE* in) {
    int fd = _fileno(in);
    if (fd < 0)
        return nullptr;
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    DWORD mode = 0;
    if (h == INVALID_HANDLE_VALUE || !GetConsoleMode(h, &mode))
        return nullptr;
    return h;
}
} // namespace

bool inputIsTerminal(std::FILE* in) {
    return consoleOf(in) != nullptr;
}

size_t discardTypedAhead(std::FILE* in) {
    HANDLE h = consoleOf(in);
    DWORD events = 0;
    if (!h || !GetNumberOfConsoleInputEvents(h, &events) || events == 0)
        return 0;
    // Only keys that give a character count: the key-up of the Enter that ended
    // the last answer, focus and mouse events are no typing.
    std::vector<INPUT_RECORD> records(events);
    DWORD seen = 0;
    size_t typed = 0;
    if (PeekConsoleInputW(h, records.data(), events, &seen)) {
        for (DWORD i = 0; i < seen; ++i) {
            const INPUT_RECORD& r = records[i];
            if (r.EventType == KEY_EVENT && r.Event.KeyEvent.bKeyDown &&
                r.Event.KeyEvent.uChar.UnicodeChar != 0)
                typed += r.Event.KeyEvent.wRepeatCount;
        }
    }
    FlushConsoleInputBuffer(h);
    return typed;
}
