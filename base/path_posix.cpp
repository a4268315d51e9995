#include "base/path.h"

#include <cstdlib>

std::filesystem::path pathFromUtf8(const std::string& name) {
    return name;
}

std::FILE* openUtf8(const std::string& name, const char* mode) {
    return std::fopen(name.c_str(), mode);
}

std::string homeFolder() {
    const char* home = std::getenv("HOME");
    return home ? home : "";
}
