// Turning the console's echo off while a secret is typed. One file per platform
// implements it; the portable code sees only this.
#pragma once

#include <cstdio>

// Turns echo off on `in` when it is a terminal; restores it when destroyed.
class EchoOff {
  public:
    explicit EchoOff(std::FILE* in);
    ~EchoOff();
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

    // True when echo was actually turned off (the input is a terminal).
    bool active() const { return active_; }

  private:
    bool active_ = false;
};

// Restores echo if an EchoOff is in force; safe from a signal handler.
void restoreEcho();

// Turns echo off again if an EchoOff is in force, after the process was stopped
// (Ctrl-Z) and continued in the foreground; safe from a signal handler.
void reapplyEchoOff();
