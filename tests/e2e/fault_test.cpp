// The real shedmate executable against a loom that misbehaves: one that goes
// away, refuses writes or takes them in pieces, never answers, sends line
// noise or values too big for the program, or hangs up; and an operator whose
// input ends in any dialog.
// Whatever happens, nothing the operator typed or the controller reported goes
// missing from the log, and the run ends with its exit line.
#include <cstdio>
#include <ostream>

#include "conversation.h"
#include "harness.h"
#include "support/checks.h"
#include "virtual_loom/ftd2xx/script_link.h"

namespace e2e {
namespace {

namespace script = vloom::script;
using namespace std::string_literals;

const std::string namePrompt = "\n\tNew Loom Name: ";
const std::string closedLine = "\n\tThe loom closed the connection.\n";

testing::AssertionResult rename(ShedmateRun& run, const std::string& name) {
    run.type("1\n");
    if (auto ok = run.expectOutputNext(namePrompt); !ok)
        return ok;
    run.type(name + "\n");
    return run.expectOutput(menuPrompt);
}

// --- the loom going away while the operator or the run waits

TEST(LostLoom, UnplugDuringTheProgressWaitKeepsTheAppliedRenameInTheLog) {
    ShedmateRun run;
    ASSERT_TRUE(atMenu(run));
    ASSERT_TRUE(rename(run, "LOOM-9"));
    run.type("a\n");
    ASSERT_TRUE(run.expectWire("<netdown/>\n"));
    run.send("<ready>\r\n");
    ASSERT_TRUE(run.expectWire("<netconfig hostname=\"LOOM-9\" />\n"));
    run.send("<ready>\r\n");
    ASSERT_TRUE(run.expectWire("<netup/>\n"));
    run.send("<please wait>\r\n");
    ASSERT_TRUE(run.expectOutput("\n\nPlease wait ."));
    ASSERT_TRUE(run.expectDrained());

    ASSERT_TRUE(run.unplug(script::failAll));
    ASSERT_TRUE(run.expectOutput(linkLostLine));
    ASSERT_TRUE(run.expectDeviceClosed());
    ASSERT_TRUE(run.expectExit(1));
    EXPECT_EQ(run.unreadOutput(), "");
    std::string log = run.log();
    EXPECT_TRUE(contains(log, "set hostname: LOOM-9\n"));
    EXPECT_TRUE(contains(log, "applyChanges(): sent - <netconfig hostname=\"LOOM-9\" />\n"));
    EXPECT_TRUE(contains(log, "processMsg(): <please wait>\n"));
    EXPECT_TRUE(contains(log, "readThread(): FT_GetStatus returned 4\n"));
    EXPECT_TRUE(contains(log, "connection to the loom lost\n"));
    EXPECT_TRUE(lacks(log, "clearing wait"));
    EXPECT_TRUE(run.logEndsWithExitLine());
}

struct Unplugging {
    const char* name;
    uint32_t failing;    // script::fail* bits
    const char* noticed; // the receiving thread's line
};

void PrintTo(const Unplugging& u, std::ostream* os) {
    *os << u.name;
}

class UnpluggedBeforeTheLogin : public testing::TestWithParam<Unplugging> {};

TEST_P(UnpluggedBeforeTheLogin, EndsTheRunAsALostLink) {
    ShedmateRun run;
    ASSERT_TRUE(run.acceptLoom());
    ASSERT_TRUE(run.expectWire("\n"));
    ASSERT_TRUE(run.unplug(GetParam().failing));
    // Bytes to read, for a device whose reads alone fail.
    run.send("<Weftrix loom controller: LOOM-7, 4.5v2.18>\r\n");
    ASSERT_TRUE(run.expectOutput(linkLostLine));
    ASSERT_TRUE(run.expectExit(1));
    std::string log = run.log();
    EXPECT_TRUE(contains(log, GetParam().noticed));
    EXPECT_TRUE(contains(log, "connection to the loom lost\n"));
    EXPECT_TRUE(run.logEndsWithExitLine());
}

INSTANTIATE_TEST_SUITE_P(LostLoom, UnpluggedBeforeTheLogin,
                         testing::Values(Unplugging{"Status", script::failAll,
                                                    "readThread(): FT_GetStatus returned 4\n"},
                                         Unplugging{"Read", script::failRead,
                                                    "readThread(): FT_Read returned 4\n"}),
                         caseName<Unplugging>);

// --- writes the device refuses, takes nothing of, or takes in pieces

struct WriteFault {
    const char* name;
    const char* typed; // at the menu; "" to fail the login's next write instead
    const char* message;
    bool stalls; // writes that take nothing, rather than fail
};

void PrintTo(const WriteFault& f, std::ostream* os) {
    *os << f.name;
}

class FailingWrite : public testing::TestWithParam<WriteFault> {};

TEST_P(FailingWrite, EndsTheRunAsALostLink) {
    const WriteFault& f = GetParam();
    const bool receivingThread = !*f.typed;
    ShedmateRun run;
    ASSERT_TRUE(logIn(run, {}, receivingThread ? Login::passwordSent : Login::reported));
    if (!receivingThread) {
        ASSERT_TRUE(run.expectOutput(menuPrompt));
    }
    ASSERT_TRUE(f.stalls ? run.zeroWrites(0xffffffffu) : run.failWrites(4));
    if (receivingThread)
        run.send("<ready>\r\n"); // lets "<netstatus/>" go from the receiving thread
    else
        run.type(f.typed);

    // The loom never heard the message: the operator is told, the status says so.
    ASSERT_TRUE(run.expectOutput(linkLostLine, 5000));
    ASSERT_TRUE(run.expectDeviceClosed());
    ASSERT_TRUE(run.expectExit(1));
    EXPECT_EQ(run.unreadOutput(), "");
    EXPECT_TRUE(run.expectWireQuiet(0));
    const std::string message = f.message;
    std::string log = run.log();
    if (f.stalls)
        EXPECT_TRUE(contains(log, "sendMsgToLoom(): no bytes accepted for 1000 ms, " +
                                      std::to_string(message.size() + 1) + " bytes unsent\n"));
    else
        EXPECT_TRUE(contains(log, "sendMsgToLoom(): [" + std::to_string(message.size() + 1) + "] " +
                                      message + "\nServer: FT_Write returned 4\n"));
    if (receivingThread) {
        EXPECT_EQ(run.wire(), "\ntulip\n");
        EXPECT_TRUE(contains(log, "read thread exiting at "));
    }
    EXPECT_TRUE(contains(log, "connection to the loom lost\n"));
    EXPECT_TRUE(run.logEndsWithExitLine());
}

INSTANTIATE_TEST_SUITE_P(
    Writes, FailingWrite,
    testing::Values(WriteFault{"FailsOnTheReceivingThread", "", "<netstatus/>", false},
                    WriteFault{"StallsOnTheReceivingThread", "", "<netstatus/>", true},
                    WriteFault{"FailsInAnApply", "a\n", "<netdown/>", false},
                    WriteFault{"StallsInAnApply", "a\n", "<netdown/>", true},
                    WriteFault{"FailsAtQuit", "q\n", "close", false}),
    caseName<WriteFault>);

TEST(Writes, PartialWritesAreCompletedAndLogged) {
    ShedmateRun run(RunOptions{.env = {{script::maxWriteEnv, "3"}}});
    ASSERT_TRUE(atMenu(run));
    ASSERT_TRUE(quitCleanly(run));

    EXPECT_EQ(run.wire(), "\ntulip\n<netstatus/>\n<wifistatus/>\nclose\n");
    for (size_t size : run.writeSizes())
        EXPECT_LE(size, 3u);
    std::string log = run.log();
    EXPECT_TRUE(contains(log, "sendMsgToLoom(): [6] tulip\n"
                              "continuing write: msgLen = 3, bytesWritten = 0\n"));
    EXPECT_TRUE(contains(log, "sendMsgToLoom(): [13] <netstatus/>\n"
                              "continuing write: msgLen = 10, bytesWritten = 0\n"
                              "continuing write: msgLen = 7, bytesWritten = 3\n"
                              "continuing write: msgLen = 4, bytesWritten = 6\n"
                              "continuing write: msgLen = 1, bytesWritten = 9\n"));
}

TEST(Writes, ZeroWritesOnTheReceivingThreadAreWaitedOut) {
    ShedmateRun run;
    LoomReport loom;
    ASSERT_TRUE(atMenu(run, loom));
    ASSERT_TRUE(rename(run, "LOOM-9"));
    run.type("a\n");
    ASSERT_TRUE(run.expectWire("<netdown/>\n"));
    // Some 200 ms of writes that take nothing: well short of giving up.
    ASSERT_TRUE(run.zeroWrites(20));
    run.send("<ready>\r\n");
    ASSERT_TRUE(run.expectWire("<netconfig hostname=\"LOOM-9\" />\n"));
    run.send("<ready>\r\n");
    ASSERT_TRUE(run.expectWire("<netup/>\n"));
    run.send("<please wait>\r\n<ready>\r\n");
    LoomReport back = loom;
    back.hostname = "LOOM-9";
    ASSERT_TRUE(reportStatus(run, back));
    ASSERT_TRUE(run.expectOutput(statusScreen(back) + menuPrompt));
    ASSERT_TRUE(quitCleanly(run));

    std::string log = run.log();
    EXPECT_EQ(countOf(log, "continuing write: msgLen = 32, bytesWritten = 0\n"), 20) << log;
    EXPECT_TRUE(lacks(log, "no bytes accepted"));
    EXPECT_TRUE(lacks(log, "connection to the loom lost"));
    EXPECT_TRUE(run.logEndsWithExitLine());
}

// --- a controller that never acknowledges

TEST(SilentLoom, AnUnansweredScanLeavesTheOperatorFreeToEditAndQuit) {
    ShedmateRun run;
    LoomReport loom;
    ASSERT_TRUE(atMenu(run, loom));
    run.type("3\n");
    ASSERT_TRUE(run.expectWire("<wifiscan/>\n"));
    // Given up after 10 s.
    ASSERT_TRUE(
        run.expectOutputNext(scanningLine +
                                 "\tThe scan has not finished yet; the list may be incomplete.\n"
                                 "\tNo networks found.\n" +
                                 chooserPrompt,
                             15000));
    run.type("0\n");
    ASSERT_TRUE(run.expectOutputNext(statusScreen(loom) + menuPrompt));
    ASSERT_TRUE(rename(run, "LOOM-9"));
    LoomReport edited = loom;
    edited.hostname = "LOOM-9";
    EXPECT_NE(run.output().rfind(statusScreen(edited) + pendingLine("Loom Name") + menuPrompt),
              std::string::npos);

    run.type("q\n");
    ASSERT_TRUE(run.expectDeviceClosed());
    ASSERT_TRUE(run.expectExit(0));
    // "close" may not overtake the scan request the controller still owes an answer.
    EXPECT_TRUE(run.expectWireQuiet(0));
    EXPECT_TRUE(contains(run.log(), "set hostname: LOOM-9\n"));
    EXPECT_TRUE(run.logEndsWithExitLine());
}

// --- line noise

TEST(NoisyLine, ControlBytesHighBytesAndNulsAreDroppedAndTheReportCompletes) {
    ShedmateRun run;
    LoomReport loom;
    ASSERT_TRUE(run.acceptLoom());
    ASSERT_TRUE(expectConnecting(run));
    ASSERT_TRUE(run.expectWire("\n"));
    // What follows a NUL in the same read is lost: this prompt goes unanswered.
    run.send("\x01\xff\x80<Weftrix loom controller: LOOM-7, 4.5v2.18>\r\n\0<Password: LOOM-7, "
             "4.5v2.18>\r\n"s);
    // A read that starts with a NUL is dropped whole.
    run.send("\0<Password: LOOM-7, 4.5v2.18>\r\n"s);
    ASSERT_TRUE(run.expectDrained());
    ASSERT_TRUE(run.expectWireQuiet());

    // Control and 8-bit bytes inside a message are left out of it.
    run.send("<Pass\x07word: LOOM-7,\xa0 4.5v2.18>\r\n");
    ASSERT_TRUE(run.expectWire("tulip\n"));
    // A second acknowledgement after the NUL would let "<wifistatus/>" go too early.
    run.send("\xfe\xfd<ready>\x1b\0junk<ready>\r\n"s);
    ASSERT_TRUE(run.expectWire("<netstatus/>\n"));
    ASSERT_TRUE(run.expectDrained());
    ASSERT_TRUE(run.expectWireQuiet());

    run.send("<netstatus>\r\n\x02<host\x1b"
             "name=\"LOOM-7\"/>\r\n");
    run.send("<state=\"CONNECTED\"/>\r\n\0<state=\"BROKEN\"/>\r\n"s);
    run.send("\x80\x81<dhcp=\"DHCP_ON\"/>\r\n<wifi=\"WIFI_ON\"/>\r\n<cur");
    run.send("\x10rent=\"192.168.1.23\"/>\r\n\x04");
    run.send("<static=\"192.168.1.50\"/>\r\n\0\0"s);
    run.send("<ready>\r\n");
    ASSERT_TRUE(run.expectWire("<wifistatus/>\n"));
    run.send("<wifistatus>\r\n<ssid=\"Weav\xe9"
             "ing-Hall\"/>\r\n");
    run.send("<encryption=\"WPA2\"/>\r\n</wifistatus>\r\n\0<ssid=\"Intruder\"/>\r\n"s);
    run.send("\t<ready>\r\n");
    ASSERT_TRUE(run.expectDrained());
    ASSERT_TRUE(run.expectOutputNext(statusScreen(loom) + menuPrompt));

    ASSERT_TRUE(quitCleanly(run));
    std::string log = run.log();
    EXPECT_EQ(countOf(log, "processMsg(): <Password: LOOM-7, 4.5v2.18>\n"), 1) << log;
    EXPECT_TRUE(contains(log, "processMsg(): <hostname=\"LOOM-7\"/>\n"));
    EXPECT_TRUE(contains(log, "processMsg(): <current=\"192.168.1.23\"/>\n"));
    EXPECT_TRUE(contains(log, "processMsg(): <ssid=\"Weaving-Hall\"/>\n"));
    for (const char* lost : {"junk", "BROKEN", "Intruder"})
        EXPECT_EQ(log.find(lost), std::string::npos) << lost << " in\n" << log;
    EXPECT_TRUE(run.logEndsWithExitLine());
}

TEST(NoisyLine, AnOverlongMessageIsDiscardedAndTheRestOfTheReportKept) {
    ShedmateRun run;
    LoomReport loom;
    ASSERT_TRUE(logIn(run, loom, Login::passwordSent));
    run.send("<ready>\r\n");
    ASSERT_TRUE(run.expectWire("<netstatus/>\n"));
    run.send("<netstatus>\r\n");
    // 5,000 printable bytes with no '>', read in many pieces: thrown away up
    // to the next '>', which ends the message they run into.
    run.send("<dump " + std::string(4994, 'x') +
             "\r\n<hostname=\"WRONG\"/>\r\n<hostname=\"LOOM-7\"/>\r\n");
    run.send("<state=\"CONNECTED\"/>\r\n<dhcp=\"DHCP_ON\"/>\r\n<wifi=\"WIFI_ON\"/>\r\n");
    run.send("<current=\"192.168.1.23\"/>\r\n<static=\"192.168.1.50\"/>\r\n<ready>\r\n");
    ASSERT_TRUE(run.expectWire("<wifistatus/>\n"));
    run.send("<wifistatus>\r\n<ssid=\"Weaving-Hall\"/>\r\n<encryption=\"WPA2\"/>\r\n");
    run.send("</wifistatus>\r\n<ready>\r\n");
    ASSERT_TRUE(run.expectDrained());
    ASSERT_TRUE(run.expectOutputNext(statusScreen(loom) + menuPrompt));

    ASSERT_TRUE(quitCleanly(run));
    std::string log = run.log();
    EXPECT_EQ(countOf(log, "readThread(): message of more than 511 bytes without '>' discarded"), 1)
        << log;
    EXPECT_EQ(log.find(std::string(100, 'x')), std::string::npos) << log;
    EXPECT_TRUE(lacks(log, "WRONG"));
    EXPECT_TRUE(contains(log, "processMsg(): <hostname=\"LOOM-7\"/>\n"));
    EXPECT_TRUE(run.logEndsWithExitLine());
}

// --- more than the program has room for

// `n` characters of "<lead>0123456789..." repeated, so a cut shows where it fell.
std::string longText(const std::string& lead, size_t n) {
    std::string text = lead;
    while (text.size() < n)
        text += static_cast<char>('0' + text.size() % 10);
    return text;
}

TEST(Oversized, ValuesLongerThanTheirFieldsAreShownCut) {
    ShedmateRun run;
    LoomReport big;
    big.hostname = longText("LOOM-", 300);
    big.state = longText("STATE-", 300);
    big.current = longText("10.", 300);
    big.ssid = longText("HALL-", 300);
    big.staticAddress = longText("10.0.", 300);
    big.version = longText("v", 100);
    ASSERT_TRUE(logIn(run, big));

    // Each field keeps what its buffer holds: 63 characters, 51 for the
    // static address, 19 for the version.
    LoomReport shown = big;
    shown.hostname.resize(63);
    shown.state.resize(63);
    shown.current.resize(63);
    shown.ssid.resize(63);
    shown.staticAddress.resize(51);
    shown.version.resize(19);
    ASSERT_TRUE(run.expectOutputNext(statusScreen(shown) + menuPrompt));

    ASSERT_TRUE(quitCleanly(run));
    // The log has the controller's messages whole.
    EXPECT_TRUE(contains(run.log(), "processMsg(): <hostname=\"" + big.hostname + "\"/>\n"));
    EXPECT_TRUE(run.logEndsWithExitLine());
}

TEST(Oversized, AScanOfTwentyFiveNetworksListsTheFirstTwenty) {
    ShedmateRun run;
    LoomReport loom;
    ASSERT_TRUE(atMenu(run, loom));
    run.type("3\n");
    ASSERT_TRUE(run.expectWire("<wifiscan/>\n"));

    auto name = [](int k) {
        char text[8];
        std::snprintf(text, sizeof text, "Net-%02d", k);
        // The first name is longer than the 32 characters a scan entry holds.
        return k == 1 ? longText("Weaving-Hall-North-", 40) : std::string(text);
    };
    std::string scan = "<wifiscan>\r\n";
    for (int k = 1; k <= 25; ++k)
        scan += "<net=\"" + name(k) + ",-" + std::to_string(40 + k) + ",WPA2\"/>\r\n";
    run.send(scan + "<ready>\r\n");

    std::string list = "\tAvailable networks:\n";
    for (int k = 1; k <= 20; ++k)
        list += "\t\t[" + std::to_string(k) + "] " + name(k).substr(0, 32) + "\n";
    ASSERT_TRUE(run.expectOutputNext(scanningLine + list + chooserPrompt));
    run.type("20\n");
    ASSERT_TRUE(run.expectOutputNext(
        "\n\tThe network you have chosen (Net-20) requires a passphrase\n\tPassphrase: "));
    run.type("shuttle 9\n");
    LoomReport edited = loom;
    edited.ssid = "Net-20";
    ASSERT_TRUE(
        run.expectOutputNext(statusScreen(edited) + pendingLine("Network Name") + menuPrompt));

    ASSERT_TRUE(quitCleanly(run));
    std::string log = run.log();
    for (int k = 21; k <= 25; ++k)
        EXPECT_TRUE(contains(log, "processMsg(): <net=\"" + name(k) + ","));
    EXPECT_TRUE(contains(log, "set ssid: Net-20\n"));
    EXPECT_TRUE(run.logEndsWithExitLine());
}

// --- dialogs waiting for the operator

struct Dialog {
    const char* name;
    std::string keys;
    bool scans;       // the chooser asks the controller first
    std::string pick; // typed at the chooser to reach the dialog
    std::string prompt;
};

void PrintTo(const Dialog& d, std::ostream* os) {
    *os << d.name;
}

const Dialog dialogs[] = {
    {"Menu", "", false, "", ""},
    {"NameEditor", "1\n", false, "", namePrompt},
    {"StaticAddressEditor", "5\n", false, "", "\n\tNew Static Address: "},
    {"NetworkChooser", "3\n", true, "", chooserPrompt},
    {"Passphrase", "3\n", true, "1\n", "\tPassphrase: "},
    {"FirmwarePath", "f\n", false, "", "\n\tFirmware image file: "},
};

// From the menu to the dialog's prompt.
testing::AssertionResult openDialog(ShedmateRun& run, const Dialog& d) {
    run.type(d.keys);
    if (d.scans) {
        if (auto ok = run.expectWire("<wifiscan/>\n"); !ok)
            return ok;
        run.send("<wifiscan>\r\n<net=\"Dye House,-60,WPA2\"/>\r\n<ready>\r\n");
    }
    if (!d.pick.empty()) {
        if (auto ok = run.expectOutput(chooserPrompt); !ok)
            return ok;
        run.type(d.pick);
    }
    return run.expectOutput(d.prompt);
}

// --- the loom leaving while a dialog waits: acted on with nothing typed

struct Leaving {
    const char* name;
    bool unplugged; // else the controller closes the connection
};

void PrintTo(const Leaving& l, std::ostream* os) {
    *os << l.name;
}

class LoomLeaves : public testing::TestWithParam<std::tuple<Dialog, Leaving>> {};

TEST_P(LoomLeaves, EndsTheRunAtOnce) {
    const auto& [d, leaving] = GetParam();
    ShedmateRun run;
    ASSERT_TRUE(atMenu(run));
    ASSERT_TRUE(openDialog(run, d));
    ASSERT_TRUE(run.expectReadingInput());
    if (leaving.unplugged)
        ASSERT_TRUE(run.unplug(script::failAll));
    else
        run.send("<closing connection>\r\n");

    ASSERT_TRUE(run.expectOutputNext(leaving.unplugged ? linkLostLine : closedLine));
    ASSERT_TRUE(run.expectDeviceClosed());
    ASSERT_TRUE(run.expectExit(leaving.unplugged ? 1 : 0));
    EXPECT_EQ(run.unreadOutput(), "");
    // The controller is gone: no "close" for it.
    EXPECT_TRUE(run.expectWireQuiet(0));
    std::string log = run.log();
    EXPECT_TRUE(contains(log, leaving.unplugged ? "connection to the loom lost\n"
                                                : "controller closed the connection\n"));
    EXPECT_TRUE(lacks(log, "end of input"));
    EXPECT_TRUE(run.logEndsWithExitLine());
}

INSTANTIATE_TEST_SUITE_P(
    Dialogs, LoomLeaves,
    testing::Combine(testing::Values(dialogs[0], dialogs[1], dialogs[3], dialogs[4], dialogs[5]),
                     testing::Values(Leaving{"Unplugged", true}, Leaving{"Closed", false})),
    [](const testing::TestParamInfo<std::tuple<Dialog, Leaving>>& info) {
        return std::string(std::get<0>(info.param).name) + std::get<1>(info.param).name;
    });

TEST(ClosedByLoom, DuringTheProgressWaitEndsWithStatus0AndSaysSo) {
    ShedmateRun run;
    ASSERT_TRUE(atMenu(run));
    run.type("a\n");
    ASSERT_TRUE(run.expectWire("<netdown/>\n"));
    ASSERT_TRUE(run.expectOutput("\n\nPlease wait ."));
    run.send("<closing connection>\r\n");
    ASSERT_TRUE(run.expectOutput(closedLine));
    ASSERT_TRUE(run.expectDeviceClosed());
    ASSERT_TRUE(run.expectExit(0));
    EXPECT_TRUE(run.expectWireQuiet(0));
    EXPECT_TRUE(contains(run.log(), "controller closed the connection\n"));
    EXPECT_TRUE(run.logEndsWithExitLine());
}

// --- the operator's input ending in a dialog

class EndOfInput : public testing::TestWithParam<Dialog> {};

TEST_P(EndOfInput, QuitsCleanly) {
    ShedmateRun run;
    ASSERT_TRUE(atMenu(run));
    ASSERT_TRUE(openDialog(run, GetParam()));
    run.closeInput();
    ASSERT_TRUE(run.expectWire("close\n"));
    ASSERT_TRUE(run.expectDeviceClosed());
    ASSERT_TRUE(run.expectExit(0));
    EXPECT_TRUE(run.expectWireQuiet(0));
    // No screen after the last prompt: it left instead of asking no one again.
    // (End of input at the passphrase cancels the choice; the menu then quits.)
    if (std::string(GetParam().name) != "Passphrase") {
        EXPECT_EQ(run.unreadOutput().find("Current Status"), std::string::npos) << run.output();
    }
    EXPECT_TRUE(run.logEndsWithExitLine());
}

INSTANTIATE_TEST_SUITE_P(Dialogs, EndOfInput, testing::ValuesIn(dialogs), caseName<Dialog>);

TEST(EndOfInputMidLine, TheUnfinishedLastLineIsStillTaken) {
    ShedmateRun run;
    LoomReport loom;
    ASSERT_TRUE(atMenu(run, loom));
    run.type("1\n");
    ASSERT_TRUE(run.expectOutputNext(namePrompt));
    run.type("LOOM-9");
    run.closeInput();
    LoomReport edited = loom;
    edited.hostname = "LOOM-9";
    ASSERT_TRUE(run.expectOutputNext(statusScreen(edited) + pendingLine("Loom Name") + menuPrompt));
    ASSERT_TRUE(run.expectWire("close\n"));
    ASSERT_TRUE(run.expectExit(0));
    EXPECT_TRUE(contains(run.log(), "set hostname: LOOM-9\n"));
    EXPECT_TRUE(run.logEndsWithExitLine());
}

} // namespace
} // namespace e2e
