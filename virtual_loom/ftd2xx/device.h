// One open virtual device behind the exported D2XX functions: either the model
// of the controller or a socket to a test that plays it.
//
// The program reads on its receiving thread and writes on either thread, so
// every operation may run concurrently with every other but close().
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "link/d2xx.h"
#include "virtual_loom/model.h"

namespace vloom {

// What FT_SetEventNotification registered: FTDI's EVENT_HANDLE (condition
// variable and mutex) on Linux, an event HANDLE on Windows. Signalled whenever
// bytes become readable.
class RxNotifier {
  public:
    void set(DWORD mask, void* param);
    void signal();

  private:
    std::mutex mutex_;
    DWORD mask_ = 0;
    void* param_ = nullptr;
};

class Device {
  public:
    virtual ~Device() = default;
    virtual FT_STATUS getStatus(DWORD* rxBytes) = 0;
    virtual FT_STATUS read(void* buffer, DWORD toRead, DWORD* returned) = 0;
    virtual FT_STATUS write(const void* buffer, DWORD toWrite, DWORD* written) = 0;
    virtual void close() = 0;

    // FTDI's meaning: 0 waits without a bound.
    virtual void setReadTimeout(uint32_t ms) { readTimeoutMs_ = ms; }
    RxNotifier& notifier() { return notifier_; }

  protected:
    std::atomic<uint32_t> readTimeoutMs_{0};
    RxNotifier notifier_;
};

// Null when the device cannot be made; the reason has gone to stderr.
Device* openModelDevice(uint32_t maxWrite, const Timing& timing);
Device* openScriptedDevice(const char* socketPath, int index, uint32_t maxWrite);

} // namespace vloom
