// The real shedmate executable on a terminal (a pseudo-terminal it has as its
// controlling terminal), against the virtual loom's model answering at once:
// what the terminal's settings are while a passphrase is typed, after a stop
// and continue, and after a hang-up.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "harness.h"
#include "support/checks.h"

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

class TerminalRun {
  public:
    TerminalRun() {
        char dir[] = "/tmp/shedmate-tty-XXXXXX";
        if (!::mkdtemp(dir)) {
            ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
            return;
        }
        workDir_ = dir;
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
            ADD_FAILURE() << "pseudo-terminal: " << std::strerror(errno);
            return;
        }
        std::string slave = ::ptsname(master_);
        // The test's environment, the model answering at once instead of a script.
        std::vector<std::string> env = {"LD_LIBRARY_PATH=" + vloomDir(), "SHEDMATE_VLOOM_SCAN_MS=0",
                                        "SHEDMATE_VLOOM_RESTART_MS=0", "SHEDMATE_VLOOM_REPLY_MS=0"};
        for (char** e = environ; *e; ++e) {
            std::string entry = *e;
            if (entry.rfind("SHEDMATE_VLOOM_", 0) != 0 && entry.rfind("LD_LIBRARY_PATH=", 0) != 0)
                env.push_back(entry);
        }
        std::vector<char*> envp;
        for (std::string& entry : env)
            envp.push_back(entry.data());
        envp.push_back(nullptr);
        std::string exe = shedmatePath();
        char* argv[] = {exe.data(), nullptr};
        const char* cwd = workDir_.c_str();
        pid_ = ::fork();
        if (pid_ == 0) {
            // Only async-signal-safe calls from here to exec. A session of its
            // own, with the terminal as its controlling one, as a login gives it.
            ::setsid();
            int fd = ::open(slave.c_str(), O_RDWR);
            if (fd < 0 || ::chdir(cwd) != 0)
                ::_exit(126);
            ::ioctl(fd, TIOCSCTTY, 0);
            ::dup2(fd, 0);
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            struct sigaction dfl {};
            dfl.sa_handler = SIG_DFL;
            ::sigaction(SIGPIPE, &dfl, nullptr);
            ::execve(argv[0], argv, envp.data());
            ::_exit(127);
        }
        reader_ = std::thread([this] {
            char buf[4096];
            for (;;) {
                ssize_t n = ::read(master_, buf, sizeof buf);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    return;
                std::lock_guard<std::mutex> lock(mutex_);
                output_.append(buf, static_cast<size_t>(n));
            }
        });
    }

    ~TerminalRun() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            int status;
            ::waitpid(pid_, &status, 0);
        }
        // With the program gone, nothing holds the terminal's other end: the
        // reader's next read fails and it ends.
        if (reader_.joinable())
            reader_.join();
        if (master_ >= 0)
            ::close(master_);
        if (!workDir_.empty() && !testing::Test::HasFailure())
            std::filesystem::remove_all(workDir_);
    }

    void type(const std::string& text) {
        ASSERT_EQ(::write(master_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }

    std::string output() {
        std::lock_guard<std::mutex> lock(mutex_);
        return output_;
    }

    // Waits for the needle to appear `times` times in the output.
    testing::AssertionResult expectOutput(const std::string& needle, int times = 1) {
        return until([&] {
            std::string out = output();
            int n = 0;
            for (size_t at = out.find(needle); at != std::string::npos;
                 at = out.find(needle, at + 1))
                ++n;
            return n >= times;
        })
                   ? testing::AssertionSuccess()
                   : testing::AssertionFailure() << "no \"" << needle << "\" in:\n"
                                                 << output();
    }

    // The terminal's echo setting, as the program left it.
    bool echoOn() {
        termios t{};
        ::tcgetattr(master_, &t);
        return (t.c_lflag & ECHO) != 0;
    }

    void setEcho(bool on) {
        termios t{};
        ::tcgetattr(master_, &t);
        if (on)
            t.c_lflag |= ECHO;
        else
            t.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(master_, TCSANOW, &t);
    }

    testing::AssertionResult expectEcho(bool on) {
        return until([&] { return echoOn() == on; })
                   ? testing::AssertionSuccess()
                   : testing::AssertionFailure() << "echo stayed " << (on ? "off" : "on");
    }

    void signal(int sig) { ::kill(pid_, sig); }

    testing::AssertionResult expectStopped() {
        int status = 0;
        if (::waitpid(pid_, &status, WUNTRACED) == pid_ && WIFSTOPPED(status))
            return testing::AssertionSuccess();
        return testing::AssertionFailure() << "not stopped";
    }

    testing::AssertionResult expectExit(int expected) {
        int status = 0;
        bool ended = until([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; });
        if (!ended)
            return testing::AssertionFailure() << "still running:\n" << output();
        exited_ = true;
        if (WIFEXITED(status) && WEXITSTATUS(status) == expected)
            return testing::AssertionSuccess();
        return testing::AssertionFailure() << "ended with wait status " << status << ":\n"
                                           << output();
    }

    std::string log() const {
        std::ifstream in(workDir_ + "/Shedmate.log");
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

  private:
    template <typename Pred> bool until(Pred pred) {
        auto deadline = Clock::now() + std::chrono::milliseconds(defaultTimeoutMs);
        while (!pred()) {
            if (Clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    std::string workDir_;
    int master_ = -1;
    pid_t pid_ = -1;
    bool exited_ = false;
    std::mutex mutex_;
    std::string output_; // guarded by mutex_
    std::thread reader_;
};

const char menuEnd[] = "'q' for quit: ";
const char passphrasePrompt[] = "\tPassphrase: ";

TEST(Terminal, APassphraseTypedAheadOfItsPromptIsKept) {
    TerminalRun run;
    ASSERT_TRUE(run.expectOutput(menuEnd));
    run.type("3\n");
    ASSERT_TRUE(run.expectOutput("for scan: "));
    // Network 2 of the model needs a passphrase; typed with the choice, long
    // before echo goes off.
    run.type("2\nshuttle-99\n");
    ASSERT_TRUE(run.expectOutput(menuEnd, 2));
    EXPECT_TRUE(run.echoOn());
    // The network is not applied: quitting at a terminal asks first.
    run.type("q\ny\n");
    ASSERT_TRUE(run.expectExit(0));
    std::string log = run.log();
    EXPECT_TRUE(contains(log, "set passphrase: ********\n"));
}

TEST(Terminal, EchoStaysOffAfterAStopAndIsBackAfterAHangUp) {
    TerminalRun run;
    ASSERT_TRUE(run.expectOutput(menuEnd));
    run.type("3\n");
    ASSERT_TRUE(run.expectOutput("for scan: "));
    run.type("2\n");
    ASSERT_TRUE(run.expectOutput(passphrasePrompt));
    ASSERT_TRUE(run.expectEcho(false));

    // Ctrl-Z, then fg: the shell restores its own settings meanwhile.
    run.signal(SIGSTOP);
    ASSERT_TRUE(run.expectStopped());
    run.setEcho(true);
    run.signal(SIGCONT);
    EXPECT_TRUE(run.expectEcho(false));

    // The terminal goes away: the run ends as after Ctrl-C, echo restored.
    run.signal(SIGHUP);
    ASSERT_TRUE(run.expectExit(129));
    EXPECT_TRUE(run.echoOn());
    std::string log = run.log();
    EXPECT_TRUE(contains(log, "interrupted by the operator\n"));
    EXPECT_TRUE(contains(log, "Shedmate exiting at "));
    EXPECT_TRUE(lacks(log, "set passphrase"));
}

} // namespace
} // namespace e2e
