// The Wi-Fi network chooser: entry 3 of the main menu.
#pragma once

// Asks the controller for a scan, lists what it found and lets the operator
// pick a network and type its passphrase. Main thread.
void chooseNetwork();

// How long the chooser gives the controller to answer its scan before listing
// what it has (tests and fuzzers shorten it).
extern int scanSettleMs;
