// Whole runs against a fake controller: logging in, the status report, the
// menu, quitting, and losing the device along the way.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "app/main_loop.h"
#include "base/interrupt.h"
#include "base/state.h"
#include "link/connection.h"
#include "protocol/settings.h"
#include "support/fake_driver.h"
#include "support/session.h"

namespace {

const std::string lostLine = "connection to the loom was lost";

// The password's answer is held back: the run waits for the loom.
std::string holdingThePassword(const std::string& line) {
    return line == "tulip" ? "" : loginReply(line);
}

class Conversation : public ::testing::Test {
  protected:
    void SetUp() override {
        resetProgramState();
        fake::setDevices({{"FT245R USB FIFO"}});
        playLoom();
    }
    void TearDown() override { fake::setResponder(nullptr); }

    // Waits for the menu, with the controller's last "<ready>" handled.
    static void reachMenu(ConsolePipe& console) {
        ASSERT_TRUE(console.waitForOutput(menuPromptEnd, 5000));
        ASSERT_TRUE(eventually([] { return clearToSend.load() == 1; }, 5000));
    }
};

TEST_F(Conversation, LogsInShowsTheReportAndQuits) {
    ConsolePipe console;
    SessionThread run;
    RunStopper stopper{console, run};
    ASSERT_NO_FATAL_FAILURE(reachMenu(console));

    {
        std::lock_guard<std::mutex> lock(settingsMutex);
        const LoomSettings& s = loomSettings;
        EXPECT_STREQ(s.hostname, "LOOM-7");
        EXPECT_STREQ(s.version, "2.18");
        EXPECT_STREQ(s.stateText, "CONNECTED");
        EXPECT_STREQ(s.currentAddress, "192.168.1.40");
        EXPECT_STREQ(s.dhcp, "DHCP_OFF");
        EXPECT_STREQ(s.staticAddress, "192.168.1.50");
        EXPECT_STREQ(s.wifi, "WIFI_ON");
        EXPECT_STREQ(s.ssid, "ShedNet");
        EXPECT_STREQ(s.encryption, "WPA2");
    }
    EXPECT_TRUE(contains(console.output(), "LOOM-7 - Version: 2.18"));

    console.type("q\n");
    ASSERT_TRUE(run.join());
    EXPECT_EQ(run.exitStatus(), 0);
    EXPECT_EQ(fake::written(), "\ntulip\n<netstatus/>\n<wifistatus/>\nclose\n");
    EXPECT_EQ(fake::closeCount(), 1);
    EXPECT_TRUE(lacks(console.output(), lostLine));

    std::string log = readLog();
    EXPECT_TRUE(contains(log, "processMsg(): <Weftrix loom controller: LOOM-7, 4.5v2.18>\n"));
    EXPECT_TRUE(contains(log, "processMsg(): </wifistatus>\n"));
    EXPECT_TRUE(contains(log, "read thread exiting at "));
    EXPECT_TRUE(contains(log, "Shedmate exiting at "));
}

TEST_F(Conversation, ControllerClosingTheConnectionEndsTheRunCleanly) {
    playLoom(holdingThePassword);
    ConsolePipe console;
    SessionThread run;
    RunStopper stopper{console, run};
    ASSERT_TRUE(fake::waitForWritten("tulip\n", 5000));
    // The two status requests are still waiting for the password's answer.
    fake::pushRx("<closing connection>\r\n");
    ASSERT_TRUE(run.join());
    EXPECT_EQ(run.exitStatus(), 0);
    EXPECT_EQ(fake::written(), "\ntulip\n");
    EXPECT_EQ(fake::closeCount(), 1);
    EXPECT_TRUE(contains(readLog(), "Shedmate exiting at "));
}

TEST_F(Conversation, UnpluggedWhileWaitingForTheLoomEndsAtOnce) {
    playLoom(holdingThePassword);
    ConsolePipe console;
    SessionThread run;
    RunStopper stopper{console, run};
    ASSERT_TRUE(fake::waitForWritten("tulip\n", 5000));
    ASSERT_TRUE(eventually([] { return appState.load() == state::idle; }));

    fake::setGetStatusResult(FT_IO_ERROR);
    EXPECT_TRUE(console.waitForOutput(lostLine, 5000));
    ASSERT_TRUE(run.join());
    EXPECT_EQ(run.exitStatus(), 1);
    EXPECT_EQ(fake::closeCount(), 1);
    std::string log = readLog();
    EXPECT_LT(log.find("connection to the loom lost"), log.find("Shedmate exiting at "));
}

TEST_F(Conversation, UnpluggedAtTheMenuEndsAfterThePendingAnswer) {
    ConsolePipe console;
    SessionThread run;
    RunStopper stopper{console, run};
    ASSERT_NO_FATAL_FAILURE(reachMenu(console));

    fake::setGetStatusResult(FT_IO_ERROR);
    ASSERT_TRUE(eventually([] { return linkLost(); }, 5000));
    console.type("x\n");
    EXPECT_TRUE(console.waitForOutput(lostLine, 5000));
    ASSERT_TRUE(run.join());
    EXPECT_EQ(run.exitStatus(), 1);
    EXPECT_EQ(countOf(console.output(), lostLine), 1);
    EXPECT_TRUE(contains(readLog(), "Shedmate exiting at "));
}

} // namespace

// A Ctrl-C that lands just before the menu's console read begins leaves the
// flag set and nothing to cut that read short; the run must end all the same.
TEST_F(Conversation, InterruptBeforeTheConsoleReadStillEndsTheRun) {
#if defined(_WIN32)
    GTEST_SKIP() << "Windows cuts a console read short itself; a pipe read it never does";
#endif
    ConsolePipe console;
    std::atomic<int> status{-1};
    std::thread run([&] {
        // The receiving thread nudges the thread that installed the handlers.
        installInterruptHandlers();
        status = runShedmate();
    });
    reachMenu(console);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    interruptRequested = 1;
    bool ended = eventually([&] { return status.load() != -1; }, 3000);
    if (!ended)
        console.closeInput();
    run.join();
    EXPECT_TRUE(ended);
    EXPECT_EQ(status.load(), interruptedExitStatus);
    EXPECT_TRUE(contains(readLog(), "interrupted by the operator\n"));
}
