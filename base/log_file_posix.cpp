#include "base/log.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {
std::FILE* refuse(int fd, LogRefusal& why, LogRefusal reason, int err) {
    ::close(fd);
    why = reason;
    errno = err;
    return nullptr;
}

// All of it, or the system's error code.
int writeAll(int fd, iovec* parts, int count) {
    for (;;) {
        while (count > 0 && parts->iov_len == 0) {
            ++parts;
            --count;
        }
        if (count == 0)
            return 0;
        ssize_t put = ::writev(fd, parts, count);
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0)
            return errno;
        if (put == 0)
            return EIO;
        for (auto left = static_cast<size_t>(put); left > 0;) {
            size_t taken = left < parts->iov_len ? left : parts->iov_len;
            parts->iov_base = static_cast<char*>(parts->iov_base) + taken;
            parts->iov_len -= taken;
            left -= taken;
            if (parts->iov_len == 0) {
                ++parts;
                --count;
            }
        }
    }
}

// Copies the locked log's `size` bytes to name.1, made afresh so that nothing
// is written through a link planted under that name. 0, or the system's error.
int keepPreviousLog(int fd, const char* name, off_t size) {
    std::string kept = std::string(name) + ".1";
    if (::unlink(kept.c_str()) != 0 && errno != ENOENT)
        return errno;
    int out = ::open(kept.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (out < 0)
        return errno;
    char buffer[65536];
    off_t at = 0;
    int err = 0;
    while (err == 0 && at < size) {
        ssize_t got = ::pread(fd, buffer, sizeof buffer, at);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            err = got < 0 ? errno : 0;
            break;
        }
        iovec part{buffer, static_cast<size_t>(got)};
        err = writeAll(out, &part, 1);
        at += got;
    }
    if (::close(out) != 0 && err == 0)
        err = errno;
    if (err != 0)
        ::unlink(kept.c_str());
    return err;
}

// Nothing of the previous run is lost: its lines stay above the new run's.
void keepInPlace(int fd, const char* name, int err) {
    std::string note = std::string("(") + name + ".1 could not be written (" + std::strerror(err) +
                       "); the previous run's log is kept above)\n";
    if (::lseek(fd, 0, SEEK_END) >= 0) {
        iovec part{note.data(), note.size()};
        writeAll(fd, &part, 1);
    }
}
} // namespace

std::FILE* openLogFile(const char* name, LogRefusal& why) {
    // No O_TRUNC: another run's log must survive until the lock says it is ours.
    // O_NONBLOCK keeps a pipe named like the log from blocking the open.
    int fd = ::open(name, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
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
    // Measured again under the lock: the run before may have written up to its end.
    if (::fstat(fd, &st) != 0)
        return refuse(fd, why, LogRefusal::cannotCreate, errno);
    int kept = st.st_size > 0 ? keepPreviousLog(fd, name, st.st_size) : 0;
    if (kept != 0)
        keepInPlace(fd, name, kept);
    else if (::ftruncate(fd, 0) != 0)
        return refuse(fd, why, LogRefusal::cannotCreate, errno);
    std::FILE* file = ::fdopen(fd, "w");
    if (!file)
        return refuse(fd, why, LogRefusal::cannotCreate, errno);
    return file;
}

int writeLogFile(std::FILE* file, const char* head, size_t headLen, const char* text,
                 size_t textLen) {
    iovec parts[2] = {{const_cast<char*>(head), headLen}, {const_cast<char*>(text), textLen}};
    return writeAll(::fileno(file), parts, 2);
}
