#include "virtual_loom/ftd2xx/rx_signal.h"

#include <pthread.h>

namespace vloom {

namespace {
// FTDI's EVENT_HANDLE; iVar belongs to the application and is left alone.
struct EventHandle {
    pthread_cond_t eCondVar;
    pthread_mutex_t eMutex;
    int iVar;
};
} // namespace

void signalRxEvent(void* param) {
    auto* event = static_cast<EventHandle*>(param);
    pthread_mutex_lock(&event->eMutex);
    pthread_cond_broadcast(&event->eCondVar);
    pthread_mutex_unlock(&event->eMutex);
}

} // namespace vloom
