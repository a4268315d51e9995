#include "base/log.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
std::FILE* refuse(int fd, LogRefusal& why, LogRefusal reason, int err) {
    ::close(fd);
    why = reason;
    errno = err;
    return nullptr;
}
} // namespace

std::FILE* openLogFile(const char* name, LogRefusal& why) {
    // No O_TRUNC: another run's log must survive until the lock says it is ours.
    // O_NONBLOCK keeps a pipe named like the log from blocking the open.
    int fd = ::open(name, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) {
        why = (errno == ELOOP || errno == EMLINK) ? LogRefusal::notPlainFile
                                                  : LogRefusal::cannotCreate;
        return nullptr;
    }
    // The opened file itself is checked, so nothing can be swapped in between.
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return refuse(fd, why, LogRefusal::cannotCreate, errno);
    if (!S_ISREG(st.st_mode) || st.st_nlink != 1)
        return refuse(fd, why, LogRefusal::notPlainFile, EPERM);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        return refuse(fd, why, err == EWOULDBLOCK ? LogRefusal::inUse : LogRefusal::cannotCreate,
                      err);
    }
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    if (::ftruncate(fd, 0) != 0)
        return refuse(fd, why, LogRefusal::cannotCreate, errno);
    std::FILE* file = ::fdopen(fd, "w");
    if (!file)
        return refuse(fd, why, LogRefusal::cannotCreate, errno);
    return file;
}
