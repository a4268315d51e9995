// The device link of the real shedmate executable: which device it opens, what
// it does without one, and how it survives writes that fall short and a loom
// that goes away.
#include "conversation.h"
#include "harness.h"
#include "virtual_loom/ftd2xx/script_link.h"

namespace e2e {
namespace {

namespace script = vloom::script;

RunOptions withEnv(std::vector<std::pair<std::string, std::string>> env) {
    RunOptions options;
    options.env = std::move(env);
    return options;
}

int countOf(const std::string& haystack, const std::string& needle) {
    int n = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos;
         at = haystack.find(needle, at + needle.size()))
        ++n;
    return n;
}

// --- opening

TEST(Device, NoneAttachedEndsTheRunWithTheDriverStatus) {
    ShedmateRun run(withEnv({{script::devicesEnv, ""}}));
    ASSERT_TRUE(run.expectOutputNext("ERROR: FT_Open returned: 2 (FT_DEVICE_NOT_FOUND: no such "
                                     "device is attached (unplugged or switched off?))\n"));
    ASSERT_TRUE(run.expectExit(1));
    std::string log = run.log();
    EXPECT_EQ(log.rfind("\n\nShedmate: starting at ", 0), 0u) << log;
    EXPECT_NE(log.find("Number of devices is 0\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("Dev "), std::string::npos) << log;
    EXPECT_NE(log.find("FT_Open returned 2\nopenLoom failed: 2\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Shedmate exiting at "), std::string::npos) << log;
}

TEST(Device, FailedOpenReportsTheStatusTheDriverGave) {
    ShedmateRun run(withEnv({{script::openStatusEnv, "3"}}));
    ASSERT_TRUE(run.expectOutputNext("ERROR: FT_Open returned: 3 (FT_DEVICE_NOT_OPENED: the device "
                                     "is in use, or the kernel's ftdi_sio driver holds it)\n"));
    ASSERT_TRUE(run.expectExit(1));
    std::string log = run.log();
    EXPECT_NE(log.find("Number of devices is 1\n"), std::string::npos) << log;
    EXPECT_NE(log.find("  Description=FT245R USB FIFO\n"), std::string::npos) << log;
    EXPECT_NE(log.find("openLoom failed: 3\n"), std::string::npos) << log;
}

TEST(Device, OfSeveralTheLastFifoIsOpened) {
    ShedmateRun run(withEnv(
        {{script::devicesEnv, "FT245R USB FIFO|FT232R USB UART|FT245R USB FIFO|FT232R USB UART"}}));
    ASSERT_TRUE(logIn(run, {}, false));
    EXPECT_EQ(run.openedIndex(), 2);
    // The console says there are several, and names the device it opened.
    EXPECT_EQ(run.output().rfind(
                  "2 looms are attached (VL000001, VL000003); using the last one listed, "
                  "VL000003. To use another, start Shedmate with --device (shedmate list shows "
                  "them).\nConnecting to the loom (FT245R USB FIFO, serial VL000003)\u2026\n",
                  0),
              0u)
        << run.output();
    ASSERT_TRUE(run.expectOutput(menuPrompt));
    run.type("q\n");
    ASSERT_TRUE(run.expectWire("close\n"));
    ASSERT_TRUE(run.expectExit(0));
    std::string log = run.log();
    EXPECT_NE(log.find("Number of devices is 4\n"), std::string::npos) << log;
    EXPECT_NE(log.find("\nDev 3:\n"), std::string::npos) << log;
    EXPECT_EQ(countOf(log, "  Description=FT232R USB UART\n"), 2) << log;
    EXPECT_NE(log.find("FT_Open succeeded\n"), std::string::npos) << log;
}

TEST(Device, ALoneDeviceOfAnotherKindIsOpenedAnyway) {
    ShedmateRun run(withEnv({{script::devicesEnv, "FT232R USB UART"}}));
    ASSERT_TRUE(logIn(run));
    EXPECT_EQ(run.openedIndex(), 0);
    ASSERT_TRUE(run.expectOutput(menuPrompt));
    run.type("q\n");
    ASSERT_TRUE(run.expectWire("close\n"));
    ASSERT_TRUE(run.expectExit(0));
}

// --- writes that fall short

TEST(Writes, PartialWritesAreCompletedAndLogged) {
    ShedmateRun run(withEnv({{script::maxWriteEnv, "3"}}));
    ASSERT_TRUE(logIn(run));
    ASSERT_TRUE(run.expectOutput(menuPrompt));
    run.type("q\n");
    ASSERT_TRUE(run.expectWire("close\n"));
    ASSERT_TRUE(run.expectExit(0));

    EXPECT_EQ(run.wire(), "\ntulip\n<netstatus/>\n<wifistatus/>\nclose\n");
    for (size_t size : run.writeSizes())
        EXPECT_LE(size, 3u);
    std::string log = run.log();
    EXPECT_NE(log.find("sendMsgToLoom(): [6] tulip\n"
                       "continuing write: msgLen = 3, bytesWritten = 0\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("sendMsgToLoom(): [13] <netstatus/>\n"
                       "continuing write: msgLen = 10, bytesWritten = 0\n"
                       "continuing write: msgLen = 7, bytesWritten = 3\n"
                       "continuing write: msgLen = 4, bytesWritten = 6\n"
                       "continuing write: msgLen = 1, bytesWritten = 9\n"),
              std::string::npos)
        << log;
}

TEST(Writes, WritesThatAcceptNothingAreRetried) {
    ShedmateRun run;
    ASSERT_TRUE(logIn(run));
    ASSERT_TRUE(run.expectOutput(menuPrompt));
    ASSERT_TRUE(run.zeroWrites(3));
    run.type("q\n");
    ASSERT_TRUE(run.expectWire("close\n"));
    ASSERT_TRUE(run.expectExit(0));
    EXPECT_EQ(countOf(run.log(), "continuing write: msgLen = 6, bytesWritten = 0\n"), 3)
        << run.log();
}

TEST(Writes, AWriteThatNeverProgressesIsGivenUp) {
    ShedmateRun run;
    ASSERT_TRUE(logIn(run));
    ASSERT_TRUE(run.expectOutput(menuPrompt));
    ASSERT_TRUE(run.zeroWrites(0xffffffffu));
    run.type("a\n");
    ASSERT_TRUE(run.expectOutput(linkLostLine, 5000));
    ASSERT_TRUE(run.expectExit(1));
    EXPECT_TRUE(run.expectWireQuiet(0));
    std::string log = run.log();
    EXPECT_NE(log.find("sendMsgToLoom(): no bytes accepted for 1000 ms, 11 bytes unsent\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("Shedmate exiting at "), std::string::npos) << log;
}

TEST(Writes, AFailedWriteEndsTheRun) {
    ShedmateRun run;
    ASSERT_TRUE(logIn(run));
    ASSERT_TRUE(run.expectOutput(menuPrompt));
    ASSERT_TRUE(run.failWrites(4));
    run.type("a\n");
    ASSERT_TRUE(run.expectOutput(linkLostLine));
    ASSERT_TRUE(run.expectExit(1));
    EXPECT_TRUE(run.expectWireQuiet(0));
    std::string log = run.log();
    EXPECT_NE(log.find("Server: FT_Write returned 4\n"), std::string::npos) << log;
    EXPECT_NE(log.find("connection to the loom lost\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Shedmate exiting at "), std::string::npos) << log;
}

// --- the loom going away

void expectLostRun(ShedmateRun& run, const std::string& readerLine) {
    ASSERT_TRUE(run.expectOutput(linkLostLine));
    ASSERT_TRUE(run.expectExit(1));
    std::string log = run.log();
    EXPECT_NE(log.find(readerLine), std::string::npos) << log;
    EXPECT_NE(log.find("connection to the loom lost\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Shedmate exiting at "), std::string::npos) << log;
}

TEST(Unplug, WhileWaitingForTheLogin) {
    ShedmateRun run;
    ASSERT_TRUE(run.acceptLoom());
    ASSERT_TRUE(run.expectWire("\n"));
    ASSERT_TRUE(run.unplug(script::failAll));
    expectLostRun(run, "readThread(): FT_GetStatus returned 4\n");
}

TEST(Unplug, ReadErrorIsTakenForALostLoom) {
    ShedmateRun run;
    ASSERT_TRUE(run.acceptLoom());
    ASSERT_TRUE(run.expectWire("\n"));
    ASSERT_TRUE(run.unplug(script::failRead));
    run.send("<Weftrix loom controller: LOOM-7, 4.5v2.18>\r\n");
    expectLostRun(run, "readThread(): FT_Read returned 4\n");
}

TEST(Unplug, DuringTheProgressWait) {
    ShedmateRun run;
    ASSERT_TRUE(logIn(run));
    ASSERT_TRUE(run.expectOutput(menuPrompt));
    run.type("a\n");
    ASSERT_TRUE(run.expectWire("<netdown/>\n"));
    // Nothing changed: no netconfig, no wificonfig, straight on to netup.
    run.send("<ready>\r\n");
    ASSERT_TRUE(run.expectWire("<netup/>\n"));
    run.send("<please wait>\r\n");
    ASSERT_TRUE(run.expectOutput("\n\nPlease wait ."));
    ASSERT_TRUE(run.unplug(script::failAll));
    expectLostRun(run, "readThread(): FT_GetStatus returned 4\n");
    std::string log = run.log();
    EXPECT_NE(log.find("applyChanges(): no reason to send - <netconfig />\n"), std::string::npos)
        << log;
    EXPECT_NE(log.find("applyChanges(): no reason to send wificonfig\n"), std::string::npos) << log;
}

TEST(Unplug, AtTheMenuIsReportedAtTheNextAnswer) {
    ShedmateRun run;
    ASSERT_TRUE(logIn(run));
    ASSERT_TRUE(run.expectOutput(menuPrompt));
    ASSERT_TRUE(run.unplug(script::failAll));
    // The menu waits for the operator; the loss is noticed meanwhile and
    // reported when the answer comes.
    ASSERT_TRUE(run.expectLog("readThread(): FT_GetStatus returned 4\n"));
    run.type("2\n");
    expectLostRun(run, "readThread(): FT_GetStatus returned 4\n");
}

} // namespace
} // namespace e2e
