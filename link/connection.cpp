#include "link/connection.h"

#include <cstring>
#include <system_error>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "base/io.h"
#include "base/log.h"
#include "base/state.h"
#include "link/reader.h"

namespace {

std::thread readerThread;
std::atomic<bool> abandoned{false};

constexpr char loomDescription[] = "FT245R USB FIFO";

void logDevice(int index, const DeviceInfoNode& node) {
    // The driver's strings are fixed arrays that need not be terminated.
    char serial[sizeof node.SerialNumber + 1];
    char description[sizeof node.Description + 1];
    std::memcpy(serial, node.SerialNumber, sizeof node.SerialNumber);
    serial[sizeof node.SerialNumber] = '\0';
    std::memcpy(description, node.Description, sizeof node.Description);
    description[sizeof node.Description] = '\0';

    logPrint("\nDev %d:\n", index);
    logPrint("  Flags=0x%x\n", static_cast<unsigned>(node.Flags));
    logPrint("  Type=0x%x\n", static_cast<unsigned>(node.Type));
    logPrint("  ID=0x%x\n", static_cast<unsigned>(node.ID));
    logPrint("  LocId=0x%x\n", static_cast<unsigned>(node.LocId));
    logPrint("  SerialNumber=%s\n", serial);
    logPrint("  Description=%s\n", description);
    logPrint("  ftHandle=0x%llx\n",
             static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(node.ftHandle)));
}

bool describesLoom(const DeviceInfoNode& node) {
    std::string_view description(node.Description,
                                 strnlen(node.Description, sizeof node.Description));
    return description.find(loomDescription) != std::string_view::npos;
}

} // namespace

FT_STATUS openDevice() {
    const Driver& d = driver();
    DWORD numDevs = 0;
    int chosen = 0;

    FT_STATUS status = d.createDeviceInfoList(&numDevs);
    if (status == FT_OK)
        logPrint("Number of devices is %d\n", static_cast<int>(numDevs));
    else
        logPrintFlush("ERROR: FT_CreateDeviceInfoList returned status : %d\n",
                      static_cast<int>(status));
    // A library that cannot list devices cannot open one either (FTDI's own
    // then crashes inside FT_Open); the back end has said why on the console.
    if (status != FT_OK) {
        ftHandle = nullptr;
        return status;
    }

    if (numDevs != 0) {
        // The list is needed only to choose the device; it goes when this block ends.
        std::vector<DeviceInfoNode> list(numDevs);
        DWORD listed = numDevs;
        status = d.getDeviceInfoList(list.data(), &listed);
        if (status != FT_OK) {
            logPrintFlush("ERROR: FT_GetDeviceInfoList returned: %d\n", static_cast<int>(status));
        } else {
            // The driver may report fewer entries than it counted a moment ago.
            if (listed > numDevs)
                listed = numDevs;
            for (DWORD i = 0; i < listed; ++i) {
                logDevice(static_cast<int>(i), list[i]);
                if (describesLoom(list[i]))
                    chosen = static_cast<int>(i);
            }
        }
    }

    FT_HANDLE handle = nullptr;
    status = d.open(chosen, &handle);
    if (status != FT_OK) {
        conPrint("ERROR: FT_Open returned: %d\n", static_cast<int>(status));
        conFlush();
        ftHandle = nullptr;
    } else {
        ftHandle = handle;
        logPrint("FT_Open succeeded\n");
    }
    return status;
}

FT_STATUS openLoom() {
    FT_STATUS status = openDevice();
    if (status != FT_OK) {
        logPrintFlush("FT_Open returned %d\n", static_cast<int>(status));
        return status;
    }
    const Driver& d = driver();
    d.setTimeouts(ftHandle.load(), 2000, 1000);
    // FTDI's 16 ms default holds every short reply back by up to 16 ms.
    if (d.setLatencyTimer)
        d.setLatencyTimer(ftHandle.load(), 2);

    readerStop = 0;
    abandoned = false;
    readerStarting();
    try {
        readerThread = std::thread(readThread);
    } catch (const std::system_error& e) {
        logPrintFlush("openLoom(): cannot start the receiving thread: %s\n", e.what());
        readerNeverStarted();
        d.close(ftHandle.exchange(nullptr));
        return FT_INSUFFICIENT_RESOURCES;
    }
    logPrint("connection opened and thread created %d\n", msSinceStart());
    return FT_OK;
}

void closeLoom() {
    stopReader();
    if (readerThread.joinable()) {
        if (awaitReaderEnd(200)) {
            readerThread.join();
        } else {
            // Still inside a driver call: closing the handle under it would be
            // worse than leaving both to the end of the process.
            readerThread.detach();
            abandoned = true;
        }
        logPrint("Server: thread terminated %d\n", msSinceStart());
    }
    FT_HANDLE handle = ftHandle.exchange(nullptr);
    if (handle && !abandoned)
        driver().close(handle);
}

bool readerAbandoned() {
    return abandoned;
}
