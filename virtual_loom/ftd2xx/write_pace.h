// An FT245R takes bytes at about 1 MB/s, and FTDI's FT_Write returns when the
// bytes have gone or the write time-out has passed, with what went by then.
// With a rate set (SHEDMATE_VLOOM_BYTES_PER_S) the library's FT_Write does the
// same, whichever device is behind it; without one it takes bytes at once.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>

namespace vloom {

class WritePace {
  public:
    void setRate(uint32_t bytesPerSecond) { rate_ = bytesPerSecond; }
    // FTDI's meaning: 0 waits without a bound.
    void setTimeout(uint32_t ms) {
        std::lock_guard<std::mutex> lock(mutex_);
        timeoutMs_ = ms;
    }

    // How many of toWrite bytes go in this call; sleeps until they have gone.
    // Back-to-back calls keep the rate exactly, whatever a sleep overshoots.
    uint32_t take(uint32_t toWrite) {
        uint64_t rate = rate_;
        if (rate == 0 || toWrite == 0)
            return toWrite;
        using namespace std::chrono;
        std::unique_lock<std::mutex> lock(mutex_);
        auto now = steady_clock::now();
        due_ = std::max(due_, now);
        uint64_t bytes = toWrite;
        if (timeoutMs_ != 0) {
            auto room = duration_cast<microseconds>(now + milliseconds(timeoutMs_) - due_);
            bytes = std::min<uint64_t>(
                bytes, static_cast<uint64_t>(std::max<int64_t>(0, room.count())) * rate / 1000000);
        }
        due_ += microseconds(bytes * 1000000 / rate);
        auto until = bytes == 0 ? now + milliseconds(timeoutMs_) : due_;
        lock.unlock();
        std::this_thread::sleep_until(until);
        return static_cast<uint32_t>(bytes);
    }

  private:
    std::atomic<uint32_t> rate_{0};
    std::mutex mutex_;
    uint32_t timeoutMs_ = 0; // guarded by mutex_, as is due_
    std::chrono::steady_clock::time_point due_{};
};

} // namespace vloom
