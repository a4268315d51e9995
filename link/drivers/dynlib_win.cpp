#include "link/drivers/dynlib.h"

#include <windows.h>

const char* const d2xxLibraryNames[] = {"ftd2xx.dll", "ftd2xx64.dll", nullptr};

void* loadLibrary(const char* name, std::string& error) {
    HMODULE library = LoadLibraryA(name);
    if (!library) {
        DWORD code = GetLastError();
        char text[256] = {};
        DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, code, 0, text, sizeof text, nullptr);
        while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == '.'))
            text[--n] = '\0';
        error = n ? text : "error " + std::to_string(code);
    }
    return reinterpret_cast<void*>(library);
}

void* findSymbol(void* library, const char* symbol) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), symbol));
}
