// The device the model of the controller answers: what a technician gets from
// the library with no test attached.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "virtual_loom/ftd2xx/device.h"

#if defined(VLOOM_HAVE_MODEL)
#include "virtual_loom/model.h"
#endif

namespace vloom {

#if defined(VLOOM_HAVE_MODEL)

namespace {

class ModelDevice final : public Device {
  public:
    ModelDevice(uint32_t maxWrite, const ModelDelays& delays)
        : maxWrite_(maxWrite), model_(Timing{delays.scanMs, delays.restartMs, delays.replyMs}),
          start_(std::chrono::steady_clock::now()) {}

    FT_STATUS getStatus(DWORD* rxBytes) override {
        std::lock_guard<std::mutex> lock(mutex_);
        collect();
        *rxBytes = static_cast<DWORD>(pending_.size());
        return FT_OK;
    }

    FT_STATUS read(void* buffer, DWORD toRead, DWORD* returned) override {
        // The program reads only what FT_GetStatus reported, so a read never
        // has to wait for a reply that is not yet due.
        std::lock_guard<std::mutex> lock(mutex_);
        collect();
        size_t take = std::min<size_t>(toRead, pending_.size());
        std::memcpy(buffer, pending_.data(), take);
        pending_.erase(0, take);
        *returned = static_cast<DWORD>(take);
        return FT_OK;
    }

    FT_STATUS write(const void* buffer, DWORD toWrite, DWORD* written) override {
        size_t accept = maxWrite_ != 0 ? std::min<size_t>(toWrite, maxWrite_) : toWrite;
        bool replyDue;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            uint32_t now = nowMs();
            model_.receive(static_cast<const char*>(buffer), accept, now);
            replyDue = model_.msUntilNextOutput(now) == 0;
        }
        *written = static_cast<DWORD>(accept);
        // A reply due later is found by the program's next poll.
        if (replyDue)
            notifier_.signal();
        return FT_OK;
    }

    void close() override {}

  private:
    uint32_t nowMs() const {
        auto elapsed = std::chrono::steady_clock::now() - start_;
        return static_cast<uint32_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
    }

    void collect() { pending_ += model_.takeOutput(nowMs()); }

    const uint32_t maxWrite_;
    std::mutex mutex_;
    Model model_;         // guarded by mutex_
    std::string pending_; // due and not yet read; guarded by mutex_
    const std::chrono::steady_clock::time_point start_;
};

} // namespace

Device* openModelDevice(uint32_t maxWrite, const ModelDelays& delays) {
    return new ModelDevice(maxWrite, delays);
}

#else

Device* openModelDevice(uint32_t, const ModelDelays&) {
    std::fprintf(stderr, "virtual loom: built without the model of the controller\n");
    return nullptr;
}

#endif

} // namespace vloom
