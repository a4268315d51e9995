#include "virtual_loom/loom_driver.h"

#include <mutex>
#include <vector>

#include "virtual_loom/device.h"

namespace {

using vloom::LoomDevice;

std::mutex openMutex;
vloom::Timing timing;         // guarded by openMutex, as are the two below
LoomDevice* latest = nullptr; // the device opened last, open or not
bool isOpen = false;

// Devices are never freed: a receiving thread the program gave up on may still
// be inside a call on one. Every device stays listed, on purpose.
auto* opened = new std::vector<LoomDevice*>; // guarded by openMutex

LoomDevice* deviceOf(FT_HANDLE handle) {
    std::lock_guard<std::mutex> lock(openMutex);
    return handle && handle == latest && isOpen ? latest : nullptr;
}

FT_STATUS createDeviceInfoList(DWORD* numDevs) {
    if (!numDevs)
        return FT_INVALID_PARAMETER;
    *numDevs = 1;
    return FT_OK;
}

FT_STATUS getDeviceInfoList(DeviceInfoNode* list, DWORD* numDevs) {
    if (!list || !numDevs) {
        if (numDevs)
            *numDevs = 0;
        return FT_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> lock(openMutex);
    list[0] = vloom::listEntry(0, vloom::loomDescription, isOpen ? latest : nullptr);
    *numDevs = 1;
    return FT_OK;
}

// Why the last open failed. Main thread.
const char* failure = "";

const char* lastError() {
    return failure;
}

FT_STATUS open(int index, FT_HANDLE* handle) {
    failure = "";
    if (!handle)
        return FT_INVALID_PARAMETER;
    *handle = nullptr;
    if (index != 0) {
        failure = "the virtual loom has one device only";
        return FT_DEVICE_NOT_FOUND;
    }
    std::lock_guard<std::mutex> lock(openMutex);
    if (isOpen) {
        failure = "the virtual loom is open already";
        return FT_DEVICE_NOT_OPENED;
    }
    latest = new LoomDevice(timing);
    opened->push_back(latest);
    isOpen = true;
    *handle = latest;
    return FT_OK;
}

FT_STATUS setTimeouts(FT_HANDLE handle, ULONG readMs, ULONG) {
    LoomDevice* d = deviceOf(handle);
    if (!d)
        return FT_INVALID_HANDLE;
    d->setReadTimeout(readMs);
    return FT_OK;
}

FT_STATUS getStatus(FT_HANDLE handle, DWORD* rxBytes, DWORD* txBytes, DWORD* events) {
    LoomDevice* d = deviceOf(handle);
    if (!d)
        return FT_INVALID_HANDLE;
    if (!rxBytes || !txBytes || !events)
        return FT_INVALID_PARAMETER;
    *txBytes = 0;
    *events = 0;
    return d->waiting(rxBytes);
}

FT_STATUS read(FT_HANDLE handle, void* buffer, DWORD toRead, DWORD* returned) {
    LoomDevice* d = deviceOf(handle);
    if (!d)
        return FT_INVALID_HANDLE;
    if (!returned || (!buffer && toRead))
        return FT_INVALID_PARAMETER;
    return d->read(buffer, toRead, returned);
}

FT_STATUS write(FT_HANDLE handle, const void* buffer, DWORD toWrite, DWORD* written) {
    LoomDevice* d = deviceOf(handle);
    if (!d)
        return FT_INVALID_HANDLE;
    if (!written || (!buffer && toWrite))
        return FT_INVALID_PARAMETER;
    return d->write(buffer, toWrite, written);
}

FT_STATUS close(FT_HANDLE handle) {
    LoomDevice* d = deviceOf(handle);
    if (!d)
        return FT_INVALID_HANDLE;
    {
        std::lock_guard<std::mutex> lock(openMutex);
        isOpen = false;
    }
    d->close();
    return FT_OK;
}

FT_STATUS waitForRx(FT_HANDLE handle, uint32_t timeoutMs) {
    LoomDevice* d = deviceOf(handle);
    if (!d)
        return FT_INVALID_HANDLE;
    d->waitForRx(timeoutMs);
    return FT_OK;
}

FT_STATUS setLatencyTimer(FT_HANDLE handle, UCHAR ms) {
    if (!deviceOf(handle))
        return FT_INVALID_HANDLE;
    // FTDI accepts 2 to 255 ms on the FT245R.
    return ms >= 2 ? FT_OK : FT_INVALID_PARAMETER;
}

const Driver table = {
    .name = "virtual loom",
    .createDeviceInfoList = createDeviceInfoList,
    .getDeviceInfoList = getDeviceInfoList,
    .open = open,
    .setTimeouts = setTimeouts,
    .getStatus = getStatus,
    .read = read,
    .write = write,
    .close = close,
    .lastError = lastError,
    .waitForRx = waitForRx,
    .setLatencyTimer = setLatencyTimer,
    .devicePath = nullptr,
};

} // namespace

const Driver* virtualLoomDriver(vloom::Timing delays) {
    std::lock_guard<std::mutex> lock(openMutex);
    timing = delays;
    // A device an earlier run left open is left to whoever still holds it.
    isOpen = false;
    return &table;
}

void withVirtualLoom(const std::function<void(vloom::Model&)>& fn) {
    LoomDevice* d;
    {
        std::lock_guard<std::mutex> lock(openMutex);
        d = latest;
    }
    if (d)
        d->withModel(fn);
}

void unplugVirtualLoom() {
    LoomDevice* d;
    {
        std::lock_guard<std::mutex> lock(openMutex);
        d = latest;
    }
    if (d)
        d->unplug();
}
