// Handling of the controller's messages, and the helpers that read their values.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

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
// entry is ignored and logged. A SIGNAL that is no whole number is not known.
// Caller holds settingsMutex.
void addNetInfo(const char* value);

// Queues "<netstatus/>" and then "<wifistatus/>".
void requestStatus();

// The login password the controller expects.
extern const char loomPassword[];

// The controller's answer to a firmware image, recorded by processMsg (which
// wakes the main loop) and then neither shown as a refusal nor taken further.
// Armed once the wire is reserved: from then an "<error" is the answer; from
// acceptFirmwareReady (the image's last bytes are on their way) a "<ready" is too.
enum class FirmwareAnswer { none, ready, error };
void armFirmwareAnswer();
void acceptFirmwareReady();
// Every way out of the upload disarms: what the loom says later is handled as
// any message is.
void disarmFirmwareAnswer();
// The answer so far; for an error, `reason` gets the message's text after
// "<error" up to its ">", trimmed. Disarms once an answer has come.
FirmwareAnswer takeFirmwareAnswer(std::string& reason);
// True once the answer is an error, without taking it.
bool firmwareRefused();

// The controller's "<error ...>" messages not yet shown to the operator, oldest
// first, as received; taking them empties the list. Main thread.
std::vector<std::string> takeLoomErrors();

// Forgets unshown refusals and the firmware answer watch, as a run starts.
void resetMessages();
