// Handling of the controller's messages, and the helpers that read their values.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

// Set by the main loop when an interrupt lets a running apply finish before the
// run closes: the end of the wait then asks for no report, and "close" can go
// at once.
extern std::atomic<int> quitAfterApply;

// Handles one complete message from the controller (">" included): updates the
// record and the conversation flags, moves the main loop on, queues answers and
// finally lets the next queued message go. Receiving thread.
void processMsg(const char* msg);

// True when msg begins with the whole of prefix.
bool startsWith(const char* prefix, const char* msg);

// Copies the value of msg (the text after the first `="` up to the next `"` or
// the end) into dst of capacity cap, truncating; dst is emptied first and stays
// empty when msg has no `="`.
void getAttrValue(const char* msg, char* dst, size_t cap);

// Takes the loom name (after ": " up to ",") and the version (after "4.5v" up to
// ">") from a banner or password prompt. Caller holds settingsMutex.
void parseBanner(const char* msg);

// Appends one scan result ("SSID,SIGNAL,KIND") to netInfos; past the 20th the
// entry is ignored and logged. Caller holds settingsMutex.
void addNetInfo(const char* value);

// Queues "<netstatus/>" and then "<wifistatus/>".
void requestStatus();

// The login password the controller expects.
extern const char loomPassword[];

// The controller's answer to a firmware image: its first "<ready" or "<error"
// after armFirmwareAnswer. processMsg records it and wakes the main loop.
enum class FirmwareAnswer { none, ready, error };
void armFirmwareAnswer();
// The answer so far; for an error, `reason` gets the message's text after
// "<error" up to its ">", trimmed. Disarms once an answer has come.
FirmwareAnswer takeFirmwareAnswer(std::string& reason);
// True once the answer is an error, without taking it.
bool firmwareRefused();

// The controller's "<error ...>" messages not yet shown to the operator, oldest
// first, as received; taking them empties the list. Main thread.
std::vector<std::string> takeLoomErrors();

// Forgets unshown refusals, the firmware answer watch and a pending quit, as a run starts.
void resetMessages();
