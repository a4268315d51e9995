#include "console/command_line.h"

#include <cstring>

#include "base/version.h"

namespace {

bool isDemo(const char* program) {
    return std::strcmp(program, "shedmate-demo") == 0;
}

} // namespace

CommandLine parseCommandLine(const char* program, int argc, const char* const* argv) {
    CommandLine line;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--help") == 0) {
            if (line.action == CommandLine::run)
                line.action = CommandLine::help;
        } else if (std::strcmp(arg, "--version") == 0) {
            if (line.action == CommandLine::run)
                line.action = CommandLine::version;
        } else if (isDemo(program) && std::strcmp(arg, "--fast") == 0) {
            line.fast = true;
        } else {
            line.action = CommandLine::misuse;
            line.unknown = arg;
            return line;
        }
    }
    return line;
}

void printUsage(std::FILE* to, const char* program) {
    if (isDemo(program)) {
        std::fprintf(to, "usage: shedmate-demo [--fast] [--help] [--version]\n\n"
                         "Shedmate against a built-in virtual loom: every menu entry can be\n"
                         "tried with no loom attached. The log goes to Shedmate.log in the\n"
                         "folder it is started from.\n\n"
                         "  --fast     the virtual loom answers everything at once\n");
    } else {
        std::fprintf(to, "usage: shedmate [--help] [--version]\n\n"
                         "Reads and changes the network settings of a loom controller attached\n"
                         "through an FTDI FT245R USB FIFO. Everything it does is written to\n"
                         "Shedmate.log in the folder it is started from.\n\n");
    }
    std::fprintf(to, "  --help     show this text and exit\n"
                     "  --version  show the version and exit\n");
}

int answerCommandLine(const char* program, const CommandLine& line) {
    switch (line.action) {
    case CommandLine::run:
        return -1;
    case CommandLine::help:
        printUsage(stdout, program);
        return 0;
    case CommandLine::version:
        std::printf("%s %s\n", program, shedmateVersion());
        return 0;
    case CommandLine::misuse:
        std::fprintf(stderr, "%s: unknown option '%s'\n", program, line.unknown);
        printUsage(stderr, program);
        return 2;
    }
    return 2;
}
