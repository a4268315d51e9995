// Ctrl-C and termination requests sent to the real shedmate executable: the
// first one closes the connection to the loom cleanly wherever the run stands,
// a second one ends the process at once.
#include <csignal>
#include <ostream>

#include "conversation.h"
#include "harness.h"
#include "support/checks.h"

namespace e2e {
namespace {

const std::string interruptedLine =
    "\n\n\tInterrupted: closing the connection to the loom (Ctrl-C again ends at once).\n";

const std::string finishingLine =
    "\n\n\tInterrupted: finishing the apply so the loom's network comes back up, then closing "
    "the connection (Ctrl-C again ends at once).\n";

// Everything after the interrupt: the device closed, 128 + the signal, the log whole.
void expectCleanInterruptedEnd(ShedmateRun& run, int status = 130) {
    ASSERT_TRUE(run.expectDeviceClosed());
    ASSERT_TRUE(run.expectExit(status));
    // Nothing is shown after the notice: no screen, no prompt.
    EXPECT_EQ(run.unreadOutput(), "");
    EXPECT_TRUE(contains(run.log(), "interrupted by the operator\n"));
    EXPECT_TRUE(run.logEndsWithExitLine());
}

TEST(Interrupt, WhileTheLoginReportIsAwaitedSendsNoClose) {
    ShedmateRun run;
    // The password stays unanswered: the controller is busy with it.
    ASSERT_TRUE(logIn(run, {}, Login::passwordSent));
    ASSERT_TRUE(run.expectDrained());

    run.interrupt(SIGINT);
    ASSERT_TRUE(run.expectOutputNext(interruptedLine));
    expectCleanInterruptedEnd(run);
    // "close" would have overtaken the unanswered password, which stayed
    // unanswered for as long as "close" may wait; the requests queued behind
    // it are dropped.
    EXPECT_EQ(run.wire(), "\ntulip\n");
    EXPECT_TRUE(contains(run.log(), "processMsg(): <Password: LOOM-7, 4.5v2.18>\n"));
}

struct EndSignal {
    const char* name;
    int signal;
    int status; // 128 + the signal, as shells report it
};

void PrintTo(const EndSignal& e, std::ostream* os) {
    *os << e.name;
}

class AtTheMenu : public testing::TestWithParam<EndSignal> {};

TEST_P(AtTheMenu, SendsCloseAndEndsWith128PlusTheSignal) {
    ShedmateRun run;
    ASSERT_TRUE(atMenu(run));
    ASSERT_TRUE(run.expectReadingInput());

    run.interrupt(GetParam().signal);
    ASSERT_TRUE(run.expectOutputNext(interruptedLine));
    ASSERT_TRUE(run.expectWire("close\n"));
    expectCleanInterruptedEnd(run, GetParam().status);
    EXPECT_TRUE(run.expectWireQuiet(0));
}

INSTANTIATE_TEST_SUITE_P(Interrupt, AtTheMenu,
                         testing::Values(EndSignal{"CtrlC", SIGINT, 130},
                                         EndSignal{"Terminate", SIGTERM, 143},
                                         EndSignal{"HangUp", SIGHUP, 129}),
                         caseName<EndSignal>);

TEST(Interrupt, WithAMessageUnansweredCloseGoesWhenTheControllerIsReady) {
    ShedmateRun run;
    ASSERT_TRUE(atMenu(run));
    run.type("3\n");
    ASSERT_TRUE(run.expectWire("<wifiscan/>\n"));
    // The chooser now waits for the scan's answer: Ctrl-C comes during that wait.
    ASSERT_TRUE(run.expectOutputNext(scanningLine));

    run.interrupt(SIGINT);
    // Long before the 10 s the scan would be waited for.
    ASSERT_TRUE(run.expectOutputNext(interruptedLine, 1500));
    ASSERT_TRUE(run.expectWireQuiet(300));
    run.send("<wifiscan>\r\n<ready>\r\n");
    ASSERT_TRUE(run.expectWire("close\n"));
    expectCleanInterruptedEnd(run);
}

TEST(Interrupt, DuringAnApplyTheLoomsNetworkIsBroughtBackUpBeforeClosing) {
    ShedmateRun run;
    ASSERT_TRUE(atMenu(run));
    run.type("a\n");
    // The controller is slow to acknowledge "<netdown/>".
    ASSERT_TRUE(run.expectWire("<netdown/>\n"));
    ASSERT_TRUE(run.expectOutput("\n\nPlease wait ."));

    run.interrupt(SIGINT);
    ASSERT_TRUE(run.expectOutput(finishingLine));
    ASSERT_TRUE(run.expectWireQuiet(300));
    run.send("<ready>\r\n");
    ASSERT_TRUE(run.expectWire("<netup/>\n"));
    run.send("<please wait>\r\n");
    ASSERT_TRUE(run.expectDrained());
    ASSERT_TRUE(run.expectWireQuiet(300));
    // The network is up: the wait ends, and with it the run.
    run.send("<ready>\r\n");
    ASSERT_TRUE(run.expectWire("close\n"));
    ASSERT_TRUE(run.expectDeviceClosed());
    ASSERT_TRUE(run.expectExit(130));
    EXPECT_TRUE(run.expectWireQuiet(0));
    EXPECT_TRUE(run.logEndsWithExitLine());
    // Progress dots until the network was back, and no status screen or prompt.
    std::string out = run.output();
    EXPECT_EQ(out.substr(out.find(finishingLine) + finishingLine.size()).find_first_not_of('.'),
              std::string::npos)
        << out;
}

TEST(Interrupt, AtThePassphrasePromptChoosesNothing) {
    ShedmateRun run;
    ASSERT_TRUE(atMenu(run));
    run.type("3\n");
    ASSERT_TRUE(run.expectWire("<wifiscan/>\n"));
    run.send("<wifiscan>\r\n<net=\"Dye House,-60,WPA2\"/>\r\n<ready>\r\n");
    ASSERT_TRUE(run.expectOutput(chooserPrompt));
    run.type("1\n");
    ASSERT_TRUE(run.expectOutput("\tPassphrase: "));
    ASSERT_TRUE(run.expectReadingInput());

    run.interrupt(SIGINT);
    ASSERT_TRUE(run.expectOutputNext(interruptedLine));
    ASSERT_TRUE(run.expectWire("close\n"));
    expectCleanInterruptedEnd(run);
    // The cut-short read is no passphrase: the network was not taken.
    EXPECT_TRUE(lacks(run.log(), "set ssid"));
}

TEST(Interrupt, ASecondOneWhileClosingEndsAtOnce) {
    ShedmateRun run;
    ASSERT_TRUE(atMenu(run));
    // The device takes no byte of "close": the orderly way out is held up for
    // a second before it gives up.
    ASSERT_TRUE(run.zeroWrites(0xffffffffu));
    ASSERT_TRUE(run.expectReadingInput());

    run.interrupt(SIGINT);
    ASSERT_TRUE(run.expectOutputNext(interruptedLine));
    ASSERT_TRUE(run.expectLog("continuing write: msgLen = 6, bytesWritten = 0\n"));
    run.interrupt(SIGINT);
    ASSERT_TRUE(run.expectExit(130));
    // It did not wait for the write to be given up, nor close the device.
    EXPECT_FALSE(run.expectDeviceClosed());
    std::string log = run.log();
    EXPECT_TRUE(lacks(log, "no bytes accepted"));
    EXPECT_TRUE(lacks(log, "Shedmate exiting at "));
}

} // namespace
} // namespace e2e
