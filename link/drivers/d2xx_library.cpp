#include "link/drivers/d2xx_library.h"

#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "base/io.h"
#include "base/log.h"
#include "link/drivers/dynlib.h"
#include "link/drivers/rx_event.h"
#include "link/ft_status.h"

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

std::once_flag loadOnce;
Library lib;
bool loaded = false;
std::string loadError;

template <typename Fn> bool resolve(void* handle, const char* name, Fn& out) {
    out = reinterpret_cast<Fn>(findSymbol(handle, name));
    return out != nullptr;
}

void load() {
    void* handle = nullptr;
    std::string reasons;
    for (const char* const* name = d2xxLibraryNames; *name; ++name) {
        std::string error;
        handle = loadLibrary(*name, error);
        if (handle)
            break;
        if (!reasons.empty())
            reasons += "; ";
        reasons += d2xxLoaderReason(*name, error);
    }
    if (!handle) {
        loadError = "FTDI's D2XX library could not be loaded (" + reasons + ")";
        return;
    }
    const char* missing = nullptr;
    if (!resolve(handle, "FT_CreateDeviceInfoList", lib.createDeviceInfoList))
        missing = "FT_CreateDeviceInfoList";
    else if (!resolve(handle, "FT_GetDeviceInfoList", lib.getDeviceInfoList))
        missing = "FT_GetDeviceInfoList";
    else if (!resolve(handle, "FT_Open", lib.open))
        missing = "FT_Open";
    else if (!resolve(handle, "FT_SetTimeouts", lib.setTimeouts))
        missing = "FT_SetTimeouts";
    else if (!resolve(handle, "FT_GetStatus", lib.getStatus))
        missing = "FT_GetStatus";
    else if (!resolve(handle, "FT_Read", lib.read))
        missing = "FT_Read";
    else if (!resolve(handle, "FT_Write", lib.write))
        missing = "FT_Write";
    else if (!resolve(handle, "FT_Close", lib.close))
        missing = "FT_Close";
    if (missing) {
        loadError = std::string("FTDI's D2XX library ") + d2xxLibraryNames[0] + " lacks " + missing;
        lib = Library{};
        return;
    }
    resolve(handle, "FT_SetEventNotification", lib.setEventNotification);
    resolve(handle, "FT_SetLatencyTimer", lib.setLatencyTimer);
    loaded = true;
}

FT_STATUS waitForRx(FT_HANDLE h, uint32_t timeoutMs);
FT_STATUS setLatencyTimer(FT_HANDLE h, UCHAR ms);
extern Driver table;

bool loadQuietly() {
    std::call_once(loadOnce, [] {
        load();
        if (loaded) {
            // The optional operations exist only where the library exports them.
            table.waitForRx = lib.setEventNotification ? waitForRx : nullptr;
            table.setLatencyTimer = lib.setLatencyTimer ? setLatencyTimer : nullptr;
        }
    });
    return loaded;
}

std::once_flag reportOnce;

bool ready() {
    if (loadQuietly())
        return true;
    std::call_once(reportOnce, [] {
        conPrint("ERROR: %s. Install FTDI's D2XX driver (ftdichip.com) or put the library "
                 "where the system's loader finds it.\n",
                 loadError.c_str());
        conFlush();
        logPrintFlush("%s\n", loadError.c_str());
    });
    return false;
}

FT_STATUS createDeviceInfoList(DWORD* numDevs) {
    if (!ready()) {
        *numDevs = 0;
        return FT_DEVICE_NOT_FOUND;
    }
    FT_STATUS status = lib.createDeviceInfoList(numDevs);
    if (status != FT_OK) {
        // No device will be opened after this, so this is the operator's only word.
        conPrint("ERROR: FTDI's library cannot list USB devices: FT_CreateDeviceInfoList "
                 "returned %d (%s).\n"
                 "\tIt needs the USB bus itself: in a container or under WSL, pass the USB "
                 "device through to it.\n"
                 "\tOn Linux the kernel's ftdi_sio driver must also let go of the device "
                 "(sudo rmmod ftdi_sio).\n",
                 static_cast<int>(status), ftStatusName(status));
        conFlush();
    }
    return status;
}

FT_STATUS getDeviceInfoList(DeviceInfoNode* list, DWORD* numDevs) {
    return ready() ? lib.getDeviceInfoList(list, numDevs) : FT_DEVICE_NOT_FOUND;
}

FT_STATUS open(int index, FT_HANDLE* handle) {
    *handle = nullptr;
    return ready() ? lib.open(index, handle) : FT_DEVICE_NOT_FOUND;
}

FT_STATUS setTimeouts(FT_HANDLE h, ULONG readMs, ULONG writeMs) {
    return ready() ? lib.setTimeouts(h, readMs, writeMs) : FT_DEVICE_NOT_FOUND;
}

FT_STATUS getStatus(FT_HANDLE h, DWORD* rx, DWORD* tx, DWORD* events) {
    return ready() ? lib.getStatus(h, rx, tx, events) : FT_DEVICE_NOT_FOUND;
}

FT_STATUS read(FT_HANDLE h, void* buffer, DWORD toRead, DWORD* returned) {
    return ready() ? lib.read(h, buffer, toRead, returned) : FT_DEVICE_NOT_FOUND;
}

FT_STATUS write(FT_HANDLE h, const void* buffer, DWORD toWrite, DWORD* written) {
    // FTDI's prototype takes a non-const buffer but never writes to it.
    return ready() ? lib.write(h, const_cast<void*>(buffer), toWrite, written)
                   : FT_DEVICE_NOT_FOUND;
}

FT_STATUS close(FT_HANDLE h) {
    return ready() ? lib.close(h) : FT_DEVICE_NOT_FOUND;
}

// Registered once, for the one device the program opens; only the receiving
// thread waits on it.
RxEvent* rxEvent = nullptr;
FT_HANDLE rxEventDevice = nullptr;
bool rxEventFailed = false;

FT_STATUS waitForRx(FT_HANDLE h, uint32_t timeoutMs) {
    if (rxEventDevice != h && !rxEventFailed) {
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
    if (rxEventDevice == h)
        rxEventWait(rxEvent, timeoutMs);
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
    return FT_OK;
}

FT_STATUS setLatencyTimer(FT_HANDLE h, UCHAR ms) {
    return lib.setLatencyTimer(h, ms);
}

Driver table = {
    "FTDI D2XX library",
    createDeviceInfoList,
    getDeviceInfoList,
    open,
    setTimeouts,
    getStatus,
    read,
    write,
    close,
    nullptr,
    nullptr,
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

bool d2xxLibraryLoad(std::string& error) {
    if (!ready()) {
        error = loadError;
        return false;
    }
    return true;
}

bool d2xxLibraryLoadQuiet(std::string& error) {
    if (!loadQuietly()) {
        error = loadError;
        return false;
    }
    return true;
}

const Driver* d2xxLibraryDriver() {
    return &table;
}
