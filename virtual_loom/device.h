// The virtual loom as a USB device: one FT245R USB FIFO whose far end is the
// model of the controller. The in-process driver (shedmate-demo, tests) and
// the D2XX-shaped library both wrap this one device.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "link/d2xx.h"
#include "virtual_loom/model.h"

namespace vloom {

constexpr char loomDescription[] = "FT245R USB FIFO";

// FTDI's list entry for the virtual device at `index`; openHandle is null while
// it is closed.
DeviceInfoNode listEntry(unsigned index, const char* description, FT_HANDLE openHandle);

// Thread-safe: reads on one thread, writes on any, as the program does.
class LoomDevice {
  public:
    // maxWrite: the most bytes one write accepts, 0 for no limit.
    explicit LoomDevice(Timing timing = {}, uint32_t maxWrite = 0);

    // Bytes due and not yet read.
    DWORD waiting();
    // As FTDI's read: waits until toRead bytes are there, the read time-out
    // passes (0 waits without a bound) or the device closes, and returns what
    // it has.
    DWORD read(void* buffer, DWORD toRead);
    // The bytes accepted.
    DWORD write(const void* buffer, DWORD toWrite);
    // Until bytes are waiting, timeoutMs passes or the device closes.
    void waitForRx(uint32_t timeoutMs);
    void setReadTimeout(uint32_t ms);
    // Ends every wait; what the loom said and nobody read is gone.
    void close();
    // Called, outside the device's lock, when a write makes an answer due at once.
    void onReadable(std::function<void()> signal);
    // Runs fn on the model under the device's lock.
    void withModel(const std::function<void(Model&)>& fn);

  private:
    using Clock = std::chrono::steady_clock;
    uint32_t nowMs() const;
    void collect(uint32_t now);
    template <typename Pred>
    void waitUntil(std::unique_lock<std::mutex>& lock, uint32_t timeoutMs, Pred enough);

    std::mutex mutex_;
    std::condition_variable changed_;
    Model model_;         // guarded by mutex_, as is all below
    std::string pending_; // due and not yet read
    bool closed_ = false;
    uint32_t readTimeoutMs_ = 0;
    const uint32_t maxWrite_;
    std::function<void()> signal_;
    const Clock::time_point origin_ = Clock::now();
};

} // namespace vloom
