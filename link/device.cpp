#include "link/device.h"

#include <string>

std::atomic<FT_HANDLE> ftHandle{nullptr};
std::atomic<int> readerStop{0};

namespace {
std::string deviceName;
}

void resetDevice() {
    ftHandle = nullptr;
    readerStop = 0;
    deviceName.clear();
}

void nameOpenedDevice(const char* name) {
    deviceName = name ? name : "";
}

const char* openedDeviceName() {
    return deviceName.c_str();
}
