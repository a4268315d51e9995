// The controller's side of the virtual loom library's scripted mode
// (virtual_loom/ftd2xx/script_link.h): the library connects to this socket in
// FT_Open, every FT_Write arrives here, every byte the program reads is sent
// from here. Used by the end-to-end harness, the driver contract suite and the
// benchmarks. POSIX only.
//
// Every wait is bounded; a wait that fails returns false and error() says why.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace peer {

using Clock = std::chrono::steady_clock;

class ScriptPeer {
  public:
    // Listens on socketPath. Written frames longer than keepFramesUpTo bytes
    // are counted but not kept (a firmware upload of many MiB).
    explicit ScriptPeer(std::string socketPath, size_t keepFramesUpTo = SIZE_MAX);
    ~ScriptPeer();
    ScriptPeer(const ScriptPeer&) = delete;
    ScriptPeer& operator=(const ScriptPeer&) = delete;

    bool listening() const { return listenFd_ >= 0; }
    const std::string& socketPath() const { return socketPath_; }
    // The environment entry that points the library at this socket.
    std::pair<std::string, std::string> envEntry() const;
    std::string error();

    // Takes the library's connection and waits for its FT_Open report. Gives up
    // early when stillWaiting (if given) turns false.
    bool accept(int timeoutMs, const std::function<bool()>& stillWaiting = {});
    // The index FT_Open was called with, or -1.
    int openedIndex();

    // --- what the program wrote, read through a cursor
    // Waits for needle after the cursor and moves the cursor past it; `at` gets
    // the arrival of the frame that completed it.
    bool waitWire(std::string_view needle, int timeoutMs, Clock::time_point* at = nullptr);
    // The bytes after the cursor must be exactly `bytes`; the cursor moves past
    // them. `got` receives what came instead.
    bool expectWire(std::string_view bytes, int timeoutMs, std::string* got = nullptr);
    // Nothing more arrives after the cursor for quietMs; `extra` gets what did.
    bool expectQuiet(int quietMs, std::string* extra = nullptr);
    // At least n bytes written in all; `at` gets the arrival of the last frame.
    bool waitWireBytes(uint64_t n, int timeoutMs, Clock::time_point* at = nullptr);
    uint64_t wireBytes();
    std::string wire();
    // The size of every FT_Write the library accepted, in order.
    std::vector<size_t> writeSizes();

    // --- the controller's side
    // Bytes for the program, read as one piece (or more, if it asks for less).
    // `sentAt` gets the moment just before they went into the socket.
    bool send(std::string_view bytes, Clock::time_point* sentAt = nullptr);
    // The program has read all that was sent and polled again.
    bool waitDrained(int timeoutMs);
    // A control frame (script::frame::unplug and the like) with its number,
    // waited for until the library has it in force.
    bool control(char type, uint32_t value, int timeoutMs);
    // The library reported FT_Close.
    bool waitClosed(int timeoutMs);
    // The library hung up (closed, or the program ended).
    bool ended();

  private:
    void readFrames();
    bool fail(std::string why);

    std::string socketPath_;
    const size_t keepFramesUpTo_;
    int listenFd_ = -1;
    int fd_ = -1;
    std::thread reader_;
    std::mutex sendMutex_; // one frame at a time into the socket

    std::mutex mutex_;
    std::condition_variable cv_;
    std::string error_; // guarded by mutex_, as is all below
    std::string wire_;
    size_t cursor_ = 0;
    std::vector<std::pair<size_t, Clock::time_point>> arrivals_; // end of each kept frame
    std::vector<size_t> writeSizes_;
    uint64_t wireBytes_ = 0;
    Clock::time_point lastArrival_;
    std::vector<char> acks_;
    uint32_t sent_ = 0;
    uint32_t drained_ = 0;
    int openedIndex_ = -1;
    bool opened_ = false;
    bool closed_ = false;
    bool ended_ = false;
};

// Control bytes made readable, so a failure shows exactly what went over.
std::string visible(std::string_view text);

} // namespace peer
