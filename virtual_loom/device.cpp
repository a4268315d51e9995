#include "virtual_loom/device.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace vloom {

DeviceInfoNode listEntry(unsigned index, const char* description, FT_HANDLE openHandle) {
    DeviceInfoNode node{};
    node.Flags = openHandle ? 1 : 0; // FT_FLAGS_OPENED
    node.Type = 5;                   // FT_DEVICE_232R, the family the FT245R belongs to
    node.ID = 0x04036001;            // FTDI's vendor and the FT245R's product id
    node.LocId = 0x1011 + index;
    std::snprintf(node.SerialNumber, sizeof node.SerialNumber, "VL%06u", index + 1);
    std::snprintf(node.Description, sizeof node.Description, "%s", description);
    node.ftHandle = openHandle;
    return node;
}

LoomDevice::LoomDevice(Timing timing, uint32_t maxWrite) : model_(timing), maxWrite_(maxWrite) {}

uint32_t LoomDevice::nowMs() const {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - origin_);
    return static_cast<uint32_t>(ms.count());
}

void LoomDevice::collect(uint32_t now) {
    pending_ += model_.takeOutput(now);
}

// Lock held. Wakes when the model's next output falls due.
template <typename Pred>
void LoomDevice::waitUntil(std::unique_lock<std::mutex>& lock, uint32_t timeoutMs, Pred enough) {
    bool bounded = timeoutMs != 0;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        uint32_t now = nowMs();
        collect(now);
        if (closed_ || gone_ || enough())
            return;
        auto wait = std::chrono::milliseconds(1000);
        if (bounded) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return;
            wait = std::min(wait, left);
        }
        int next = model_.msUntilNextOutput(now);
        if (next >= 0)
            wait = std::min(wait, std::chrono::milliseconds(std::max(next, 1)));
        changed_.wait_for(lock, wait);
    }
}

FT_STATUS LoomDevice::waiting(DWORD* rxBytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    *rxBytes = 0;
    if (gone_)
        return FT_IO_ERROR;
    collect(nowMs());
    *rxBytes = static_cast<DWORD>(pending_.size());
    return FT_OK;
}

FT_STATUS LoomDevice::read(void* buffer, DWORD toRead, DWORD* returned) {
    std::unique_lock<std::mutex> lock(mutex_);
    *returned = 0;
    waitUntil(lock, readTimeoutMs_, [&] { return pending_.size() >= toRead; });
    if (gone_)
        return FT_IO_ERROR;
    size_t n = std::min<size_t>(toRead, pending_.size());
    std::memcpy(buffer, pending_.data(), n);
    pending_.erase(0, n);
    *returned = static_cast<DWORD>(n);
    return FT_OK;
}

FT_STATUS LoomDevice::write(const void* buffer, DWORD toWrite, DWORD* written) {
    DWORD accept = maxWrite_ != 0 ? std::min<DWORD>(toWrite, maxWrite_) : toWrite;
    std::function<void()> signal;
    *written = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (gone_)
            return FT_IO_ERROR;
        uint32_t now = nowMs();
        model_.receive(static_cast<const char*>(buffer), accept, now);
        if (model_.msUntilNextOutput(now) == 0)
            signal = signal_;
    }
    changed_.notify_all();
    // An answer due later is found by the next poll, or by a wait's own clock.
    if (signal)
        signal();
    *written = accept;
    return FT_OK;
}

void LoomDevice::unplug() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        gone_ = true;
        pending_.clear();
    }
    changed_.notify_all();
}

void LoomDevice::waitForRx(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    waitUntil(lock, std::max<uint32_t>(timeoutMs, 1), [&] { return !pending_.empty(); });
}

void LoomDevice::setReadTimeout(uint32_t ms) {
    std::lock_guard<std::mutex> lock(mutex_);
    readTimeoutMs_ = ms;
}

void LoomDevice::close() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        pending_.clear();
    }
    changed_.notify_all();
}

void LoomDevice::onReadable(std::function<void()> signal) {
    std::lock_guard<std::mutex> lock(mutex_);
    signal_ = std::move(signal);
}

void LoomDevice::withModel(const std::function<void(Model&)>& fn) {
    std::lock_guard<std::mutex> lock(mutex_);
    fn(model_);
}

} // namespace vloom
