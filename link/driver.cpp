#include "link/driver.h"

#include <atomic>

namespace absent {

FT_STATUS open(int, FT_HANDLE* handle) {
    if (!handle)
        return FT_INVALID_PARAMETER;
    *handle = nullptr;
    return FT_DEVICE_NOT_FOUND;
}
FT_STATUS setTimeouts(FT_HANDLE, ULONG, ULONG) {
    return FT_INVALID_HANDLE;
}
FT_STATUS getStatus(FT_HANDLE, DWORD*, DWORD*, DWORD*) {
    return FT_INVALID_HANDLE;
}
FT_STATUS read(FT_HANDLE, void*, DWORD, DWORD*) {
    return FT_INVALID_HANDLE;
}
FT_STATUS write(FT_HANDLE, const void*, DWORD, DWORD*) {
    return FT_INVALID_HANDLE;
}
FT_STATUS close(FT_HANDLE) {
    return FT_INVALID_HANDLE;
}

} // namespace absent

namespace {

// Until a back end is installed the program sees no device at all.
FT_STATUS noDevices(DWORD* numDevs) {
    if (!numDevs)
        return FT_INVALID_PARAMETER;
    *numDevs = 0;
    return FT_OK;
}
FT_STATUS noList(DeviceInfoNode* list, DWORD* numDevs) {
    FT_STATUS status = noDevices(numDevs);
    return list ? status : FT_INVALID_PARAMETER;
}
const char* noDriver() {
    return "no device driver is installed";
}
const Driver absentDriver = {
    .name = "none",
    .createDeviceInfoList = noDevices,
    .getDeviceInfoList = noList,
    .open = absent::open,
    .setTimeouts = absent::setTimeouts,
    .getStatus = absent::getStatus,
    .read = absent::read,
    .write = absent::write,
    .close = absent::close,
    .lastError = noDriver,
    .waitForRx = nullptr,
    .setLatencyTimer = nullptr,
    .devicePath = nullptr,
};

// A receiving thread left behind by an earlier run may still read it.
std::atomic<const Driver*> installed{&absentDriver};

} // namespace

void installDriver(const Driver* d) {
    installed = d ? d : &absentDriver;
}

const Driver& driver() {
    return *installed.load();
}
