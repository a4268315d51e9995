// Start-up and exit of a run, finding and opening the FIFO, and stopping the
// receiving thread.
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "app/main_loop.h"
#include "base/clock.h"
#include "base/io.h"
#include "base/log.h"
#include "base/state.h"
#include "base/version.h"
#include "link/connection.h"
#include "link/d2xx.h"
#include "link/reader.h"
#include "support/checks.h"
#include "support/fake_driver.h"
#include "support/session.h"

namespace {

class Lifecycle : public ::testing::Test {
  protected:
    void SetUp() override { resetProgramState(); }
    void TearDown() override {
        // Whatever an assertion left running must be gone before the next test.
        fake::blockReads(false);
        closeLoom();
        awaitReaderEnd(3000);
        setTickSource(nullptr);
        logClose();
    }
};

// True when text starts with ctime's rendering, "Mon Dec  8 06:14:00 2025\n":
// A upper case, a lower case, 9 a digit, _ a digit or a space.
bool startsWithCtime(const std::string& text) {
    const std::string shape = "Aaa Aaa _9 99:99:99 9999\n";
    if (text.size() < shape.size())
        return false;
    for (size_t i = 0; i < shape.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        bool fits = shape[i] == 'A'   ? std::isupper(c)
                    : shape[i] == 'a' ? std::islower(c)
                    : shape[i] == '9' ? std::isdigit(c)
                    : shape[i] == '_' ? (std::isdigit(c) || c == ' ')
                                      : c == static_cast<unsigned char>(shape[i]);
        if (!fits)
            return false;
    }
    return true;
}

size_t posOf(const std::string& log, const std::string& needle) {
    size_t at = log.find(needle);
    EXPECT_NE(at, std::string::npos) << "missing from the log: " << needle;
    return at;
}

TEST_F(Lifecycle, RunWithoutDeviceLogsTheFailureAndEndsWithStatusOne) {
    ConsoleCapture console;
    SessionThread run;
    ASSERT_TRUE(run.join());
    EXPECT_EQ(run.exitStatus(), 1);

    std::string log = readLog();
    const std::string startLine = "\n\nShedmate: starting at ";
    ASSERT_EQ(log.rfind(startLine, 0), 0u) << log;
    EXPECT_TRUE(startsWithCtime(log.substr(startLine.size()))) << log;
    // ctime's own line end, then the format's: a blank line follows, then the version.
    EXPECT_EQ(log.substr(startLine.size() + 25, 1), "\n");
    const std::string versionLine = "Shedmate version " + std::string(shedmateVersion()) + "\n";
    EXPECT_EQ(log.substr(startLine.size() + 26, versionLine.size()), versionLine) << log;
    size_t count = posOf(log, "Number of devices is 0\n");
    size_t open = posOf(log, "FT_Open returned 2\n");
    size_t failed = posOf(log, "openLoom failed: 2\n");
    const std::string exitLine = "Shedmate exiting at ";
    size_t exiting = posOf(log, exitLine);
    EXPECT_LT(count, open);
    EXPECT_LT(open, failed);
    EXPECT_LT(failed, exiting);
    // The exit line is the last thing in the log.
    ASSERT_NE(exiting, std::string::npos);
    EXPECT_TRUE(startsWithCtime(log.substr(exiting + exitLine.size()))) << log;
    EXPECT_EQ(log.size(), exiting + exitLine.size() + 26) << log;
    EXPECT_TRUE(lacks(log, "\nDev "));
    EXPECT_TRUE(lacks(log, "thread created"));

    // The open is still attempted, at index 0; a back end with no words of its
    // own gets the bare status, with no driver's status names.
    EXPECT_EQ(fake::openedIndex(), 0);
    EXPECT_EQ(console.output(), "ERROR: FT_Open returned: 2\n");
    // The log is closed: nothing written after the run reaches it.
    logPrint("after the run\n");
    EXPECT_EQ(readLog(), log);
}

struct FailedStart {
    const char* name;
    FT_STATUS listStatus;
    FT_STATUS openStatus;
    const char* words; // the back end's reason
    const char* console;
    const char* logged;
    int openedIndex; // -1: no open after a failed list
};

void PrintTo(const FailedStart& f, std::ostream* os) {
    *os << f.name;
}

class FailedStartIsTold : public Lifecycle, public ::testing::WithParamInterface<FailedStart> {};

TEST_P(FailedStartIsTold, OnceInTheBackEndsWords) {
    const FailedStart& c = GetParam();
    fake::setDevices({{"FT245R USB FIFO"}});
    fake::setCreateListStatus(c.listStatus);
    fake::setOpenStatus(c.openStatus);
    fake::setFailureText(c.words);
    ConsoleCapture console;
    SessionThread run;
    ASSERT_TRUE(run.join());
    EXPECT_EQ(run.exitStatus(), 1);
    EXPECT_EQ(console.output(), c.console);
    std::string log = readLog();
    EXPECT_TRUE(contains(log, c.logged));
    EXPECT_TRUE(lacks(log, "FT_Open succeeded"));
    EXPECT_EQ(fake::openedIndex(), c.openedIndex);
    EXPECT_EQ(fake::closeCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Lifecycle, FailedStartIsTold,
    ::testing::Values(FailedStart{"Open", FT_OK, FT_DEVICE_NOT_OPENED,
                                  "the FIFO is busy\nClose the other program.",
                                  "ERROR: the FIFO is busy\n\tClose the other program.\n",
                                  "  Description=FT245R USB FIFO\n  ftHandle=0x0\n"
                                  "FT_Open returned 3\nopenLoom failed: 3\n",
                                  0},
                      FailedStart{"List", FT_OTHER_ERROR, FT_OK, "cannot reach the USB bus",
                                  "ERROR: cannot reach the USB bus\n",
                                  "ERROR: FT_CreateDeviceInfoList returned status : 18\n"
                                  "FT_Open returned 18\nopenLoom failed: 18\n",
                                  -1}),
    caseName<FailedStart>);

TEST_F(Lifecycle, EachStartKeepsThePreviousLogAsLog1AndStartsAnew) {
    {
        std::ofstream stale("Shedmate.log");
        stale << "left over from an earlier run\n";
    }
    ConsoleCapture console;
    EXPECT_EQ(runShedmate(), 1);
    EXPECT_EQ(readLog("Shedmate.log.1"), "left over from an earlier run\n");
    const std::string first = readLog();
    EXPECT_EQ(runShedmate(), 1);
    EXPECT_EQ(readLog("Shedmate.log.1"), first);

    std::string log = readLog();
    EXPECT_TRUE(lacks(log, "left over"));
    EXPECT_EQ(countOf(log, "Shedmate: starting at"), 1);
    EXPECT_EQ(countOf(log, "Shedmate exiting at"), 1);
    EXPECT_EQ(log.rfind("\n\nShedmate: starting at", 0), 0u);
}

TEST_F(Lifecycle, DeviceSearchOpensTheLastFifoOrElseIndexZero) {
    // Two FIFOs (one with more text around the name) and a stranger at the end:
    // the last FIFO wins, not the first one and not the last device.
    fake::setDevices({{"FT245R USB FIFO"}, {"Loom FT245R USB FIFO B"}, {"FT232R USB UART"}});
    ASSERT_EQ(openDevice(), FT_OK);
    EXPECT_EQ(fake::openedIndex(), 1);
    EXPECT_NE(ftHandle.load(), nullptr);

    resetProgramState();
    logOpen();
    fake::setDevices({{"FT232R USB UART"}});
    ASSERT_EQ(openDevice(), FT_OK);
    EXPECT_EQ(fake::openedIndex(), 0);
    EXPECT_TRUE(contains(readLog(), "FT_Open succeeded\n"));

    // Case matters: the text must appear as the driver spells it.
    resetProgramState();
    fake::setDevices({{"Other"}, {"ft245r usb fifo"}});
    ASSERT_EQ(openDevice(), FT_OK);
    EXPECT_EQ(fake::openedIndex(), 0);
}

TEST_F(Lifecycle, EveryListedDeviceIsDescribedInTheLog) {
    fake::Device loom{"FT245R USB FIFO", "A5XK3RGP", 0x2, 0x5, 0x04036001, 0x214};
    fake::Device other{"FT232R USB UART", "B7", 0x0, 0x8, 0x04036014, 0x2131};
    fake::setDevices({other, loom});
    logOpen();
    ASSERT_EQ(openDevice(), FT_OK);

    std::string log = readLog();
    const std::string dev0 = "Number of devices is 2\n"
                             "\nDev 0:\n"
                             "  Flags=0x0\n"
                             "  Type=0x8\n"
                             "  ID=0x4036014\n"
                             "  LocId=0x2131\n"
                             "  SerialNumber=B7\n"
                             "  Description=FT232R USB UART\n"
                             "  ftHandle=0x0\n";
    const std::string dev1 = "\nDev 1:\n"
                             "  Flags=0x2\n"
                             "  Type=0x5\n"
                             "  ID=0x4036001\n"
                             "  LocId=0x214\n"
                             "  SerialNumber=A5XK3RGP\n"
                             "  Description=FT245R USB FIFO\n"
                             "  ftHandle=0x0\n"
                             "FT_Open succeeded\n";
    EXPECT_TRUE(contains(log, dev0 + dev1));
    EXPECT_EQ(fake::openedIndex(), 1);
}

TEST_F(Lifecycle, EnumerationFailuresAreLoggedAndTheOpenStillTried) {
    fake::setDevices({{"Other"}, {"FT245R USB FIFO"}});
    fake::setGetListStatus(FT_OTHER_ERROR);
    logOpen();
    ASSERT_EQ(openDevice(), FT_OK);
    std::string log = readLog();
    EXPECT_TRUE(contains(log, "ERROR: FT_GetDeviceInfoList returned: 18\n"));
    EXPECT_TRUE(lacks(log, "\nDev "));
    // Nothing was matched, so the first device is the one opened.
    EXPECT_EQ(fake::openedIndex(), 0);
}

TEST_F(Lifecycle, OpenSetsTimeoutsAndLatencyAndCloseReleasesTheDeviceOnce) {
    fake::setDevices({{"FT245R USB FIFO"}});
    logOpen();
    ASSERT_EQ(openLoom(), FT_OK);
    EXPECT_EQ(fake::readTimeout(), 2000u);
    EXPECT_EQ(fake::writeTimeout(), 1000u);
    EXPECT_EQ(fake::latencyTimer(), 2);
    EXPECT_FALSE(awaitReaderEnd(0));

    closeLoom();
    EXPECT_TRUE(awaitReaderEnd(0));
    EXPECT_FALSE(readerAbandoned());
    EXPECT_EQ(fake::closeCount(), 1);
    EXPECT_EQ(ftHandle.load(), nullptr);
    // Stopping on request is not a lost link.
    EXPECT_FALSE(linkLost());

    closeLoom();
    EXPECT_EQ(fake::closeCount(), 1);

    std::string log = readLog();
    size_t created = posOf(log, "connection opened and thread created ");
    size_t started = posOf(log, "read thread started at ");
    size_t exiting = posOf(log, "read thread exiting at ");
    size_t terminated = posOf(log, "Server: thread terminated ");
    EXPECT_LT(started, exiting);
    EXPECT_LT(exiting, terminated);
    EXPECT_LT(posOf(log, "FT_Open succeeded\n"), created);
}

TEST_F(Lifecycle, CloseDoesNotWaitLongForAReaderStuckInARead) {
    fake::setDevices({{"FT245R USB FIFO"}});
    logOpen();
    ASSERT_EQ(openLoom(), FT_OK);
    fake::blockReads(true);
    fake::pushRx("<ready>");
    ASSERT_TRUE(eventually([] { return fake::blockedReaders() == 1; }));

    auto started = std::chrono::steady_clock::now();
    closeLoom();
    auto took = std::chrono::steady_clock::now() - started;
    EXPECT_LT(took, std::chrono::milliseconds(450));
    EXPECT_TRUE(readerAbandoned());
    EXPECT_EQ(ftHandle.load(), nullptr);
    // The handle is not pulled from under a thread that is still inside FT_Read.
    EXPECT_EQ(fake::closeCount(), 0);
    EXPECT_TRUE(contains(readLog(), "Server: thread terminated "));

    fake::blockReads(false);
    EXPECT_TRUE(awaitReaderEnd(3000));
    EXPECT_FALSE(linkLost());
}

std::mutex hungMutex;
std::condition_variable hungCv;
bool closeReleased = false; // guarded by hungMutex
std::atomic<int> closeCalls{0};

FT_STATUS hangingClose(FT_HANDLE) {
    ++closeCalls;
    std::unique_lock<std::mutex> lock(hungMutex);
    hungCv.wait(lock, [] { return closeReleased; });
    return FT_OK;
}

TEST_F(Lifecycle, AnFtCloseThatDoesNotReturnIsLeftAndTheRunStillEnds) {
    fake::setDevices({{"FT245R USB FIFO"}});
    static Driver hanging;
    hanging = driver();
    hanging.close = hangingClose;
    installDriver(&hanging);
    // The controller hangs up at once, so the run heads straight for its exit.
    fake::setResponder([](const std::string&) { fake::pushRx("<closing connection>"); });
    ConsoleCapture console;
    SessionThread run;
    ASSERT_TRUE(run.join(5000));
    EXPECT_EQ(run.exitStatus(), 0);
    EXPECT_EQ(closeCalls.load(), 1);
    EXPECT_TRUE(readerAbandoned());
    std::string log = readLog();
    size_t left = posOf(log, "closeLoom(): FT_Close did not return within 1000 ms; left to "
                             "the end of the process\n");
    EXPECT_LT(left, posOf(log, "Shedmate exiting at "));

    std::lock_guard<std::mutex> lock(hungMutex);
    closeReleased = true;
    hungCv.notify_all();
}

std::atomic<uint32_t> fakeNow{0};
uint32_t fakeTicks() {
    return fakeNow.load();
}

TEST_F(Lifecycle, ProgressDotsEveryTwoSecondsAcrossTheTickWrap) {
    ConsoleCapture console;
    setTickSource(fakeTicks);
    lastDotTick = 0;
    auto dotsAt = [&](uint32_t now) {
        fakeNow = now;
        progressTick();
        return countOf(console.output(), ".");
    };

    EXPECT_EQ(dotsAt(0xFFFFE000u), 1); // the first one at once
    EXPECT_EQ(dotsAt(0xFFFFE000u + 2000), 1);
    EXPECT_EQ(dotsAt(0xFFFFE000u + 2001), 2); // strictly more than 2000 ms
    // Past the wrap the tick is numerically far below the last dot's.
    EXPECT_EQ(dotsAt(0x00000100u), 3);

    // A dot shortly before the wrap: the next is due 2 s later, not at once.
    lastDotTick = 0xFFFFFC00u;
    EXPECT_EQ(dotsAt(0x000003D0u), 3);
    EXPECT_EQ(dotsAt(0x000003D1u), 4);
    EXPECT_EQ(console.output(), "....");
}

// Reasons in the order endRun hears them; the first with firstStatus.
struct EndCase {
    const char* name;
    std::vector<RunEnd> calls;
    int firstStatus;
    RunEnd winner;
    int status;
    bool lost = false;
};

void PrintTo(const EndCase& c, std::ostream* os) {
    *os << c.name;
}

class RunEnding : public testing::TestWithParam<EndCase> {};

TEST_P(RunEnding, TheFirstReasonWinsAndASuccessHidesNoLaterFailure) {
    resetProgramState();
    const EndCase& c = GetParam();
    for (size_t i = 0; i < c.calls.size(); ++i)
        EXPECT_EQ(endRun(c.calls[i], i == 0 ? c.firstStatus : -1), i == 0) << i;
    EXPECT_EQ(runEnd(), c.winner);
    EXPECT_EQ(runExitStatus(), c.status);
    EXPECT_EQ(linkLost(), c.lost);
}

using R = RunEnd;
INSTANTIATE_TEST_SUITE_P(
    Lifecycle, RunEnding,
    testing::Values(
        EndCase{"SignalWhileQuitting", {R::quit, R::interrupted}, -1, R::quit, 130},
        EndCase{"VerdictStands", {R::quit, R::linkLost}, 3, R::quit, 3, true},
        // A failed write, then the loom's close in the same read.
        EndCase{"LostThenClosed", {R::linkLost, R::loomClosed}, -1, R::linkLost, 1, true},
        // The loom hangs up after its close, or after answering ours.
        EndCase{"ClosedThenHungUp", {R::loomClosed, R::linkLost}, -1, R::loomClosed, 0},
        EndCase{"CloseAnsweredThenHungUp", {R::quit, R::loomClosed, R::linkLost}, -1, R::quit, 0}),
    [](const testing::TestParamInfo<EndCase>& info) { return std::string(info.param.name); });

} // namespace
