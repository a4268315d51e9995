#include "base/log.h"

#include <cerrno>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace {

// A byte far beyond anything the log will hold: locking it marks the run that
// owns the log, and no reader ever reads there, so no reader is ever mistaken
// for a second run, nor kept from reading.
constexpr DWORD lockOffsetHigh = 0x7FFFFFFF;

int errnoFor(DWORD err) {
    switch (err) {
    case ERROR_ACCESS_DENIED:
        return EACCES;
    // Another program has it open and lets no one else write it.
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return EBUSY;
    case ERROR_WRITE_PROTECT:
        return EROFS;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_PATH_NOT_FOUND:
    case ERROR_FILE_NOT_FOUND:
        return ENOENT;
    default:
        return EIO;
    }
}

} // namespace

std::FILE* openLogFile(const char* name, LogRefusal& why) {
    // Shared for writing too, so that a second run gets as far as the lock and
    // a viewer that lets others write may hold the log open; the lock, not the
    // sharing, tells a second run apart.
    HANDLE h =
        CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        why = LogRefusal::cannotCreate;
        errno = errnoFor(GetLastError());
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
    OVERLAPPED at = {};
    at.OffsetHigh = lockOffsetHigh;
    if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        DWORD err = GetLastError();
        CloseHandle(h);
        why = err == ERROR_LOCK_VIOLATION ? LogRefusal::inUse : LogRefusal::cannotCreate;
        errno = errnoFor(err);
        return nullptr;
    }
    // Only now that the log is this run's may it be emptied.
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
