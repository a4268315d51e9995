#include "harness.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "virtual_loom/ftd2xx/script_link.h"

namespace e2e {

namespace script = vloom::script;
using Clock = std::chrono::steady_clock;
using peer::visible;
using testing::AssertionFailure;
using testing::AssertionResult;
using testing::AssertionSuccess;

std::string shedmatePath() {
    return SHEDMATE_EXE;
}

std::string demoPath() {
    return SHEDMATE_DEMO_EXE;
}

std::string vloomDir() {
    return SHEDMATE_VLOOM_DIR;
}

namespace {

std::string tail(const std::string& text, size_t n = 1500) {
    return text.size() <= n ? text : "..." + text.substr(text.size() - n);
}

} // namespace

ShedmateRun::ShedmateRun(RunOptions options) {
    // /tmp rather than $TMPDIR: a socket path must stay under 108 bytes.
    char dir[] = "/tmp/shedmate-e2e-XXXXXX";
    if (!::mkdtemp(dir)) {
        ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
        return;
    }
    workDir_ = dir;

    peer::ProgramOptions start;
    start.executable = options.executable;
    start.args = options.args;
    start.workDir = workDir_;
    start.vloomDir = options.libraryDir;
    if (options.scripted) {
        loom_ = std::make_unique<peer::ScriptPeer>(workDir_ + "/loom.sock");
        if (!loom_->listening()) {
            ADD_FAILURE() << loom_->error();
            return;
        }
        start.env.push_back(loom_->envEntry());
    }
    start.env.insert(start.env.end(), options.env.begin(), options.env.end());
    start.terminal = start.terminalInput = options.terminal;
    std::string error;
    if (!program_.start(start, error))
        ADD_FAILURE() << error;
}

ShedmateRun::~ShedmateRun() {
    if (program_.running()) {
        program_.signal(SIGKILL);
        program_.waitExit(defaultTimeoutMs);
    }
    program_.closeInput();
    loom_.reset();
    if (workDir_.empty())
        return;
    if (testing::Test::HasFailure()) {
        std::fprintf(stderr, "working folder kept: %s\n", workDir_.c_str());
    } else {
        std::error_code ignored;
        std::filesystem::remove_all(workDir_, ignored);
    }
}

void ShedmateRun::type(const std::string& text) {
    if (!program_.type(text))
        ADD_FAILURE() << "could not type \"" << visible(text)
                      << "\": the program's input is closed";
}

void ShedmateRun::closeInput() {
    program_.closeInput();
}

AssertionResult ShedmateRun::expectOutput(const std::string& needle, int timeoutMs) {
    if (!program_.waitOutput(needle, timeoutMs))
        return AssertionFailure() << "console never showed \"" << visible(needle) << "\""
                                  << diagnostics();
    return AssertionSuccess();
}

AssertionResult ShedmateRun::expectOutputNext(const std::string& text, int timeoutMs) {
    std::string got;
    if (!program_.expectOutputNext(text, timeoutMs, &got))
        return AssertionFailure() << "console went on with\n  \"" << visible(got)
                                  << "\"\ninstead of\n  \"" << visible(text) << "\""
                                  << diagnostics();
    return AssertionSuccess();
}

std::string ShedmateRun::output() {
    return program_.output();
}

std::string ShedmateRun::unreadOutput() {
    return program_.unreadOutput();
}

AssertionResult ShedmateRun::acceptLoom(int timeoutMs) {
    if (!loom_)
        return AssertionFailure() << "not a scripted run";
    if (!loom_->accept(timeoutMs, [this] { return running(); }))
        return AssertionFailure() << loom_->error() << diagnostics();
    return AssertionSuccess();
}

AssertionResult ShedmateRun::expectWire(const std::string& bytes, int timeoutMs) {
    std::string got;
    if (!loom_ || !loom_->expectWire(bytes, timeoutMs, &got))
        return AssertionFailure() << "the program wrote\n  \"" << visible(got)
                                  << "\"\ninstead of\n  \"" << visible(bytes) << "\""
                                  << diagnostics();
    return AssertionSuccess();
}

AssertionResult ShedmateRun::expectWireQuiet(int quietMs) {
    std::string extra;
    if (loom_ && !loom_->expectQuiet(quietMs, &extra))
        return AssertionFailure() << "the program wrote \"" << visible(extra)
                                  << "\" before the controller let it" << diagnostics();
    return AssertionSuccess();
}

std::string ShedmateRun::wire() {
    return loom_ ? loom_->wire() : "";
}

std::vector<size_t> ShedmateRun::writeSizes() {
    return loom_ ? loom_->writeSizes() : std::vector<size_t>{};
}

void ShedmateRun::send(const std::string& chunk) {
    if (!loom_ || !loom_->send(chunk))
        ADD_FAILURE() << "could not send \"" << visible(chunk) << "\": the library hung up";
}

AssertionResult ShedmateRun::expectDrained(int timeoutMs) {
    if (!loom_ || !loom_->waitDrained(timeoutMs))
        return AssertionFailure() << (loom_ ? loom_->error() : "not a scripted run")
                                  << diagnostics();
    return AssertionSuccess();
}

AssertionResult ShedmateRun::control(char type, uint32_t value) {
    if (!loom_ || !loom_->control(type, value, defaultTimeoutMs))
        return AssertionFailure() << (loom_ ? loom_->error() : "not a scripted run")
                                  << diagnostics();
    return AssertionSuccess();
}

AssertionResult ShedmateRun::unplug(uint32_t failing) {
    return control(script::frame::unplug, failing);
}

AssertionResult ShedmateRun::failWrites(uint32_t status) {
    return control(script::frame::failWrites, status);
}

AssertionResult ShedmateRun::zeroWrites(uint32_t count) {
    return control(script::frame::zeroWrites, count);
}

AssertionResult ShedmateRun::expectDeviceClosed(int timeoutMs) {
    if (!loom_ || !loom_->waitClosed(timeoutMs))
        return AssertionFailure() << "the program never closed the device" << diagnostics();
    return AssertionSuccess();
}

bool ShedmateRun::running() {
    return program_.running();
}

AssertionResult ShedmateRun::expectExit(int status, int timeoutMs) {
    int waitStatus = 0;
    if (!program_.waitExit(timeoutMs, &waitStatus))
        return AssertionFailure() << "the program did not end within " << timeoutMs
                                  << " ms and was killed" << diagnostics();
    if (WIFSIGNALED(waitStatus))
        return AssertionFailure() << "the program died of signal " << WTERMSIG(waitStatus)
                                  << diagnostics();
    if (!WIFEXITED(waitStatus) || WEXITSTATUS(waitStatus) != status)
        return AssertionFailure() << "exit status " << WEXITSTATUS(waitStatus) << ", expected "
                                  << status << diagnostics();
    return AssertionSuccess();
}

AssertionResult ShedmateRun::expectLog(const std::string& needle, int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (log().find(needle) != std::string::npos)
            return AssertionSuccess();
        if (Clock::now() >= deadline)
            return AssertionFailure()
                   << "the log never showed \"" << visible(needle) << "\"" << diagnostics();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string ShedmateRun::log() const {
    return peer::readFile(workDir_ + "/Shedmate.log");
}

std::string ShedmateRun::stderrText() const {
    return program_.stderrText();
}

AssertionResult ShedmateRun::logEndsWithExitLine() {
    const std::string exitLine = "Shedmate exiting at ";
    std::string text = log();
    size_t at = text.rfind(exitLine);
    // ctime's text is 25 characters with its own line end; the format adds one.
    if (at == std::string::npos || text.size() != at + exitLine.size() + 26 ||
        text.compare(text.size() - 2, 2, "\n\n") != 0)
        return AssertionFailure() << "the log does not end with the exit line" << diagnostics();
    return AssertionSuccess();
}

void ShedmateRun::interrupt(int signal) {
    if (!running()) {
        ADD_FAILURE() << "no program left to send signal " << signal << " to" << diagnostics();
        return;
    }
    program_.signal(signal);
}

AssertionResult ShedmateRun::expectReadingInput(int timeoutMs) {
    // /proc/PID/syscall names the main thread's current system call and its
    // arguments: "<number> <fd> ..." while it is blocked in one.
    const std::string path = "/proc/" + std::to_string(program_.pid()) + "/syscall";
    const std::string readingStdin = std::to_string(SYS_read) + " 0x0 ";
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string seen;
    for (;;) {
        if (!running())
            return AssertionFailure()
                   << "the program ended instead of reading its input" << diagnostics();
        std::ifstream in(path);
        if (!in) {
            // A kernel without the file: give the program a moment instead.
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            return AssertionSuccess();
        }
        std::getline(in, seen);
        if (seen.rfind(readingStdin, 0) == 0)
            return AssertionSuccess();
        if (Clock::now() >= deadline)
            return AssertionFailure() << "the program never sat reading its input (last: \"" << seen
                                      << "\")" << diagnostics();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

std::string ShedmateRun::diagnostics() {
    std::ostringstream text;
    text << "\n--- console (end):\n"
         << tail(program_.output()) << "\n--- wire (end): \"" << visible(tail(wire()))
         << "\"\n--- stderr:\n"
         << stderrText() << "\n--- Shedmate.log (end):\n"
         << tail(log());
    if (loom_ && !loom_->error().empty())
        text << "\n--- controller side: " << loom_->error();
    return text.str();
}

} // namespace e2e
