// The driver the real program uses, chosen by what is installed on the machine.
#pragma once

#include "link/d2xx.h"

// The back end for this platform: FTDI's D2XX library, loaded at run time; on
// Linux, when that library cannot be loaded, the kernel's ftdi_sio devices.
// Never null; when nothing can reach a device every operation fails and the
// run takes the ordinary failed-open path. Main thread.
const Driver* systemDriver();
