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

const std::string banner = "<Weftrix loom controller: LOOM-7, 4.5v2.18>";
const std::string prompt = "<Password: LOOM-7, 4.5v2.18>";
const std::string netReport = "<netstatus>\r\n"
                              "<hostname=\"LOOM-7\">\r\n"
                              "<state=\"CONNECTED\">\r\n"
                              "<current=\"192.168.1.40\">\r\n"
                              "<dhcp=\"DHCP_OFF\">\r\n"
                              "<static=\"192.168.1.50\">\r\n"
                              "<wifi=\"WIFI_ON\">\r\n"
                              "<ready>\r\n";
const std::string wifiReport = "<wifistatus>\r\n"
                               "<ssid=\"ShedNet\">\r\n"
                               "<encryption=\"WPA2\">\r\n"
                               "</wifistatus>\r\n"
                               "<ready>\r\n";
const std::string menuPrompt = "'q' for quit: ";
const std::string lostLine = "connection to the loom was lost";

// Lets a failed test's run end rather than wait on the operator or the loom.
struct RunStopper {
    ConsolePipe& console;
    SessionThread& run;
    ~RunStopper() {
        console.closeInput();
        if (!run.join(2000)) {
            setAppState(state::quit);
            run.join(5000);
        }
    }
};

class Conversation : public ::testing::Test {
  protected:
    void SetUp() override {
        resetProgramState();
        fake::setDevices({{"FT245R USB FIFO"}});
        // The controller wakes on the empty line and asks for the password.
        fake::setResponder([](const std::string& line) {
            if (line.empty())
                fake::pushRx(banner + "\r\n" + prompt + "\r\n");
        });
    }
    void TearDown() override { fake::setResponder(nullptr); }

    // What the device has been sent once it has been quiet for a moment.
    static std::string writtenWhenQuiet() {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return fake::written();
    }

    // Plays the controller from the wake-up to the menu; each request must
    // wait for the answer to the one before.
    static void reachMenu(ConsolePipe& console) {
        ASSERT_TRUE(fake::waitForWritten("tulip\n", 5000));
        EXPECT_EQ(writtenWhenQuiet(), "\ntulip\n");
        fake::pushRx("<ready>\r\n");
        ASSERT_TRUE(fake::waitForWritten("<netstatus/>\n", 5000));
        EXPECT_EQ(writtenWhenQuiet(), "\ntulip\n<netstatus/>\n");
        fake::pushRx(netReport);
        ASSERT_TRUE(fake::waitForWritten("<wifistatus/>\n", 5000));
        fake::pushRx(wifiReport);
        ASSERT_TRUE(console.waitForOutput(menuPrompt, 5000));
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
    EXPECT_NE(console.output().find("LOOM-7 - Version: 2.18"), std::string::npos);

    console.type("q\n");
    ASSERT_TRUE(run.join());
    EXPECT_EQ(run.exitStatus(), 0);
    EXPECT_EQ(fake::written(), "\ntulip\n<netstatus/>\n<wifistatus/>\nclose\n");
    EXPECT_EQ(fake::closeCount(), 1);
    EXPECT_EQ(console.output().find(lostLine), std::string::npos);

    std::string log = readLog();
    EXPECT_NE(log.find("processMsg(): " + banner + "\n"), std::string::npos);
    EXPECT_NE(log.find("processMsg(): </wifistatus>\n"), std::string::npos);
    EXPECT_NE(log.find("read thread exiting at "), std::string::npos);
    EXPECT_NE(log.find("Shedmate exiting at "), std::string::npos);
}

TEST_F(Conversation, ControllerClosingTheConnectionEndsTheRunCleanly) {
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
    EXPECT_NE(readLog().find("Shedmate exiting at "), std::string::npos);
}

TEST_F(Conversation, UnpluggedWhileWaitingForTheLoomEndsAtOnce) {
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
    EXPECT_NE(readLog().find("Shedmate exiting at "), std::string::npos);
}

} // namespace

// A Ctrl-C that lands just before the menu's console read begins leaves the
// flag set and nothing to cut that read short; the run must end all the same.
TEST_F(Conversation, InterruptBeforeTheConsoleReadStillEndsTheRun) {
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
    EXPECT_NE(readLog().find("interrupted by the operator\n"), std::string::npos);
}
