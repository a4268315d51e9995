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
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

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

using peer::readFile;

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
    peer::ProgramOptions start;
    start.executable = options.executable;
    start.args = options.args;
    start.workDir = workDir();
    start.vloomDir = options.libraryDir;
    start.env = options.env;
    start.terminal = options.terminal;
    std::string error;
    if (!program_.start(start, error))
        throw Failure(error);
}

void Child::type(std::string_view text) {
    if (!program_.type(text))
        throw Failure("cannot type to shedmate: its input is closed" + tail());
}

Clock::time_point Child::waitFor(std::string_view needle, int timeoutMs) {
    Clock::time_point at;
    if (!program_.waitOutput(needle, timeoutMs, &at))
        throw Failure("shedmate never showed \"" + visible(needle) + "\"" + tail());
    return at;
}

int Child::waitExit(int timeoutMs, rusage* usage) {
    int status = 0;
    if (!program_.waitExit(timeoutMs, &status, usage))
        throw Failure("shedmate did not exit" + tail());
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string Child::log() const {
    return readFile(workDir() + "/Shedmate.log");
}

std::string Child::tail() {
    std::string out = program_.output();
    std::string shown = out.size() > 600 ? out.substr(out.size() - 600) : out;
    std::string err = program_.stderrText();
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
