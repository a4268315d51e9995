// Sending a firmware image file to the controller.
//
// The image is read whole before the operator is asked to confirm, and only a
// confirmed image goes: "receivefirmware N\r" and then exactly its N bytes, with
// nothing queued in between, or, if the command cannot go whole, nothing at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The image file's name as the operator typed it (line end included).
extern char firmwarePath[120];

// No path typed yet, no image loaded.
void resetFirmware();

// The file name the operator meant: line end and surrounding blanks removed,
// then one pair of surrounding quotes (as drag-and-drop gives a path); a
// leading "~/" (or a lone "~") stands for `home` when there is one.
std::string cleanFirmwarePath(std::string_view typed, const char* home);

// One progress report: percent, bytes sent of total and, once elapsedMs makes
// them meaningful, the rate and the time left.
std::string progressText(size_t sent, size_t total, uint32_t elapsedMs);

// Reads the file firmwarePath names into memory. When it cannot be sent (not
// found, unreadable, a folder or anything but a regular file, empty, too large)
// says why on the console and in the log and returns false. Main thread.
bool loadFirmware();

// loadFirmware for a file named as it stands (a command line's argument).
bool loadFirmwareFile(std::string path);

// The loaded image's file and size, for the operator's confirmation.
const std::string& firmwareFile();
size_t firmwareSize();

// Forgets the loaded image.
void dropFirmware();

// Sends the loaded image with progress on the console and waits for the
// controller's answer, the wire reserved from before the command until then.
// The image waits (at most 5 s, then is not sent) for the answer to the message
// in flight. False when the run must end (endRun has been called): the link
// failed or the loom closed partway, or the operator stopped the upload. The
// answer is waited for answerWaitMs, or with 0 for 10 s and a second per MiB.
// Main thread.
bool sendFirmware(uint32_t answerWaitMs = 0);

// How the last sendFirmware that returned true ended.
enum class FirmwareOutcome {
    notSent,      // no image was loaded
    acknowledged, // the loom answered "<ready"
    refused,      // the loom answered "<error", during the image or after it
    noAnswer,     // the loom did not answer in time (before the image, or after it)
};
FirmwareOutcome firmwareOutcome();
