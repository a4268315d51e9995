#include "base/log.h"

#include <cerrno>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

std::FILE* openLogFile(const char* name, LogRefusal& why) {
    // Others may read the log while it is written, but not write or empty it:
    // a second run in this folder is refused before anything is truncated.
    HANDLE h = CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
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
    if (!SetEndOfFile(h)) {
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
