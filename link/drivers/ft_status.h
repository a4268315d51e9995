// Names of the driver's status codes, for lines a person reads.
#pragma once

#include "link/d2xx.h"

// "FT_DEVICE_NOT_OPENED" for 3; "FT_STATUS_UNKNOWN" for a code FTDI does not define.
const char* ftStatusName(FT_STATUS status);

// What the status means, in plain words for the operator: "the device is in
// use, or the kernel's ftdi_sio driver holds it" for FT_DEVICE_NOT_OPENED.
const char* ftStatusReason(FT_STATUS status);
