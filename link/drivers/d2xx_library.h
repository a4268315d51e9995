// FTDI's D2XX library, loaded at run time by its plain file name.
#pragma once

#include <string>

#include "link/driver.h"

// Loads FTDI's library through the platform's ordinary library search and
// returns the back end that forwards to it; null, with the reason (library
// name included) in `error`, when it or one of its required functions is
// missing. The first library loaded stays for the process. Main thread.
const Driver* d2xxLibraryDriver(std::string& error);

// The same from the file at `path` (a test's own D2XX-shaped library).
const Driver* d2xxLibraryDriverAt(const char* path, std::string& error);

// Logs that the library is missing and why, and returns a back end that finds
// no device and gives that reason, with where to get the library, as its
// lastError. Main thread, once the log is open.
const Driver* d2xxLibraryMissing(const std::string& error);

// One library's part of the load failure: "file: the loader's reason", with
// the file's name in place of the "%1" Windows leaves in its texts.
std::string d2xxLoaderReason(const char* file, const std::string& loaderText);
