// The device the model of the controller answers: what a technician gets from
// the library with no test attached.
#include "virtual_loom/device.h"
#include "virtual_loom/ftd2xx/device.h"

namespace vloom {

namespace {

class ModelDevice final : public Device {
  public:
    ModelDevice(uint32_t maxWrite, const Timing& timing) : loom_(timing, maxWrite) {
        loom_.onReadable([this] { notifier_.signal(); });
    }

    FT_STATUS getStatus(DWORD* rxBytes) override {
        *rxBytes = loom_.waiting();
        return FT_OK;
    }

    FT_STATUS read(void* buffer, DWORD toRead, DWORD* returned) override {
        *returned = loom_.read(buffer, toRead);
        return FT_OK;
    }

    FT_STATUS write(const void* buffer, DWORD toWrite, DWORD* written) override {
        *written = loom_.write(buffer, toWrite);
        return FT_OK;
    }

    void setReadTimeout(uint32_t ms) override { loom_.setReadTimeout(ms); }

    void close() override { loom_.close(); }

  private:
    LoomDevice loom_;
};

} // namespace

Device* openModelDevice(uint32_t maxWrite, const Timing& timing) {
    return new ModelDevice(maxWrite, timing);
}

} // namespace vloom
