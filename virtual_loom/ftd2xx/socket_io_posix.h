// Whole reads and writes on the scripted mode's socket, shared by the library
// and by the programs that play the controller. POSIX only.
#pragma once

#include <cerrno>
#include <cstddef>
#include <sys/socket.h>
#include <sys/types.h>

namespace vloom::script {

// Reads exactly n bytes; false when the peer has gone.
inline bool recvFull(int fd, char* out, size_t n) {
    while (n > 0) {
        ssize_t got = ::recv(fd, out, n, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        out += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

// Writes all n bytes. MSG_NOSIGNAL: a peer that hung up must not end the
// process with SIGPIPE.
inline bool sendFull(int fd, const char* data, size_t n) {
    while (n > 0) {
        ssize_t put = ::send(fd, data, n, MSG_NOSIGNAL);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        data += put;
        n -= static_cast<size_t>(put);
    }
    return true;
}

} // namespace vloom::script
