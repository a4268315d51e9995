// Helpers for running the program's pieces, or a whole session, inside a test.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include "app/main_loop.h"
#include "support/checks.h"

// resetRunState with the fake driver installed (see fake::reset), the real
// clock and an empty queue.
void resetProgramState(bool withRxWait = true);

// The contents of Shedmate.log (or another log file) in the working folder,
// "" when absent.
std::string readLog(const char* name = "Shedmate.log");

// Points the console at a scripted input and a captured output for its lifetime.
// The input is everything the operator will ever type: after it, end of input.
class ConsoleCapture {
  public:
    explicit ConsoleCapture(const std::string& input = "");
    ~ConsoleCapture();
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;

    // Everything printed so far.
    std::string output();

  private:
    std::FILE* in_;
    std::FILE* out_;
};

// Points the console input at a pipe the test writes into as it goes, and the
// output at a capture.
class ConsolePipe {
  public:
    ConsolePipe();
    ~ConsolePipe();
    ConsolePipe(const ConsolePipe&) = delete;
    ConsolePipe& operator=(const ConsolePipe&) = delete;

    void type(const std::string& text);
    // Ends the operator's input.
    void closeInput();
    std::string output();
    // Waits until the output contains needle `times` times; false after timeoutMs.
    bool waitForOutput(const std::string& needle, int timeoutMs = 3000, int times = 1);

  private:
    std::FILE* in_ = nullptr;
    std::FILE* writer_ = nullptr;
    std::FILE* out_ = nullptr;
};

// Runs runShedmate on a thread of its own, choosing the driver with
// chooseDriver once the log is open (or keeping the installed one).
class SessionThread {
  public:
    explicit SessionThread(DriverChoice chooseDriver = nullptr);
    ~SessionThread();
    // Waits for the run to end; false after timeoutMs (the run is then still going).
    bool join(int timeoutMs = 5000);
    int exitStatus() const { return status_; }

  private:
    std::thread thread_;
    int status_ = -1;
    bool done_ = false;
};

// Lets a failed test's run end rather than wait on the operator or the loom:
// ends the operator's input, then asks the run to quit.
struct RunStopper {
    ConsolePipe& console;
    SessionThread& run;
    ~RunStopper();
};

// The controller's half of the login and the status report: what it answers
// to each line the program writes (the banner and password prompt for the
// empty line, "<ready>" for the password, the two reports), "" for any other
// line.
std::string loginReply(const std::string& line);
// The tail of the menu prompt, shown once the report is complete.
inline const std::string menuPromptEnd = "'q' for quit: ";

// Plays the controller through the fake driver, answering each line with
// reply(line) (nothing for "").
void playLoom(std::function<std::string(const std::string&)> reply = loginReply);

// Polls pred every millisecond until it holds; false after timeoutMs.
template <typename Pred> bool eventually(Pred pred, int timeoutMs = 2000) {
    for (int waited = 0; waited < timeoutMs; ++waited) {
        if (pred())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return pred();
}

// The log with every line's "[ms]" stamp turned into "[N]", for comparing
// whole lines.
std::string unstamped(const std::string& log);
