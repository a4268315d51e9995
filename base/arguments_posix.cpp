#include "base/arguments.h"

// The bytes as the shell passed them; a UTF-8 locale makes them UTF-8.
Arguments::Arguments(int argc, char** argv) : texts_(argv, argv + argc) {
    for (const std::string& text : texts_)
        pointers_.push_back(text.c_str());
}
