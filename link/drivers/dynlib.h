// Loading a shared library at run time. One file per platform implements it.
#pragma once

#include <string>

// The file names FTDI's library goes by on this platform, in the order tried.
// Null-terminated.
extern const char* const d2xxLibraryNames[];

// What the operator can do when FTDI's library cannot be loaded, and when it
// cannot list USB devices: this platform's advice only.
extern const char* const d2xxInstallAdvice;
extern const char* const d2xxListAdvice;

// Loads `name` (a UTF-8 path, or a plain file name) from where FTDI's library
// may come from: on Windows the program's own folder and the system folder,
// never the current folder or PATH; elsewhere the ordinary library search.
// Null on failure, with the loader's reason in `error`.
void* loadLibrary(const char* name, std::string& error);

// Frees a library loadLibrary gave.
void unloadLibrary(void* library);

// Address of `symbol` in `library`, or null.
void* findSymbol(void* library, const char* symbol);
