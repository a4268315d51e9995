#include "harness.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "virtual_loom/ftd2xx/script_link.h"
#include "virtual_loom/ftd2xx/socket_io_posix.h"

extern char** environ;

namespace e2e {

namespace script = vloom::script;
using Clock = std::chrono::steady_clock;
using testing::AssertionFailure;
using testing::AssertionResult;
using testing::AssertionSuccess;

std::string shedmatePath() {
    return SHEDMATE_EXE;
}

std::string demoPath() {
#if defined(SHEDMATE_DEMO_EXE)
    return SHEDMATE_DEMO_EXE;
#else
    return "";
#endif
}

std::string vloomDir() {
    return SHEDMATE_VLOOM_DIR;
}

namespace {

// Control bytes made readable, so a failure shows exactly what went over.
std::string visible(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\t')
            out += "\\t";
        else if (c < 0x20 || c >= 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else
            out += static_cast<char>(c);
    }
    return out;
}

std::string tail(const std::string& text, size_t n = 1500) {
    return text.size() <= n ? text : "..." + text.substr(text.size() - n);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

bool writeFull(int fd, const char* data, size_t n) {
    while (n > 0) {
        ssize_t put = ::write(fd, data, n);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        data += put;
        n -= static_cast<size_t>(put);
    }
    return true;
}

int msLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

} // namespace

ShedmateRun::ShedmateRun(RunOptions options) {
    // Writing to a child that already ended must fail the test, not kill it.
    std::signal(SIGPIPE, SIG_IGN);

    // /tmp rather than $TMPDIR: a socket path must stay under 108 bytes.
    char dir[] = "/tmp/shedmate-e2e-XXXXXX";
    if (!::mkdtemp(dir)) {
        ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
        return;
    }
    workDir_ = dir;

    if (options.scripted) {
        socketPath_ = workDir_ + "/loom.sock";
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath_.c_str());
        listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (listenFd_ < 0 ||
            ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listenFd_, 1) != 0) {
            ADD_FAILURE() << "controller socket " << socketPath_ << ": " << std::strerror(errno);
            return;
        }
    }
    spawn(options);
}

ShedmateRun::~ShedmateRun() {
    if (pid_ > 0 && !exited_) {
        ::kill(pid_, SIGKILL);
        reap(true);
    }
    if (stdinFd_ >= 0)
        ::close(stdinFd_);
    if (loomFd_ >= 0)
        ::shutdown(loomFd_, SHUT_RDWR);
    if (stdoutThread_.joinable())
        stdoutThread_.join();
    if (socketThread_.joinable())
        socketThread_.join();
    if (stdoutFd_ >= 0)
        ::close(stdoutFd_);
    if (loomFd_ >= 0)
        ::close(loomFd_);
    if (listenFd_ >= 0)
        ::close(listenFd_);
    if (workDir_.empty())
        return;
    if (testing::Test::HasFailure()) {
        std::fprintf(stderr, "working folder kept: %s\n", workDir_.c_str());
    } else {
        std::error_code ignored;
        std::filesystem::remove_all(workDir_, ignored);
    }
}

void ShedmateRun::spawn(const RunOptions& options) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return;
    }
    std::string errPath = workDir_ + "/stderr.txt";
    int errFd = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);

    // The test's own environment, minus anything that would steer the library.
    std::vector<std::string> env;
    std::string libraryPath = vloomDir();
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        if (entry.rfind("SHEDMATE_VLOOM_", 0) == 0)
            continue;
        // A variable the test sets replaces the inherited one (getenv takes the first).
        if (std::any_of(options.env.begin(), options.env.end(),
                        [&](const auto& set) { return entry.rfind(set.first + "=", 0) == 0; }))
            continue;
        if (entry.rfind("LD_LIBRARY_PATH=", 0) == 0) {
            std::string old = entry.substr(16);
            if (!old.empty())
                libraryPath += ":" + old;
            continue;
        }
        env.push_back(entry);
    }
    env.push_back("LD_LIBRARY_PATH=" + libraryPath);
    if (options.scripted)
        env.push_back(std::string(script::socketEnv) + "=" + socketPath_);
    for (const auto& [name, value] : options.env)
        env.push_back(name + "=" + value);

    std::vector<char*> envp;
    for (std::string& entry : env)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string exe = options.executable;
    char* argv[] = {exe.data(), nullptr};
    const char* cwd = workDir_.c_str();

    pid_ = ::fork();
    if (pid_ == 0) {
        // Only async-signal-safe calls from here to exec.
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        if (errFd >= 0)
            ::dup2(errFd, 2);
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        ::sigaction(SIGPIPE, &dfl, nullptr);
        if (::chdir(cwd) != 0)
            ::_exit(126);
        ::execve(argv[0], argv, envp.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    if (errFd >= 0)
        ::close(errFd);
    if (pid_ < 0) {
        ADD_FAILURE() << "fork: " << std::strerror(errno);
        ::close(in[1]);
        ::close(out[0]);
        return;
    }
    stdinFd_ = in[1];
    stdoutFd_ = out[0];
    stdoutThread_ = std::thread([this] { readStdout(); });
}

void ShedmateRun::readStdout() {
    char buffer[4096];
    for (;;) {
        ssize_t got = ::read(stdoutFd_, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        std::lock_guard<std::mutex> lock(mutex_);
        if (got <= 0) {
            stdoutEnded_ = true;
            cv_.notify_all();
            return;
        }
        output_.append(buffer, static_cast<size_t>(got));
        cv_.notify_all();
    }
}

void ShedmateRun::readSocket() {
    for (;;) {
        char header[script::headerSize];
        std::string payload;
        bool ok = script::recvFull(loomFd_, header, sizeof header);
        if (ok) {
            payload.resize(script::getNumber(header + 1));
            ok = payload.empty() || script::recvFull(loomFd_, payload.data(), payload.size());
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (!ok) {
            socketEnded_ = true;
            cv_.notify_all();
            return;
        }
        switch (header[0]) {
        case script::frame::opened:
            opened_ = true;
            openedIndex_ =
                payload.size() >= 4 ? static_cast<int>(script::getNumber(payload.data())) : -1;
            break;
        case script::frame::written:
            wire_ += payload;
            writeSizes_.push_back(payload.size());
            break;
        case script::frame::closed:
            closedReported_ = true;
            break;
        case script::frame::drained:
            if (payload.size() >= 4)
                chunksDrained_ = script::getNumber(payload.data());
            break;
        case script::frame::done:
            acks_.push_back(payload.empty() ? '\0' : payload[0]);
            break;
        default:
            break;
        }
        cv_.notify_all();
    }
}

void ShedmateRun::type(const std::string& text) {
    if (stdinFd_ < 0 || !writeFull(stdinFd_, text.data(), text.size()))
        ADD_FAILURE() << "could not type \"" << visible(text)
                      << "\": the program's input is closed";
}

void ShedmateRun::closeInput() {
    if (stdinFd_ >= 0)
        ::close(stdinFd_);
    stdinFd_ = -1;
}

AssertionResult ShedmateRun::expectOutput(const std::string& needle, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    size_t at = std::string::npos;
    cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        at = output_.find(needle, outputCursor_);
        return at != std::string::npos || stdoutEnded_;
    });
    if (at == std::string::npos)
        at = output_.find(needle, outputCursor_);
    if (at == std::string::npos) {
        lock.unlock();
        return AssertionFailure() << "console never showed \"" << visible(needle) << "\""
                                  << diagnostics();
    }
    outputCursor_ = at + needle.size();
    return AssertionSuccess();
}

AssertionResult ShedmateRun::expectOutputNext(const std::string& text, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                 [&] { return output_.size() >= outputCursor_ + text.size() || stdoutEnded_; });
    std::string got = output_.substr(outputCursor_, text.size());
    if (got != text) {
        lock.unlock();
        return AssertionFailure() << "console went on with\n  \"" << visible(got)
                                  << "\"\ninstead of\n  \"" << visible(text) << "\""
                                  << diagnostics();
    }
    outputCursor_ += text.size();
    return AssertionSuccess();
}

std::string ShedmateRun::output() {
    std::lock_guard<std::mutex> lock(mutex_);
    return output_;
}

std::string ShedmateRun::unreadOutput() {
    std::lock_guard<std::mutex> lock(mutex_);
    return output_.substr(outputCursor_);
}

AssertionResult ShedmateRun::acceptLoom(int timeoutMs) {
    if (listenFd_ < 0)
        return AssertionFailure() << "not a scripted run";
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        pollfd p{listenFd_, POLLIN, 0};
        int ready = ::poll(&p, 1, std::min(50, msLeft(deadline)));
        if (ready > 0)
            break;
        if (!running())
            return AssertionFailure()
                   << "the program ended without opening the loom" << diagnostics();
        if (msLeft(deadline) == 0)
            return AssertionFailure() << "the library never connected" << diagnostics();
    }
    loomFd_ = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (loomFd_ < 0)
        return AssertionFailure() << "accept: " << std::strerror(errno);
    socketThread_ = std::thread([this] { readSocket(); });
    std::unique_lock<std::mutex> lock(mutex_);
    if (!cv_.wait_for(lock, std::chrono::milliseconds(msLeft(deadline)),
                      [&] { return opened_ || socketEnded_; }) ||
        !opened_) {
        lock.unlock();
        return AssertionFailure() << "the library connected but reported no FT_Open"
                                  << diagnostics();
    }
    return AssertionSuccess();
}

AssertionResult ShedmateRun::expectWire(const std::string& bytes, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                 [&] { return wire_.size() >= wireCursor_ + bytes.size() || socketEnded_; });
    std::string got = wire_.substr(wireCursor_, bytes.size());
    if (got != bytes) {
        lock.unlock();
        return AssertionFailure() << "the program wrote\n  \"" << visible(got)
                                  << "\"\ninstead of\n  \"" << visible(bytes) << "\""
                                  << diagnostics();
    }
    wireCursor_ += bytes.size();
    return AssertionSuccess();
}

AssertionResult ShedmateRun::expectWireQuiet(int quietMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (cv_.wait_for(lock, std::chrono::milliseconds(quietMs),
                     [&] { return wire_.size() > wireCursor_; })) {
        std::string extra = wire_.substr(wireCursor_);
        lock.unlock();
        return AssertionFailure() << "the program wrote \"" << visible(extra)
                                  << "\" before the controller let it" << diagnostics();
    }
    return AssertionSuccess();
}

std::string ShedmateRun::wire() {
    std::lock_guard<std::mutex> lock(mutex_);
    return wire_;
}

std::vector<size_t> ShedmateRun::writeSizes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return writeSizes_;
}

void ShedmateRun::send(const std::string& chunk) {
    if (chunk.empty())
        return;
    std::string frame = script::encode(script::frame::data, chunk);
    std::lock_guard<std::mutex> lock(sendMutex_);
    if (loomFd_ < 0 || !script::sendFull(loomFd_, frame.data(), frame.size())) {
        ADD_FAILURE() << "could not send \"" << visible(chunk) << "\": the library hung up";
        return;
    }
    std::lock_guard<std::mutex> counting(mutex_);
    ++chunksSent_;
}

AssertionResult ShedmateRun::expectDrained(int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                      [&] { return chunksDrained_ == chunksSent_ || socketEnded_; }) ||
        chunksDrained_ != chunksSent_) {
        uint32_t drained = chunksDrained_, sent = chunksSent_;
        lock.unlock();
        return AssertionFailure() << "the program read " << drained << " of the " << sent
                                  << " pieces sent" << diagnostics();
    }
    return AssertionSuccess();
}

AssertionResult ShedmateRun::control(char type, uint32_t value) {
    size_t before;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        before = acks_.size();
    }
    std::string frame = script::encode(type, script::number(value));
    {
        std::lock_guard<std::mutex> lock(sendMutex_);
        if (loomFd_ < 0 || !script::sendFull(loomFd_, frame.data(), frame.size()))
            return AssertionFailure() << "the library hung up" << diagnostics();
    }
    std::unique_lock<std::mutex> lock(mutex_);
    auto confirmed = [&] {
        for (size_t i = before; i < acks_.size(); ++i)
            if (acks_[i] == type)
                return true;
        return false;
    };
    // The program may close the device the moment it sees the change; the
    // confirmation is sent before that.
    cv_.wait_for(lock, std::chrono::milliseconds(defaultTimeoutMs),
                 [&] { return confirmed() || socketEnded_; });
    if (!confirmed()) {
        lock.unlock();
        return AssertionFailure() << "the library never confirmed control frame '" << type << "'"
                                  << diagnostics();
    }
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

AssertionResult ShedmateRun::maxWrite(uint32_t bytes) {
    return control(script::frame::maxWrite, bytes);
}

AssertionResult ShedmateRun::expectDeviceClosed(int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                      [&] { return closedReported_ || socketEnded_; }) ||
        !closedReported_) {
        lock.unlock();
        return AssertionFailure() << "the program never closed the device" << diagnostics();
    }
    return AssertionSuccess();
}

void ShedmateRun::reap(bool block) {
    if (pid_ <= 0 || exited_)
        return;
    int status = 0;
    pid_t r;
    do {
        r = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == pid_) {
        exited_ = true;
        waitStatus_ = status;
    }
}

bool ShedmateRun::running() {
    reap(false);
    return pid_ > 0 && !exited_;
}

AssertionResult ShedmateRun::expectExit(int status, int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (running()) {
        if (msLeft(deadline) == 0) {
            ::kill(pid_, SIGKILL);
            reap(true);
            return AssertionFailure() << "the program did not end within " << timeoutMs
                                      << " ms and was killed" << diagnostics();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    {
        // Everything it printed is in the pipe by now; wait for the reader to drain it.
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait_for(lock, std::chrono::milliseconds(2000), [&] { return stdoutEnded_; });
    }
    if (WIFSIGNALED(waitStatus_))
        return AssertionFailure() << "the program died of signal " << WTERMSIG(waitStatus_)
                                  << diagnostics();
    if (!WIFEXITED(waitStatus_) || WEXITSTATUS(waitStatus_) != status)
        return AssertionFailure() << "exit status " << WEXITSTATUS(waitStatus_) << ", expected "
                                  << status << diagnostics();
    return AssertionSuccess();
}

AssertionResult ShedmateRun::expectLog(const std::string& needle, int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (log().find(needle) != std::string::npos)
            return AssertionSuccess();
        if (msLeft(deadline) == 0)
            return AssertionFailure()
                   << "the log never showed \"" << visible(needle) << "\"" << diagnostics();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string ShedmateRun::log() const {
    return readFile(workDir_ + "/Shedmate.log");
}

std::string ShedmateRun::stderrText() const {
    return readFile(workDir_ + "/stderr.txt");
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
    ::kill(pid_, signal);
}

AssertionResult ShedmateRun::expectReadingInput(int timeoutMs) {
    // /proc/PID/syscall names the main thread's current system call and its
    // arguments: "<number> <fd> ..." while it is blocked in one.
    const std::string path = "/proc/" + std::to_string(pid_) + "/syscall";
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
        if (msLeft(deadline) == 0)
            return AssertionFailure() << "the program never sat reading its input (last: \"" << seen
                                      << "\")" << diagnostics();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

std::string ShedmateRun::diagnostics() {
    std::string out, wire;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        out = output_;
        wire = wire_;
    }
    std::ostringstream text;
    text << "\n--- console (end):\n"
         << tail(out) << "\n--- wire (end): \"" << visible(tail(wire)) << "\"\n--- stderr:\n"
         << stderrText() << "\n--- Shedmate.log (end):\n"
         << tail(log());
    return text.str();
}

} // namespace e2e
