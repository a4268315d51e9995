// MsgQueue: the messages waiting to go to the controller, and the one-in-flight
// flow control that lets them out.
//
// One mutex covers the ring, the take-and-clear of clearToSend and the write of
// the message taken, so whichever thread sends, messages leave in queue order
// and only one is ever in flight. Every call here may come from either thread.
//
// The queue is open while the run talks to the loom. A firmware image reserves
// the wire (queued messages wait), quitting closes the queue behind "close"
// (nothing more is taken), and once the link is lost nothing more is written.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

// 1 while the controller may be sent the next queued message.
extern std::atomic<int> clearToSend;

// Where an apply is: the one record of its progress. The queue moves it on as
// the apply's messages leave, the message handler as the controller answers.
enum class ApplyStage : int {
    none,
    queued,      // "<netdown/>" waits for the message in flight
    downSent,    // the loom's network is going down
    configSent,  // a change message has gone
    upSent,      // "<netup/>" has gone: the next "<ready" ends the wait
    restarting,  // the loom said "<please wait": its network is restarting
    readingBack, // the wait is over and the status was asked for again
    readBack,    // that report is complete, for the console to compare
};
extern std::atomic<ApplyStage> applyStage;

// From "<netdown/>" leaving until the "<ready" after "<netup/>": quitting then
// would leave the loom's network down.
bool loomNetworkDown();

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

// Creates the queue, empty and open. Before it exists queueMsg drops what it
// is given.
void createMsgQueue();

// Queues `text` with exactly one trailing "\n" and sends it if the controller
// is ready. A message that finds the queue full or closed is dropped and logged.
void queueMsg(const char* text);

// Sends the oldest message if clearToSend is set, the wire is not reserved and
// the link is not lost.
void sendNextMsg();

// The run is ending: drops every waiting message, queues `last` (if not null)
// to go once the controller has answered the message in flight, and takes no
// message after it. With `last`, an apply whose "<netdown/>" has gone keeps
// its other messages ahead of it.
void closeMsgQueue(const char* last);

// Reserves the wire for bytes written past the queue (a firmware image): waits
// until no message is in flight and none waits, then keeps queued messages off
// the wire (they wait, in order) until releaseWire. False, with nothing
// reserved, when timeoutMs passed first, the link was lost, the queue closed
// or giveUp returned true (looked at every 50 ms). Main thread.
bool reserveWire(uint32_t timeoutMs, bool (*giveUp)());

// Ends the reservation; what was queued meanwhile goes as the controller allows.
void releaseWire();

// Writes msgLen bytes of text to the device and logs them. A failed write (or
// one that accepts nothing for about the write time-out) loses the link: the
// receiving thread stops and nothing more is sent. Returns the bytes written.
// Callers outside this file must have reserved the wire.
int sendMsgToLoom(int msgLen, const char* text);

// sendMsgToLoom for a large block: logged as one message, handed to the driver
// at most `piece` bytes per call so that `between` (given the bytes written so
// far) can show progress or stop the write between calls by returning false.
int sendMsgToLoomInPieces(int msgLen, const char* text, size_t piece,
                          const std::function<bool(int)>& between);

// Messages waiting to be sent.
uint32_t queuedCount();
