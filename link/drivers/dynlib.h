// Loading a shared library at run time. One file per platform implements it.
#pragma once

#include <string>

// The file names FTDI's library goes by on this platform, in the order tried.
// Null-terminated.
extern const char* const d2xxLibraryNames[];

// Loads `name` through the platform's ordinary library search. Null on failure,
// with the loader's reason in `error`.
void* loadLibrary(const char* name, std::string& error);

// Address of `symbol` in `library`, or null.
void* findSymbol(void* library, const char* symbol);
