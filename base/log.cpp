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

// Called under logMutex after every write. The log carries on after a failure
// (space may come back); the first error is kept for the operator to be told.
void noteWriteResult() {
    if (!std::ferror(logFile))
        return;
    int err = errno != 0 ? errno : EIO;
    std::clearerr(logFile);
    int none = 0;
    writeError.compare_exchange_strong(none, err);
}

void writeEntry(bool flush, const char* fmt, std::va_list args) {
    // Formatting happens outside the lock; a long entry (a firmware image is
    // logged as sent) gets a heap buffer of its own size.
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
    if (!logFile)
        return;
    std::fwrite(text, 1, static_cast<size_t>(needed), logFile);
    if (flush)
        std::fflush(logFile);
    noteWriteResult();
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
    writeEntry(false, fmt, args);
    va_end(args);
}

void logPrintFlush(const char* fmt, ...) {
    std::va_list args;
    va_start(args, fmt);
    writeEntry(true, fmt, args);
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
    if (!logFile)
        return;
    std::fwrite(head, 1, headLen, logFile);
    std::fwrite(text, 1, len, logFile);
    std::fflush(logFile);
    noteWriteResult();
}

void logFlush() {
    std::lock_guard<std::mutex> lock(logMutex);
    if (!logFile)
        return;
    std::fflush(logFile);
    noteWriteResult();
}

void logClose() {
    std::lock_guard<std::mutex> lock(logMutex);
    if (!logFile)
        return;
    std::fflush(logFile);
    noteWriteResult();
    std::fclose(logFile);
    logFile = nullptr;
}

bool logIsOpen() {
    std::lock_guard<std::mutex> lock(logMutex);
    return logFile != nullptr;
}
