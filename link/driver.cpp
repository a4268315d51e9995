#include "link/d2xx.h"

namespace {

FT_STATUS noDevices(DWORD* numDevs) {
    if (numDevs)
        *numDevs = 0;
    return FT_OK;
}
FT_STATUS noList(DeviceInfoNode*, DWORD* numDevs) {
    return noDevices(numDevs);
}
FT_STATUS noOpen(int, FT_HANDLE* handle) {
    if (handle)
        *handle = nullptr;
    return FT_DEVICE_NOT_FOUND;
}
FT_STATUS noTimeouts(FT_HANDLE, ULONG, ULONG) {
    return FT_INVALID_HANDLE;
}
FT_STATUS noStatus(FT_HANDLE, DWORD*, DWORD*, DWORD*) {
    return FT_INVALID_HANDLE;
}
FT_STATUS noRead(FT_HANDLE, void*, DWORD, DWORD*) {
    return FT_INVALID_HANDLE;
}
FT_STATUS noWrite(FT_HANDLE, const void*, DWORD, DWORD*) {
    return FT_INVALID_HANDLE;
}
FT_STATUS noClose(FT_HANDLE) {
    return FT_INVALID_HANDLE;
}

// Until a back end is installed the program sees no device at all.
const Driver absentDriver = {
    "none", noDevices, noList,  noOpen,  noTimeouts, noStatus,
    noRead, noWrite,   noClose, nullptr, nullptr,
};

const Driver* installed = &absentDriver;

} // namespace

void installDriver(const Driver* d) {
    installed = d ? d : &absentDriver;
}

const Driver& driver() {
    return *installed;
}
