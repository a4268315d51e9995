#include "link/drivers/rx_event.h"

#include <windows.h>

struct RxEvent {
    HANDLE event;
};

RxEvent* rxEventCreate() {
    HANDLE h = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!h)
        return nullptr;
    return new RxEvent{h};
}

void* rxEventParam(RxEvent* event) {
    return event->event;
}

void rxEventWait(RxEvent* event, uint32_t timeoutMs) {
    WaitForSingleObject(event->event, timeoutMs);
}
