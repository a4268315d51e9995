// Ctrl-C and termination requests sent to the real shedmate executable: the
// first one closes the connection to the loom cleanly wherever the run stands,
// a second one ends the process at once.
#include <csignal>

#include "conversation.h"
#include "harness.h"

namespace e2e {
namespace {

const std::string interruptedLine =
    "\n\n\tInterrupted: closing the connection to the loom (Ctrl-C again ends at once).\n";

// Everything after the interrupt: the device closed, status 130, the log whole.
void expectCleanInterruptedEnd(ShedmateRun& run) {
    ASSERT_TRUE(run.expectDeviceClosed());
    ASSERT_TRUE(run.expectExit(130));
    // Nothing is shown after the notice: no screen, no prompt.
    EXPECT_EQ(run.unreadOutput(), "");
    EXPECT_NE(run.log().find("interrupted by the operator\n"), std::string::npos) << run.log();
    EXPECT_TRUE(run.logEndsWithExitLine());
}

// From the menu: 'a' with nothing changed, up to the controller's "<please wait>".
testing::AssertionResult startApply(ShedmateRun& run) {
    run.type("a\n");
    if (auto ok = run.expectWire("<netdown/>\n"); !ok)
        return ok;
    run.send("<ready>\r\n");
    if (auto ok = run.expectWire("<netup/>\n"); !ok)
        return ok;
    run.send("<please wait>\r\n");
    return run.expectOutput("\n\nPlease wait .");
}

TEST(Interrupt, WhileTheLoginReportIsAwaitedSendsNoClose) {
    ShedmateRun run;
    ASSERT_TRUE(run.acceptLoom());
    ASSERT_TRUE(expectConnecting(run));
    ASSERT_TRUE(run.expectWire("\n"));
    run.send("<Weftrix loom controller: LOOM-7, 4.5v2.18>\r\n<Password: LOOM-7, 4.5v2.18>\r\n");
    // The password stays unanswered: the controller is busy with it.
    ASSERT_TRUE(run.expectWire("tulip\n"));
    ASSERT_TRUE(run.expectDrained());

    run.interrupt(SIGINT);
    ASSERT_TRUE(run.expectOutputNext(interruptedLine));
    expectCleanInterruptedEnd(run);
    // "close" would have overtaken the unanswered password; the requests
    // still queued behind it are dropped too.
    EXPECT_EQ(run.wire(), "\ntulip\n");
    EXPECT_NE(run.log().find("processMsg(): <Password: LOOM-7, 4.5v2.18>\n"), std::string::npos)
        << run.log();
}

class AtTheMenu : public testing::TestWithParam<int> {};

TEST_P(AtTheMenu, SendsCloseAndEndsWithStatus130) {
    ShedmateRun run;
    ASSERT_TRUE(logIn(run));
    ASSERT_TRUE(run.expectOutput(menuPrompt));
    ASSERT_TRUE(run.expectReadingInput());

    run.interrupt(GetParam());
    ASSERT_TRUE(run.expectOutputNext(interruptedLine));
    ASSERT_TRUE(run.expectWire("close\n"));
    expectCleanInterruptedEnd(run);
    EXPECT_TRUE(run.expectWireQuiet(0));
}

INSTANTIATE_TEST_SUITE_P(Interrupt, AtTheMenu, testing::Values(SIGINT, SIGTERM),
                         [](const testing::TestParamInfo<int>& info) {
                             return info.param == SIGINT ? std::string("CtrlC")
                                                         : std::string("Terminate");
                         });

TEST(Interrupt, DuringTheProgressWaitClosesTheReadyController) {
    ShedmateRun run;
    ASSERT_TRUE(logIn(run));
    ASSERT_TRUE(run.expectOutput(menuPrompt));
    ASSERT_TRUE(startApply(run));
    // The final "<ready>" never comes; "<please wait>" left it free to listen.
    ASSERT_TRUE(run.expectDrained());

    run.interrupt(SIGINT);
    ASSERT_TRUE(run.expectOutput(interruptedLine));
    ASSERT_TRUE(run.expectWire("close\n"));
    expectCleanInterruptedEnd(run);
    // Only progress dots between the wait's start and the notice.
    std::string out = run.output();
    size_t from = out.find("\n\nPlease wait ") + 14;
    std::string dots = out.substr(from, out.find(interruptedLine) - from);
    EXPECT_EQ(dots.find_first_not_of('.'), std::string::npos) << out;
    EXPECT_NE(run.log().find("processMsg(): <please wait>\n"), std::string::npos) << run.log();
}

TEST(Interrupt, DuringTheProgressWaitWithAMessageInFlightSendsNoClose) {
    ShedmateRun run;
    ASSERT_TRUE(logIn(run));
    ASSERT_TRUE(run.expectOutput(menuPrompt));
    run.type("a\n");
    ASSERT_TRUE(run.expectWire("<netdown/>\n"));
    ASSERT_TRUE(run.expectOutput("\n\nPlease wait ."));

    run.interrupt(SIGINT);
    ASSERT_TRUE(run.expectOutput(interruptedLine));
    expectCleanInterruptedEnd(run);
    // The unacknowledged "<netdown/>" was the last thing sent; "<netup/>" and
    // "close" were dropped.
    EXPECT_TRUE(run.expectWireQuiet(0));
}

TEST(Interrupt, AtThePassphrasePromptChoosesNothing) {
    ShedmateRun run;
    ASSERT_TRUE(logIn(run));
    ASSERT_TRUE(run.expectOutput(menuPrompt));
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
    EXPECT_EQ(run.log().find("set ssid"), std::string::npos) << run.log();
}

TEST(Interrupt, ASecondOneWhileClosingEndsAtOnce) {
    ShedmateRun run;
    ASSERT_TRUE(logIn(run));
    ASSERT_TRUE(run.expectOutput(menuPrompt));
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
    EXPECT_EQ(log.find("no bytes accepted"), std::string::npos) << log;
    EXPECT_EQ(log.find("Shedmate exiting at "), std::string::npos) << log;
}

} // namespace
} // namespace e2e
