#include "link/drivers/kernel_serial.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "base/log.h"
#include "base/text.h"
#include "link/drivers/sysfs_enum.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Port {
    int fd = -1;
    std::string label; // "/dev/ttyUSB0 (FT245R USB FIFO)"
    std::string latencyTimer;
    termios saved{};
    // Until FT_SetTimeouts says otherwise.
    std::atomic<uint32_t> readMs{1000};
    std::atomic<uint32_t> writeMs{1000};
    std::atomic<bool> gone{false};
};

std::mutex listMutex;
std::string sysfsRoot = "/sys"; // guarded by listMutex, as are the three below
std::string devDir = "/dev";
std::vector<SerialDevice> listed;
bool haveList = false;

// The ports open now; a handle that is not among them is never dereferenced.
std::mutex portsMutex;
std::vector<Port*> openPorts; // guarded by portsMutex

Port* portOf(FT_HANDLE h) {
    std::lock_guard<std::mutex> lock(portsMutex);
    auto at = std::find(openPorts.begin(), openPorts.end(), static_cast<Port*>(h));
    return h && at != openPorts.end() ? *at : nullptr;
}

// Why the last list or open failed, "" when it did not. Main thread.
std::string lastFailure;
// Set when FTDI's library was looked for first and is not there.
bool libraryMissing = false;

const char* lastError() {
    return lastFailure.c_str();
}

// Keeps the reason for the core to give the operator, and logs it on one line:
// "reason. advice".
void fail(const char* fmt, ...) SHEDMATE_PRINTF(1, 2);
void fail(const char* fmt, ...) {
    std::va_list args, again;
    va_start(args, fmt);
    va_copy(again, args);
    int len = std::vsnprintf(nullptr, 0, fmt, args);
    va_end(args);
    std::string text(len > 0 ? static_cast<size_t>(len) : 0, '\0');
    std::vsnprintf(text.data(), text.size() + 1, fmt, again);
    va_end(again);
    lastFailure = text;
    std::string oneLine = text;
    std::replace(oneLine.begin(), oneLine.end(), '\n', ' ');
    logPrintFlush("ERROR: %s\n", oneLine.c_str());
}

void explainOpenFailure(const std::string& label, int err) {
    if (err == EACCES || err == EPERM)
        fail("no permission to open %s.\nAdd your user to the dialout group (sudo usermod -aG "
             "dialout $USER, then log in again) or install a udev rule that gives you access to "
             "the device.",
             label.c_str());
    else if (err == EBUSY || err == EWOULDBLOCK)
        fail("%s is in use by another program.\nClose that program (another Shedmate, a "
             "terminal program) and start again.",
             label.c_str());
    else
        fail("cannot open %s: %s.", label.c_str(), std::strerror(err));
}

// ftdi_sio never brings a vanished device back under the same open file: an
// unplugged chip comes back as a new tty. So the first failure is the last.
FT_STATUS lost(Port* p, int err) {
    if (!p->gone.exchange(true))
        logPrintFlush("kernel serial: %s is gone (%s)\n", p->label.c_str(), std::strerror(err));
    return FT_IO_ERROR;
}

Clock::time_point deadlineAfter(uint32_t ms) {
    return Clock::now() + std::chrono::milliseconds(ms);
}

int msLeft(Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(std::min<long long>(left, INT_MAX)) : 0;
}

FT_STATUS openNode(const std::string& node, const std::string& label,
                   const std::string& latencyTimer, FT_HANDLE* handle) {
    *handle = nullptr;
    int fd = ::open(node.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        explainOpenFailure(label, errno);
        return FT_DEVICE_NOT_OPENED;
    }
    // The lock comes before TIOCEXCL: that mark sits on the terminal itself and
    // must not be left on a port that turns out to be someone else's.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        ::close(fd);
        explainOpenFailure(label, err);
        return FT_DEVICE_NOT_OPENED;
    }
    termios saved;
    if (::tcgetattr(fd, &saved) != 0) {
        int err = errno;
        ::close(fd);
        fail("cannot use %s: not a serial device (%s).", label.c_str(), std::strerror(err));
        return FT_DEVICE_NOT_OPENED;
    }
    // Later opens fail with EBUSY, except root's; the lock above stops those
    // that ask for it, such as a second Shedmate.
    ::ioctl(fd, TIOCEXCL);

    // Bytes pass untouched both ways. The baud rate is left alone: a 245R's
    // FIFO has none.
    termios raw = saved;
    ::cfmakeraw(&raw);
    raw.c_iflag &= ~(IXON | IXOFF | IXANY);
    raw.c_cflag &= ~CRTSCTS;
    raw.c_cflag |= CLOCAL | CREAD;
    // With O_NONBLOCK, an empty read then fails with EAGAIN and a read of 0
    // bytes can only mean a hung-up terminal.
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &raw) != 0) {
        int err = errno;
        ::ioctl(fd, TIOCNXCL);
        ::close(fd);
        fail("cannot set %s to raw mode: %s.", label.c_str(), std::strerror(err));
        return FT_DEVICE_NOT_OPENED;
    }
    // Whatever came in before raw mode went through line editing.
    ::tcflush(fd, TCIFLUSH);

    Port* p = new Port;
    p->fd = fd;
    p->label = label;
    p->latencyTimer = latencyTimer;
    p->saved = saved;
    {
        std::lock_guard<std::mutex> lock(portsMutex);
        openPorts.push_back(p);
    }
    *handle = p;
    logPrint("kernel serial: opened %s\n", label.c_str());
    return FT_OK;
}

// The name and product string come from the device: printed only made safe.
std::string labelOf(const SerialDevice& device) {
    std::string description(device.info.Description,
                            strnlen(device.info.Description, sizeof device.info.Description));
    if (description.empty())
        return printableText(device.node);
    return printableText(device.node + " (" + description + ")");
}

FT_STATUS createList(DWORD* numDevs) {
    lastFailure.clear();
    if (!numDevs)
        return FT_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(listMutex);
    listed = enumerateFtdiTtys(sysfsRoot, devDir);
    haveList = true;
    *numDevs = static_cast<DWORD>(listed.size());
    return FT_OK;
}

FT_STATUS getList(DeviceInfoNode* list, DWORD* numDevs) {
    lastFailure.clear();
    if (!list || !numDevs) {
        if (numDevs)
            *numDevs = 0;
        return FT_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> lock(listMutex);
    if (!haveList)
        listed = enumerateFtdiTtys(sysfsRoot, devDir);
    haveList = true;
    DWORD count = std::min<DWORD>(*numDevs, static_cast<DWORD>(listed.size()));
    for (DWORD i = 0; i < count; ++i)
        list[i] = listed[i].info;
    *numDevs = count;
    return FT_OK;
}

FT_STATUS openIndex(int index, FT_HANDLE* handle) {
    lastFailure.clear();
    if (!handle)
        return FT_INVALID_PARAMETER;
    *handle = nullptr;
    SerialDevice device;
    size_t count;
    {
        std::lock_guard<std::mutex> lock(listMutex);
        if (!haveList)
            listed = enumerateFtdiTtys(sysfsRoot, devDir);
        haveList = true;
        count = listed.size();
        if (index >= 0 && static_cast<size_t>(index) < count)
            device = listed[index];
    }
    // Without a device the technician needs to know that FTDI's library was
    // looked for first.
    const char* noLibrary = libraryMissing ? ", and FTDI's libftd2xx.so is not installed" : "";
    if (count == 0) {
        fail("no FTDI USB serial device (/dev/ttyUSB*) found%s.\nPlug the loom in and switch it "
             "on; if it is, check that the kernel's ftdi_sio driver is loaded (sudo modprobe "
             "ftdi_sio).",
             noLibrary);
        return FT_DEVICE_NOT_FOUND;
    }
    if (device.name.empty()) {
        fail("there is no FTDI USB serial device number %d (%d found)%s.", index,
             static_cast<int>(count), noLibrary);
        return FT_DEVICE_NOT_FOUND;
    }
    return openNode(device.node, labelOf(device), device.latencyTimer, handle);
}

FT_STATUS setTimeouts(FT_HANDLE h, ULONG readMs, ULONG writeMs) {
    Port* p = portOf(h);
    if (!p)
        return FT_INVALID_HANDLE;
    p->readMs = readMs;
    p->writeMs = writeMs;
    return FT_OK;
}

FT_STATUS getStatus(FT_HANDLE h, DWORD* rxBytes, DWORD* txBytes, DWORD* events) {
    Port* p = portOf(h);
    if (!p)
        return FT_INVALID_HANDLE;
    if (!rxBytes || !txBytes || !events)
        return FT_INVALID_PARAMETER;
    // Nothing reads the transmit count or the events; no call is spent on them.
    *rxBytes = *txBytes = *events = 0;
    if (p->gone)
        return FT_IO_ERROR;
    int waiting = 0;
    if (::ioctl(p->fd, FIONREAD, &waiting) != 0)
        return lost(p, errno);
    *rxBytes = static_cast<DWORD>(std::max(waiting, 0));
    return FT_OK;
}

FT_STATUS readPort(FT_HANDLE h, void* buffer, DWORD toRead, DWORD* returned) {
    Port* p = portOf(h);
    if (!p)
        return FT_INVALID_HANDLE;
    if (!buffer || !returned)
        return FT_INVALID_PARAMETER;
    *returned = 0;
    if (p->gone)
        return FT_IO_ERROR;
    if (toRead == 0)
        return FT_OK;
    auto deadline = deadlineAfter(p->readMs);
    bool hungUp = false;
    for (;;) {
        ssize_t n = ::read(p->fd, buffer, toRead);
        if (n > 0) {
            *returned = static_cast<DWORD>(n);
            return FT_OK;
        }
        if (n == 0)
            return lost(p, EIO);
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN || hungUp)
            return lost(p, errno == EAGAIN ? EIO : errno);
        int left = msLeft(deadline);
        if (left == 0)
            return FT_OK;
        pollfd pfd{p->fd, POLLIN, 0};
        int ready = ::poll(&pfd, 1, left);
        if (ready < 0 && errno != EINTR)
            return lost(p, errno);
        if (ready > 0) {
            if (pfd.revents & (POLLERR | POLLNVAL))
                return lost(p, EIO);
            hungUp = (pfd.revents & POLLHUP) != 0;
        }
    }
}

FT_STATUS writePort(FT_HANDLE h, const void* buffer, DWORD toWrite, DWORD* written) {
    Port* p = portOf(h);
    if (!p)
        return FT_INVALID_HANDLE;
    if (!buffer || !written)
        return FT_INVALID_PARAMETER;
    *written = 0;
    if (p->gone)
        return FT_IO_ERROR;
    if (toWrite == 0)
        return FT_OK;
    auto deadline = deadlineAfter(p->writeMs);
    for (;;) {
        ssize_t n = ::write(p->fd, buffer, toWrite);
        if (n >= 0) {
            *written = static_cast<DWORD>(n);
            return FT_OK;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN)
            return lost(p, errno);
        // As FTDI's library does at its write time-out: fewer bytes, no error.
        int left = msLeft(deadline);
        if (left == 0)
            return FT_OK;
        pollfd pfd{p->fd, POLLOUT, 0};
        int ready = ::poll(&pfd, 1, left);
        if (ready < 0 && errno != EINTR)
            return lost(p, errno);
        if (ready > 0 && (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)))
            return lost(p, EIO);
    }
}

FT_STATUS closePort(FT_HANDLE h) {
    Port* p = nullptr;
    {
        std::lock_guard<std::mutex> lock(portsMutex);
        auto at = std::find(openPorts.begin(), openPorts.end(), static_cast<Port*>(h));
        if (!h || at == openPorts.end())
            return FT_INVALID_HANDLE;
        p = *at;
        openPorts.erase(at);
    }
    if (!p->gone) {
        // Let what was written reach the chip, but for no longer than half a
        // second, well inside the second the program gives FT_Close: close()
        // would otherwise wait up to ftdi_sio's 30 s for a FIFO nobody empties.
        auto deadline = deadlineAfter(std::min<uint32_t>(p->writeMs, 500));
        int queued = 0;
        while (::ioctl(p->fd, TIOCOUTQ, &queued) == 0 && queued > 0 && msLeft(deadline) > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (queued > 0)
            ::tcflush(p->fd, TCOFLUSH);
        ::tcsetattr(p->fd, TCSANOW, &p->saved);
        ::ioctl(p->fd, TIOCNXCL);
    }
    ::close(p->fd); // releases the lock too
    delete p;
    return FT_OK;
}

FT_STATUS waitForRx(FT_HANDLE h, uint32_t timeoutMs) {
    Port* p = portOf(h);
    if (!p)
        return FT_INVALID_HANDLE;
    // A gone device is reported by the next FT_GetStatus; no point waiting.
    if (p->gone)
        return FT_OK;
    pollfd pfd{p->fd, POLLIN, 0};
    int ready = ::poll(&pfd, 1, static_cast<int>(std::min<uint32_t>(timeoutMs, INT_MAX)));
    if (ready > 0 && (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)))
        lost(p, EIO);
    return FT_OK;
}

// Both settings outlive the run, as FTDI's library leaves its setting in the
// chip: they go back to 16 ms when the loom is plugged in again.
FT_STATUS setLatencyTimer(FT_HANDLE h, UCHAR ms) {
    Port* p = portOf(h);
    if (!p)
        return FT_INVALID_HANDLE;
    if (p->gone)
        return FT_IO_ERROR;
    if (!p->latencyTimer.empty()) {
        int fd = ::open(p->latencyTimer.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (fd >= 0) {
            char text[8];
            int len = std::snprintf(text, sizeof text, "%u\n", static_cast<unsigned>(ms));
            bool done = ::write(fd, text, static_cast<size_t>(len)) == len;
            ::close(fd);
            if (done) {
                logPrint("kernel serial: latency timer of %s set to %u ms\n", p->label.c_str(),
                         static_cast<unsigned>(ms));
                return FT_OK;
            }
        }
    }
    // Only root may write the sysfs file, but ftdi_sio lets whoever has the
    // port open ask for low latency, which it takes as 1 ms.
    serial_struct serial{};
    if (ms <= 2 && ::ioctl(p->fd, TIOCGSERIAL, &serial) == 0) {
        serial.flags |= ASYNC_LOW_LATENCY;
        if (::ioctl(p->fd, TIOCSSERIAL, &serial) == 0) {
            logPrint("kernel serial: %s set to low latency (1 ms)\n", p->label.c_str());
            return FT_OK;
        }
    }
    logPrint("kernel serial: latency timer of %s left as it is\n", p->label.c_str());
    return FT_NOT_SUPPORTED;
}

const char* devicePath(int index) {
    std::lock_guard<std::mutex> lock(listMutex);
    if (index < 0 || static_cast<size_t>(index) >= listed.size())
        return nullptr;
    return listed[static_cast<size_t>(index)].node.c_str();
}

constexpr Driver table = {
    .name = "kernel serial devices (ftdi_sio)",
    .createDeviceInfoList = createList,
    .getDeviceInfoList = getList,
    .open = openIndex,
    .setTimeouts = setTimeouts,
    .getStatus = getStatus,
    .read = readPort,
    .write = writePort,
    .close = closePort,
    .lastError = lastError,
    .waitForRx = waitForRx,
    .setLatencyTimer = setLatencyTimer,
    .devicePath = devicePath,
};

} // namespace

const Driver* kernelSerialDriver(bool insteadOfLibrary) {
    libraryMissing = insteadOfLibrary;
    return &table;
}

void kernelSerialSetRoots(const std::string& sysfs, const std::string& dev) {
    std::lock_guard<std::mutex> lock(listMutex);
    sysfsRoot = sysfs;
    devDir = dev;
    listed.clear();
    haveList = false;
}
