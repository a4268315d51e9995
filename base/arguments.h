// The program's arguments as UTF-8, whatever the platform hands main: on
// Windows argv comes in the ANSI code page, which cannot hold every network
// or loom name, so the arguments are taken from the wide command line instead.
#pragma once

#include <string>
#include <vector>

class Arguments {
  public:
    // Main thread, at the start of main.
    Arguments(int argc, char** argv);

    int count() const { return static_cast<int>(pointers_.size()); }
    const char* const* values() const { return pointers_.data(); }

  private:
    std::vector<std::string> texts_;
    std::vector<const char*> pointers_;
};
