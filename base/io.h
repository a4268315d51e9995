// The console streams every dialog reads and writes: stdin and stdout unless a
// test points them elsewhere. Main thread (the receiving thread never prints).
#pragma once

#include <cstddef>
#include <cstdio>

#include "base/log.h"

std::FILE* conIn();
std::FILE* conOut();

// nullptr restores stdin/stdout.
void setConsoleStreams(std::FILE* in, std::FILE* out);

// printf to the console output.
void conPrint(const char* fmt, ...) SHEDMATE_PRINTF(1, 2);
void conFlush();

// One file per platform implements the rest.

// Writes `len` bytes of UTF-8 to the console output, for conPrint. A Windows
// console is written through its wide API, which shows the text as it is
// whatever the C runtime makes of the console's code page. False, with errno
// set, when the write failed and the stream's error flag does not say so.
bool conWrite(const char* text, size_t len);

// True when the console output is a terminal, where a line can be rewritten in place.
bool conIsTerminal();

// True when the console input is a terminal: someone there can be asked.
bool conInIsTerminal();

// Makes the console show UTF-8 text (network names, "…") as it is: on Windows
// it switches the console's output code page to UTF-8; elsewhere nothing. At start.
void useUtf8Console();

// The next byte of the console input, as getc gives it: EOF at end of input,
// on a failed read and when a read was cut short. A Windows console is read
// through its wide API and its text handed out as UTF-8, the bytes a terminal
// gives elsewhere; pipes and files give their bytes as they are. Main thread.
int conGetc();

// True when the last EOF from conGetc was a failed or cut-short read rather
// than the end of the input. Main thread.
bool conReadFailed();

// When the console window belongs to this process alone (Windows, started by
// a double-click), says "Press Enter to close this window." and waits for a
// line, so the run's last lines can be read; a run started from a shell, and
// every other platform, goes on at once. Main thread, once the run is over.
void holdConsoleWindow();
