// File names as the operator types them (UTF-8) and as the file system takes
// them. One file per platform implements them.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>

// `name` as the file system's own: Windows' wide form, elsewhere its bytes as
// they are.
std::filesystem::path pathFromUtf8(const std::string& name);

// std::fopen for a UTF-8 name; null with errno set when it cannot be opened.
std::FILE* openUtf8(const std::string& name, const char* mode);

// The operator's home folder in UTF-8 (USERPROFILE on Windows, HOME
// elsewhere); "" when it is not set.
std::string homeFolder();
