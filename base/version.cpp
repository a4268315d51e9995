#include "base/version.h"

// Written at build time (cmake/version.cmake).
#include "shedmate_version.h"

const char* shedmateVersion() {
    return SHEDMATE_VERSION;
}
