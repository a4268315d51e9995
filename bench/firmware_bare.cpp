// The bare upload bench_firmware compares shedmate with: the virtual loom's
// libftd2xx.so loaded with dlopen, FT_Open(0), then what sendFirmware does
// with the device and the file and nothing else: "receivefirmware N\r", the
// image read with one fread into a fresh buffer, and FT_Write of it, again for
// whatever a call leaves unwritten. The library's mode follows the
// SHEDMATE_VLOOM_* environment as for the program.
//
// Run (bench_firmware and bench_ftdi run it):
//     build/bench/bench_firmware_bare IMAGE [--no-reply] [--library LIBFTD2XX]
// Prints steady-clock nanoseconds: start (before fopen), fread start and end,
// end (the last FT_Write returned), and the device's answer when it has one.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <memory>
#include <string>
#include <thread>

#include "link/d2xx.h"

namespace {

using OpenFn = FT_STATUS (*)(int, FT_HANDLE*);
using WriteFn = FT_STATUS (*)(FT_HANDLE, void*, DWORD, DWORD*);
using StatusFn = FT_STATUS (*)(FT_HANDLE, DWORD*, DWORD*, DWORD*);
using ReadFn = FT_STATUS (*)(FT_HANDLE, void*, DWORD, DWORD*);
using CloseFn = FT_STATUS (*)(FT_HANDLE);

WriteFn ftWrite;
unsigned writeCalls = 0;

long long nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The loop sendMsgToLoom runs, without its log lines.
bool writeAll(FT_HANDLE device, const char* data, size_t n) {
    while (n > 0) {
        DWORD written = 0;
        ++writeCalls;
        if (ftWrite(device, const_cast<char*>(data), static_cast<DWORD>(n), &written) != FT_OK)
            return false;
        if (written > n)
            written = static_cast<DWORD>(n);
        if (written == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        data += written;
        n -= written;
    }
    return true;
}

template <typename Fn> Fn resolve(void* library, const char* name) {
    void* symbol = dlsym(library, name);
    if (!symbol) {
        std::fprintf(stderr, "%s missing from the library\n", name);
        std::exit(1);
    }
    return reinterpret_cast<Fn>(symbol);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s IMAGE [--no-reply] [--library LIBFTD2XX]\n", argv[0]);
        return 2;
    }
    const char* path = argv[1];
    bool reply = true;
    const char* libraryPath = SHEDMATE_VLOOM_LIB;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--no-reply") == 0)
            reply = false;
        else if (std::strcmp(argv[i], "--library") == 0 && i + 1 < argc)
            libraryPath = argv[++i];
    }
    void* library = dlopen(libraryPath, RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        std::fprintf(stderr, "dlopen: %s\n", dlerror());
        return 1;
    }
    auto ftOpen = resolve<OpenFn>(library, "FT_Open");
    ftWrite = resolve<WriteFn>(library, "FT_Write");
    auto ftGetStatus = resolve<StatusFn>(library, "FT_GetStatus");
    auto ftRead = resolve<ReadFn>(library, "FT_Read");
    auto ftClose = resolve<CloseFn>(library, "FT_Close");

    FT_HANDLE device = nullptr;
    if (ftOpen(0, &device) != FT_OK) {
        std::fprintf(stderr, "FT_Open failed\n");
        return 1;
    }

    long long start = nowNs();
    std::FILE* file = std::fopen(path, "rb");
    if (!file) {
        std::perror(path);
        return 1;
    }
    std::fseek(file, 0, SEEK_END);
    long length = std::ftell(file);
    std::rewind(file);
    std::unique_ptr<char[]> image(new char[static_cast<size_t>(length) + 1]);
    char command[52];
    std::snprintf(command, sizeof command, "receivefirmware %ld\r", length);
    if (!writeAll(device, command, std::strlen(command))) {
        std::fprintf(stderr, "FT_Write failed\n");
        return 1;
    }
    long long freadStart = nowNs();
    size_t got = std::fread(image.get(), 1, static_cast<size_t>(length), file);
    long long freadEnd = nowNs();
    std::fclose(file);
    if (got != static_cast<size_t>(length) || !writeAll(device, image.get(), got)) {
        std::fprintf(stderr, "read or FT_Write failed\n");
        return 1;
    }
    long long end = nowNs();

    // The model answers a whole image ("<error not logged in>" here, as this
    // loop never logs in); the answer shows it counted every byte.
    std::string answer;
    for (int i = 0; reply && i < 1000 && answer.find('>') == std::string::npos; ++i) {
        DWORD waiting = 0, tx = 0, events = 0, read = 0;
        char buffer[512];
        if (ftGetStatus(device, &waiting, &tx, &events) == FT_OK && waiting > 0 &&
            ftRead(device, buffer, std::min<DWORD>(waiting, sizeof buffer), &read) == FT_OK)
            answer.append(buffer, read);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ftClose(device);
    answer.erase(answer.find_last_not_of("\r\n") + 1);
    std::printf("start_ns %lld\nfread_start_ns %lld\nfread_end_ns %lld\nend_ns %lld\n"
                "write_calls %u\nbytes %ld\nanswer %s\n",
                start, freadStart, freadEnd, end, writeCalls, length,
                answer.empty() ? "-" : answer.c_str());
    return 0;
}
