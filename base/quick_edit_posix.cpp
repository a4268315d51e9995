#include "base/quick_edit.h"

// A terminal's selection never holds up the program writing to it. The fields
// are the Windows console's; naming them here keeps the compiler from calling
// them unused.
QuickEditOff::QuickEditOff() {
    (void)console_;
    (void)savedMode_;
}

QuickEditOff::~QuickEditOff() {}
