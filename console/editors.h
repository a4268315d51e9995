// The field editors and toggles of the main menu's entries 1, 2, 4 and 5.
#pragma once

void editLoomName();
void toggleWifi();
void toggleDhcp();
void editStaticAddress();
