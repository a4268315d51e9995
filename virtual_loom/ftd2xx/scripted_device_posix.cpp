// The device whose other end is a test playing the controller over a Unix
// domain socket; the frames are described in script_link.h.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include "virtual_loom/ftd2xx/device.h"
#include "virtual_loom/ftd2xx/script_link.h"
#include "virtual_loom/ftd2xx/socket_io_posix.h"

namespace vloom {
namespace {

namespace frame = script::frame;

class ScriptedDevice final : public Device {
  public:
    ScriptedDevice(int fd, uint32_t maxWrite) : fd_(fd), maxWrite_(maxWrite) {}

    bool start(int index) {
        if (!send(frame::opened, script::number(static_cast<uint32_t>(index))))
            return false;
        listener_ = std::thread([this] { listen(); });
        return true;
    }

    FT_STATUS getStatus(DWORD* rxBytes) override {
        uint32_t drainedAfter;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (failing_ & script::failGetStatus)
                return FT_IO_ERROR;
            *rxBytes = chunks_.empty() ? 0 : static_cast<DWORD>(chunks_.front().size() - offset_);
            if (!chunks_.empty() || !drainUnreported_)
                return FT_OK;
            drainUnreported_ = false;
            drainedAfter = chunksRead_;
        }
        send(frame::drained, script::number(drainedAfter));
        return FT_OK;
    }

    FT_STATUS read(void* buffer, DWORD toRead, DWORD* returned) override {
        std::unique_lock<std::mutex> lock(mutex_);
        auto ready = [this] {
            return !chunks_.empty() || (failing_ & script::failRead) || closed_;
        };
        uint32_t timeoutMs = readTimeoutMs_;
        if (timeoutMs == 0)
            cv_.wait(lock, ready);
        else
            cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
        if (failing_ & script::failRead)
            return FT_IO_ERROR;
        if (chunks_.empty() || toRead == 0)
            return readStatus_;
        const std::string& chunk = chunks_.front();
        size_t take = std::min<size_t>(toRead, chunk.size() - offset_);
        std::memcpy(buffer, chunk.data() + offset_, take);
        offset_ += take;
        if (offset_ == chunk.size()) {
            chunks_.pop_front();
            offset_ = 0;
            ++chunksRead_;
        }
        *returned = static_cast<DWORD>(take);
        return readStatus_;
    }

    FT_STATUS write(const void* buffer, DWORD toWrite, DWORD* written) override {
        size_t accept = toWrite;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (failing_ & script::failWrite)
                return FT_IO_ERROR;
            if (writeStatus_ != FT_OK)
                return writeStatus_;
            if (zeroWrites_ > 0) {
                --zeroWrites_;
                return FT_OK;
            }
            if (maxWrite_ != 0)
                accept = std::min<size_t>(accept, maxWrite_);
        }
        if (accept > 0)
            send(frame::written, {static_cast<const char*>(buffer), accept});
        *written = static_cast<DWORD>(accept);
        return FT_OK;
    }

    void close() override {
        send(frame::closed, {});
        {
            std::lock_guard<std::mutex> lock(mutex_);
            closed_ = true;
        }
        cv_.notify_all();
        ::shutdown(fd_, SHUT_RDWR);
        if (listener_.joinable())
            listener_.join();
        ::close(fd_);
    }

  private:
    bool send(char type, std::string_view payload) {
        std::string bytes = script::encode(type, payload);
        std::lock_guard<std::mutex> lock(sendMutex_);
        return script::sendFull(fd_, bytes.data(), bytes.size());
    }

    void listen() {
        for (;;) {
            char header[script::headerSize];
            if (!script::recvFull(fd_, header, sizeof header))
                break;
            uint32_t length = script::getNumber(header + 1);
            if (length > script::maxPayload) {
                std::fprintf(stderr, "virtual loom: frame of %u bytes refused; hanging up\n",
                             static_cast<unsigned>(length));
                break;
            }
            std::string payload(length, '\0');
            if (length > 0 && !script::recvFull(fd_, payload.data(), length))
                break;
            apply(header[0], payload);
        }
        // The test hung up (or close() did): from the program's side the
        // device is gone.
        {
            std::lock_guard<std::mutex> lock(mutex_);
            failing_ = script::failAll;
        }
        cv_.notify_all();
        notifier_.signal();
    }

    void apply(char type, const std::string& payload) {
        if (type == frame::data) {
            if (payload.empty())
                return;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                chunks_.push_back(payload);
                drainUnreported_ = true;
            }
            cv_.notify_all();
            notifier_.signal();
            return;
        }
        bool haveNumber = payload.size() >= 4;
        uint32_t value = haveNumber ? script::getNumber(payload.data()) : 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            switch (type) {
            case frame::unplug:
                failing_ = haveNumber ? value : script::failAll;
                break;
            case frame::failWrites:
                writeStatus_ = value;
                break;
            case frame::zeroWrites:
                zeroWrites_ = value;
                break;
            case frame::maxWrite:
                maxWrite_ = value;
                break;
            case frame::readStatus:
                readStatus_ = value;
                break;
            default:
                std::fprintf(stderr, "virtual loom: unknown frame type 0x%02x ignored\n",
                             static_cast<unsigned>(static_cast<unsigned char>(type)));
                return;
            }
            // Confirmed before the program can see the change: a program that
            // reacts by closing the device must not hang up before the test
            // has its answer.
            send(frame::done, std::string(1, type));
        }
        // A read blocked on an empty line must see an unplug at once.
        cv_.notify_all();
        notifier_.signal();
    }

    int fd_;
    std::mutex sendMutex_; // one frame at a time; taken after mutex_ when both are held
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::string> chunks_; // guarded by mutex_, as is all below
    size_t offset_ = 0;              // bytes of chunks_.front() already read
    uint32_t chunksRead_ = 0;
    bool drainUnreported_ = false;
    uint32_t failing_ = 0;
    FT_STATUS writeStatus_ = FT_OK;
    FT_STATUS readStatus_ = FT_OK;
    uint32_t zeroWrites_ = 0;
    uint32_t maxWrite_;
    bool closed_ = false;
    std::thread listener_;
};

} // namespace

Device* openScriptedDevice(const char* socketPath, int index, uint32_t maxWrite) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (std::strlen(socketPath) >= sizeof address.sun_path) {
        std::fprintf(stderr, "virtual loom: socket path too long: %s\n", socketPath);
        return nullptr;
    }
    std::strcpy(address.sun_path, socketPath);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::fprintf(stderr, "virtual loom: cannot connect to %s: %s\n", socketPath,
                     std::strerror(errno));
        if (fd >= 0)
            ::close(fd);
        return nullptr;
    }
    auto* device = new ScriptedDevice(fd, maxWrite);
    if (!device->start(index)) {
        std::fprintf(stderr, "virtual loom: %s hung up at once\n", socketPath);
        ::close(fd);
        delete device;
        return nullptr;
    }
    return device;
}

} // namespace vloom
