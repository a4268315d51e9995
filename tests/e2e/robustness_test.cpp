// The real shedmate executable where its console or its log are not what it
// expects: standard output read by a program that stops reading, a log name
// that is a link, a second run in the same folder, a log that cannot grow, a
// run killed outright.
// Each run is started through a small shell script that sets the scene in the
// run's working folder and then execs the program.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

#include "conversation.h"
#include "harness.h"
#include "support/checks.h"

namespace e2e {
namespace {

// A script that runs `body` with $SHEDMATE naming the program under test.
class Wrapper {
  public:
    explicit Wrapper(const std::string& body) {
        char dir[] = "/tmp/shedmate-wrap-XXXXXX";
        if (!::mkdtemp(dir))
            return;
        dir_ = dir;
        path_ = dir_ + "/run.sh";
        std::ofstream out(path_);
        out << "#!/bin/sh\nSHEDMATE='" << shedmatePath() << "'\n" << body << "\n";
        out.close();
        ::chmod(path_.c_str(), 0755);
    }
    ~Wrapper() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    RunOptions options() const {
        RunOptions o;
        o.executable = path_;
        return o;
    }

  private:
    std::string dir_;
    std::string path_;
};

std::string fileText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(ConsoleOutput, AReaderThatGoesAwayNeitherEndsTheRunNorCutsTheLog) {
    // head takes the first byte and leaves; the shell reports the program's status.
    Wrapper script("( \"$SHEDMATE\"; echo $? > status ) | head -c 1 >/dev/null\n"
                   "echo \"status $(cat status)\"");
    ShedmateRun run(script.options());
    ASSERT_TRUE(logIn(run, {}, Login::reported, false));
    // The status screen went to head; give it a moment to leave.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    // Blind, the operator still edits and quits as usual.
    run.type("1\nLOOM-9\nq\n");
    ASSERT_TRUE(run.expectWire("close\n"));
    ASSERT_TRUE(run.expectExit(0));
    EXPECT_TRUE(contains(run.output(), "status 0\n"));
    std::string log = run.log();
    EXPECT_TRUE(contains(log, "console output failed (Broken pipe); carrying on without it\n"));
    EXPECT_TRUE(contains(log, "set hostname: LOOM-9\n"));
    EXPECT_TRUE(run.logEndsWithExitLine());
}

struct LinkedLog {
    const char* name;
    const char* setUp; // shell commands run in the working folder
};

void PrintTo(const LinkedLog& l, std::ostream* os) {
    *os << l.name;
}

class LinkedLogName : public testing::TestWithParam<LinkedLog> {};

TEST_P(LinkedLogName, IsNotWrittenThroughAndTheRunGoesOnWithoutALog) {
    Wrapper script(std::string("echo precious > other\n") + GetParam().setUp +
                   "\nexec \"$SHEDMATE\"");
    ShedmateRun run(script.options());
    ASSERT_TRUE(run.expectOutput("\tWARNING: Shedmate.log in the working folder is a link or not "
                                 "a plain file; not writing through it, carrying on without a "
                                 "log\n"));
    ASSERT_TRUE(atMenu(run));
    ASSERT_TRUE(quitCleanly(run));
    EXPECT_EQ(fileText(run.workDir() + "/other"), "precious\n");
}

INSTANTIATE_TEST_SUITE_P(Log, LinkedLogName,
                         testing::Values(LinkedLog{"SymbolicLink", "ln -s other Shedmate.log"},
                                         LinkedLog{"HardLink", "ln other Shedmate.log"}),
                         caseName<LinkedLog>);

TEST(Log, ASecondRunInTheSameFolderLeavesTheFirstOnesLogAlone) {
    ShedmateRun first;
    ASSERT_TRUE(atMenu(first));
    std::string before = first.log();

    Wrapper script("cd '" + first.workDir() + "' && exec \"$SHEDMATE\"");
    ShedmateRun second(script.options());
    ASSERT_TRUE(second.expectOutput("ERROR: another Shedmate is running here (it holds "
                                    "Shedmate.log). Only one may run in a folder at a time.\n"));
    ASSERT_TRUE(second.expectExit(1));
    EXPECT_EQ(first.log().substr(0, before.size()), before);
    // Nor does it keep the first one's log as its own previous one.
    EXPECT_FALSE(std::filesystem::exists(first.workDir() + "/Shedmate.log.1"));

    ASSERT_TRUE(quitCleanly(first));
    std::string log = first.log();
    EXPECT_EQ(log.rfind("Shedmate: starting at "), log.find("Shedmate: starting at ")) << log;
    EXPECT_TRUE(lacks(log, std::string(1, '\0')));
    EXPECT_TRUE(first.logEndsWithExitLine());
}

TEST(Log, AfterAKillHoldsEveryLineWrittenBeforeItEachWhole) {
    ShedmateRun run;
    ASSERT_TRUE(atMenu(run));
    run.type("1\nLOOM-9\n");
    ASSERT_TRUE(run.expectOutput(menuPrompt));
    run.interrupt(SIGKILL);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (run.running() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_FALSE(run.running());

    // The last two lines written before the prompt: the edit and the screen
    // that showed it.
    std::string log = run.log();
    const std::string edit = "set hostname: LOOM-9\n";
    size_t at = log.find(edit);
    ASSERT_NE(at, std::string::npos) << log;
    // "[ms] displayStatus()" and nothing after it.
    const std::string rest = log.substr(at + edit.size());
    const std::string screen = "] displayStatus()\n";
    EXPECT_TRUE(rest.size() > screen.size() && rest[0] == '[' &&
                rest.find_first_not_of("0123456789", 1) == rest.size() - screen.size() &&
                rest.compare(rest.size() - screen.size(), screen.size(), screen) == 0)
        << log;
}

TEST(Log, AFailedWriteIsToldOnceAndTheRunCarriesOn) {
    // Files may grow to 1 KiB (two 512-byte blocks): the log fills up early.
    Wrapper script("ulimit -f 2\nexec \"$SHEDMATE\"");
    ShedmateRun run(script.options());
    ASSERT_TRUE(atMenu(run));
    run.type("1\nLOOM-9\n");
    ASSERT_TRUE(run.expectOutput(menuPrompt));
    ASSERT_TRUE(quitCleanly(run));
    const std::string told = "WARNING: writing Shedmate.log failed (File too large)";
    std::string out = run.output();
    EXPECT_TRUE(contains(out, told));
    EXPECT_EQ(out.rfind(told), out.find(told)) << out;
}

} // namespace
} // namespace e2e
