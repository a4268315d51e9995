#include "base/arguments.h"

#include <windows.h>

#include <shellapi.h>

namespace {

std::string utf8(const wchar_t* wide) {
    int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 1)
        return std::string();
    std::string text(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, text.data(), bytes, nullptr, nullptr);
    text.pop_back(); // the terminating NUL
    return text;
}

} // namespace

Arguments::Arguments(int argc, char** argv) {
    int wideCount = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &wideCount);
    if (wide) {
        for (int i = 0; i < wideCount; ++i)
            texts_.push_back(utf8(wide[i]));
        LocalFree(wide);
    } else {
        // Without the wide command line the ANSI one is still better than none.
        texts_.assign(argv, argv + argc);
    }
    for (const std::string& text : texts_)
        pointers_.push_back(text.c_str());
}
