// What the operator types and what the controller answers, through the real
// shedmate executable: every prompt takes a whole line and states its limits,
// the controller's refusals and the outcome of an apply are said in words, a
// scan is waited for, network names outside ASCII survive the round trip, and
// at a terminal neither keys typed during a wait nor a quit lose anything
// unseen.
#include <csignal>

#include "conversation.h"
#include "harness.h"

namespace e2e {
namespace {

using namespace std::string_literals;

// Asks for a scan and answers it with `nets` ("<net=...>" messages).
testing::AssertionResult scan(ShedmateRun& run, const std::string& nets) {
    run.type("3\n");
    if (auto ok = run.expectWire("<wifiscan/>\n"); !ok)
        return ok;
    run.send("<wifiscan>\r\n" + nets + "<ready>\r\n");
    return run.expectOutputNext(scanningLine);
}

// "<netdown/>", each of `changes` answered by `answers`, "<netup/>", the
// network restart, and the read-back of `back`.
testing::AssertionResult playApply(ShedmateRun& run, const std::vector<std::string>& changes,
                                   const std::vector<std::string>& answers,
                                   const LoomReport& back) {
    run.type("a\n");
    if (auto ok = run.expectWire("<netdown/>\n"); !ok)
        return ok;
    run.send("<ready>\r\n");
    for (size_t i = 0; i < changes.size(); ++i) {
        if (auto ok = run.expectWire(changes[i]); !ok)
            return ok;
        run.send(answers[i]);
    }
    if (auto ok = run.expectWire("<netup/>\n"); !ok)
        return ok;
    run.send("<please wait>\r\n<ready>\r\n");
    return reportStatus(run, back);
}

// --- whole lines

TEST(WholeLines, TooLongAnswersAreRefusedWholeAndNothingRunsAsALaterAnswer) {
    ShedmateRun run;
    LoomReport loom;
    ASSERT_TRUE(atMenu(run, loom));

    // 51 characters: refused with its limit; the rest never reaches the menu
    // (it used to end in "2", which toggled Wi-Fi).
    run.type("1\n");
    ASSERT_TRUE(run.expectOutputNext("\n\tNew Loom Name: "));
    run.type("Weaving-Hall-North-Loom-0123456789-0123456789-12342\n");
    ASSERT_TRUE(
        run.expectOutputNext("\n\tNot changed: a loom name may be at most 32 characters.\n" +
                             statusScreen(loom) + menuPrompt));

    // One answer, one message: no second one for a left-over line end.
    run.type("123\n");
    ASSERT_TRUE(run.expectOutputNext("\n\tCommand not understood: 123\n\n" + statusScreen(loom) +
                                     menuPrompt));

    // Beyond 4 KiB the line is read to its end and dropped with one line.
    run.type(std::string(5000, '2') + "\n");
    ASSERT_TRUE(
        run.expectOutputNext("\n\tThat line was longer than 4096 characters and was ignored.\n" +
                             statusScreen(loom) + menuPrompt));

    ASSERT_TRUE(quitCleanly(run));
    std::string log = run.log();
    EXPECT_TRUE(lacks(log, "set hostname"));
    EXPECT_TRUE(lacks(log, "set: WIFI"));
}

TEST(WholeLines, ATooLongPassphraseIsAskedForAgainAndNeverShown) {
    ShedmateRun run;
    LoomReport loom;
    ASSERT_TRUE(atMenu(run, loom));
    ASSERT_TRUE(scan(run, "<net=\"Dye House,-60,WPA2\"/>\r\n"));
    ASSERT_TRUE(run.expectOutputNext("\tAvailable networks:\n\t\t[1] Dye House\n" + chooserPrompt));
    run.type("1\n");
    ASSERT_TRUE(run.expectOutputNext(
        "\n\tThe network you have chosen (Dye House) requires a passphrase\n\tPassphrase: "));

    // A valid WPA passphrase of 57 characters, more than the loom takes.
    const std::string secret = "shuttle-heddle-reed-warp-weft-selvedge-bobbin-sley-residual";
    run.type(secret + "\n");
    ASSERT_TRUE(run.expectOutputNext("\n\tA passphrase may be at most 48 characters; type it "
                                     "again, or press Enter to cancel.\n\tPassphrase: "));
    run.type("weft&warp 42\n");
    LoomReport edited = loom;
    edited.ssid = "Dye House";
    ASSERT_TRUE(
        run.expectOutputNext(statusScreen(edited) + pendingLine("Network Name") + menuPrompt));

    run.type("q\n");
    ASSERT_TRUE(run.expectExit(0));
    for (const std::string& piece : {"residual"s, "shuttle"s, "ual"s}) {
        EXPECT_TRUE(lacks(run.output(), piece));
        EXPECT_TRUE(lacks(run.log(), piece));
    }
}

// --- the loom's answers in words

TEST(LoomAnswers, ARefusalIsShownAndTheApplySaysWhatDidNotTake) {
    ShedmateRun run;
    LoomReport loom;
    ASSERT_TRUE(atMenu(run, loom));
    run.type("1\nLOOM-9\n");
    ASSERT_TRUE(run.expectOutput(menuPrompt));
    run.type("2\n");
    ASSERT_TRUE(run.expectOutput(menuPrompt));
    run.type("5\n10.0.0.999\n");
    ASSERT_TRUE(run.expectOutput(menuPrompt));

    // The controller's reason carries bytes that would drive a terminal: an
    // escape (dropped on the wire), a C1 CSI in UTF-8 and a DEL.
    const std::string refusal = "<error bad \x1b[2Jaddress\xc2\x9b"
                                "1m \x7f\"10.0.0.999\">";
    // Only Wi-Fi took.
    LoomReport back = loom;
    back.wifi = "WIFI_OFF";
    ASSERT_TRUE(playApply(
        run, {"<netconfig hostname=\"LOOM-9\" wifi=\"WIFI_OFF\" address=\"10.0.0.999\" />\n"},
        {refusal + "\r\n"}, back));
    ASSERT_TRUE(run.expectOutput("\n\tThe loom refused: bad [2Jaddress1m \"10.0.0.999\"\n"));
    ASSERT_TRUE(run.expectOutput("\n\tNot applied: Loom Name (the loom reports \"LOOM-7\"); Static "
                                 "Address (the loom reports \"192.168.1.50\").\n" +
                                 statusScreen(back) + menuPrompt));
    EXPECT_EQ(run.output().find_first_of("\x1b\x7f"), std::string::npos);
    EXPECT_TRUE(lacks(run.output(), "\xc2\x9b"));

    run.type("q\n");
    ASSERT_TRUE(run.expectExit(0));
    EXPECT_TRUE(contains(run.log(), "processMsg(): <error bad [2Jaddress1m \x7f\"10.0.0.999\">\n"));
}

// --- scanning

TEST(Scanning, TheListWaitsForTheScanAndKeepsUtf8NamesByteForByte) {
    ShedmateRun run;
    LoomReport loom;
    ASSERT_TRUE(atMenu(run, loom));
    run.type("3\n");
    ASSERT_TRUE(run.expectWire("<wifiscan/>\n"));
    ASSERT_TRUE(run.expectOutputNext(scanningLine));
    // A scan that takes longer than half a second is waited for.
    run.send("<wifiscan>\r\n<net=\"Caf\xc3\xa9-Hall,-52,NONE\"/>\r\n");
    ASSERT_TRUE(run.expectDrained());
    ASSERT_TRUE(run.expectWireQuiet(800));
    EXPECT_EQ(run.unreadOutput(), "");
    // Malformed UTF-8 and a C1 control are dropped; the rest of the name stays.
    // The last name has a character split between two reads.
    run.send("<net=\"Bad\xc3(Net\xc2\x85,-70,WPA\"/>\r\n<net=\"\xe7\xb9\x94\xe6");
    run.send("\xa9\x9f,-80,WPA2\"/>\r\n<ready>\r\n");
    ASSERT_TRUE(run.expectOutputNext("\tAvailable networks:\n\t\t[1] Caf\xc3\xa9-Hall\n"
                                     "\t\t[2] Bad(Net\n\t\t[3] \xe7\xb9\x94\xe6\xa9\x9f\n" +
                                     chooserPrompt));

    run.type("1\n");
    LoomReport edited = loom;
    edited.ssid = "Caf\xc3\xa9-Hall";
    ASSERT_TRUE(
        run.expectOutputNext(statusScreen(edited) + pendingLine("Network Name") + menuPrompt));
    ASSERT_TRUE(playApply(run, {"<wificonfig ssid=\"Caf\xc3\xa9-Hall\" encryption=\"NONE\" />\n"},
                          {"<ready>\r\n"}, edited));
    ASSERT_TRUE(run.expectOutput("\n\tApplied.\n" + statusScreen(edited) + menuPrompt));

    run.type("q\n");
    ASSERT_TRUE(run.expectExit(0));
    EXPECT_TRUE(contains(run.log(), "set ssid: Caf\xc3\xa9-Hall\n"));
}

TEST(Scanning, AnEmptyScanSaysSo) {
    ShedmateRun run;
    ASSERT_TRUE(atMenu(run));
    ASSERT_TRUE(scan(run, ""));
    ASSERT_TRUE(run.expectOutputNext("\tNo networks found.\n" + chooserPrompt));
    run.type("q\n");
    ASSERT_TRUE(run.expectExit(0));
}

// --- at a terminal: keys typed during a wait, changes not yet applied

const std::string ignoredLine =
    "\n\tIgnored what was typed while Shedmate was busy; type it again at the prompt.\n";

class TypedDuringAnApply : public testing::TestWithParam<bool> {};

// "2" (Wi-Fi off) typed while the loom restarts its network: at a terminal it
// is thrown away before the next prompt; from a pipe it is the next answer, as
// a script means it.
TEST_P(TypedDuringAnApply, IsThrownAwayAtATerminalAndTakenFromAPipe) {
    const bool terminal = GetParam();
    RunOptions options;
    options.terminal = terminal;
    ShedmateRun run(options);
    LoomReport loom;
    ASSERT_TRUE(logIn(run, loom));
    ASSERT_TRUE(run.expectOutput(menuPrompt));
    run.type("1\nLOOM-9\n");
    LoomReport edited = loom;
    edited.hostname = "LOOM-9";
    ASSERT_TRUE(run.expectOutput(statusScreen(edited) + pendingLine("Loom Name") + menuPrompt));

    run.type("a\n");
    ASSERT_TRUE(run.expectWire("<netdown/>\n"));
    run.send("<ready>\r\n");
    ASSERT_TRUE(run.expectWire("<netconfig hostname=\"LOOM-9\" />\n"));
    run.send("<ready>\r\n");
    ASSERT_TRUE(run.expectWire("<netup/>\n"));
    run.send("<please wait>\r\n");
    ASSERT_TRUE(run.expectDrained());
    run.type("2\n");
    // The echo: the key is in the terminal's input before the wait ends.
    if (terminal) {
        ASSERT_TRUE(run.expectOutput("2\n"));
    }
    run.send("<ready>\r\n");
    ASSERT_TRUE(reportStatus(run, edited));

    const std::string applied = "\n\tApplied.\n" + statusScreen(edited) + menuPrompt;
    if (terminal) {
        ASSERT_TRUE(run.expectOutput(ignoredLine + applied));
        ASSERT_TRUE(run.expectReadingInput());
        EXPECT_EQ(run.unreadOutput(), "");
    } else {
        ASSERT_TRUE(run.expectOutput(applied));
        edited.wifi = "WIFI_OFF";
        ASSERT_TRUE(run.expectOutputNext(statusScreen(edited) + pendingLine("Enable Wireless") +
                                         menuPrompt));
    }
    // From a pipe, 'q' quits at once even with a change pending.
    run.type("q\n");
    ASSERT_TRUE(run.expectWire("close\n"));
    ASSERT_TRUE(run.expectExit(0));
    std::string log = run.log();
    EXPECT_NE(log.find("\nApplied.\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("set: WIFI_OFF\n") == std::string::npos, terminal) << log;
    EXPECT_EQ(log.find("discarded 2 characters typed at the terminal while waiting\n") !=
                  std::string::npos,
              terminal)
        << log;
}

INSTANTIATE_TEST_SUITE_P(Console, TypedDuringAnApply, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "Terminal" : "Pipe");
                         });

TEST(QuitWithChangesPending, AsksFirstAtATerminalFromTheMenuAndTheNetworkList) {
    RunOptions options;
    options.terminal = true;
    ShedmateRun run(options);
    LoomReport loom;
    ASSERT_TRUE(logIn(run, loom));
    ASSERT_TRUE(run.expectOutput(menuPrompt));
    // Typed ahead without a wait in between: both are answers.
    run.type("2\n4\n");
    LoomReport edited = loom;
    edited.wifi = "WIFI_OFF";
    edited.dhcp = "DHCP_OFF";
    const std::string pending = "Enable Wireless, Acquire Address (DHCP)";
    const std::string screen = statusScreen(edited) + pendingLine(pending) + menuPrompt;
    ASSERT_TRUE(run.expectOutput(screen));
    const std::string question = "\n\tQuit without applying " + pending + "? Type y to quit: ";

    run.type("3\n");
    ASSERT_TRUE(run.expectWire("<wifiscan/>\n"));
    run.send("<wifiscan>\r\n<net=\"Guest,-70,NONE\"/>\r\n<ready>\r\n");
    ASSERT_TRUE(run.expectOutput(chooserPrompt));
    run.type("q\n");
    ASSERT_TRUE(run.expectOutput(question));
    run.type("no\n");
    ASSERT_TRUE(run.expectOutput(screen));
    ASSERT_TRUE(run.expectWireQuiet());

    run.type("q\n");
    ASSERT_TRUE(run.expectOutput(question));
    run.type(" yes\n");
    ASSERT_TRUE(run.expectWire("close\n"));
    ASSERT_TRUE(run.expectExit(0));
    EXPECT_NE(run.log().find("quitting without applying: " + pending + "\n"), std::string::npos)
        << run.log();
}

} // namespace
} // namespace e2e
