#include "base/log.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

namespace {

std::mutex logMutex;
std::FILE* logFile = nullptr; // guarded by logMutex

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
}

} // namespace

bool logOpen() {
    std::lock_guard<std::mutex> lock(logMutex);
    if (logFile)
        std::fclose(logFile);
    logFile = std::fopen("Shedmate.log", "w");
    return logFile != nullptr;
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
}

void logFlush() {
    std::lock_guard<std::mutex> lock(logMutex);
    if (logFile)
        std::fflush(logFile);
}

void logClose() {
    std::lock_guard<std::mutex> lock(logMutex);
    if (logFile)
        std::fclose(logFile);
    logFile = nullptr;
}

bool logIsOpen() {
    std::lock_guard<std::mutex> lock(logMutex);
    return logFile != nullptr;
}
