// "Shedmate.log": the run's plain-text trace, written by both threads.
//
// Each call formats one whole line and hands it to the system with one write
// under one lock, so lines of the two threads never mix and nothing waits in a
// buffer: a run that is killed or crashes leaves every line it wrote, none cut
// short. Without an open log every call is a no-op. Any thread.
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
// it for as long as it is open; the previous run's log is kept beside it as
// "Shedmate.log.1". It is never written through a symbolic link, into a file
// with other hard links or into anything but a plain file. False when it is not
// opened (logRefusal says why); the run then carries on without a log, unless
// another run holds it.
bool logOpen();

enum class LogRefusal {
    none,
    cannotCreate, // errno holds the system's reason
    notPlainFile, // a symbolic link, a file with other hard links, a device or a pipe
    inUse,        // another run in this folder holds the lock
};

// Why the last logOpen returned false.
LogRefusal logRefusal();

// Opens `name` for writing, locked against other runs. Only once the lock is
// held is the previous run's log copied to `name`.1 and the file emptied; when
// the copy cannot be made, the file is not emptied and the new run's lines
// follow the old ones, after a line that says why. nullptr, with `why` set,
// when it must not or cannot be used. One file per platform implements it and
// the two below; logOpen calls it.
std::FILE* openLogFile(const char* name, LogRefusal& why);

// Writes head then text to the file opened by openLogFile with one system
// write, past any stdio buffer. 0, or the system's error code.
int writeLogFile(std::FILE* file, const char* head, size_t headLen, const char* text,
                 size_t textLen);

// The system's error code of the first log write that failed since logOpen, 0
// when none has. Any thread.
int logWriteError();

// Writes one printf-formatted entry.
void logPrint(const char* fmt, ...) SHEDMATE_PRINTF(1, 2);

// The same as logPrint: every entry reaches the file at once. The name marks
// the lines a reader of a crashed run's log looks for first.
void logPrintFlush(const char* fmt, ...) SHEDMATE_PRINTF(1, 2);

// Writes one entry: the printf-formatted head, then len bytes of text as they
// are. For bulk text (a firmware image is logged as sent) that would otherwise
// be formatted, and copied, twice.
void logPrintFlushWithText(const char* text, size_t len, const char* fmt, ...)
    SHEDMATE_PRINTF(3, 4);

void logClose();
