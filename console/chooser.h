// The Wi-Fi network chooser: entry 3 of the main menu.
#pragma once

// Asks the controller for a scan, lists what it found and lets the operator
// pick a network and type its passphrase. Main thread.
void chooseNetwork();

// The chooser waits at least scanSettleMs for the controller's scan, then until
// the controller has acknowledged it, but no longer than scanGiveUpMs in all
// (tests and fuzzers shorten both).
extern int scanSettleMs;
extern int scanGiveUpMs;
