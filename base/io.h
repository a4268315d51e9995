// The console streams every dialog reads and writes: stdin and stdout unless a
// test points them elsewhere. Main thread (the receiving thread never prints).
#pragma once

#include <cstdio>

#include "base/log.h"

std::FILE* conIn();
std::FILE* conOut();

// nullptr restores stdin/stdout.
void setConsoleStreams(std::FILE* in, std::FILE* out);

// printf to the console output.
void conPrint(const char* fmt, ...) SHEDMATE_PRINTF(1, 2);
void conFlush();

// True when the console output is a terminal, where a line can be rewritten in place.
bool conIsTerminal();

// True when the console input is a terminal: someone there can be asked.
bool conInIsTerminal();

// Makes the console show UTF-8 text (network names, "…") as it is: on Windows
// it switches the console's output code page to UTF-8; elsewhere nothing. At start.
void useUtf8Console();
