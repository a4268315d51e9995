#include "link/device.h"

std::atomic<FT_HANDLE> ftHandle{nullptr};
std::atomic<int> readerStop{0};

void resetDevice() {
    ftHandle = nullptr;
    readerStop = 0;
}
