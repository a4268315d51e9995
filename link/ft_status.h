// Names of the driver's status codes, for lines a person reads.
#pragma once

#include "link/d2xx.h"

// "FT_DEVICE_NOT_OPENED" for 3; "FT_STATUS_UNKNOWN" for a code FTDI does not define.
const char* ftStatusName(FT_STATUS status);
