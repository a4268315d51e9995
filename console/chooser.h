// The Wi-Fi network chooser: entry 3 of the main menu.
#pragma once

// Asks the controller for a scan, lists what it found and lets the operator
// pick a network and type its passphrase. Main thread.
void chooseNetwork();
