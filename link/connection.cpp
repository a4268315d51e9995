#include "link/connection.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "base/io.h"
#include "base/log.h"
#include "base/state.h"
#include "base/text.h"
#include "link/driver.h"
#include "link/reader.h"

namespace {

std::thread readerThread;
std::atomic<bool> abandoned{false};

constexpr char loomDescription[] = "FT245R USB FIFO";

// How long FT_Close may take before it is left to the end of the process.
constexpr int closeBoundMs = 1000;

// FT_Close on a thread of its own, waited for at most closeBoundMs: a driver
// stuck in it must not hold the exit up. True when it returned in time.
bool closeWithin(FT_HANDLE handle, int boundMs) {
    struct Done {
        std::mutex mutex;
        std::condition_variable cv;
        bool done = false;
    };
    auto done = std::make_shared<Done>();
    const Driver* d = &driver();
    std::thread closer;
    try {
        closer = std::thread([d, handle, done] {
            d->close(handle);
            std::lock_guard<std::mutex> lock(done->mutex);
            done->done = true;
            done->cv.notify_all();
        });
    } catch (const std::system_error&) {
        d->close(handle);
        return true;
    }
    bool returned;
    {
        std::unique_lock<std::mutex> lock(done->mutex);
        returned =
            done->cv.wait_for(lock, std::chrono::milliseconds(boundMs), [&] { return done->done; });
    }
    if (returned)
        closer.join();
    else
        closer.detach();
    return returned;
}

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
    logPrint("  SerialNumber=%s\n", printableText(serial).c_str());
    logPrint("  Description=%s\n", printableText(description).c_str());
    logPrint("  ftHandle=0x%llx\n",
             static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(node.ftHandle)));
}

bool describesLoom(const DeviceInfoNode& node) {
    std::string_view description(node.Description,
                                 strnlen(node.Description, sizeof node.Description));
    return description.find(loomDescription) != std::string_view::npos;
}

std::string_view fixedText(const char* text, size_t cap) {
    return std::string_view(text, strnlen(text, cap));
}

// "Connecting to the loom (FT245R USB FIFO, serial A1B2C3)…", or with the path
// the back end knows the device by.
void sayWhichDevice(const Driver& d, int index, const DeviceInfoNode* node) {
    const char* path = d.devicePath ? d.devicePath(index) : nullptr;
    std::string which = path ? consoleSafe(path) : "";
    if (which.empty() && node) {
        which = consoleSafe(fixedText(node->Description, sizeof node->Description));
        std::string serial = consoleSafe(fixedText(node->SerialNumber, sizeof node->SerialNumber));
        if (!serial.empty())
            which += (which.empty() ? "serial " : ", serial ") + serial;
    }
    if (which.empty())
        conPrint("Connecting to the loom\u2026\n");
    else
        conPrint("Connecting to the loom (%s)\u2026\n", which.c_str());
    conFlush();
}

// The one console report of a failed list or open: the back end's reason on
// an ERROR line, its advice, if any, on the next.
void sayWhyNot(const Driver& d, const char* call, FT_STATUS status) {
    std::string why = d.lastError();
    if (why.empty())
        why = std::string(call) + " returned: " + std::to_string(static_cast<int>(status));
    size_t newline = why.find('\n');
    std::string reason = consoleSafe(std::string_view(why).substr(0, newline));
    if (newline == std::string::npos) {
        conPrint("ERROR: %s\n", reason.c_str());
    } else {
        std::string advice = consoleSafe(std::string_view(why).substr(newline + 1));
        conPrint("ERROR: %s\n\t%s\n", reason.c_str(), advice.c_str());
    }
    conFlush();
}

} // namespace

FT_STATUS openDevice() {
    const Driver& d = driver();
    DWORD numDevs = 0;
    int chosen = 0;
    DeviceInfoNode chosenNode{};
    bool listedChosen = false;

    FT_STATUS status = d.createDeviceInfoList(&numDevs);
    if (status == FT_OK)
        logPrint("Number of devices is %d\n", static_cast<int>(numDevs));
    else
        logPrintFlush("ERROR: FT_CreateDeviceInfoList returned status : %d\n",
                      static_cast<int>(status));
    // A library that cannot list devices cannot open one either (FTDI's own
    // then crashes inside FT_Open).
    if (status != FT_OK) {
        sayWhyNot(d, "FT_CreateDeviceInfoList", status);
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
            if (listed > 0) {
                chosenNode = list[static_cast<size_t>(chosen)];
                listedChosen = true;
            }
        }
    }

    FT_HANDLE handle = nullptr;
    status = d.open(chosen, &handle);
    if (status != FT_OK) {
        sayWhyNot(d, "FT_Open", status);
        ftHandle = nullptr;
    } else {
        ftHandle = handle;
        logPrint("FT_Open succeeded\n");
        sayWhichDevice(d, chosen, listedChosen ? &chosenNode : nullptr);
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
    if (handle && !abandoned && !closeWithin(handle, closeBoundMs)) {
        abandoned = true;
        logPrintFlush("closeLoom(): FT_Close did not return within %d ms; left to the end of "
                      "the process\n",
                      closeBoundMs);
    }
}

bool readerAbandoned() {
    return abandoned;
}
