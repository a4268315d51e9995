#include "link/queue.h"

#include <algorithm>
#include <chrono>
#include <cstring>
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
std::atomic<int> waitingForNetup{0};
std::atomic<int> networkDown{0};
std::atomic<int> scanState{scanIdle};

namespace {

std::mutex queueMutex;
MsgQueue msgQueue; // guarded by queueMutex
bool queueCreated = false;

// A write that keeps accepting nothing is given up after about the write time-out.
constexpr uint32_t stalledWriteMs = 1000;

void clearLocked() {
    msgQueue.count = 0;
    msgQueue.head = 0;
    msgQueue.tail = 0;
    for (auto& slot : msgQueue.slots)
        slot.reset();
}

void writeFailed() {
    // Marked here, not when the receiving thread ends: an operator who quits
    // a moment later must still hear that the loom was lost.
    linkLost = 1;
    wakeMainLoop();
    readerStop = 1;
}

} // namespace

void resetMsgQueue() {
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        clearLocked();
        queueCreated = false;
    }
    clearToSend = 1;
    waitingForNetup = 0;
    networkDown = 0;
    scanState = scanIdle;
}

void createMsgQueue() {
    std::lock_guard<std::mutex> lock(queueMutex);
    clearLocked();
    queueCreated = true;
}

void queueMsg(const char* text) {
    char buffer[512];
    // A message is at most 510 characters before its line end.
    size_t len = copyBounded(buffer, sizeof buffer - 1, text, std::strlen(text));
    if (len == 0 || buffer[len - 1] != '\n') {
        buffer[len++] = '\n';
        buffer[len] = '\0';
    }
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        if (!queueCreated) {
            logPrint("queueMsg(): no queue yet, message dropped: %s", buffer);
        } else if (msgQueue.count >= msgQueueSlots) {
            logPrint("queueMsg(): queue full, message dropped: %s", buffer);
        } else if (char* copy = new (std::nothrow) char[len + 1]) {
            std::memcpy(copy, buffer, len + 1);
            if (std::strncmp(copy, "<wifiscan", 9) == 0)
                scanState = scanQueued;
            msgQueue.slots[msgQueue.tail].reset(copy);
            msgQueue.tail = (msgQueue.tail + 1) % msgQueueSlots;
            ++msgQueue.count;
        } else {
            logPrint("queueMsg(): out of memory, message dropped: %s", buffer);
        }
    }
    sendNextMsg();
}

void sendNextMsg() {
    std::lock_guard<std::mutex> lock(queueMutex);
    if (!clearToSend || msgQueue.count == 0)
        return;
    std::unique_ptr<char[]> text = std::move(msgQueue.slots[msgQueue.head]);
    msgQueue.head = (msgQueue.head + 1) % msgQueueSlots;
    --msgQueue.count;
    if (!text)
        return;
    clearToSend = 0;
    if (std::strncmp(text.get(), "<netdown", 8) == 0)
        networkDown = 1;
    if (std::strncmp(text.get(), "<netup", 6) == 0) {
        waitingForNetup = 0;
        setAppState(state::pleaseWait);
    }
    if (std::strncmp(text.get(), "<wifiscan", 9) == 0)
        scanState = scanSent;
    sendMsgToLoom(static_cast<int>(std::strlen(text.get())), text.get());
}

void clearMsgQueue() {
    std::lock_guard<std::mutex> lock(queueMutex);
    if (!queueCreated)
        return;
    clearLocked();
    int queued = scanQueued;
    scanState.compare_exchange_strong(queued, scanIdle);
}

std::unique_lock<std::mutex> holdSending() {
    return std::unique_lock<std::mutex>(queueMutex);
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
