#include "base/path.h"

#include <cwchar>
#include <stdlib.h>

#include "base/utf16.h"

namespace {

std::wstring wide(const std::string& utf8) {
    std::u16string units = utf16FromUtf8(utf8);
    return std::wstring(units.begin(), units.end());
}

} // namespace

// The narrow API would take the name in the ANSI code page, where "é" is
// neither what was typed nor what the folder holds.
std::filesystem::path pathFromUtf8(const std::string& name) {
    return wide(name);
}

std::FILE* openUtf8(const std::string& name, const char* mode) {
    return _wfopen(wide(name).c_str(), wide(mode).c_str());
}

std::string homeFolder() {
    const wchar_t* home = _wgetenv(L"USERPROFILE");
    if (!home)
        return "";
    std::u16string units(home, home + std::wcslen(home));
    std::string utf8;
    Utf16Decoder().decode(units.data(), units.size(), utf8);
    return utf8;
}
