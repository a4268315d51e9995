#include "support.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace bench {

std::string shedmatePath() {
    return SHEDMATE_EXE;
}

std::string vloomDir() {
    return SHEDMATE_VLOOM_DIR;
}

std::string vloomLibrary() {
    return SHEDMATE_VLOOM_LIB;
}

std::vector<std::pair<std::string, std::string>> instantModel() {
    return {{"SHEDMATE_VLOOM_SCAN_MS", "0"},
            {"SHEDMATE_VLOOM_RESTART_MS", "0"},
            {"SHEDMATE_VLOOM_REPLY_MS", "0"}};
}

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

int msLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

std::string visible(std::string_view text) {
    std::string out;
    for (unsigned char c : text) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else if (c < 0x20 || c >= 0x7f)
            out += '?';
        else
            out += static_cast<char>(c);
    }
    return out;
}

std::vector<pid_t> threadsOf(pid_t pid) {
    std::vector<pid_t> tids;
    std::string path = "/proc/" + std::to_string(pid) + "/task";
    if (DIR* dir = ::opendir(path.c_str())) {
        while (dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] >= '0' && entry->d_name[0] <= '9')
                tids.push_back(static_cast<pid_t>(std::atol(entry->d_name)));
        }
        ::closedir(dir);
    }
    return tids;
}

} // namespace

TempDir::TempDir() {
    char dir[] = "/tmp/shedmate-bench-XXXXXX";
    if (!::mkdtemp(dir))
        throw Failure(std::string("mkdtemp: ") + std::strerror(errno));
    path_ = dir;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

Child::Child(const ChildOptions& options) {
    // Typing to a child that already ended must be an error, not our end.
    std::signal(SIGPIPE, SIG_IGN);

    std::vector<std::string> env;
    std::string libraryPath = vloomDir();
    for (char** e = environ; *e; ++e) {
        std::string_view entry = *e;
        if (entry.rfind("SHEDMATE_VLOOM_", 0) == 0)
            continue;
        if (entry.rfind("LD_LIBRARY_PATH=", 0) == 0) {
            if (entry.size() > 16)
                libraryPath += ":" + std::string(entry.substr(16));
            continue;
        }
        env.emplace_back(entry);
    }
    env.push_back("LD_LIBRARY_PATH=" + libraryPath);
    for (size_t i = 0; i < options.env.size(); ++i) {
        const std::string& name = options.env[i].first;
        // getenv takes the first of equal names; the last one given must win.
        bool overridden =
            std::any_of(options.env.begin() + static_cast<long>(i) + 1, options.env.end(),
                        [&](const auto& later) { return later.first == name; });
        if (!overridden)
            env.push_back(name + "=" + options.env[i].second);
    }
    std::vector<char*> envp;
    for (std::string& entry : env)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0)
        throw Failure(std::string("pipe: ") + std::strerror(errno));
    if (options.terminal) {
        out[0] = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        const char* name = out[0] >= 0 && ::grantpt(out[0]) == 0 && ::unlockpt(out[0]) == 0
                               ? ::ptsname(out[0])
                               : nullptr;
        out[1] = name ? ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
        if (out[1] < 0)
            throw Failure(std::string("pseudo-terminal: ") + std::strerror(errno));
    } else if (::pipe2(out, O_CLOEXEC) != 0) {
        throw Failure(std::string("pipe: ") + std::strerror(errno));
    }

    // posix_spawn shares our memory until exec instead of copying page tables,
    // so the start measured is the child's, not ours.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::string errPath = workDir() + "/stderr.txt";
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addchdir_np(&actions, workDir().c_str());
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
        // No destructor runs for a constructor that throws.
        ::close(stdinFd_);
        ::close(stdoutFd_);
        throw Failure("cannot start " + exe + ": " + std::strerror(rc));
    }
}

Child::~Child() {
    if (running()) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (stdinFd_ >= 0)
        ::close(stdinFd_);
    if (stdoutFd_ >= 0)
        ::close(stdoutFd_);
}

void Child::type(std::string_view text) {
    while (!text.empty()) {
        ssize_t put = ::write(stdinFd_, text.data(), text.size());
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            throw Failure("cannot type to shedmate: its input is closed" + tail());
        text.remove_prefix(static_cast<size_t>(put));
    }
}

bool Child::readSome(Clock::time_point deadline) {
    if (outputEnded_)
        return false;
    for (;;) {
        pollfd p{stdoutFd_, POLLIN, 0};
        int ready = ::poll(&p, 1, msLeft(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0)
            throw Failure("timed out waiting for shedmate" + tail());
        char buffer[65536];
        ssize_t got = ::read(stdoutFd_, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            outputEnded_ = true;
            return false;
        }
        output_.append(buffer, static_cast<size_t>(got));
        lastRead_ = Clock::now();
        reads_.emplace_back(output_.size(), lastRead_);
        return true;
    }
}

void Child::drain() {
    for (;;) {
        pollfd p{stdoutFd_, POLLIN, 0};
        if (outputEnded_ || ::poll(&p, 1, 0) <= 0 ||
            !readSome(Clock::now() + std::chrono::seconds(1)))
            return;
    }
}

Clock::time_point Child::waitFor(std::string_view needle, int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        size_t at = output_.find(needle, cursor_);
        if (at != std::string::npos) {
            cursor_ = at + needle.size();
            return lastRead_;
        }
        if (!readSome(deadline))
            throw Failure("shedmate's output ended before \"" + visible(needle) + "\"" + tail());
    }
}

int Child::waitExit(int timeoutMs, rusage* usage) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    try {
        while (readSome(deadline)) {
        }
    } catch (const Failure&) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        reaped_ = true;
        throw;
    }
    for (;;) {
        int status = 0;
        rusage ru{};
        pid_t done = ::wait4(pid_, &status, WNOHANG, &ru);
        if (done == pid_) {
            reaped_ = true;
            if (usage)
                *usage = ru;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (Clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            reaped_ = true;
            throw Failure("shedmate did not exit" + tail());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

Clock::time_point Child::arrivedAt(size_t index) const {
    auto read = std::upper_bound(reads_.begin(), reads_.end(), index,
                                 [](size_t i, const auto& r) { return i < r.first; });
    return read == reads_.end() ? lastRead_ : read->second;
}

std::string Child::log() const {
    return readFile(workDir() + "/Shedmate.log");
}

std::string Child::tail() const {
    std::string shown = output_.size() > 600 ? output_.substr(output_.size() - 600) : output_;
    std::string err = readFile(workDir() + "/stderr.txt");
    return "\n--- console output (end):\n" + visible(shown) +
           (err.empty() ? "" : "\n--- stderr:\n" + err);
}

double processCpuSeconds(pid_t pid) {
    std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    if (paren == std::string::npos)
        throw Failure("cannot read /proc/" + std::to_string(pid) + "/stat");
    std::istringstream fields(stat.substr(paren + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    // After the name: state is field 3, utime 14, stime 15.
    for (int n = 3; n <= 15 && fields >> field; ++n) {
        if (n == 14)
            utime = std::stoull(field);
        else if (n == 15)
            stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double threadsCpuSeconds(pid_t pid) {
    unsigned long long ns = 0;
    for (pid_t tid : threadsOf(pid)) {
        std::string path =
            "/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/schedstat";
        std::ifstream in(path);
        unsigned long long onCpu = 0;
        if (in >> onCpu)
            ns += onCpu;
    }
    return static_cast<double>(ns) / 1e9;
}

uint64_t contextSwitches(pid_t pid, pid_t tid) {
    uint64_t total = 0;
    for (pid_t thread : tid ? std::vector<pid_t>{tid} : threadsOf(pid)) {
        std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(thread) +
                         "/status");
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
                line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
                total += std::stoull(line.substr(line.find(':') + 1));
        }
    }
    return total;
}

long statusKiB(pid_t pid, const char* field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    std::string prefix = std::string(field) + ":";
    while (std::getline(in, line)) {
        if (line.rfind(prefix, 0) == 0)
            return std::atol(line.c_str() + prefix.size());
    }
    return -1;
}

Summary summarize(std::vector<double> values) {
    Summary s;
    if (values.empty())
        return s;
    std::sort(values.begin(), values.end());
    auto rank = [&](double p) {
        size_t i = static_cast<size_t>(std::ceil(p * static_cast<double>(values.size())));
        return values[std::min(values.size() - 1, i > 0 ? i - 1 : 0)];
    };
    s.count = values.size();
    s.min = values.front();
    s.max = values.back();
    s.median = rank(0.5);
    s.p90 = rank(0.9);
    s.p99 = rank(0.99);
    double sum = 0;
    for (double v : values)
        sum += v;
    s.mean = sum / static_cast<double>(values.size());
    return s;
}

double msBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

double usBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::micro>(to - from).count();
}

int runBenchmark(const char* name, int (*body)(int argc, char** argv), int argc, char** argv) {
    try {
        return body(argc, argv);
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s: FAILED: %s\n", name, e.what());
        return 1;
    }
}

long option(int argc, char** argv, const char* name, long fallback) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0)
            return std::atol(argv[i + 1]);
    }
    return fallback;
}

} // namespace bench
