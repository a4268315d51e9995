#include "link/drivers/dynlib.h"

#include <dlfcn.h>

#if defined(__APPLE__)
const char* const d2xxLibraryNames[] = {"libftd2xx.dylib", nullptr};
#else
const char* const d2xxLibraryNames[] = {"libftd2xx.so", nullptr};
#endif

const char* const d2xxInstallAdvice =
    "Install FTDI's D2XX driver (ftdichip.com) or put the library where the system's loader "
    "finds it.";
const char* const d2xxListAdvice =
    "It needs the USB bus itself (in a container or under WSL, pass the USB device through to "
    "it), and on Linux the kernel's ftdi_sio driver must let go of the device (sudo rmmod "
    "ftdi_sio).";

void* loadLibrary(const char* name, std::string& error) {
    void* library = dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        const char* reason = dlerror();
        error = reason ? reason : "unknown reason";
    }
    return library;
}

void unloadLibrary(void* library) {
    dlclose(library);
}

void* findSymbol(void* library, const char* symbol) {
    return dlsym(library, symbol);
}
