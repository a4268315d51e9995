// FTDI's D2XX library, loaded at run time by its plain file name.
#pragma once

#include <string>

#include "link/d2xx.h"

// The back end that forwards to FTDI's library. The library is loaded on the
// first call; when it or one of its required functions is missing, one console
// line and one log line say which and why, and every operation fails with
// FT_DEVICE_NOT_FOUND.
const Driver* d2xxLibraryDriver();

// Loads the library now. Returns false with the reason (library name included)
// when it cannot be used. Main thread.
bool d2xxLibraryLoad(std::string& error);

// As d2xxLibraryLoad, but a failure is only returned, with no console or log
// line: for a caller that has another way to the device.
bool d2xxLibraryLoadQuiet(std::string& error);

// One library's part of the load failure: "file: the loader's reason", with
// the file's name in place of the "%1" Windows leaves in its texts.
std::string d2xxLoaderReason(const char* file, const std::string& loaderText);
