#include "link/device_list.h"

#include <chrono>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <thread>

#include "base/clock.h"
#include "base/interrupt.h"
#include "base/io.h"
#include "base/log.h"
#include "base/text.h"
#include "link/driver.h"

namespace {

constexpr char loomDescription[] = "FT245R USB FIFO";
constexpr int lookAgainMs = 500;
// An interrupt during the wait is noticed within this time.
constexpr int interruptPollMs = 20;

std::string fixedText(const char* text, size_t cap) {
    return std::string(text, strnlen(text, cap));
}

void logDevice(int index, const DeviceInfoNode& node) {
    logPrint("\nDev %d:\n", index);
    logPrint("  Flags=0x%x\n", static_cast<unsigned>(node.Flags));
    logPrint("  Type=0x%x\n", static_cast<unsigned>(node.Type));
    logPrint("  ID=0x%x\n", static_cast<unsigned>(node.ID));
    logPrint("  LocId=0x%x\n", static_cast<unsigned>(node.LocId));
    logPrint("  SerialNumber=%s\n",
             printableText(fixedText(node.SerialNumber, sizeof node.SerialNumber)).c_str());
    logPrint("  Description=%s\n",
             printableText(fixedText(node.Description, sizeof node.Description)).c_str());
    logPrint("  ftHandle=0x%llx\n",
             static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(node.ftHandle)));
}

// A path given as the id is compared in its resolved form, so a link such as
// /dev/serial/by-id/... names the tty it points at.
std::string resolvedId(const std::string& id) {
    if (id.find('/') == std::string::npos)
        return id;
    std::error_code ec;
    std::filesystem::path resolved = std::filesystem::canonical(id, ec);
    return ec ? id : resolved.string();
}

std::string inQuotes(std::string_view id) {
    return "\"" + consoleSafe(id) + "\"";
}

void tellWaiting(const DeviceChoice& choice) {
    std::string what = choice.id.empty() ? std::string("a loom (") + loomDescription + ")"
                                         : "device " + inQuotes(choice.id);
    if (choice.waitSeconds < 0)
        conPrint("Waiting for %s to be attached; looking twice a second until Ctrl-C.\n",
                 what.c_str());
    else
        conPrint("Waiting for %s to be attached; looking twice a second for up to %d s (Ctrl-C "
                 "stops).\n",
                 what.c_str(), choice.waitSeconds);
    conFlush();
}

// False when an interrupt came.
bool pauseBeforeLookingAgain() {
    for (int waited = 0; waited < lookAgainMs; waited += interruptPollMs) {
        if (interruptRequested)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(interruptPollMs));
    }
    return !interruptRequested;
}

} // namespace

bool describesLoom(std::string_view description) {
    return description.find(loomDescription) != std::string_view::npos;
}

ChosenDevice chooseDevice(const std::vector<ListedDevice>& list, std::string_view id) {
    ChosenDevice chosen;
    for (size_t i = 0; i < list.size(); ++i) {
        const ListedDevice& d = list[i];
        if (d.ft245r)
            ++chosen.looms;
        if (id.empty()) {
            // Of several, the last one listed, as ever.
            if (d.ft245r)
                chosen.index = static_cast<int>(i);
        } else if (d.serial == id || (!d.path.empty() && d.path == id)) {
            ++chosen.matches;
            chosen.index = static_cast<int>(i);
        }
    }
    if (id.empty() && chosen.index < 0 && !list.empty())
        chosen.index = 0;
    // Two devices that share a serial number: neither is the one meant.
    if (chosen.matches > 1)
        chosen.index = -1;
    return chosen;
}

bool choiceFound(const ChosenDevice& chosen, const DeviceChoice& choice) {
    return choice.id.empty() ? chosen.looms > 0 : chosen.index >= 0;
}

FT_STATUS listDevices(std::vector<ListedDevice>& list, bool toLog) {
    list.clear();
    const Driver& d = driver();
    DWORD numDevs = 0;
    FT_STATUS status = d.createDeviceInfoList(&numDevs);
    if (status != FT_OK) {
        logPrintFlush("ERROR: FT_CreateDeviceInfoList returned status : %d\n",
                      static_cast<int>(status));
        return status;
    }
    if (toLog)
        logPrint("Number of devices is %d\n", static_cast<int>(numDevs));
    if (numDevs == 0)
        return FT_OK;

    std::vector<DeviceInfoNode> nodes(numDevs);
    DWORD listed = numDevs;
    // A list that cannot be read leaves nothing to choose from, but the count
    // stood: the automatic rule still tries device 0.
    if (FT_STATUS got = d.getDeviceInfoList(nodes.data(), &listed); got != FT_OK) {
        if (toLog)
            logPrintFlush("ERROR: FT_GetDeviceInfoList returned: %d\n", static_cast<int>(got));
        return FT_OK;
    }
    // The driver may report fewer entries than it counted a moment ago.
    if (listed > numDevs)
        listed = numDevs;
    for (DWORD i = 0; i < listed; ++i) {
        const DeviceInfoNode& node = nodes[i];
        if (toLog)
            logDevice(static_cast<int>(i), node);
        ListedDevice device;
        device.index = static_cast<int>(i);
        device.locId = node.LocId;
        device.serial = fixedText(node.SerialNumber, sizeof node.SerialNumber);
        device.description = fixedText(node.Description, sizeof node.Description);
        if (const char* path = d.devicePath ? d.devicePath(device.index) : nullptr)
            device.path = path;
        device.ft245r = describesLoom(device.description);
        list.push_back(std::move(device));
    }
    return FT_OK;
}

FT_STATUS lookForDevice(const DeviceChoice& choice, std::vector<ListedDevice>& list,
                        ChosenDevice& chosen) {
    const std::string id = resolvedId(choice.id);
    const uint32_t started = tickCount();
    bool told = false;
    // The log shows the first look and the one the device was found in, not
    // every look in between.
    bool logThisLook = true;
    for (;;) {
        FT_STATUS status = listDevices(list, logThisLook);
        chosen = chooseDevice(list, id);
        if (status != FT_OK || !choice.wait)
            return status;
        bool found = choiceFound(chosen, choice);
        if (found && !logThisLook) {
            logThisLook = true;
            continue;
        }
        if (found)
            return FT_OK;
        logThisLook = false;
        if (choice.waitSeconds >= 0 &&
            uint64_t{tickCount() - started} >= uint64_t(choice.waitSeconds) * 1000) {
            logPrintFlush("not attached within %d s\n", choice.waitSeconds);
            return FT_OK;
        }
        if (!told) {
            told = true;
            logPrintFlush("waiting for the device to be attached\n");
            tellWaiting(choice);
        }
        if (!pauseBeforeLookingAgain()) {
            logPrintFlush("waiting for the device stopped by an interrupt\n");
            return FT_OK;
        }
    }
}

std::string deviceLabel(const ListedDevice& device) {
    std::string label = consoleSafe(device.description);
    std::string serial = consoleSafe(device.serial);
    if (!serial.empty())
        label += (label.empty() ? "serial " : ", serial ") + serial;
    if (!device.path.empty())
        label += (label.empty() ? "" : ", ") + consoleSafe(device.path);
    return label.empty() ? "(no description, no serial number)" : label;
}

void tellDriverFailure(const char* call, FT_STATUS status) {
    std::string why = driver().lastError();
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
