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
#include "base/interrupt.h"
#include "base/io.h"
#include "base/log.h"
#include "base/state.h"
#include "base/text.h"
#include "link/device_list.h"
#include "link/driver.h"
#include "link/reader.h"

namespace {

std::thread readerThread;
std::atomic<bool> abandoned{false};
ListedDevice opened; // main thread

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

// "Connecting to the loom (FT245R USB FIFO, serial A1B2C3)…", or with the path
// the back end knows the device by.
void sayWhichDevice(const ListedDevice* listed) {
    std::string which;
    if (listed && !listed->path.empty())
        which = consoleSafe(listed->path);
    else if (listed && !(listed->description.empty() && listed->serial.empty()))
        which = deviceLabel(*listed);
    if (which.empty())
        conPrint("Connecting to the loom\u2026\n");
    else
        conPrint("Connecting to the loom (%s)\u2026\n", which.c_str());
    conFlush();
}

// The serial number a technician would pass to --device, or the entry's index.
std::string nameForChoice(const ListedDevice& device) {
    if (!device.serial.empty())
        return consoleSafe(device.serial);
    if (!device.path.empty())
        return consoleSafe(device.path);
    return "device " + std::to_string(device.index);
}

void tellSeveralLooms(const std::vector<ListedDevice>& list, int chosen) {
    std::string names;
    int looms = 0;
    for (const ListedDevice& d : list) {
        if (!d.ft245r)
            continue;
        names += (looms++ ? ", " : "") + nameForChoice(d);
    }
    conPrint("%d looms are attached (%s); using the last one listed, %s. To use another, start "
             "Shedmate with --device (shedmate list shows them).\n",
             looms, names.c_str(), nameForChoice(list[static_cast<size_t>(chosen)]).c_str());
    logPrint("%d FT245R USB FIFOs attached, opening device %d\n", looms, chosen);
}

void tellAttached(const std::vector<ListedDevice>& list) {
    if (list.empty()) {
        conPrint("No FTDI device is attached.\n");
        return;
    }
    conPrint("Attached FTDI devices:\n");
    for (const ListedDevice& d : list)
        conPrint("\t%d: %s\n", d.index, deviceLabel(d).c_str());
}

// The named device is not there (or twice), or the loom waited for never came.
void tellNotFound(const DeviceChoice& choice, const std::vector<ListedDevice>& list,
                  const ChosenDevice& chosen) {
    std::string id = consoleSafe(choice.id);
    if (interruptRequested)
        conPrint("Stopped waiting for the loom.\n");
    else if (chosen.matches > 1)
        conPrint("ERROR: %d attached devices have the serial number \"%s\"; none of them is "
                 "opened.\n",
                 chosen.matches, id.c_str());
    else if (!choice.id.empty())
        conPrint("ERROR: no attached device has the serial number or path \"%s\".\n", id.c_str());
    else
        conPrint("ERROR: no loom (FT245R USB FIFO) was attached within %d s.\n",
                 choice.waitSeconds);
    tellAttached(list);
    conFlush();
    logPrintFlush("device not opened: %s not attached\n",
                  choice.id.empty() ? "no FT245R USB FIFO" : printableText(choice.id).c_str());
}

} // namespace

FT_STATUS openDevice(const DeviceChoice& choice) {
    const Driver& d = driver();
    opened = ListedDevice{};
    std::vector<ListedDevice> list;
    ChosenDevice chosen;
    FT_STATUS status = lookForDevice(choice, list, chosen);
    // A library that cannot list devices cannot open one either (FTDI's own
    // then crashes inside FT_Open).
    if (status != FT_OK) {
        tellDriverFailure("FT_CreateDeviceInfoList", status);
        ftHandle = nullptr;
        return status;
    }
    // A named device, or one waited for, is that device or none: never another.
    if ((!choice.id.empty() || choice.wait) && !choiceFound(chosen, choice)) {
        tellNotFound(choice, list, chosen);
        ftHandle = nullptr;
        return FT_DEVICE_NOT_FOUND;
    }
    // With nothing listed the open is still tried, and its failure told.
    int index = chosen.index < 0 ? 0 : chosen.index;
    if (choice.id.empty() && chosen.looms > 1)
        tellSeveralLooms(list, index);

    FT_HANDLE handle = nullptr;
    status = d.open(index, &handle);
    if (status != FT_OK) {
        tellDriverFailure("FT_Open", status);
        ftHandle = nullptr;
    } else {
        ftHandle = handle;
        logPrint("FT_Open succeeded\n");
        if (chosen.index >= 0)
            opened = list[static_cast<size_t>(index)];
        sayWhichDevice(chosen.index >= 0 ? &opened : nullptr);
    }
    return status;
}

FT_STATUS openLoom(const DeviceChoice& choice) {
    FT_STATUS status = openDevice(choice);
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

const ListedDevice& openedDevice() {
    return opened;
}

bool readerAbandoned() {
    return abandoned;
}
