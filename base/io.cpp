#include "base/io.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstring>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {
std::FILE* inStream = nullptr;
std::FILE* outStream = nullptr;
// Once the console output fails (its reader went away, the terminal hung up),
// nothing more is written to it; the run and its log carry on.
std::atomic<bool> outputGone{false};

void checkOutput() {
    std::FILE* out = conOut();
    if (!std::ferror(out))
        return;
    int err = errno;
    std::clearerr(out);
    // A nudge that cut a write short is no reason to give the console up.
    if (err == EINTR || err == EAGAIN)
        return;
    outputGone = true;
    logPrintFlush("console output failed (%s); carrying on without it\n", std::strerror(err));
}
} // namespace

std::FILE* conIn() {
    return inStream ? inStream : stdin;
}
std::FILE* conOut() {
    return outStream ? outStream : stdout;
}

void setConsoleStreams(std::FILE* in, std::FILE* out) {
    inStream = in;
    outStream = out;
    outputGone = false;
}

void conPrint(const char* fmt, ...) {
    if (outputGone)
        return;
    std::va_list args;
    va_start(args, fmt);
    std::vfprintf(conOut(), fmt, args);
    va_end(args);
    checkOutput();
}

void conFlush() {
    if (outputGone)
        return;
    std::fflush(conOut());
    checkOutput();
}

bool conIsTerminal() {
#if defined(_WIN32)
    return _isatty(_fileno(conOut())) != 0;
#else
    return ::isatty(fileno(conOut())) != 0;
#endif
}

bool conInIsTerminal() {
#if defined(_WIN32)
    return _isatty(_fileno(conIn())) != 0;
#else
    return ::isatty(fileno(conIn())) != 0;
#endif
}

void useUtf8Console() {
#if defined(_WIN32)
    SetConsoleOutputCP(CP_UTF8);
#endif
}
