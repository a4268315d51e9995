// The controller played by a benchmark through the virtual loom library's
// scripted mode (virtual_loom/ftd2xx/script_link.h): the library connects to
// this socket, every FT_Write arrives here, every byte the program reads is
// sent from here.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "peer/script_peer.h"
#include "support.h"

namespace bench {

class ScriptedLoom {
  public:
    explicit ScriptedLoom(const std::string& socketPath);
    ScriptedLoom(const ScriptedLoom&) = delete;
    ScriptedLoom& operator=(const ScriptedLoom&) = delete;

    const std::string& socketPath() const { return peer_.socketPath(); }
    // The environment entry that points the library at this socket.
    std::pair<std::string, std::string> envEntry() const { return peer_.envEntry(); }

    // Takes the library's connection (made in FT_Open).
    void accept(int timeoutMs = 10000);

    // Waits for needle among the written bytes after the previous match; returns
    // when the frame that completed it had arrived whole. Writes larger than
    // 64 KiB are counted but not kept, so a needle never spans one.
    Clock::time_point waitWire(std::string_view needle, int timeoutMs = 10000);
    // Waits until at least n bytes have been written in all; returns when the
    // frame that reached n had arrived whole.
    Clock::time_point waitWireBytes(uint64_t n, int timeoutMs = 10000);
    uint64_t wireBytes() { return peer_.wireBytes(); }

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
    [[noreturn]] void fail();

    peer::ScriptPeer peer_;
};

} // namespace bench
