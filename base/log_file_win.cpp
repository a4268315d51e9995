#include "base/log.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <string>
#include <windows.h>

namespace {

int errnoOf(DWORD err) {
    switch (err) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_ACCESS_DENIED:
        return EACCES;
    default:
        return EIO;
    }
}

// All of it, or an errno value.
int writeAll(HANDLE h, const char* bytes, size_t len) {
    while (len > 0) {
        DWORD ask = len > 0x40000000u ? 0x40000000u : static_cast<DWORD>(len);
        DWORD put = 0;
        if (!WriteFile(h, bytes, ask, &put, nullptr))
            return errnoOf(GetLastError());
        if (put == 0)
            return EIO;
        bytes += put;
        len -= put;
    }
    return 0;
}

// A text file: every "\n" goes to disk as "\r\n".
void appendText(std::string& out, const char* text, size_t len) {
    for (const char* end = text + len; text < end;) {
        const char* lf = static_cast<const char*>(std::memchr(text, '\n', end - text));
        const char* stop = lf ? lf : end;
        out.append(text, stop);
        if (!lf)
            break;
        out += "\r\n";
        text = lf + 1;
    }
}

// Copies the locked log's bytes to name.1, made afresh so that nothing is
// written through a link planted under that name. 0, or an errno value.
int keepPreviousLog(HANDLE h, const char* name) {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(h, &size))
        return errnoOf(GetLastError());
    if (size.QuadPart == 0)
        return 0;
    std::string kept = std::string(name) + ".1";
    if (!DeleteFileA(kept.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND)
        return errnoOf(GetLastError());
    HANDLE out = CreateFileA(kept.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (out == INVALID_HANDLE_VALUE)
        return errnoOf(GetLastError());
    char buffer[65536];
    int err = 0;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(h, buffer, sizeof buffer, &got, nullptr)) {
            err = errnoOf(GetLastError());
            break;
        }
        if (got == 0)
            break;
        if ((err = writeAll(out, buffer, got)) != 0)
            break;
    }
    CloseHandle(out);
    if (err != 0)
        DeleteFileA(kept.c_str());
    LARGE_INTEGER start{};
    SetFilePointerEx(h, start, nullptr, FILE_BEGIN);
    return err;
}

// Nothing of the previous run is lost: its lines stay above the new run's.
void keepInPlace(HANDLE h, const char* name, int err) {
    std::string note = "(";
    note += name;
    note += ".1 could not be written (";
    note += std::strerror(err);
    note += "); the previous run's log is kept above)\r\n";
    LARGE_INTEGER none{};
    if (SetFilePointerEx(h, none, nullptr, FILE_END))
        writeAll(h, note.data(), note.size());
}

} // namespace

std::FILE* openLogFile(const char* name, LogRefusal& why) {
    // Others may read the log while it is written, but not write or empty it:
    // a second run in this folder is refused before anything is truncated.
    HANDLE h =
        CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD err = GetLastError();
        why = err == ERROR_SHARING_VIOLATION ? LogRefusal::inUse : LogRefusal::cannotCreate;
        errno = err == ERROR_ACCESS_DENIED ? EACCES : EIO;
        return nullptr;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info) || info.nNumberOfLinks != 1 ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ||
        GetFileType(h) != FILE_TYPE_DISK) {
        CloseHandle(h);
        why = LogRefusal::notPlainFile;
        errno = EPERM;
        return nullptr;
    }
    int kept = keepPreviousLog(h, name);
    if (kept != 0)
        keepInPlace(h, name, kept);
    else if (!SetEndOfFile(h)) {
        CloseHandle(h);
        why = LogRefusal::cannotCreate;
        errno = EIO;
        return nullptr;
    }
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_TEXT);
    if (fd < 0) {
        CloseHandle(h);
        why = LogRefusal::cannotCreate;
        return nullptr;
    }
    std::FILE* file = _fdopen(fd, "w");
    if (!file) {
        _close(fd);
        why = LogRefusal::cannotCreate;
    }
    return file;
}

int writeLogFile(std::FILE* file, const char* head, size_t headLen, const char* text,
                 size_t textLen) {
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    if (h == INVALID_HANDLE_VALUE)
        return EBADF;
    std::string entry;
    entry.reserve(headLen + textLen + 16);
    appendText(entry, head, headLen);
    appendText(entry, text, textLen);
    return writeAll(h, entry.data(), entry.size());
}
