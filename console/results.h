// What the commands print on standard output: text for people, or one JSON
// document (--json). Text from the controller or a device that is not valid
// UTF-8 is replaced in JSON (U+FFFD) and left out of text: never a crash.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "link/device_list.h"

// The loom's settings as it reported them.
struct LoomView {
    std::string name;
    std::string version;
    std::string state;
    std::string currentAddress;
    std::string wifi;
    std::string network;
    std::string dhcp;
    std::string staticAddress;
};

// A copy of loomSettings, taken under its lock. Main thread.
LoomView viewOfLoom();

struct ScanEntry {
    std::string ssid;
    std::optional<int> signal; // as the loom reports it; none when it did not
    std::string encryption;
};

// A field that did not take after an apply: its name as set spells it, what was
// sent and what the loom reports instead.
struct NotTaken {
    std::string field;
    std::string sent;
    std::string reported;
};

struct SetOutcome {
    bool applied = false;
    std::vector<NotTaken> notApplied;
    std::vector<std::string> refusals; // the loom's reasons, as it gave them
    LoomView settings;                 // read back after the apply
};

// One line per device under a heading; "*" marks the one a run opens.
// `named`: the choice came from --device.
std::string listText(const std::vector<ListedDevice>& list, const ChosenDevice& chosen, bool named);
std::string listJson(const std::vector<ListedDevice>& list, const ChosenDevice& chosen);

std::string showJson(const ListedDevice& device, const LoomView& loom);

// "[1] Weaving-Hall  -52  WPA2", numbered from 1 as the chooser numbers them.
std::string scanText(const std::vector<ScanEntry>& networks);
std::string scanJson(const std::vector<ScanEntry>& networks);

std::string setJson(const SetOutcome& outcome);
