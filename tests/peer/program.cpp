#include "peer/program.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char** environ;

namespace peer {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

std::vector<std::string> childEnvironment(const std::string& vloomDir, const EnvList& extra) {
    std::vector<std::string> env;
    std::string libraryPath = vloomDir;
    for (char** e = environ; *e; ++e) {
        std::string_view entry = *e;
        if (entry.rfind("SHEDMATE_VLOOM_", 0) == 0)
            continue;
        // A variable the caller sets replaces the inherited one (getenv takes the first).
        if (std::any_of(extra.begin(), extra.end(), [&](const auto& set) {
                return entry.size() > set.first.size() && entry[set.first.size()] == '=' &&
                       entry.rfind(set.first, 0) == 0;
            }))
            continue;
        if (entry.rfind("LD_LIBRARY_PATH=", 0) == 0) {
            if (entry.size() > 16)
                libraryPath += ":" + std::string(entry.substr(16));
            continue;
        }
        env.emplace_back(entry);
    }
    env.push_back("LD_LIBRARY_PATH=" + libraryPath);
    for (size_t i = 0; i < extra.size(); ++i) {
        const std::string& name = extra[i].first;
        // getenv takes the first of equal names; the last one given must win.
        bool overridden = std::any_of(extra.begin() + static_cast<long>(i) + 1, extra.end(),
                                      [&](const auto& later) { return later.first == name; });
        if (!overridden)
            env.push_back(name + "=" + extra[i].second);
    }
    return env;
}

namespace {

// out[0] is read by us, out[1] becomes the child's standard output.
bool openOutput(int out[2], bool terminal, std::string& error) {
    if (!terminal) {
        if (::pipe2(out, O_CLOEXEC) == 0)
            return true;
        error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    out[0] = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    const char* name = out[0] >= 0 && ::grantpt(out[0]) == 0 && ::unlockpt(out[0]) == 0
                           ? ::ptsname(out[0])
                           : nullptr;
    out[1] = name ? ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    if (out[1] >= 0)
        return true;
    error = std::string("pseudo-terminal: ") + std::strerror(errno);
    if (out[0] >= 0)
        ::close(out[0]);
    return false;
}

} // namespace

bool Program::start(const ProgramOptions& options, std::string& error) {
    // Typing to a child that already ended must be an error, not our end.
    std::signal(SIGPIPE, SIG_IGN);
    workDir_ = options.workDir;
    std::vector<std::string> env = childEnvironment(options.vloomDir, options.env);
    std::vector<char*> envp;
    for (std::string& entry : env)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    int in[2], out[2];
    terminalInput_ = options.terminal && options.terminalInput;
    if (!openOutput(out, options.terminal, error))
        return false;
    if (terminalInput_) {
        termios settings{};
        ::tcgetattr(out[1], &settings);
        settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
        ::tcsetattr(out[1], TCSANOW, &settings);
        in[0] = ::fcntl(out[1], F_DUPFD_CLOEXEC, 0);
        in[1] = ::fcntl(out[0], F_DUPFD_CLOEXEC, 0);
    } else if (::pipe2(in, O_CLOEXEC) != 0) {
        in[0] = in[1] = -1;
    }
    if (in[0] < 0 || in[1] < 0) {
        error = std::string("console input: ") + std::strerror(errno);
        for (int fd : {in[0], in[1], out[0], out[1]})
            if (fd >= 0)
                ::close(fd);
        return false;
    }

    // posix_spawn shares our memory until exec instead of copying page tables,
    // so a start that is measured is the child's, not ours.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::string errPath = workDir_ + "/stderr.txt";
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addchdir_np(&actions, workDir_.c_str());
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);

    std::string exe = options.executable;
    std::vector<std::string> args = options.args;
    std::vector<char*> argv{exe.data()};
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    started_ = Clock::now();
    int rc = ::posix_spawn(&pid_, exe.c_str(), &actions, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(in[0]);
    ::close(out[1]);
    stdinFd_ = in[1];
    stdoutFd_ = out[0];
    if (rc != 0) {
        pid_ = -1;
        error = "cannot start " + exe + ": " + std::strerror(rc);
        return false;
    }
    outputThread_ = std::thread([this] { readOutput(); });
    return true;
}

Program::~Program() {
    if (running()) {
        ::kill(pid_, SIGKILL);
        reap(true, nullptr);
    }
    closeInput();
    if (outputThread_.joinable())
        outputThread_.join();
    if (stdoutFd_ >= 0)
        ::close(stdoutFd_);
}

void Program::readOutput() {
    char buffer[65536];
    for (;;) {
        ssize_t got = ::read(stdoutFd_, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        Clock::time_point now = Clock::now();
        std::lock_guard<std::mutex> lock(mutex_);
        if (got <= 0) {
            outputEnded_ = true;
            cv_.notify_all();
            return;
        }
        output_.append(buffer, static_cast<size_t>(got));
        arrivals_.emplace_back(output_.size(), now);
        cv_.notify_all();
    }
}

bool Program::type(std::string_view text) {
    while (!text.empty()) {
        if (stdinFd_ < 0)
            return false;
        ssize_t put = ::write(stdinFd_, text.data(), text.size());
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        text.remove_prefix(static_cast<size_t>(put));
    }
    return true;
}

void Program::closeInput() {
    if (stdinFd_ < 0)
        return;
    if (terminalInput_ && running())
        type("\x04");
    ::close(stdinFd_);
    stdinFd_ = -1;
}

bool Program::waitOutput(std::string_view needle, int timeoutMs, Clock::time_point* at) {
    std::unique_lock<std::mutex> lock(mutex_);
    size_t found = std::string::npos;
    cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        found = output_.find(needle, cursor_);
        return found != std::string::npos || outputEnded_;
    });
    if (found == std::string::npos)
        return false;
    cursor_ = found + needle.size();
    if (at) {
        auto read = std::lower_bound(arrivals_.begin(), arrivals_.end(), cursor_,
                                     [](const auto& a, size_t end) { return a.first < end; });
        *at = read != arrivals_.end() ? read->second : Clock::now();
    }
    return true;
}

bool Program::expectOutputNext(std::string_view text, int timeoutMs, std::string* got) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                 [&] { return output_.size() >= cursor_ + text.size() || outputEnded_; });
    std::string came = output_.substr(cursor_, text.size());
    if (came != text) {
        if (got)
            *got = came;
        return false;
    }
    cursor_ += text.size();
    return true;
}

std::string Program::output() {
    std::lock_guard<std::mutex> lock(mutex_);
    return output_;
}

std::string Program::unreadOutput() {
    std::lock_guard<std::mutex> lock(mutex_);
    return output_.substr(cursor_);
}

bool Program::waitOutputEnd(int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return outputEnded_; });
}

bool Program::reap(bool block, rusage* usage) {
    if (pid_ <= 0 || exited_)
        return exited_;
    int status = 0;
    rusage ru{};
    pid_t r;
    do {
        r = ::wait4(pid_, &status, block ? 0 : WNOHANG, &ru);
    } while (r < 0 && errno == EINTR);
    if (r == pid_) {
        exited_ = true;
        waitStatus_ = status;
        if (usage)
            *usage = ru;
    }
    return exited_;
}

bool Program::running() {
    reap(false, nullptr);
    return pid_ > 0 && !exited_;
}

bool Program::waitExit(int timeoutMs, int* waitStatus, rusage* usage) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!reap(false, usage)) {
        if (pid_ <= 0)
            return false;
        if (Clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            reap(true, nullptr);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // Everything it printed is in the pipe by now; let the reader take it.
    waitOutputEnd(2000);
    if (waitStatus)
        *waitStatus = waitStatus_;
    return true;
}

void Program::signal(int sig) {
    if (running())
        ::kill(pid_, sig);
}

std::string Program::stderrText() const {
    return readFile(workDir_ + "/stderr.txt");
}

Clock::time_point Program::arrivedAt(size_t index) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto read = std::upper_bound(arrivals_.begin(), arrivals_.end(), index,
                                 [](size_t i, const auto& arrival) { return i < arrival.first; });
    return read != arrivals_.end() ? read->second : Clock::now();
}

} // namespace peer
