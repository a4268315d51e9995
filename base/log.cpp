#include "base/log.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

namespace {

std::mutex logMutex;
std::FILE* logFile = nullptr;          // guarded by logMutex
LogRefusal refusal = LogRefusal::none; // guarded by logMutex
std::atomic<int> writeError{0};

// The log carries on after a failure (space may come back); the first error is
// kept for the operator to be told.
void writeLocked(const char* head, size_t headLen, const char* text, size_t textLen) {
    if (!logFile)
        return;
    int err = writeLogFile(logFile, head, headLen, text, textLen);
    if (err == 0)
        return;
    int none = 0;
    writeError.compare_exchange_strong(none, err);
}

void writeEntry(const char* fmt, std::va_list args) {
    // Formatting happens outside the lock; a long entry gets a heap buffer of
    // its own size.
    char small[1024];
    std::va_list again;
    va_copy(again, args);
    int needed = std::vsnprintf(small, sizeof small, fmt, args);
    std::string large;
    const char* text = small;
    if (needed < 0) {
        va_end(again);
        return;
    }
    if (static_cast<size_t>(needed) >= sizeof small) {
        large.resize(static_cast<size_t>(needed) + 1);
        std::vsnprintf(large.data(), large.size(), fmt, again);
        text = large.data();
    }
    va_end(again);

    std::lock_guard<std::mutex> lock(logMutex);
    writeLocked(text, static_cast<size_t>(needed), nullptr, 0);
}

} // namespace

bool logOpen() {
    std::lock_guard<std::mutex> lock(logMutex);
    if (logFile)
        std::fclose(logFile);
    writeError = 0;
    logFile = openLogFile("Shedmate.log", refusal);
    if (logFile)
        refusal = LogRefusal::none;
    return logFile != nullptr;
}

LogRefusal logRefusal() {
    std::lock_guard<std::mutex> lock(logMutex);
    return refusal;
}

int logWriteError() {
    return writeError.load();
}

void logPrint(const char* fmt, ...) {
    std::va_list args;
    va_start(args, fmt);
    writeEntry(fmt, args);
    va_end(args);
}

void logPrintFlush(const char* fmt, ...) {
    std::va_list args;
    va_start(args, fmt);
    writeEntry(fmt, args);
    va_end(args);
}

void logPrintFlushWithText(const char* text, size_t len, const char* fmt, ...) {
    char head[256];
    std::va_list args;
    va_start(args, fmt);
    int n = std::vsnprintf(head, sizeof head, fmt, args);
    va_end(args);
    if (n < 0)
        return;
    size_t headLen = std::min(static_cast<size_t>(n), sizeof head - 1);

    std::lock_guard<std::mutex> lock(logMutex);
    writeLocked(head, headLen, text, len);
}

void logClose() {
    std::lock_guard<std::mutex> lock(logMutex);
    if (!logFile)
        return;
    std::fclose(logFile);
    logFile = nullptr;
}
