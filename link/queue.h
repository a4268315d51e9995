// MsgQueue: the messages waiting to go to the controller, and the one-in-flight
// flow control that lets them out.
//
// One mutex covers the ring, the take-and-clear of clearToSend and the write of
// the message taken, so whichever thread sends, messages leave in queue order
// and only one is ever in flight. Every call here may come from either thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

// 1 while the controller may be sent the next queued message.
extern std::atomic<int> clearToSend;
// 1 from the start of an apply until its "<netup/>" leaves the queue.
extern std::atomic<int> waitingForNetup;
// 1 from the moment an apply's "<netdown/>" leaves until the wait after its
// "<netup/>" ends: quitting then would leave the loom's network down.
extern std::atomic<int> networkDown;

// Where the last "<wifiscan/>" is: queued, sent (until the controller's next
// acknowledgement, which the message handler turns back to idle), or neither.
enum : int { scanIdle = 0, scanQueued = 1, scanSent = 2 };
extern std::atomic<int> scanState;

constexpr uint32_t msgQueueSlots = 20;

struct MsgQueue {
    std::unique_ptr<char[]> slots[msgQueueSlots]; // null = free
    uint32_t head = 0;                            // oldest message, the next to send
    uint32_t tail = 0;                            // where the next message goes
    uint32_t count = 0;
};

// No queue (as before createMsgQueue) and the flow-control flags as a run
// starts them: clear to send, no apply under way.
void resetMsgQueue();

// Creates the queue, empty. Before it exists queueMsg drops what it is given
// and clearMsgQueue does nothing.
void createMsgQueue();

// Queues `text` with exactly one trailing "\n" and sends it if the controller
// is ready. A message that finds the queue full is dropped and logged.
void queueMsg(const char* text);

// Sends the oldest message if clearToSend is set.
void sendNextMsg();

// Drops every waiting message.
void clearMsgQueue();

// Writes msgLen bytes of text to the device and logs them. A failed write (or
// one that accepts nothing for about the write time-out) stops the receiving
// thread. Returns the bytes written. Callers outside this file must hold
// holdSending().
int sendMsgToLoom(int msgLen, const char* text);

// sendMsgToLoom for a large block: logged as one message, handed to the driver
// at most `piece` bytes per call so that `between` (given the bytes written so
// far) can show progress or stop the write between calls by returning false.
int sendMsgToLoomInPieces(int msgLen, const char* text, size_t piece,
                          const std::function<bool(int)>& between);

// Keeps queued messages off the wire while the caller writes with
// sendMsgToLoom directly (the firmware upload). Main thread.
std::unique_lock<std::mutex> holdSending();

// Messages waiting (for tests and diagnostics).
uint32_t queuedCount();
