// The receiving thread and the framing of the controller's byte stream.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// Receives every complete message, ">" included, on the receiving thread.
using MessageHandler = void (*)(const char* message);

// Installs the handler readThread delivers to. Main thread, before openLoom.
void setMessageHandler(MessageHandler handler);

// Cuts a byte stream into messages. A message is the run of printable ASCII
// bytes (0x20..0x7F) and well-formed UTF-8 characters up to and including the
// next ">"; control bytes (C0 and C1) and malformed UTF-8 are dropped. The state
// survives from one read to the next, a character split between reads included.
struct Framer {
    static constexpr size_t capacity = 512;
    char msg[capacity] = {};
    size_t len = 0;
    // True after an over-long message was thrown away, until its ">" passes.
    bool skipping = false;
    // The beginning of a UTF-8 character whose other bytes have not come yet.
    unsigned char partial[4] = {};
    size_t partialLen = 0;
};

// Feeds one read's bytes through the framer, up to the first NUL among them.
// Messages beginning "<log " are the controller's own log and are dropped; every
// other message goes to `deliver`.
void frameBytes(Framer& framer, const unsigned char* bytes, size_t n, MessageHandler deliver);

// Tick of the last read that brought bytes; the main loop warns the operator
// when the controller stays silent while it is waited for.
extern std::atomic<uint32_t> lastRxTick;

// No handler and nothing heard yet, as a run starts.
void resetReader();

// The receiving thread's body: polls the device until readerStop is set or the
// driver fails, and hands no message on once readerStop is set. As it ends it
// ends the run for a lost link, unless stopReader asked it to end.
void readThread();

// The receiving thread's life as its starter sees it. Main thread.
void readerStarting();     // before the thread is started
void readerNeverStarted(); // the thread could not be started after all
void stopReader();         // sets readerStop; the end that follows is no loss
// Waits at most timeoutMs for the thread to return (0: only looks); true when
// it has returned or was never started. Any thread.
bool awaitReaderEnd(int timeoutMs);
