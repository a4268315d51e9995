// On Linux, FTDI's library when it is installed, otherwise the kernel's own
// ftdi_sio devices, which is what most machines have.
#include "link/drivers/system_driver.h"

#include <mutex>
#include <string>

#include "base/io.h"
#include "base/log.h"
#include "link/drivers/d2xx_library.h"
#include "link/drivers/kernel_serial.h"

namespace {

std::once_flag chooseOnce;
const Driver* chosen = nullptr;
bool fellBack = false;
extern Driver table;

// The choice waits for the first call, as the library's load does, so that
// its line lands in the log.
const Driver& pick() {
    std::call_once(chooseOnce, [] {
        std::string why;
        if (d2xxLibraryLoadQuiet(why)) {
            chosen = d2xxLibraryDriver();
            logPrint("driver: FTDI D2XX library (libftd2xx.so)\n");
        } else {
            chosen = kernelSerialDriver();
            fellBack = true;
            logPrint("driver: kernel serial devices (ftdi_sio), libftd2xx.so not loaded: %s\n",
                     why.c_str());
        }
        // Callers test the optional entries before using them, after the
        // device list has been asked for.
        table.waitForRx = chosen->waitForRx;
        table.setLatencyTimer = chosen->setLatencyTimer;
    });
    return *chosen;
}

FT_STATUS createDeviceInfoList(DWORD* numDevs) {
    return pick().createDeviceInfoList(numDevs);
}

FT_STATUS getDeviceInfoList(DeviceInfoNode* list, DWORD* numDevs) {
    return pick().getDeviceInfoList(list, numDevs);
}

FT_STATUS open(int index, FT_HANDLE* handle) {
    FT_STATUS status = pick().open(index, handle);
    // Without a device the technician needs to know both ways were tried.
    if (status != FT_OK && fellBack)
        conPrint("\t(FTDI's D2XX library libftd2xx.so is not installed, so the kernel's serial "
                 "devices were searched.)\n");
    return status;
}

FT_STATUS setTimeouts(FT_HANDLE h, ULONG readMs, ULONG writeMs) {
    return pick().setTimeouts(h, readMs, writeMs);
}

FT_STATUS getStatus(FT_HANDLE h, DWORD* rx, DWORD* tx, DWORD* events) {
    return pick().getStatus(h, rx, tx, events);
}

FT_STATUS read(FT_HANDLE h, void* buffer, DWORD toRead, DWORD* returned) {
    return pick().read(h, buffer, toRead, returned);
}

FT_STATUS write(FT_HANDLE h, const void* buffer, DWORD toWrite, DWORD* written) {
    return pick().write(h, buffer, toWrite, written);
}

FT_STATUS close(FT_HANDLE h) {
    return pick().close(h);
}

Driver table = {
    "system (FTDI library or kernel serial devices)",
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

const Driver* systemDriver() {
    return &table;
}
