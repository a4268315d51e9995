#include "link/drivers/d2xx_library.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/log.h"
#include "link/drivers/dynlib.h"
#include "link/drivers/ft_status.h"
#include "link/drivers/rx_event.h"

namespace {

// FTDI's exported functions (link/d2xx.h, checked against FTDI's header in CI).
using CreateDeviceInfoListFn = FtCreateDeviceInfoListFn;
using GetDeviceInfoListFn = FtGetDeviceInfoListFn;
using OpenFn = FtOpenFn;
using SetTimeoutsFn = FtSetTimeoutsFn;
using GetStatusFn = FtGetStatusFn;
using ReadFn = FtReadFn;
using WriteFn = FtWriteFn;
using CloseFn = FtCloseFn;
using SetEventNotificationFn = FtSetEventNotificationFn;
using SetLatencyTimerFn = FtSetLatencyTimerFn;

// Filled once, on the main thread, before the table is handed out.
struct Library {
    CreateDeviceInfoListFn createDeviceInfoList = nullptr;
    GetDeviceInfoListFn getDeviceInfoList = nullptr;
    OpenFn open = nullptr;
    SetTimeoutsFn setTimeouts = nullptr;
    GetStatusFn getStatus = nullptr;
    ReadFn read = nullptr;
    WriteFn write = nullptr;
    CloseFn close = nullptr;
    SetEventNotificationFn setEventNotification = nullptr;
    SetLatencyTimerFn setLatencyTimer = nullptr;
};

Library lib;
bool loaded = false;

template <typename Fn> bool resolve(void* handle, const char* name, Fn& out) {
    out = reinterpret_cast<Fn>(findSymbol(handle, name));
    return out != nullptr;
}

// The reason when a required function is missing, "" when all are there.
std::string resolveAll(void* handle, const char* file) {
    Library found;
    const char* missing = nullptr;
    if (!resolve(handle, "FT_CreateDeviceInfoList", found.createDeviceInfoList))
        missing = "FT_CreateDeviceInfoList";
    else if (!resolve(handle, "FT_GetDeviceInfoList", found.getDeviceInfoList))
        missing = "FT_GetDeviceInfoList";
    else if (!resolve(handle, "FT_Open", found.open))
        missing = "FT_Open";
    else if (!resolve(handle, "FT_SetTimeouts", found.setTimeouts))
        missing = "FT_SetTimeouts";
    else if (!resolve(handle, "FT_GetStatus", found.getStatus))
        missing = "FT_GetStatus";
    else if (!resolve(handle, "FT_Read", found.read))
        missing = "FT_Read";
    else if (!resolve(handle, "FT_Write", found.write))
        missing = "FT_Write";
    else if (!resolve(handle, "FT_Close", found.close))
        missing = "FT_Close";
    if (missing)
        return std::string("FTDI's D2XX library ") + file + " lacks " + missing;
    resolve(handle, "FT_SetEventNotification", found.setEventNotification);
    resolve(handle, "FT_SetLatencyTimer", found.setLatencyTimer);
    lib = found;
    loaded = true;
    return "";
}

// The handles this back end opened and has not closed: one rule for unknown
// handles, whatever FTDI's library would make of them.
std::mutex openMutex;
std::vector<FT_HANDLE> openHandles; // guarded by openMutex

bool known(FT_HANDLE h) {
    std::lock_guard<std::mutex> lock(openMutex);
    return h && std::find(openHandles.begin(), openHandles.end(), h) != openHandles.end();
}

// Why the last list or open failed, in FTDI's terms. Main thread.
std::string lastFailure;

const char* lastError() {
    return lastFailure.c_str();
}

// "FT_Open returned: 3 (FT_DEVICE_NOT_OPENED: the device is in use, ...)"
std::string failed(const char* call, FT_STATUS status) {
    char text[64];
    std::snprintf(text, sizeof text, "%s returned: %d (", call, static_cast<int>(status));
    return text + std::string(ftStatusName(status)) + ": " + ftStatusReason(status) + ")";
}

FT_STATUS createDeviceInfoList(DWORD* numDevs) {
    lastFailure.clear();
    if (!numDevs)
        return FT_INVALID_PARAMETER;
    FT_STATUS status = lib.createDeviceInfoList(numDevs);
    if (status != FT_OK) {
        *numDevs = 0;
        lastFailure = "FTDI's library cannot list USB devices: FT_CreateDeviceInfoList returned " +
                      std::to_string(status) + " (" + ftStatusName(status) +
                      ").\n"
                      "It needs the USB bus itself (in a container or under WSL, pass the USB "
                      "device through to it), and on Linux the kernel's ftdi_sio driver must let "
                      "go of the device (sudo rmmod ftdi_sio).";
    }
    return status;
}

FT_STATUS getDeviceInfoList(DeviceInfoNode* list, DWORD* numDevs) {
    lastFailure.clear();
    if (!list || !numDevs) {
        if (numDevs)
            *numDevs = 0;
        return FT_INVALID_PARAMETER;
    }
    FT_STATUS status = lib.getDeviceInfoList(list, numDevs);
    if (status != FT_OK) {
        *numDevs = 0;
        lastFailure = failed("FT_GetDeviceInfoList", status);
    }
    return status;
}

FT_STATUS open(int index, FT_HANDLE* handle) {
    lastFailure.clear();
    if (!handle)
        return FT_INVALID_PARAMETER;
    *handle = nullptr;
    FT_STATUS status = lib.open(index, handle);
    if (status != FT_OK) {
        *handle = nullptr;
        lastFailure = failed("FT_Open", status);
        return status;
    }
    std::lock_guard<std::mutex> lock(openMutex);
    openHandles.push_back(*handle);
    return FT_OK;
}

FT_STATUS setTimeouts(FT_HANDLE h, ULONG readMs, ULONG writeMs) {
    return known(h) ? lib.setTimeouts(h, readMs, writeMs) : FT_INVALID_HANDLE;
}

FT_STATUS getStatus(FT_HANDLE h, DWORD* rx, DWORD* tx, DWORD* events) {
    if (!known(h))
        return FT_INVALID_HANDLE;
    if (!rx || !tx || !events)
        return FT_INVALID_PARAMETER;
    FT_STATUS status = lib.getStatus(h, rx, tx, events);
    if (status != FT_OK)
        *rx = *tx = *events = 0;
    return status;
}

FT_STATUS read(FT_HANDLE h, void* buffer, DWORD toRead, DWORD* returned) {
    if (!known(h))
        return FT_INVALID_HANDLE;
    if (!returned || (!buffer && toRead))
        return FT_INVALID_PARAMETER;
    *returned = 0;
    FT_STATUS status = lib.read(h, buffer, toRead, returned);
    // Bytes read with any other error are the controller's and are kept.
    if (status == FT_IO_ERROR)
        *returned = 0;
    else if (*returned > toRead)
        *returned = toRead;
    return status;
}

FT_STATUS write(FT_HANDLE h, const void* buffer, DWORD toWrite, DWORD* written) {
    if (!known(h))
        return FT_INVALID_HANDLE;
    if (!written || (!buffer && toWrite))
        return FT_INVALID_PARAMETER;
    *written = 0;
    // FTDI's prototype takes a non-const buffer but never writes to it.
    FT_STATUS status = lib.write(h, const_cast<void*>(buffer), toWrite, written);
    if (status != FT_OK)
        *written = 0;
    return status;
}

// Registered for the device the receiving thread waits on; only that thread
// touches these.
RxEvent* rxEvent = nullptr;
FT_HANDLE rxEventDevice = nullptr;
bool rxEventFailed = false;

FT_STATUS close(FT_HANDLE h) {
    {
        std::lock_guard<std::mutex> lock(openMutex);
        auto at = std::find(openHandles.begin(), openHandles.end(), h);
        if (!h || at == openHandles.end())
            return FT_INVALID_HANDLE;
        openHandles.erase(at);
    }
    return lib.close(h);
}

FT_STATUS waitForRx(FT_HANDLE h, uint32_t timeoutMs) {
    if (!known(h))
        return FT_INVALID_HANDLE;
    if (rxEventDevice != h && !rxEventFailed && lib.setEventNotification) {
        if (!rxEvent)
            rxEvent = rxEventCreate();
        if (rxEvent &&
            lib.setEventNotification(h, FT_EVENT_RXCHAR, rxEventParam(rxEvent)) == FT_OK) {
            rxEventDevice = h;
        } else {
            rxEventFailed = true;
            logPrint("FT_SetEventNotification failed; polling every %u ms\n",
                     static_cast<unsigned>(timeoutMs));
        }
    }
    // FTDI's library signals only bytes that arrive after this point, once:
    // bytes already waiting are looked for first.
    DWORD rx = 0, tx = 0, events = 0;
    if (lib.getStatus(h, &rx, &tx, &events) != FT_OK || rx > 0)
        return FT_OK;
    if (rxEventDevice == h)
        rxEventWait(rxEvent, timeoutMs);
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
    return FT_OK;
}

FT_STATUS setLatencyTimer(FT_HANDLE h, UCHAR ms) {
    if (!known(h))
        return FT_INVALID_HANDLE;
    return lib.setLatencyTimer ? lib.setLatencyTimer(h, ms) : FT_NOT_SUPPORTED;
}

const Driver table = {
    .name = "FTDI D2XX library",
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

// Without the library nothing can be found; the program takes its ordinary
// failed-open path, with the loader's reason as the failure.
std::string missingReason;

const char* missing() {
    return missingReason.c_str();
}

FT_STATUS noDevices(DWORD* numDevs) {
    if (!numDevs)
        return FT_INVALID_PARAMETER;
    *numDevs = 0;
    return FT_DEVICE_NOT_FOUND;
}
FT_STATUS noList(DeviceInfoNode* list, DWORD* numDevs) {
    FT_STATUS status = noDevices(numDevs);
    return list ? status : FT_INVALID_PARAMETER;
}
const Driver missingTable = {
    .name = "FTDI D2XX library (not loaded)",
    .createDeviceInfoList = noDevices,
    .getDeviceInfoList = noList,
    .open = absent::open,
    .setTimeouts = absent::setTimeouts,
    .getStatus = absent::getStatus,
    .read = absent::read,
    .write = absent::write,
    .close = absent::close,
    .lastError = missing,
    .waitForRx = nullptr,
    .setLatencyTimer = nullptr,
    .devicePath = nullptr,
};

} // namespace

std::string d2xxLoaderReason(const char* file, const std::string& loaderText) {
    // Windows' texts keep their "%1" where the file's name belongs.
    std::string reason = loaderText;
    const size_t fileLen = std::strlen(file);
    for (size_t at = reason.find("%1"); at != std::string::npos;
         at = reason.find("%1", at + fileLen))
        reason.replace(at, 2, file);
    return std::string(file) + ": " + reason;
}

const Driver* d2xxLibraryDriver(std::string& error) {
    if (loaded)
        return &table;
    std::string reasons;
    for (const char* const* name = d2xxLibraryNames; *name; ++name) {
        std::string why;
        if (void* handle = loadLibrary(*name, why)) {
            error = resolveAll(handle, d2xxLibraryNames[0]);
            return loaded ? &table : nullptr;
        }
        if (!reasons.empty())
            reasons += "; ";
        reasons += d2xxLoaderReason(*name, why);
    }
    error = "FTDI's D2XX library could not be loaded (" + reasons + ")";
    return nullptr;
}

const Driver* d2xxLibraryDriverAt(const char* path, std::string& error) {
    if (loaded)
        return &table;
    void* handle = loadLibrary(path, error);
    if (!handle) {
        error = "FTDI's D2XX library could not be loaded (" + d2xxLoaderReason(path, error) + ")";
        return nullptr;
    }
    error = resolveAll(handle, path);
    return loaded ? &table : nullptr;
}

const Driver* d2xxLibraryMissing(const std::string& error) {
    logPrintFlush("%s\n", error.c_str());
    missingReason = error +
                    ". Install FTDI's D2XX driver (ftdichip.com) or put the library where the "
                    "system's loader finds it.";
    return &missingTable;
}
