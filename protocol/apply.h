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

// A field an apply sent, in the order of the status screen.
enum class SentField { hostname, wifi, ssid, dhcp, staticAddress };

// What the last apply sent, for comparing with what the controller reports back.
struct ApplyRecord {
    struct Change {
        SentField field;
        char value[64];
    };
    Change changes[5];
    int count = 0;
};

// Once the report that followed an apply is complete: true, once, with what
// that apply sent. Main thread.
bool takeAppliedChanges(ApplyRecord& out);

// Forgets the last apply's record, as a run starts.
void resetApply();
