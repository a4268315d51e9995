#include "app/run_state.h"

#include "app/main_loop.h"
#include "base/clock.h"
#include "base/interrupt.h"
#include "base/log.h"
#include "base/state.h"
#include "link/device.h"
#include "link/queue.h"
#include "link/reader.h"
#include "protocol/firmware.h"
#include "protocol/settings.h"

void resetRunState() {
    logClose();
    resetAppState();
    resetClock();
    resetInterrupts();
    resetDevice();
    resetReader();
    resetMsgQueue();
    resetLoomSettings();
    resetFirmware();
    resetMainLoop();
}
