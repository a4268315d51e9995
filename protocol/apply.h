// Turning the operator's edits into the controller's change messages.
#pragma once

#include <string>

// Composes the "<netconfig .../>" message from the four network change flags.
// Caller holds settingsMutex.
std::string composeNetConfig();

// Composes the "<wificonfig .../>" message. Caller holds settingsMutex.
std::string composeWifiConfig();

// Queues "<netdown/>", the change messages and "<netup/>", and puts the main
// loop into the progress wait. Main thread.
void applyChanges();
