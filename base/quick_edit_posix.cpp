#include "base/quick_edit.h"

// A terminal's selection never holds up the program writing to it.
QuickEditOff::QuickEditOff() {}

QuickEditOff::~QuickEditOff() {}
