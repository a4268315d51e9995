#include "link/reader.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "base/clock.h"
#include "base/interrupt.h"
#include "base/log.h"
#include "base/state.h"
#include "base/text.h"
#include "link/device.h"
#include "link/driver.h"

std::atomic<uint32_t> lastRxTick{0};

namespace {

std::atomic<MessageHandler> messageHandler{nullptr};

// Once the thread is told to stop (a write failed, or the run is closing) the
// rest of a read is not handled: no "<ready>" in it may let another message go.
void deliverToHandler(const char* message) {
    if (readerStop) {
        logPrint("[%d] readThread(): stopping, not handled: %s\n", msSinceStart(), message);
        return;
    }
    if (MessageHandler handler = messageHandler.load())
        handler(message);
}

bool isLogMessage(const char* msg) {
    return std::strncmp(msg, "<log ", 5) == 0;
}

// A read takes at most what the receive buffer holds besides its NUL.
constexpr DWORD maxRead = 511;

std::atomic<int> closing{0};
std::mutex doneMutex;
std::condition_variable doneCv;
bool readerDone = true; // guarded by doneMutex

// Nudges come every 10 ms until the main loop has acted: one that lands just
// before the main thread blocks in a console read is followed by another.
void nudgeUntilNoticed() {
    while (!closing && mainThreadNeedsNudge()) {
        nudgeMainThread();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void readerEnded() {
    if (!closing) {
        endRun(RunEnd::linkLost);
        nudgeUntilNoticed();
    }
    // Notified under the lock: once awaitReaderEnd sees the flag, this thread
    // no longer touches doneCv, so an abandoned reader cannot outlive it.
    std::lock_guard<std::mutex> lock(doneMutex);
    readerDone = true;
    doneCv.notify_all();
}

} // namespace

void readerStarting() {
    closing = 0;
    std::lock_guard<std::mutex> lock(doneMutex);
    readerDone = false;
}

void readerNeverStarted() {
    std::lock_guard<std::mutex> lock(doneMutex);
    readerDone = true;
}

void stopReader() {
    closing = 1;
    readerStop = 1;
}

bool awaitReaderEnd(int timeoutMs) {
    std::unique_lock<std::mutex> lock(doneMutex);
    return doneCv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [] { return readerDone; });
}

void resetReader() {
    messageHandler = nullptr;
    lastRxTick = 0;
}

void setMessageHandler(MessageHandler handler) {
    messageHandler = handler;
}

namespace {

void takeByte(Framer& f, unsigned char c, MessageHandler deliver) {
    if (f.skipping) {
        if (c == '>')
            f.skipping = false;
        return;
    }
    f.msg[f.len++] = static_cast<char>(c);
    f.msg[f.len] = '\0';
    if (c == '>') {
        if (!isLogMessage(f.msg))
            deliver(f.msg);
        f.len = 0;
        f.msg[0] = '\0';
    } else if (f.len == Framer::capacity - 1) {
        logPrint("readThread(): message of more than %d bytes without '>' discarded: %.40s...\n",
                 static_cast<int>(Framer::capacity - 1), f.msg);
        f.len = 0;
        f.msg[0] = '\0';
        f.skipping = true;
    }
}

} // namespace

void frameBytes(Framer& f, const unsigned char* bytes, size_t n, MessageHandler deliver) {
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = bytes[i];
        if (c == 0) {
            f.partialLen = 0;
            return;
        }
        if (f.partialLen > 0) {
            f.partial[f.partialLen++] = c;
            int len = utf8Sequence(f.partial, f.partialLen);
            if (len == 0)
                continue;
            size_t taken = f.partialLen;
            f.partialLen = 0;
            if (len > 0) {
                for (size_t k = 0; k < taken; ++k)
                    takeByte(f, f.partial[k], deliver);
                continue;
            }
            // The character broke off: its bytes go, and c is looked at afresh.
        }
        if (c >= 0x80) {
            f.partial[0] = c;
            f.partialLen = utf8Sequence(f.partial, 1) == 0 ? 1 : 0;
            continue;
        }
        if (c >= 0x20)
            takeByte(f, c, deliver);
    }
}

void readThread() {
    keepInterruptsOffThisThread();
    logPrint("read thread started at %d\n", msSinceStart());
    const Driver& d = driver();
    Framer framer;
    unsigned char rx[maxRead + 1];
    bool driverFailed = false;

    while (!readerStop) {
        if (mainThreadNeedsNudge())
            nudgeMainThread();
        FT_HANDLE handle = ftHandle.load();
        DWORD waiting = 0, txBytes = 0, events = 0;
        FT_STATUS status = d.getStatus(handle, &waiting, &txBytes, &events);
        if (status != FT_OK) {
            logPrintFlush("readThread(): FT_GetStatus returned %d\n", static_cast<int>(status));
            driverFailed = true;
            break;
        }
        if (waiting == 0) {
            if (d.waitForRx)
                d.waitForRx(handle, 10);
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        DWORD toRead = std::min(waiting, maxRead);
        DWORD got = 0;
        status = d.read(handle, rx, toRead, &got);
        if (status == FT_IO_ERROR) {
            logPrintFlush("readThread(): FT_Read returned %d\n", static_cast<int>(status));
            driverFailed = true;
            break;
        }
        got = std::min(got, toRead);
        if (got == 0) {
            // Bytes said to be waiting that no read returns: a driver wait
            // would end at once, so this pass sleeps instead of spinning.
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        lastRxTick = tickCount();
        rx[got] = 0;
        if (rx[0] == 0)
            continue;
        frameBytes(framer, rx, got, deliverToHandler);
    }

    if (!driverFailed)
        logPrint("read thread exiting at %d\n", msSinceStart());
    readerEnded();
}
