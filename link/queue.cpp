#include "link/queue.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "base/clock.h"
#include "base/log.h"
#include "base/state.h"
#include "base/text.h"
#include "link/device.h"
#include "link/driver.h"

std::atomic<int> clearToSend{1};
std::atomic<ApplyStage> applyStage{ApplyStage::none};
std::atomic<int> scanState{scanIdle};

namespace {

// none: not created yet; open; reserved: a firmware image holds the wire;
// closing: the run is ending, nothing more is taken.
enum class Mode { none, open, reserved, closing };

std::mutex queueMutex;
// Notified whenever the flow may have moved on (every sendNextMsg, which ends
// the handling of every message), for reserveWire.
std::condition_variable queueCv;
MsgQueue msgQueue; // guarded by queueMutex, as is mode
Mode mode = Mode::none;

// A write that keeps accepting nothing is given up after about the write time-out.
constexpr uint32_t stalledWriteMs = 1000;

void clearLocked() {
    msgQueue.count = 0;
    msgQueue.head = 0;
    msgQueue.tail = 0;
    for (auto& slot : msgQueue.slots)
        slot.reset();
    int queued = scanQueued;
    scanState.compare_exchange_strong(queued, scanIdle);
}

bool startsWith(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// Caller holds queueMutex. `buffer` ends in its one "\n".
void putLocked(const char* buffer, size_t len) {
    if (msgQueue.count >= msgQueueSlots) {
        logPrint("queueMsg(): queue full, message dropped: %s", buffer);
    } else if (char* copy = new (std::nothrow) char[len + 1]) {
        std::memcpy(copy, buffer, len + 1);
        if (startsWith(copy, "<wifiscan"))
            scanState = scanQueued;
        msgQueue.slots[msgQueue.tail].reset(copy);
        msgQueue.tail = (msgQueue.tail + 1) % msgQueueSlots;
        ++msgQueue.count;
    } else {
        logPrint("queueMsg(): out of memory, message dropped: %s", buffer);
    }
}

// A message is at most 510 characters before its line end.
size_t frame(char (&buffer)[512], const char* text) {
    size_t len = copyBounded(buffer, sizeof buffer - 1, text, std::strlen(text));
    if (len == 0 || buffer[len - 1] != '\n') {
        buffer[len++] = '\n';
        buffer[len] = '\0';
    }
    return len;
}

// The apply's progress, as its messages leave. Caller holds queueMutex.
void noteSent(const char* text) {
    if (startsWith(text, "<netdown")) {
        applyStage = ApplyStage::downSent;
    } else if (startsWith(text, "<netconfig") || startsWith(text, "<wificonfig")) {
        ApplyStage down = ApplyStage::downSent;
        applyStage.compare_exchange_strong(down, ApplyStage::configSent);
    } else if (startsWith(text, "<netup")) {
        applyStage = ApplyStage::upSent;
        setAppState(state::pleaseWait);
    } else if (startsWith(text, "<wifiscan")) {
        scanState = scanSent;
    }
}

void writeFailed() {
    // Lost from here, not when the receiving thread ends: an operator who
    // quits a moment later must still hear that the loom was lost.
    endRun(RunEnd::linkLost);
    readerStop = 1;
}

} // namespace

bool loomNetworkDown() {
    ApplyStage s = applyStage.load();
    return s >= ApplyStage::downSent && s <= ApplyStage::restarting;
}

void resetMsgQueue() {
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        clearLocked();
        mode = Mode::none;
    }
    clearToSend = 1;
    applyStage = ApplyStage::none;
    scanState = scanIdle;
}

void createMsgQueue() {
    std::lock_guard<std::mutex> lock(queueMutex);
    clearLocked();
    mode = Mode::open;
}

void queueMsg(const char* text) {
    char buffer[512];
    size_t len = frame(buffer, text);
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        if (mode == Mode::none)
            logPrint("queueMsg(): no queue yet, message dropped: %s", buffer);
        else if (mode == Mode::closing)
            logPrint("queueMsg(): closing, message dropped: %s", buffer);
        else
            putLocked(buffer, len);
    }
    sendNextMsg();
}

void sendNextMsg() {
    std::lock_guard<std::mutex> lock(queueMutex);
    queueCv.notify_all();
    bool sending = mode == Mode::open || mode == Mode::closing;
    if (!sending || !clearToSend || msgQueue.count == 0 || linkLost())
        return;
    std::unique_ptr<char[]> text = std::move(msgQueue.slots[msgQueue.head]);
    msgQueue.head = (msgQueue.head + 1) % msgQueueSlots;
    --msgQueue.count;
    if (!text)
        return;
    clearToSend = 0;
    noteSent(text.get());
    sendMsgToLoom(static_cast<int>(std::strlen(text.get())), text.get());
}

void closeMsgQueue(const char* last) {
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        if (mode == Mode::none)
            return;
        // Once "<netdown/>" has gone, dropping the rest of the apply would
        // leave the loom's network down: it goes first. Decided here, under
        // the lock its messages leave by, so none can slip out meanwhile.
        ApplyStage stage = applyStage.load();
        bool applyHalfway = stage == ApplyStage::downSent || stage == ApplyStage::configSent;
        if (!last || !applyHalfway)
            clearLocked();
        if (last) {
            char buffer[512];
            putLocked(buffer, frame(buffer, last));
        }
        mode = Mode::closing;
    }
    sendNextMsg();
}

bool reserveWire(uint32_t timeoutMs, bool (*giveUp)()) {
    const uint32_t started = tickCount();
    std::unique_lock<std::mutex> lock(queueMutex);
    for (;;) {
        if (mode != Mode::open || linkLost() || (giveUp && giveUp()))
            return false;
        if (clearToSend && msgQueue.count == 0) {
            mode = Mode::reserved;
            return true;
        }
        uint32_t waited = tickCount() - started;
        if (waited >= timeoutMs)
            return false;
        queueCv.wait_for(lock,
                         std::chrono::milliseconds(std::min<uint32_t>(50, timeoutMs - waited)));
    }
}

void releaseWire() {
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        if (mode == Mode::reserved)
            mode = Mode::open;
    }
    sendNextMsg();
}

uint32_t queuedCount() {
    std::lock_guard<std::mutex> lock(queueMutex);
    return msgQueue.count;
}

int sendMsgToLoom(int msgLen, const char* text) {
    return sendMsgToLoomInPieces(msgLen, text, msgLen > 0 ? static_cast<size_t>(msgLen) : 0, {});
}

int sendMsgToLoomInPieces(int msgLen, const char* text, size_t piece,
                          const std::function<bool(int)>& between) {
    std::string_view shown(text, strnlen(text, msgLen > 0 ? static_cast<size_t>(msgLen) : 0));
    std::string masked;
    if (carriesPassphrase(shown)) {
        masked = maskPassphrase(shown);
        shown = masked;
    }
    logPrintFlushWithText(shown.data(), shown.size(), "[%d] sendMsgToLoom(): [%d] ", msSinceStart(),
                          msgLen);

    FT_HANDLE handle = ftHandle.load();
    if (!handle) {
        logPrint("sendMsgToLoom(): ftHandle == NULL\n");
        return 0;
    }
    if (msgLen <= 0)
        return 0;

    const Driver& d = driver();
    const int total = msgLen;
    const char* next = text;
    int bytesWritten = 0;
    uint32_t lastProgress = tickCount();
    for (;;) {
        DWORD ask = static_cast<DWORD>(std::min(static_cast<size_t>(msgLen), piece));
        DWORD written = 0;
        FT_STATUS status = d.write(handle, next, ask, &written);
        if (status != FT_OK) {
            logPrintFlush("Server: FT_Write returned %d\n", static_cast<int>(status));
            writeFailed();
            return total - msgLen;
        }
        if (written > ask)
            written = ask;
        msgLen -= static_cast<int>(written);
        next += written;
        if (msgLen <= 0)
            return total;
        logPrintFlush("continuing write: msgLen = %d, bytesWritten = %d\n", msgLen, bytesWritten);
        bytesWritten += static_cast<int>(written);
        if (written != 0) {
            lastProgress = tickCount();
        } else if (tickCount() - lastProgress >= stalledWriteMs) {
            logPrintFlush("sendMsgToLoom(): no bytes accepted for %u ms, %d bytes unsent\n",
                          static_cast<unsigned>(stalledWriteMs), msgLen);
            writeFailed();
            return total - msgLen;
        } else {
            // The driver returned at once without taking anything; don't spin on it.
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (between && !between(total - msgLen))
            return total - msgLen;
    }
}
