#include "link/drivers/rx_event.h"

#include <ctime>
#include <pthread.h>

#include "link/d2xx.h"

// FTDI's EVENT_HANDLE, laid out as its header has it (checked in CI).
struct RxEvent : EVENT_HANDLE {};

RxEvent* rxEventCreate() {
    auto* event = new RxEvent{};
    pthread_mutex_init(&event->eMutex, nullptr);
    pthread_cond_init(&event->eCondVar, nullptr);
    return event;
}

void* rxEventParam(RxEvent* event) {
    return event;
}

void rxEventWait(RxEvent* event, uint32_t timeoutMs) {
    // FTDI's library signals the condition against the real-time clock.
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += timeoutMs / 1000;
    deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    pthread_mutex_lock(&event->eMutex);
    pthread_cond_timedwait(&event->eCondVar, &event->eMutex, &deadline);
    pthread_mutex_unlock(&event->eMutex);
}
