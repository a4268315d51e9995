// Arbitrary bytes from the controller, cut into reads of arbitrary sizes,
// through framing and message handling, with the queue and a fake device
// behind them.
#include <cstddef>
#include <cstdint>

#include "base/state.h"
#include "link/connection.h"
#include "link/queue.h"
#include "link/reader.h"
#include "protocol/messages.h"
#include "protocol/settings.h"
#include "support/fake_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = [] {
        fake::reset();
        fake::setDevices({fake::Device{"FT245R USB FIFO"}});
        openDevice();
        return true;
    }();
    (void)ready;

    // "<closing connection>" ends the run for good: each input starts a run of its own.
    resetAppState();
    resetLoomSettings();
    resetMsgQueue();
    createMsgQueue();
    appState = state::idle;

    // The first byte of each piece says how long the read is.
    Framer framer;
    size_t at = 0;
    while (at < size) {
        size_t len = 1 + data[at] % 64;
        ++at;
        if (len > size - at)
            len = size - at;
        frameBytes(framer, data + at, len, processMsg);
        at += len;
        // The controller's acknowledgement pattern varies with the input too.
        if (len % 3 == 0) {
            clearToSend = 1;
            sendNextMsg();
        }
    }
    // What this input made goes with it: memory stays flat over a long run,
    // and leak detection, which gives up on a target whose heap keeps
    // growing, stays on.
    resetMsgQueue();
    fake::forgetTraffic();
    return 0;
}
