// The two programs' command lines: --help and --version for both, --fast for
// shedmate-demo. Anything else is a mistake, answered with the usage on
// standard error and exit status 2.
#pragma once

#include <cstdio>

struct CommandLine {
    enum Action { run, help, version, misuse } action = run;
    bool fast = false;             // shedmate-demo: the virtual loom answers at once
    const char* unknown = nullptr; // the first argument not understood
};

// program is "shedmate" or "shedmate-demo"; only the latter takes --fast.
// The first of --help and --version wins; a mistake anywhere wins over both.
CommandLine parseCommandLine(const char* program, int argc, const char* const* argv);

// Writes the usage text of program to `to`.
void printUsage(std::FILE* to, const char* program);

// Answers --help, --version and a mistake on the console. Returns the exit
// status to end with, or -1 when the program should run.
int answerCommandLine(const char* program, const CommandLine& line);
