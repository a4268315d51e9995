#include "link/queue.h"

#include <chrono>
#include <cstring>
#include <new>
#include <string>
#include <thread>

#include "base/clock.h"
#include "base/log.h"
#include "base/state.h"
#include "base/text.h"
#include "link/d2xx.h"
#include "link/device.h"

std::atomic<int> clearToSend{1};
std::atomic<int> waitingForNetup{0};
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
    readerStop = 1;
}

} // namespace

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

void sendMsgToLoom(int msgLen, const char* text) {
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
        return;
    }
    if (msgLen <= 0)
        return;

    const Driver& d = driver();
    const char* next = text;
    int bytesWritten = 0;
    uint32_t lastProgress = tickCount();
    for (;;) {
        DWORD written = 0;
        FT_STATUS status = d.write(handle, next, static_cast<DWORD>(msgLen), &written);
        if (status != FT_OK) {
            logPrintFlush("Server: FT_Write returned %d\n", static_cast<int>(status));
            writeFailed();
            return;
        }
        if (written > static_cast<DWORD>(msgLen))
            written = static_cast<DWORD>(msgLen);
        msgLen -= static_cast<int>(written);
        next += written;
        if (msgLen <= 0)
            return;
        logPrintFlush("continuing write: msgLen = %d, bytesWritten = %d\n", msgLen, bytesWritten);
        bytesWritten += static_cast<int>(written);
        if (written != 0) {
            lastProgress = tickCount();
        } else if (tickCount() - lastProgress >= stalledWriteMs) {
            logPrintFlush("sendMsgToLoom(): no bytes accepted for %u ms, %d bytes unsent\n",
                          static_cast<unsigned>(stalledWriteMs), msgLen);
            writeFailed();
            return;
        } else {
            // The driver returned at once without taking anything; don't spin on it.
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
}
