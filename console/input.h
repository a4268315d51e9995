// Reading the operator's answers from the console input.
#pragma once

#include <cstddef>

// Reads one answer as fgets does: at most maxChars characters, the line end
// included when the line is shorter; what is left of a longer line answers the
// next prompt. buf must hold maxChars + 1 bytes and is cleared first. Returns
// false at end of input, on a read error or when an interrupt cut the read
// short, with buf empty. Main thread.
bool readAnswer(char* buf, size_t maxChars);

// Like readAnswer, without echo when the console input is a terminal (the
// operator's Enter is then not shown either, so a line end is printed after it).
bool readSecret(char* buf, size_t maxChars);

// True when text holds a character the loom's messages cannot carry (a double
// quote ends an attribute, ">" ends a message). Such a value is refused.
bool unsafeForLoom(const char* text);

// Logs why a dialog quits when its read failed: end of input, unless an
// interrupt cut the read short (the main loop logs that itself).
void logInputEnded(const char* where);

// Prints the one-line refusal for a value unsafeForLoom rejected.
void reportUnsafeValue();
