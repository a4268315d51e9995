// The driver the real program uses, chosen by what is installed on the machine.
#pragma once

#include "link/driver.h"

// The back end for this platform: FTDI's D2XX library, loaded now; on Linux,
// when that library cannot be loaded, the kernel's ftdi_sio devices. Never
// null; when nothing can reach a device every operation fails and the run takes
// the ordinary failed-open path. Main thread, once the log is open: the choice
// and a missing library are reported there.
const Driver* systemDriver();
