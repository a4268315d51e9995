#include "peer/script_peer.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "virtual_loom/ftd2xx/script_link.h"
#include "virtual_loom/ftd2xx/socket_io_posix.h"

namespace peer {

namespace script = vloom::script;

namespace {

int msLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

} // namespace

std::string visible(std::string_view text) {
    std::string out;
    for (unsigned char c : text) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\t')
            out += "\\t";
        else if (c < 0x20 || c >= 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else
            out += static_cast<char>(c);
    }
    return out;
}

ScriptPeer::ScriptPeer(std::string socketPath, size_t keepFramesUpTo)
    : socketPath_(std::move(socketPath)), keepFramesUpTo_(keepFramesUpTo) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath_.size() >= sizeof address.sun_path) {
        fail("socket path too long: " + socketPath_);
        return;
    }
    std::memcpy(address.sun_path, socketPath_.c_str(), socketPath_.size() + 1);
    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0 ||
        ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listenFd_, 1) != 0) {
        fail("controller socket " + socketPath_ + ": " + std::strerror(errno));
        if (listenFd_ >= 0)
            ::close(listenFd_);
        listenFd_ = -1;
    }
}

ScriptPeer::~ScriptPeer() {
    if (fd_ >= 0)
        ::shutdown(fd_, SHUT_RDWR);
    if (reader_.joinable())
        reader_.join();
    if (fd_ >= 0)
        ::close(fd_);
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        ::unlink(socketPath_.c_str());
    }
}

std::pair<std::string, std::string> ScriptPeer::envEntry() const {
    return {script::socketEnv, socketPath_};
}

std::string ScriptPeer::error() {
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
}

bool ScriptPeer::fail(std::string why) {
    std::lock_guard<std::mutex> lock(mutex_);
    error_ = std::move(why);
    return false;
}

bool ScriptPeer::accept(int timeoutMs, const std::function<bool()>& stillWaiting) {
    if (listenFd_ < 0)
        return false;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        pollfd p{listenFd_, POLLIN, 0};
        if (::poll(&p, 1, std::min(50, msLeft(deadline))) > 0)
            break;
        if (stillWaiting && !stillWaiting())
            return fail("the program ended without opening the loom");
        if (msLeft(deadline) == 0)
            return fail("the library never connected to " + socketPath_);
    }
    fd_ = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd_ < 0)
        return fail(std::string("accept: ") + std::strerror(errno));
    reader_ = std::thread([this] { readFrames(); });
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, std::chrono::milliseconds(msLeft(deadline)),
                 [&] { return opened_ || ended_; });
    if (!opened_) {
        error_ = "the library connected but reported no FT_Open";
        return false;
    }
    return true;
}

int ScriptPeer::openedIndex() {
    std::lock_guard<std::mutex> lock(mutex_);
    return openedIndex_;
}

void ScriptPeer::readFrames() {
    std::string payload;
    for (;;) {
        char header[script::headerSize];
        bool ok = script::recvFull(fd_, header, sizeof header);
        uint32_t length = ok ? script::getNumber(header + 1) : 0;
        payload.resize(length);
        ok = ok && (length == 0 || script::recvFull(fd_, payload.data(), length));
        Clock::time_point now = Clock::now();
        std::lock_guard<std::mutex> lock(mutex_);
        if (!ok) {
            ended_ = true;
            cv_.notify_all();
            return;
        }
        switch (header[0]) {
        case script::frame::opened:
            opened_ = true;
            openedIndex_ = length >= 4 ? static_cast<int>(script::getNumber(payload.data())) : -1;
            break;
        case script::frame::written:
            wireBytes_ += length;
            lastArrival_ = now;
            writeSizes_.push_back(length);
            if (length <= keepFramesUpTo_) {
                wire_ += payload;
                arrivals_.emplace_back(wire_.size(), now);
            }
            break;
        case script::frame::closed:
            closed_ = true;
            break;
        case script::frame::drained:
            if (length >= 4)
                drained_ = script::getNumber(payload.data());
            break;
        case script::frame::done:
            acks_.push_back(payload.empty() ? '\0' : payload[0]);
            break;
        default:
            break;
        }
        cv_.notify_all();
    }
}

bool ScriptPeer::waitWire(std::string_view needle, int timeoutMs, Clock::time_point* at) {
    std::unique_lock<std::mutex> lock(mutex_);
    size_t found = std::string::npos;
    cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        found = wire_.find(needle, cursor_);
        return found != std::string::npos || ended_;
    });
    if (found == std::string::npos) {
        error_ = "the program never wrote \"" + visible(needle) + "\"";
        return false;
    }
    cursor_ = found + needle.size();
    if (at) {
        auto frame = std::lower_bound(arrivals_.begin(), arrivals_.end(), cursor_,
                                      [](const auto& a, size_t end) { return a.first < end; });
        *at = frame != arrivals_.end() ? frame->second : lastArrival_;
    }
    return true;
}

bool ScriptPeer::expectWire(std::string_view bytes, int timeoutMs, std::string* got) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                 [&] { return wire_.size() >= cursor_ + bytes.size() || ended_; });
    std::string came = wire_.substr(cursor_, bytes.size());
    if (came != bytes) {
        error_ =
            "the program wrote \"" + visible(came) + "\" instead of \"" + visible(bytes) + "\"";
        if (got)
            *got = came;
        return false;
    }
    cursor_ += bytes.size();
    return true;
}

bool ScriptPeer::expectQuiet(int quietMs, std::string* extra) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (cv_.wait_for(lock, std::chrono::milliseconds(quietMs),
                     [&] { return wire_.size() > cursor_; })) {
        error_ = "the program wrote \"" + visible(wire_.substr(cursor_)) + "\"";
        if (extra)
            *extra = wire_.substr(cursor_);
        return false;
    }
    return true;
}

bool ScriptPeer::waitWireBytes(uint64_t n, int timeoutMs, Clock::time_point* at) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                 [&] { return wireBytes_ >= n || ended_; });
    if (wireBytes_ < n) {
        error_ = "only " + std::to_string(wireBytes_) + " of " + std::to_string(n) +
                 " bytes were written";
        return false;
    }
    if (at)
        *at = lastArrival_;
    return true;
}

uint64_t ScriptPeer::wireBytes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return wireBytes_;
}

std::string ScriptPeer::wire() {
    std::lock_guard<std::mutex> lock(mutex_);
    return wire_;
}

std::vector<size_t> ScriptPeer::writeSizes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return writeSizes_;
}

bool ScriptPeer::send(std::string_view bytes, Clock::time_point* sentAt) {
    if (bytes.empty())
        return true;
    std::string frame = script::encode(script::frame::data, bytes);
    std::lock_guard<std::mutex> sending(sendMutex_);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++sent_;
    }
    if (sentAt)
        *sentAt = Clock::now();
    if (fd_ < 0 || !script::sendFull(fd_, frame.data(), frame.size()))
        return fail("could not send \"" + visible(bytes) + "\": the library hung up");
    return true;
}

bool ScriptPeer::waitDrained(int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                 [&] { return drained_ >= sent_ || ended_; });
    if (drained_ < sent_) {
        error_ = "the program read " + std::to_string(drained_) + " of the " +
                 std::to_string(sent_) + " pieces sent";
        return false;
    }
    return true;
}

bool ScriptPeer::control(char type, uint32_t value, int timeoutMs) {
    size_t before;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        before = acks_.size();
    }
    std::string frame = script::encode(type, script::number(value));
    {
        std::lock_guard<std::mutex> sending(sendMutex_);
        if (fd_ < 0 || !script::sendFull(fd_, frame.data(), frame.size()))
            return fail("the library hung up");
    }
    std::unique_lock<std::mutex> lock(mutex_);
    auto confirmed = [&] {
        return std::find(acks_.begin() + before, acks_.end(), type) != acks_.end();
    };
    // The program may close the device the moment it sees the change; the
    // confirmation is sent before that.
    cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return confirmed() || ended_; });
    if (!confirmed()) {
        error_ = std::string("the library never confirmed control frame '") + type + "'";
        return false;
    }
    return true;
}

bool ScriptPeer::waitClosed(int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return closed_ || ended_; });
    if (!closed_) {
        error_ = "the program never closed the device";
        return false;
    }
    return true;
}

bool ScriptPeer::ended() {
    std::lock_guard<std::mutex> lock(mutex_);
    return ended_;
}

} // namespace peer
