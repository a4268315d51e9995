#include "base/io.h"

#include <unistd.h>

bool conIsTerminal() {
    return ::isatty(fileno(conOut())) != 0;
}

// A terminal here gives the bytes its locale types, UTF-8 on every system the
// program is run on.
void useUtf8Console() {}

bool conWrite(const char* text, size_t len) {
    std::fwrite(text, 1, len, conOut());
    return true;
}

int conGetc() {
    return std::getc(conIn());
}

bool conReadFailed() {
    return std::ferror(conIn()) != 0;
}

// A terminal window here outlives the program it ran.
void holdConsoleWindow() {}
