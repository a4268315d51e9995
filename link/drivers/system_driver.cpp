#include "link/drivers/system_driver.h"

#include <string>

#include "link/drivers/d2xx_library.h"

const Driver* systemDriver() {
    // The library is loaded when the device is first looked for, after the log
    // exists, so its absence is reported there too.
    return d2xxLibraryDriver();
}
