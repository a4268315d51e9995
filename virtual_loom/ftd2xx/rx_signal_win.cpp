#include "virtual_loom/ftd2xx/rx_signal.h"

#include <windows.h>

namespace vloom {

void signalRxEvent(void* param) {
    SetEvent(static_cast<HANDLE>(param));
}

} // namespace vloom
