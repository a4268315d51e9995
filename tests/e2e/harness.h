// Runs a built Shedmate executable the way a technician does: as a child
// process with its console on pipes, in a fresh working folder, against the
// virtual loom library found first on LD_LIBRARY_PATH (peer::Program). In
// scripted mode the test plays the controller through the library's socket
// (peer::ScriptPeer).
//
// Every wait is bounded: a program that hangs fails the test and is killed.
#pragma once

#include <csignal>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "peer/program.h"
#include "peer/script_peer.h"

namespace e2e {

constexpr int defaultTimeoutMs = 10000;

// Paths of the executables under test and of the library's folder.
std::string shedmatePath();
std::string demoPath();
std::string vloomDir();

struct RunOptions {
    std::string executable = shedmatePath();
    std::vector<std::string> args = {};
    // Put first on the library search path: the folder of the libftd2xx.so used.
    std::string libraryDir = vloomDir();
    // Scripted: the library connects to the test; otherwise the model answers.
    bool scripted = true;
    std::vector<std::pair<std::string, std::string>> env = {};
    // The console, input and output, on a pseudo-terminal (peer::ProgramOptions).
    bool terminal = false;
};

class ShedmateRun {
  public:
    explicit ShedmateRun(RunOptions options = {});
    ~ShedmateRun();
    ShedmateRun(const ShedmateRun&) = delete;
    ShedmateRun& operator=(const ShedmateRun&) = delete;

    // --- the operator's side
    void type(const std::string& text);
    void closeInput();
    // Waits for needle in the console output after the point the previous
    // expectOutput matched, and moves that point past it.
    testing::AssertionResult expectOutput(const std::string& needle,
                                          int timeoutMs = defaultTimeoutMs);
    // Like expectOutput, but the output must continue with exactly `text`.
    testing::AssertionResult expectOutputNext(const std::string& text,
                                              int timeoutMs = defaultTimeoutMs);
    std::string output();
    // Output after the point the last expectation matched.
    std::string unreadOutput();

    // --- the controller's side (scripted mode)
    // Accepts the library's connection; the index FT_Open was called with.
    testing::AssertionResult acceptLoom(int timeoutMs = defaultTimeoutMs);
    int openedIndex() { return loom_ ? loom_->openedIndex() : -1; }
    // The program's next bytes on the wire must be exactly `bytes`.
    testing::AssertionResult expectWire(const std::string& bytes, int timeoutMs = defaultTimeoutMs);
    // Nothing more reaches the wire for quietMs.
    testing::AssertionResult expectWireQuiet(int quietMs = 150);
    std::string wire();
    // The size of every FT_Write the library accepted, in order.
    std::vector<size_t> writeSizes();
    // Bytes for the program, read as one piece (or more, if it asks for less).
    void send(const std::string& chunk);
    // The program has read everything sent so far and polled again, so it has
    // handled it: an operator typing now cannot overtake the controller.
    testing::AssertionResult expectDrained(int timeoutMs = defaultTimeoutMs);
    // Control frames, each waited for until the library has it in force.
    testing::AssertionResult unplug(uint32_t failing); // script::fail* bits
    testing::AssertionResult failWrites(uint32_t status);
    testing::AssertionResult zeroWrites(uint32_t count);
    // The library reported FT_Close.
    testing::AssertionResult expectDeviceClosed(int timeoutMs = defaultTimeoutMs);

    // --- the process
    // The exit status, or a failure (and a killed child) after timeoutMs.
    testing::AssertionResult expectExit(int status, int timeoutMs = defaultTimeoutMs);
    bool running();
    std::string workDir() const { return workDir_; }
    std::string log() const;
    // Waits for needle in Shedmate.log.
    testing::AssertionResult expectLog(const std::string& needle, int timeoutMs = defaultTimeoutMs);
    std::string stderrText() const;
    // The log's last entry is the exit line ("Shedmate exiting at " and ctime's text).
    testing::AssertionResult logEndsWithExitLine();

    // --- signals, as a terminal's Ctrl-C or a service manager sends them
    void interrupt(int signal = SIGINT);
    // The program's main thread is blocked reading its console input, so a
    // signal sent now cuts that read short rather than landing just before it.
    testing::AssertionResult expectReadingInput(int timeoutMs = defaultTimeoutMs);

  private:
    testing::AssertionResult control(char type, uint32_t value);
    std::string diagnostics();

    std::string workDir_;
    std::unique_ptr<peer::ScriptPeer> loom_; // scripted runs only
    peer::Program program_;
};

} // namespace e2e
