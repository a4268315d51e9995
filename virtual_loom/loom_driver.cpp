#include "virtual_loom/loom_driver.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

constexpr char serialNumber[] = "VLOOM001";
constexpr char description[] = "FT245R USB FIFO";
constexpr ULONG ftFlagsOpened = 1;
constexpr ULONG ftDevice232R = 5; // FTDI's type for the FT232R/FT245R family
constexpr ULONG vidPid = 0x04036001;
constexpr ULONG locId = 0x0211;

struct Device {
    std::mutex mutex;
    std::condition_variable arrived;
    std::unique_ptr<vloom::Model> model = std::make_unique<vloom::Model>();
    // Bytes the loom has sent that the program has not read yet.
    std::string rx;
    bool open = false;
    ULONG readTimeoutMs = 0;
    ULONG writeTimeoutMs = 0;
    UCHAR latencyMs = 16;
    Clock::time_point origin = Clock::now();
};

// Never destroyed: a receiving thread left inside a call at exit must not find
// the device gone.
Device& device() {
    static Device* d = new Device;
    return *d;
}

FT_HANDLE handleOf(Device& d) {
    return static_cast<void*>(&d);
}

uint32_t nowMs(const Device& d) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - d.origin);
    return static_cast<uint32_t>(ms.count());
}

// Moves whatever the loom has due into the receive buffer. Lock held.
void pump(Device& d, uint32_t now) {
    d.rx += d.model->takeOutput(now);
}

bool usable(Device& d, FT_HANDLE handle) {
    return handle == handleOf(d) && d.open;
}

// Waits (lock held) until `enough` holds, the deadline passes or the device is
// closed, waking when the loom's next output falls due.
template <typename Pred>
void waitFor(Device& d, std::unique_lock<std::mutex>& lock, uint32_t timeoutMs, Pred enough) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        uint32_t now = nowMs(d);
        pump(d, now);
        if (!d.open || enough())
            return;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return;
        int next = d.model->msUntilNextOutput(now);
        auto wait = left;
        if (next >= 0)
            wait = std::min(wait, std::chrono::milliseconds(std::max(next, 1)));
        d.arrived.wait_for(lock, wait);
    }
}

FT_STATUS createDeviceInfoList(DWORD* numDevs) {
    if (!numDevs)
        return FT_INVALID_PARAMETER;
    *numDevs = 1;
    return FT_OK;
}

FT_STATUS getDeviceInfoList(DeviceInfoNode* list, DWORD* numDevs) {
    if (!list || !numDevs)
        return FT_INVALID_PARAMETER;
    Device& d = device();
    std::lock_guard<std::mutex> lock(d.mutex);
    DeviceInfoNode node{};
    node.Flags = d.open ? ftFlagsOpened : 0;
    node.Type = ftDevice232R;
    node.ID = vidPid;
    node.LocId = locId;
    std::memcpy(node.SerialNumber, serialNumber, sizeof serialNumber);
    std::memcpy(node.Description, description, sizeof description);
    node.ftHandle = d.open ? handleOf(d) : nullptr;
    list[0] = node;
    *numDevs = 1;
    return FT_OK;
}

FT_STATUS openDevice(int index, FT_HANDLE* handle) {
    if (!handle)
        return FT_INVALID_PARAMETER;
    *handle = nullptr;
    if (index != 0)
        return FT_DEVICE_NOT_FOUND;
    Device& d = device();
    std::lock_guard<std::mutex> lock(d.mutex);
    if (d.open)
        return FT_DEVICE_NOT_OPENED;
    d.open = true;
    // What the loom said while nobody listened is gone.
    d.model->takeOutput(nowMs(d));
    d.rx.clear();
    *handle = handleOf(d);
    return FT_OK;
}

FT_STATUS setTimeouts(FT_HANDLE handle, ULONG readMs, ULONG writeMs) {
    Device& d = device();
    std::lock_guard<std::mutex> lock(d.mutex);
    if (!usable(d, handle))
        return FT_INVALID_HANDLE;
    d.readTimeoutMs = readMs;
    d.writeTimeoutMs = writeMs;
    return FT_OK;
}

FT_STATUS getStatus(FT_HANDLE handle, DWORD* rxBytes, DWORD* txBytes, DWORD* events) {
    Device& d = device();
    std::lock_guard<std::mutex> lock(d.mutex);
    if (!usable(d, handle))
        return FT_INVALID_HANDLE;
    pump(d, nowMs(d));
    if (rxBytes)
        *rxBytes = static_cast<DWORD>(d.rx.size());
    if (txBytes)
        *txBytes = 0;
    if (events)
        *events = 0;
    return FT_OK;
}

// As FTDI's read: waits for all the bytes asked for until the read time-out.
// Without a time-out set it returns what is there instead of waiting for ever.
FT_STATUS readDevice(FT_HANDLE handle, void* buffer, DWORD toRead, DWORD* returned) {
    if (returned)
        *returned = 0;
    if (!buffer && toRead > 0)
        return FT_INVALID_PARAMETER;
    Device& d = device();
    std::unique_lock<std::mutex> lock(d.mutex);
    if (!usable(d, handle))
        return FT_INVALID_HANDLE;
    waitFor(d, lock, d.readTimeoutMs, [&] { return d.rx.size() >= toRead; });
    if (!d.open)
        return FT_INVALID_HANDLE;
    size_t n = std::min<size_t>(toRead, d.rx.size());
    std::memcpy(buffer, d.rx.data(), n);
    d.rx.erase(0, n);
    if (returned)
        *returned = static_cast<DWORD>(n);
    return FT_OK;
}

FT_STATUS writeDevice(FT_HANDLE handle, const void* buffer, DWORD toWrite, DWORD* written) {
    if (written)
        *written = 0;
    if (!buffer && toWrite > 0)
        return FT_INVALID_PARAMETER;
    Device& d = device();
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        if (!usable(d, handle))
            return FT_INVALID_HANDLE;
        uint32_t now = nowMs(d);
        d.model->receive(static_cast<const char*>(buffer), toWrite, now);
        pump(d, now);
    }
    d.arrived.notify_all();
    if (written)
        *written = toWrite;
    return FT_OK;
}

FT_STATUS closeDevice(FT_HANDLE handle) {
    Device& d = device();
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        if (!usable(d, handle))
            return FT_INVALID_HANDLE;
        d.open = false;
        d.rx.clear();
    }
    d.arrived.notify_all();
    return FT_OK;
}

FT_STATUS waitForRx(FT_HANDLE handle, uint32_t timeoutMs) {
    Device& d = device();
    std::unique_lock<std::mutex> lock(d.mutex);
    if (!usable(d, handle))
        return FT_INVALID_HANDLE;
    waitFor(d, lock, timeoutMs, [&] { return !d.rx.empty(); });
    return FT_OK;
}

FT_STATUS setLatencyTimer(FT_HANDLE handle, UCHAR ms) {
    Device& d = device();
    std::lock_guard<std::mutex> lock(d.mutex);
    if (!usable(d, handle))
        return FT_INVALID_HANDLE;
    if (ms < 2)
        return FT_INVALID_PARAMETER;
    d.latencyMs = ms;
    return FT_OK;
}

const Driver table = {
    .name = "virtual loom",
    .createDeviceInfoList = createDeviceInfoList,
    .getDeviceInfoList = getDeviceInfoList,
    .open = openDevice,
    .setTimeouts = setTimeouts,
    .getStatus = getStatus,
    .read = readDevice,
    .write = writeDevice,
    .close = closeDevice,
    .waitForRx = waitForRx,
    .setLatencyTimer = setLatencyTimer,
};

} // namespace

const Driver* virtualLoomDriver(vloom::Timing timing) {
    Device& d = device();
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        d.model = std::make_unique<vloom::Model>(timing);
        d.rx.clear();
        d.open = false;
        d.readTimeoutMs = 0;
        d.writeTimeoutMs = 0;
        d.latencyMs = 16;
        d.origin = Clock::now();
    }
    d.arrived.notify_all();
    return &table;
}

void withVirtualLoom(const std::function<void(vloom::Model&)>& fn) {
    Device& d = device();
    std::lock_guard<std::mutex> lock(d.mutex);
    fn(*d.model);
}
