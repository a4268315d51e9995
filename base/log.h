// "Shedmate.log": the run's plain-text trace, written by both threads.
//
// Each call formats one whole line and writes it with one write under one lock,
// so lines of the two threads never mix. Without an open log every call is a
// no-op. Any thread.
#pragma once

#include <cstddef>

#if defined(__MINGW32__)
#define SHEDMATE_PRINTF(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#elif defined(__GNUC__)
#define SHEDMATE_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define SHEDMATE_PRINTF(fmt, args)
#endif

// Creates the log anew (mode "w") in the working directory. False when it cannot
// be created; the run then carries on without a log.
bool logOpen();

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
