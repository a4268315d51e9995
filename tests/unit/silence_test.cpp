// The operator is told when the controller stays silent for 30 s while the
// run waits for it, without the test waiting that long: the program's clock is
// a fake the test moves on.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "base/clock.h"
#include "base/log.h"
#include "base/state.h"
#include "link/connection.h"
#include "support/fake_driver.h"
#include "support/session.h"

namespace {

const std::string warning = "The loom is not answering";

// Close below the 32-bit wrap, so the silent spells cross it.
constexpr uint32_t startOfTime = 0xFFFFFFFFu - 20000u;
std::atomic<uint32_t> fakeNow{startOfTime};
uint32_t fakeTicks() {
    return fakeNow.load();
}

// The main loop looks at the clock at least every 200 ms while it waits; this
// lets it do so a few times.
void letTheLoopLook() {
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
}

class Silence : public ::testing::Test {
  protected:
    void SetUp() override {
        resetProgramState();
        fakeNow = startOfTime;
        setTickSource(fakeTicks);
        fake::setDevices({{"FT245R USB FIFO"}});
    }
    void TearDown() override {
        fake::setResponder(nullptr);
        setTickSource(nullptr);
        logClose();
    }

    // Plays the controller. It leaves the password unanswered unless
    // answerLogin is set, and "<netdown/>" unless answerApply is.
    static void playTheLoom(bool answerLogin, bool answerApply) {
        playLoom([=](const std::string& line) -> std::string {
            if (line == "tulip" && !answerLogin)
                return "";
            if (line == "<netdown/>")
                return answerApply ? "<ready>\r\n" : "";
            if (line == "<netup/>")
                return "<please wait>\r\n<ready>\r\n";
            return loginReply(line);
        });
    }
};

TEST_F(Silence, AStalledLoginIsReportedOnceAndALateAnswerCarriesOn) {
    playTheLoom(false, true);
    ConsolePipe console;
    SessionThread run;
    RunStopper stopper{console, run};
    ASSERT_TRUE(fake::waitForWritten("tulip\n", 5000));
    // The wait for the report has begun with the clock still at its start.
    ASSERT_TRUE(eventually([] { return appState.load() == state::idle; }));
    letTheLoopLook();

    fakeNow += 29000;
    letTheLoopLook();
    EXPECT_TRUE(lacks(console.output(), warning));

    fakeNow += 2000;
    ASSERT_TRUE(console.waitForOutput("\n\tThe loom is not answering (nothing heard for 31 s). "
                                      "Waiting; press Ctrl-C to quit.\n"));
    EXPECT_TRUE(contains(readLog(), "] loom not answering for 31000 ms\n"));

    // Still silent: nothing more is said.
    fakeNow += 60000;
    letTheLoopLook();
    EXPECT_EQ(countOf(console.output(), warning), 1) << console.output();
    EXPECT_EQ(countOf(readLog(), "loom not answering"), 1) << readLog();

    // The controller answers at last: the report comes and the menu with it.
    fake::pushRx("<ready>\r\n");
    ASSERT_TRUE(console.waitForOutput(menuPromptEnd, 5000));
    std::string out = console.output();
    EXPECT_LT(out.find(warning), out.find("Current Status")) << out;
    EXPECT_TRUE(contains(out, "LOOM-7 - Version: 2.18"));

    console.type("q\n");
    ASSERT_TRUE(run.join());
    EXPECT_EQ(run.exitStatus(), 0);
    EXPECT_EQ(countOf(console.output(), warning), 1) << console.output();
}

TEST_F(Silence, TheMenuWaitsForTheOperatorNotTheLoom) {
    playTheLoom(true, false);
    ConsolePipe console;
    SessionThread run;
    RunStopper stopper{console, run};
    ASSERT_TRUE(console.waitForOutput(menuPromptEnd, 5000));

    // Two minutes at the menu are no silence of the loom's.
    fakeNow += 120000;
    letTheLoopLook();
    EXPECT_TRUE(lacks(console.output(), warning));

    // The controller's last word was two minutes ago, but the wait for it
    // starts only now.
    console.type("a\n");
    ASSERT_TRUE(fake::waitForWritten("<netdown/>\n", 3000));
    ASSERT_TRUE(console.waitForOutput("Please wait "));
    letTheLoopLook();
    EXPECT_TRUE(lacks(console.output(), warning));

    fakeNow += 30500;
    ASSERT_TRUE(console.waitForOutput("(nothing heard for 30 s)"));
    EXPECT_TRUE(contains(readLog(), "] loom not answering for 30500 ms\n"));

    // The late acknowledgement carries the apply through to the menu.
    fake::pushRx("<ready>\r\n");
    ASSERT_TRUE(console.waitForOutput(menuPromptEnd, 5000, 2));
    console.type("q\n");
    ASSERT_TRUE(run.join());
    EXPECT_EQ(run.exitStatus(), 0);
    EXPECT_EQ(countOf(console.output(), warning), 1) << console.output();
    EXPECT_NE(fake::written().find("<netup/>\n"), std::string::npos);
}

} // namespace
