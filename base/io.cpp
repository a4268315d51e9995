#include "base/io.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <string>

#include "base/typeahead.h"

namespace {
std::FILE* inStream = nullptr;
std::FILE* outStream = nullptr;
// Once the console output fails (its reader went away, the terminal hung up),
// nothing more is written to it; the run and its log carry on.
std::atomic<bool> outputGone{false};

void outputFailed(int err) {
    // A nudge that cut a write short is no reason to give the console up.
    if (err == EINTR || err == EAGAIN)
        return;
    outputGone = true;
    logPrintFlush("console output failed (%s); carrying on without it\n", std::strerror(err));
}

void checkOutput() {
    std::FILE* out = conOut();
    if (!std::ferror(out))
        return;
    int err = errno;
    std::clearerr(out);
    outputFailed(err);
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
    std::va_list again;
    va_copy(again, args);
    char small[512];
    int n = std::vsnprintf(small, sizeof small, fmt, args);
    va_end(args);
    std::string large;
    const char* text = small;
    if (n >= static_cast<int>(sizeof small)) {
        large.resize(static_cast<size_t>(n) + 1);
        std::vsnprintf(large.data(), large.size(), fmt, again);
        text = large.data();
    }
    va_end(again);
    if (n > 0 && !conWrite(text, static_cast<size_t>(n)))
        outputFailed(errno);
    checkOutput();
}

void conFlush() {
    if (outputGone)
        return;
    std::fflush(conOut());
    checkOutput();
}

bool conInIsTerminal() {
    return inputIsTerminal(conIn());
}
