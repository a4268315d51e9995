#include "base/io.h"

#include <cstdarg>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {
std::FILE* inStream = nullptr;
std::FILE* outStream = nullptr;
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
}

void conPrint(const char* fmt, ...) {
    std::va_list args;
    va_start(args, fmt);
    std::vfprintf(conOut(), fmt, args);
    va_end(args);
}

void conFlush() {
    std::fflush(conOut());
}

bool conIsTerminal() {
#if defined(_WIN32)
    return _isatty(_fileno(conOut())) != 0;
#else
    return ::isatty(fileno(conOut())) != 0;
#endif
}
