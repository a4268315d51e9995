// "Shedmate.log": the run's plain-text trace, written by both threads.
//
// Each call formats one whole line and writes it with one write under one lock,
// so lines of the two threads never mix. Without an open log every call is a
// no-op. Any thread.
#pragma once

#include <cstddef>
#include <cstdio>

#if defined(__MINGW32__)
#define SHEDMATE_PRINTF(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#elif defined(__GNUC__)
#define SHEDMATE_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define SHEDMATE_PRINTF(fmt, args)
#endif

// Creates the log anew in the working directory, holding an exclusive lock on
// it for as long as it is open. It is never written through a symbolic link,
// into a file with other hard links or into anything but a plain file. False
// when it is not opened (logRefusal says why); the run then carries on without
// a log, unless another run holds it.
bool logOpen();

enum class LogRefusal {
    none,
    cannotCreate, // errno holds the system's reason
    notPlainFile, // a symbolic link, a file with other hard links, a device or a pipe
    inUse,        // another run in this folder holds the lock
};

// Why the last logOpen returned false.
LogRefusal logRefusal();

// Opens `name` for writing, locked against other runs, and empties it only
// once the lock is held. nullptr, with `why` set, when it must not or cannot be
// used. One file per platform implements it; logOpen calls it.
std::FILE* openLogFile(const char* name, LogRefusal& why);

// The system's error code of the first log write that failed since logOpen, 0
// when none has. Any thread.
int logWriteError();

// Writes one printf-formatted entry.
void logPrint(const char* fmt, ...) SHEDMATE_PRINTF(1, 2);

// Writes one entry and flushes the log, for the lines that must survive a crash.
void logPrintFlush(const char* fmt, ...) SHEDMATE_PRINTF(1, 2);

// Writes one flushed entry: the printf-formatted head, then len bytes of text
// as they are. For bulk text (a firmware image is logged as sent) that would
// otherwise be formatted, and copied, twice.
void logPrintFlushWithText(const char* text, size_t len, const char* fmt, ...)
    SHEDMATE_PRINTF(3, 4);

void logFlush();
void logClose();
bool logIsOpen();
