// The operator's side of a firmware upload, for end-to-end tests.
#pragma once

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "harness.h"

namespace e2e {

inline const std::string pathPrompt = "\n\tFirmware image file: ";

inline std::string firmwareCommand(size_t n) {
    return "receivefirmware " + std::to_string(n) + "\r";
}

// Every byte value, line ends, end-of-file and NULs included.
inline std::string imageOf(size_t n) {
    std::string image;
    for (size_t i = 0; i < n; ++i)
        image += static_cast<char>((i * 7 + i / 256) & 0xff);
    return image;
}

// The file in the run's folder; its path.
inline std::string writeImage(ShedmateRun& run, const std::string& name, const std::string& bytes) {
    std::string path = run.workDir() + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

inline std::string confirmation(const std::string& path, size_t n) {
    return "\n\tSend " + path + " (" + std::to_string(n) + " bytes) to the loom LOOM-7? " +
           "Type y to send: ";
}

// From the menu: 'f', the path as typed, the confirmation shown.
inline testing::AssertionResult askToSend(ShedmateRun& run, const std::string& typed,
                                          const std::string& path, size_t n) {
    run.type("f\n");
    if (auto ok = run.expectOutput(pathPrompt); !ok)
        return ok;
    run.type(typed + "\n");
    return run.expectOutputNext(confirmation(path, n));
}

// The same, then "y".
inline testing::AssertionResult confirmUpload(ShedmateRun& run, const std::string& path, size_t n) {
    if (auto ok = askToSend(run, path, path, n); !ok)
        return ok;
    run.type("y\n");
    return testing::AssertionSuccess();
}

// Waits until the program has written at least n bytes in all.
inline testing::AssertionResult wireReaches(ShedmateRun& run, size_t n, int timeoutMs = 10000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (run.wire().size() < n) {
        if (std::chrono::steady_clock::now() > deadline)
            return testing::AssertionFailure()
                   << "only " << run.wire().size() << " of " << n << " bytes reached the wire";
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return testing::AssertionSuccess();
}

} // namespace e2e
