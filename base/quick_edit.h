// Keeping the console window from holding up the program's writes while a
// firmware image is on its way. One file per platform implements it.
#pragma once

// Switches a Windows console's QuickEdit mode off, in which a click into the
// window starts a selection that holds every write to the console until it
// ends; restores it when destroyed. Elsewhere, and for a console without
// QuickEdit, nothing. Main thread.
class QuickEditOff {
  public:
    QuickEditOff();
    ~QuickEditOff();
    QuickEditOff(const QuickEditOff&) = delete;
    QuickEditOff& operator=(const QuickEditOff&) = delete;

  private:
    void* console_ = nullptr;
    unsigned long savedMode_ = 0;
};
