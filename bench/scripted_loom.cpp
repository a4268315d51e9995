#include "scripted_loom.h"

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

namespace bench {

namespace script = vloom::script;

namespace {

constexpr size_t keptFrameBytes = 64 * 1024;

} // namespace

ScriptedLoom::ScriptedLoom(const std::string& socketPath) : socketPath_(socketPath) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath_.size() >= sizeof address.sun_path)
        throw Failure("socket path too long: " + socketPath_);
    std::memcpy(address.sun_path, socketPath_.c_str(), socketPath_.size() + 1);
    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0 ||
        ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listenFd_, 1) != 0)
        throw Failure("controller socket " + socketPath_ + ": " + std::strerror(errno));
}

ScriptedLoom::~ScriptedLoom() {
    if (fd_ >= 0)
        ::shutdown(fd_, SHUT_RDWR);
    if (reader_.joinable())
        reader_.join();
    if (fd_ >= 0)
        ::close(fd_);
    if (listenFd_ >= 0)
        ::close(listenFd_);
    ::unlink(socketPath_.c_str());
}

std::pair<std::string, std::string> ScriptedLoom::envEntry() const {
    return {script::socketEnv, socketPath_};
}

void ScriptedLoom::accept(int timeoutMs) {
    pollfd p{listenFd_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0)
        throw Failure("the virtual loom library never connected to " + socketPath_);
    fd_ = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd_ < 0)
        throw Failure(std::string("accept: ") + std::strerror(errno));
    reader_ = std::thread([this] { readFrames(); });
}

void ScriptedLoom::readFrames() {
    std::vector<char> payload;
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
        case script::frame::written:
            wireBytes_ += length;
            lastArrival_ = now;
            if (length <= keptFrameBytes) {
                wire_.append(payload.data(), length);
                arrivals_.emplace_back(wire_.size(), now);
            }
            break;
        case script::frame::drained:
            if (length >= 4)
                drained_ = script::getNumber(payload.data());
            break;
        case script::frame::closed:
            closed_ = true;
            break;
        default:
            break;
        }
        cv_.notify_all();
    }
}

Clock::time_point ScriptedLoom::waitWire(std::string_view needle, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    size_t at = std::string::npos;
    bool found = cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        at = wire_.find(needle, cursor_);
        return at != std::string::npos || ended_;
    });
    if (!found || at == std::string::npos)
        throw Failure("the program never wrote \"" + std::string(needle) + "\"; wire ends: " +
                      wire_.substr(wire_.size() > 200 ? wire_.size() - 200 : 0));
    cursor_ = at + needle.size();
    auto frame = std::lower_bound(arrivals_.begin(), arrivals_.end(), cursor_,
                                  [](const auto& a, size_t end) { return a.first < end; });
    return frame != arrivals_.end() ? frame->second : lastArrival_;
}

Clock::time_point ScriptedLoom::waitWireBytes(uint64_t n, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                      [&] { return wireBytes_ >= n || ended_; }) ||
        wireBytes_ < n)
        throw Failure("only " + std::to_string(wireBytes_) + " of " + std::to_string(n) +
                      " bytes were written");
    return lastArrival_;
}

uint64_t ScriptedLoom::wireBytes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return wireBytes_;
}

Clock::time_point ScriptedLoom::send(std::string_view bytes) {
    std::string frame = script::encode(script::frame::data, bytes);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++sent_;
    }
    Clock::time_point now = Clock::now();
    if (!script::sendFull(fd_, frame.data(), frame.size()))
        throw Failure("the virtual loom library hung up");
    return now;
}

void ScriptedLoom::waitDrained(int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                      [&] { return drained_ >= sent_ || ended_; }) ||
        drained_ < sent_)
        throw Failure("the program did not read all it was sent");
}

void ScriptedLoom::waitClosed(int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                      [&] { return closed_ || ended_; }))
        throw Failure("the program never closed the device");
}

void ScriptedLoom::logIn() {
    waitWire("\n");
    send("<Weftrix loom controller: LOOM-7, 4.5v2.18>\r\n<Password: LOOM-7, 4.5v2.18>\r\n");
    waitWire("tulip\n");
    send("<ready>\r\n");
    reportStatus();
}

void ScriptedLoom::reportStatus() {
    waitWire("<netstatus/>\n");
    send("<netstatus>\r\n<hostname=\"LOOM-7\"/>\r\n<state=\"CONNECTED\"/>\r\n"
         "<dhcp=\"DHCP_ON\"/>\r\n<wifi=\"WIFI_ON\"/>\r\n<current=\"192.168.1.23\"/>\r\n"
         "<static=\"192.168.1.50\"/>\r\n<ready>\r\n");
    waitWire("<wifistatus/>\n");
    send("<wifistatus>\r\n<ssid=\"Weaving-Hall\"/>\r\n<encryption=\"WPA2\"/>\r\n"
         "</wifistatus>\r\n<ready>\r\n");
    // The menu shows at "</wifistatus>"; what is typed next must find the
    // "<ready>" handled.
    waitDrained();
}

} // namespace bench
