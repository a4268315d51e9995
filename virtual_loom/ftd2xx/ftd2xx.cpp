// FTDI's D2XX entry points, backed by the virtual loom, so the unmodified
// shedmate executable runs against it when this library is found first on the
// library search path. Only the functions the program resolves are exported.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "link/d2xx.h"
#include "virtual_loom/device.h"
#include "virtual_loom/ftd2xx/device.h"
#include "virtual_loom/ftd2xx/rx_signal.h"
#include "virtual_loom/ftd2xx/script_link.h"
#include "virtual_loom/ftd2xx/write_pace.h"

#if defined(_WIN32)
#define VLOOM_EXPORT extern "C" __attribute__((dllexport))
#else
#define VLOOM_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace vloom {

void RxNotifier::set(DWORD mask, void* param) {
    std::lock_guard<std::mutex> lock(mutex_);
    mask_ = mask;
    param_ = param;
}

void RxNotifier::signal() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (param_ && (mask_ & FT_EVENT_RXCHAR))
        signalRxEvent(param_);
}

} // namespace vloom

namespace {

using vloom::Device;
namespace script = vloom::script;

struct Config {
    std::vector<std::string> devices;
    FT_STATUS openStatus = FT_OK;
    uint32_t maxWrite = 0;
    vloom::Timing delays{.scanMs = 100, .restartMs = 300, .replyMs = 0};
    uint32_t bytesPerSecond = 0;
    // Nothing is listed before then: a loom plugged in late.
    std::chrono::steady_clock::time_point attachAt;
};

uint32_t envNumber(const char* name, uint32_t fallback) {
    const char* text = std::getenv(name);
    if (!text || !*text)
        return fallback;
    char* end = nullptr;
    unsigned long value = std::strtoul(text, &end, 10);
    if (*end != '\0') {
        std::fprintf(stderr, "virtual loom: %s=%s is no number, using %u\n", name, text,
                     static_cast<unsigned>(fallback));
        return fallback;
    }
    return static_cast<uint32_t>(value);
}

const Config& config() {
    static Config c;
    static std::once_flag once;
    std::call_once(once, [] {
        const char* devices = std::getenv(script::devicesEnv);
        if (!devices) {
            c.devices.push_back(vloom::loomDescription);
        } else {
            std::string list = devices;
            size_t from = 0;
            while (!list.empty()) {
                size_t bar = list.find('|', from);
                c.devices.push_back(list.substr(from, bar - from));
                if (bar == std::string::npos)
                    break;
                from = bar + 1;
            }
        }
        c.openStatus = envNumber(script::openStatusEnv, FT_OK);
        c.maxWrite = envNumber(script::maxWriteEnv, 0);
        c.delays.scanMs = envNumber(script::scanMsEnv, c.delays.scanMs);
        c.delays.restartMs = envNumber(script::restartMsEnv, c.delays.restartMs);
        c.delays.replyMs = envNumber(script::replyMsEnv, c.delays.replyMs);
        c.bytesPerSecond = envNumber(script::bytesPerSecondEnv, 0);
        c.attachAt = std::chrono::steady_clock::now() +
                     std::chrono::milliseconds(envNumber(script::attachMsEnv, 0));
    });
    return c;
}

size_t attachedCount() {
    const Config& c = config();
    return std::chrono::steady_clock::now() >= c.attachAt ? c.devices.size() : 0;
}

std::mutex openMutex;
std::atomic<Device*> current{nullptr};
vloom::WritePace pace;
int currentIndex = -1; // guarded by openMutex

// A closed device is never freed: a receiving thread the program gave up on may
// still be inside a call on it. Every device stays listed here, on purpose.
void keep(Device* d) {
    static auto* opened = new std::vector<Device*>;
    opened->push_back(d);
}

Device* deviceOf(FT_HANDLE handle) {
    Device* d = current.load();
    return handle && handle == d ? d : nullptr;
}

} // namespace

VLOOM_EXPORT FT_STATUS FT_API FT_CreateDeviceInfoList(DWORD* numDevs) {
    if (!numDevs)
        return FT_INVALID_PARAMETER;
    *numDevs = static_cast<DWORD>(attachedCount());
    return FT_OK;
}

VLOOM_EXPORT FT_STATUS FT_API FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* list, DWORD* numDevs) {
    if (!list || !numDevs) {
        if (numDevs)
            *numDevs = 0;
        return FT_INVALID_PARAMETER;
    }
    const Config& c = config();
    std::lock_guard<std::mutex> lock(openMutex);
    // No more entries than the caller made room for.
    size_t count = std::min<size_t>(attachedCount(), *numDevs);
    for (size_t i = 0; i < count; ++i) {
        bool open = static_cast<int>(i) == currentIndex;
        list[i] = vloom::listEntry(static_cast<unsigned>(i), c.devices[i].c_str(),
                                   open ? current.load() : nullptr);
    }
    *numDevs = static_cast<DWORD>(count);
    return FT_OK;
}

VLOOM_EXPORT FT_STATUS FT_API FT_Open(int index, FT_HANDLE* handle) {
    if (!handle)
        return FT_INVALID_PARAMETER;
    *handle = nullptr;
    const Config& c = config();
    if (c.openStatus != FT_OK)
        return c.openStatus;
    if (index < 0 || static_cast<size_t>(index) >= attachedCount())
        return FT_DEVICE_NOT_FOUND;

    std::lock_guard<std::mutex> lock(openMutex);
    if (current.load())
        return FT_DEVICE_NOT_OPENED;
    Device* d = nullptr;
    // Read at every open, so one process can meet several scripted looms.
    const char* socketPath = std::getenv(script::socketEnv);
    if (socketPath && *socketPath) {
#if defined(_WIN32)
        std::fprintf(stderr, "virtual loom: no scripted mode on Windows; the model answers\n");
#else
        d = vloom::openScriptedDevice(socketPath, index, c.maxWrite);
        if (!d)
            return FT_DEVICE_NOT_OPENED;
#endif
    }
    if (!d)
        d = vloom::openModelDevice(c.maxWrite, c.delays);
    if (!d)
        return FT_DEVICE_NOT_OPENED;
    keep(d);
    pace.setRate(c.bytesPerSecond);
    pace.setTimeout(0);
    current = d;
    currentIndex = index;
    *handle = d;
    return FT_OK;
}

VLOOM_EXPORT FT_STATUS FT_API FT_SetTimeouts(FT_HANDLE handle, ULONG readMs, ULONG writeMs) {
    Device* d = deviceOf(handle);
    if (!d)
        return FT_INVALID_HANDLE;
    d->setReadTimeout(readMs);
    pace.setTimeout(writeMs);
    return FT_OK;
}

VLOOM_EXPORT FT_STATUS FT_API FT_GetStatus(FT_HANDLE handle, DWORD* rxBytes, DWORD* txBytes,
                                           DWORD* events) {
    Device* d = deviceOf(handle);
    if (!d)
        return FT_INVALID_HANDLE;
    if (!rxBytes || !txBytes || !events)
        return FT_INVALID_PARAMETER;
    *rxBytes = 0;
    *txBytes = 0;
    *events = 0;
    return d->getStatus(rxBytes);
}

VLOOM_EXPORT FT_STATUS FT_API FT_Read(FT_HANDLE handle, void* buffer, DWORD toRead,
                                      DWORD* returned) {
    Device* d = deviceOf(handle);
    if (!d)
        return FT_INVALID_HANDLE;
    if (!returned || (!buffer && toRead))
        return FT_INVALID_PARAMETER;
    *returned = 0;
    return d->read(buffer, toRead, returned);
}

VLOOM_EXPORT FT_STATUS FT_API FT_Write(FT_HANDLE handle, void* buffer, DWORD toWrite,
                                       DWORD* written) {
    Device* d = deviceOf(handle);
    if (!d)
        return FT_INVALID_HANDLE;
    if (!written || (!buffer && toWrite))
        return FT_INVALID_PARAMETER;
    *written = 0;
    return d->write(buffer, pace.take(toWrite), written);
}

VLOOM_EXPORT FT_STATUS FT_API FT_Close(FT_HANDLE handle) {
    std::lock_guard<std::mutex> lock(openMutex);
    Device* d = deviceOf(handle);
    if (!d)
        return FT_INVALID_HANDLE;
    d->close();
    current = nullptr;
    currentIndex = -1;
    return FT_OK;
}

VLOOM_EXPORT FT_STATUS FT_API FT_SetEventNotification(FT_HANDLE handle, DWORD mask, void* param) {
    Device* d = deviceOf(handle);
    if (!d)
        return FT_INVALID_HANDLE;
    // As FTDI's: only bytes that arrive from now on are signalled.
    d->notifier().set(mask, param);
    return FT_OK;
}

VLOOM_EXPORT FT_STATUS FT_API FT_SetLatencyTimer(FT_HANDLE handle, UCHAR ms) {
    if (!deviceOf(handle))
        return FT_INVALID_HANDLE;
    // FTDI accepts 2 to 255 ms on the FT245R.
    return ms >= 2 ? FT_OK : FT_INVALID_PARAMETER;
}
