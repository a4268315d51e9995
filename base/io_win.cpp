#include "base/io.h"

#include <algorithm>
#include <cerrno>
#include <io.h>
#include <string>
#include <windows.h>

#include "base/utf16.h"

namespace {

// The console behind `f`, or null when it is a pipe or a file.
HANDLE consoleOf(std::FILE* f) {
    int fd = _fileno(f);
    if (fd < 0)
        return nullptr;
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    DWORD mode = 0;
    return h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) ? h : nullptr;
}

// What the console gave and the program has not taken yet, as UTF-8: the rest
// of the line being read.
struct ConsoleText {
    std::FILE* stream = nullptr;
    std::string text;
    size_t next = 0;
    Utf16Decoder decoder;
    bool lineStart = true;
    bool fromConsole = false;
    bool failed = false;

    void drop() {
        text.clear();
        next = 0;
        decoder.reset();
        lineStart = true;
    }
};
ConsoleText pending; // main thread only

constexpr wchar_t ctrlZ = 0x1A;

// Reads the console until it gives some text. False at the end of input
// (Ctrl-Z at the start of a line, as the console's own file reads take it),
// and when the read failed or was cut short, with `failed` set.
bool readConsole(HANDLE console) {
    pending.text.clear();
    pending.next = 0;
    pending.failed = false;
    while (pending.text.empty()) {
        wchar_t wide[1024];
        DWORD got = 0;
        // Ctrl-C ends the read with nothing, possibly before its handler has run.
        if (!ReadConsoleW(console, wide, sizeof wide / sizeof wide[0], &got, nullptr) || got == 0) {
            pending.failed = true;
            pending.drop();
            return false;
        }
        if (pending.lineStart && wide[0] == ctrlZ) {
            pending.drop();
            return false;
        }
        char16_t units[sizeof wide / sizeof wide[0]];
        for (DWORD i = 0; i < got; ++i)
            units[i] = static_cast<char16_t>(wide[i]);
        pending.decoder.decode(units, got, pending.text);
        if (!pending.text.empty())
            pending.lineStart = pending.text.back() == '\n';
    }
    return true;
}

} // namespace

bool conIsTerminal() {
    return _isatty(_fileno(conOut())) != 0;
}

void useUtf8Console() {
    SetConsoleOutputCP(CP_UTF8);
}

bool conWrite(const char* text, size_t len) {
    std::FILE* out = conOut();
    HANDLE console = consoleOf(out);
    if (!console) {
        std::fwrite(text, 1, len, out);
        return true;
    }
    std::fflush(out);
    std::u16string units = utf16FromUtf8(std::string_view(text, len));
    std::wstring wide(units.begin(), units.end());
    for (size_t at = 0; at < wide.size();) {
        DWORD written = 0;
        DWORD n = static_cast<DWORD>(std::min<size_t>(wide.size() - at, 8192));
        if (!WriteConsoleW(console, wide.data() + at, n, &written, nullptr) || written == 0) {
            errno = GetLastError() == ERROR_OPERATION_ABORTED ? EINTR : EIO;
            return false;
        }
        at += written;
    }
    return true;
}

// The console's input code page is no help: a console set to UTF-8 input gives
// NULs for every character outside ASCII.
int conGetc() {
    std::FILE* in = conIn();
    if (pending.stream == in && pending.next < pending.text.size())
        return static_cast<unsigned char>(pending.text[pending.next++]);
    HANDLE console = consoleOf(in);
    pending.fromConsole = console != nullptr;
    if (!console)
        return std::getc(in);
    if (pending.stream != in) {
        pending.drop();
        pending.stream = in;
    }
    if (!readConsole(console))
        return EOF;
    return static_cast<unsigned char>(pending.text[pending.next++]);
}

bool conReadFailed() {
    return pending.fromConsole ? pending.failed : std::ferror(conIn()) != 0;
}

void holdConsoleWindow() {
    // From cmd, PowerShell or Windows Terminal the shell shares the console and
    // keeps the window; one opened for a double-click closes with this process.
    DWORD processes[2];
    if (GetConsoleProcessList(processes, 2) != 1)
        return;
    HANDLE console = consoleOf(conIn());
    if (!console || !consoleOf(conOut()))
        return;
    // Keys pressed while the run went on must not close the window unread.
    FlushConsoleInputBuffer(console);
    pending.drop();
    conPrint("\nPress Enter to close this window.");
    conFlush();
    // Ctrl-C and the window's close button end the wait too.
    for (int c = conGetc(); c != EOF && c != '\n'; c = conGetc()) {
    }
}
