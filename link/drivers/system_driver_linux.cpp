// On Linux, FTDI's library when it is installed, otherwise the kernel's own
// ftdi_sio devices, which is what most machines have.
#include "link/drivers/system_driver.h"

#include <string>

#include "base/log.h"
#include "link/drivers/d2xx_library.h"
#include "link/drivers/kernel_serial.h"

const Driver* systemDriver() {
    std::string why;
    if (const Driver* library = d2xxLibraryDriver(why)) {
        logPrint("driver: FTDI D2XX library (libftd2xx.so)\n");
        return library;
    }
    logPrint("driver: kernel serial devices (ftdi_sio), libftd2xx.so not loaded: %s\n",
             why.c_str());
    return kernelSerialDriver(true);
}
