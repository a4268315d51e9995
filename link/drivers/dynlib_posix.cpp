#include "link/drivers/dynlib.h"

#include <dlfcn.h>

#if defined(__APPLE__)
const char* const d2xxLibraryNames[] = {"libftd2xx.dylib", nullptr};
#else
const char* const d2xxLibraryNames[] = {"libftd2xx.so", nullptr};
#endif

void* loadLibrary(const char* name, std::string& error) {
    void* library = dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        const char* reason = dlerror();
        error = reason ? reason : "unknown reason";
    }
    return library;
}

void* findSymbol(void* library, const char* symbol) {
    return dlsym(library, symbol);
}
