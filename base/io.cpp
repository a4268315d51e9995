#include "base/io.h"

#include <cstdarg>

#if defined(_WIN32)
#include <windows.h>
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

void useUtf8Console() {
#if defined(_WIN32)
    SetConsoleOutputCP(CP_UTF8);
#endif
}
