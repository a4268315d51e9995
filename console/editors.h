// The field editors and toggles of the main menu's entries 1, 2, 4 and 5.
#pragma once

#include <string_view>

void editLoomName();
void toggleWifi();
void toggleDhcp();
void editStaticAddress();

// What the editors and toggles store, for a value already checked against
// protocol/limits: the field, its change flag and the editor's log line.
// Main thread.
void setLoomName(std::string_view name);
void setStaticAddress(std::string_view address);
void setWifi(bool on);
void setDhcp(bool on);
