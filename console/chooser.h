// The Wi-Fi network chooser: entry 3 of the main menu, and its parts that a
// command uses on its own (the scan, the passphrase prompt, taking a network).
#pragma once

#include <cstdint>
#include <vector>

#include "console/input.h"
#include "protocol/settings.h"

// Asks the controller for a scan, lists what it found and lets the operator
// pick a network and type its passphrase. Main thread.
void chooseNetwork();

// The chooser waits at least scanSettleMs for the controller's scan, then until
// the controller has acknowledged it, but no longer than scanGiveUpMs in all
// (tests and fuzzers shorten both).
extern int scanSettleMs;
extern int scanGiveUpMs;

// "Scanning for networks…", the scan request, and the wait for its answer
// (scanSettleMs at least, giveUpMs at most; refusals shown as they come).
// False when the scan had not finished, or the run must end. Main thread.
bool scanNetworks(uint32_t giveUpMs);

// The scan table as it stands. Main thread.
std::vector<NetInfo> scannedNetworks();

// Asks on the console, masked, for the passphrase of network `ssid` of kind
// `kind` until one the loom can take is typed; an empty line or end of input
// gives up (false). No part of a refused passphrase is shown or logged. Main
// thread.
bool askNetworkPassphrase(const char* ssid, const char* kind, Line& passphrase);

// Makes `ssid` the network to join and marks the Wi-Fi configuration for the
// next apply, with its log lines (the passphrase masked). A null encryption or
// passphrase keeps the record's. Main thread.
void takeNetwork(const char* ssid, const char* encryption, const char* passphrase);
