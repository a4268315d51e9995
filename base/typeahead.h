// What the operator typed at the console while no prompt was asking: keys
// pressed while the program waited for the loom are not answers to the prompt
// that follows. One file per platform implements it.
#pragma once

#include <cstddef>
#include <cstdio>

// True when `in` is a terminal (on Windows, a console), where a person types.
bool inputIsTerminal(std::FILE* in);

// When `in` is a terminal: throws away what was typed and not yet read, whole
// lines and a line begun alike, and returns how many characters that was. For
// any other input (a pipe, a file) nothing is touched and the result is 0.
// Main thread, between two reads.
size_t discardTypedAhead(std::FILE* in);
