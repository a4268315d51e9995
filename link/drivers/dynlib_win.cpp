#include "link/drivers/dynlib.h"

#include <windows.h>

#include "base/utf16.h"

const char* const d2xxLibraryNames[] = {"ftd2xx.dll", "ftd2xx64.dll", nullptr};

const char* const d2xxInstallAdvice =
    "Install FTDI's D2XX driver with FTDI's installer (ftdichip.com, \"Drivers\", \"D2XX\"): "
    "it puts ftd2xx.dll in the Windows system folder.";
const char* const d2xxListAdvice =
    "In Device Manager the loom's adapter should be listed under \"Universal Serial Bus "
    "controllers\" as \"USB Serial Converter\"; if it is missing or marked with a warning, run "
    "FTDI's driver installer again (in a virtual machine, pass the USB device through to it).";

namespace {

std::string systemText(DWORD code) {
    char text[256] = {};
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, 0, text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == '.'))
        text[--n] = '\0';
    return n ? text : "error " + std::to_string(code);
}

} // namespace

void* loadLibrary(const char* name, std::string& error) {
    // Only where FTDI's installer or whoever unpacked the program put it: a
    // DLL planted in the current folder or on PATH would run inside the
    // program. The system folder is SysWOW64 for a 32-bit program, where the
    // installer puts FTDI's 32-bit DLL. (Windows 8 and later, or 7 with KB2533623.)
    std::u16string units = utf16FromUtf8(name);
    std::wstring wide(units.begin(), units.end());
    HMODULE library = LoadLibraryExW(
        wide.c_str(), nullptr, LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!library) {
        DWORD code = GetLastError();
        if (code == ERROR_MOD_NOT_FOUND)
            error = "not found in this program's folder or the Windows system folder";
        else if (code == ERROR_BAD_EXE_FORMAT)
            error = systemText(code) + (sizeof(void*) == 8
                                            ? " (no library for 64-bit programs such as this one)"
                                            : " (no library for 32-bit programs such as this one)");
        else
            error = systemText(code);
    }
    return reinterpret_cast<void*>(library);
}

void unloadLibrary(void* library) {
    FreeLibrary(static_cast<HMODULE>(library));
}

void* findSymbol(void* library, const char* symbol) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), symbol));
}
