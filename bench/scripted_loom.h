// The controller played by a benchmark through the virtual loom library's
// scripted mode (virtual_loom/ftd2xx/script_link.h): the library connects to
// this socket, every FT_Write arrives here, every byte the program reads is
// sent from here.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "support.h"

namespace bench {

class ScriptedLoom {
  public:
    explicit ScriptedLoom(const std::string& socketPath);
    ~ScriptedLoom();
    ScriptedLoom(const ScriptedLoom&) = delete;
    ScriptedLoom& operator=(const ScriptedLoom&) = delete;

    const std::string& socketPath() const { return socketPath_; }
    // The environment entry that points the library at this socket.
    std::pair<std::string, std::string> envEntry() const;

    // Takes the library's connection (made in FT_Open).
    void accept(int timeoutMs = 10000);

    // Waits for needle among the written bytes after the previous match; returns
    // when the frame that completed it had arrived whole. Writes larger than
    // 64 KiB are counted but not kept, so a needle never spans one.
    Clock::time_point waitWire(std::string_view needle, int timeoutMs = 10000);
    // Waits until at least n bytes have been written in all; returns when the
    // frame that reached n had arrived whole.
    Clock::time_point waitWireBytes(uint64_t n, int timeoutMs = 10000);
    uint64_t wireBytes();

    // Bytes for the program, read as one piece; returns the time just before
    // they went into the socket.
    Clock::time_point send(std::string_view bytes);
    // Waits until the program has read all that was sent and polled again.
    void waitDrained(int timeoutMs = 10000);
    void waitClosed(int timeoutMs = 10000);

    // The usual conversation up to the status screen, then the status report
    // alone (after "<netup/>").
    void logIn();
    void reportStatus();

  private:
    void readFrames();

    std::string socketPath_;
    int listenFd_ = -1;
    int fd_ = -1;
    std::thread reader_;

    std::mutex mutex_;
    std::condition_variable cv_;
    std::string wire_; // guarded by mutex_, as is all below
    std::vector<std::pair<size_t, Clock::time_point>> arrivals_; // end of each kept frame
    size_t cursor_ = 0;
    uint64_t wireBytes_ = 0;
    Clock::time_point lastArrival_;
    uint32_t sent_ = 0;
    uint32_t drained_ = 0;
    bool closed_ = false;
    bool ended_ = false;
};

} // namespace bench
