// How a run ends when the controller races it: what it says while "close"
// waits, while a firmware image is on the wire, and after a write failed.
#include <ostream>

#include "conversation.h"
#include "harness.h"
#include "upload.h"
#include "virtual_loom/ftd2xx/script_link.h"

namespace e2e {
namespace {

namespace script = vloom::script;

const std::string banner = "<Weftrix loom controller: LOOM-7, 4.5v2.18>\r\n";
const std::string prompt = "<Password: LOOM-7, 4.5v2.18>\r\n";
const std::string closedLine = "\n\tThe loom closed the connection.\n";

bool logged(ShedmateRun& run, const std::string& line) {
    return run.log().find(line) != std::string::npos;
}

int countOf(const std::string& haystack, const std::string& needle) {
    int n = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos;
         at = haystack.find(needle, at + needle.size()))
        ++n;
    return n;
}

// Logged in, the report shown, and the controller still owes the answer to
// "<wifistatus/>".
testing::AssertionResult atMenuOwingAnAnswer(ShedmateRun& run) {
    if (auto ok = run.acceptLoom(); !ok)
        return ok;
    if (auto ok = run.expectWire("\n"); !ok)
        return ok;
    run.send(banner + prompt);
    if (auto ok = run.expectWire("tulip\n"); !ok)
        return ok;
    run.send("<ready>\r\n");
    if (auto ok = run.expectWire("<netstatus/>\n"); !ok)
        return ok;
    run.send("<netstatus>\r\n<hostname=\"LOOM-7\"/>\r\n<ready>\r\n");
    if (auto ok = run.expectWire("<wifistatus/>\n"); !ok)
        return ok;
    run.send("<wifistatus>\r\n</wifistatus>\r\n");
    return run.expectOutput(menuPrompt);
}

// --- 'q' while the controller owes an answer: "close" waits for it, at most 2 s

struct WhileCloseWaits {
    const char* name;
    std::string controller; // what the controller sends after 'q'
    bool closeGoes;
};

void PrintTo(const WhileCloseWaits& c, std::ostream* os) {
    *os << c.name;
}

class QuitWhileAnAnswerIsOwed : public testing::TestWithParam<WhileCloseWaits> {};

TEST_P(QuitWhileAnAnswerIsOwed, EndsWithinTheCloseWaitAndShowsNothingMore) {
    const WhileCloseWaits& c = GetParam();
    ShedmateRun run;
    ASSERT_TRUE(atMenuOwingAnAnswer(run));
    run.type("q\n");
    ASSERT_TRUE(run.expectWireQuiet(200));
    run.send(c.controller);
    if (c.closeGoes) {
        ASSERT_TRUE(run.expectWire("close\n"));
    }
    ASSERT_TRUE(run.expectExit(0, 4000));
    // Nothing queued behind "close" went, and no screen or prompt came back.
    EXPECT_TRUE(run.expectWireQuiet(0));
    EXPECT_EQ(run.unreadOutput(), "");
    EXPECT_EQ(logged(run, "close not sent"), !c.closeGoes) << run.log();
    EXPECT_TRUE(run.logEndsWithExitLine());
}

INSTANTIATE_TEST_SUITE_P(
    RunEnd, QuitWhileAnAnswerIsOwed,
    testing::Values(
        // A reboot: its banner answers, its prompt asks for a login no one will make.
        WhileCloseWaits{"Reboot", banner + prompt, true},
        WhileCloseWaits{"LateReport", "</wifistatus>\r\n<ready>\r\n", true},
        WhileCloseWaits{"Silence", "", false}),
    [](const testing::TestParamInfo<WhileCloseWaits>& info) {
        return std::string(info.param.name);
    });

// --- the controller while a firmware image is on the wire

// The image goes at 200 kB/s, so the controller can speak while it is on the wire.
constexpr size_t slowImage = 400000;
const size_t loginBytes = std::string("\ntulip\n<netstatus/>\n<wifistatus/>\n").size();

struct MidImage {
    const char* name;
    std::string says;  // "" for an unplug
    std::string stop;  // the console line that reports where the image stopped
    std::string after; // what the console shows next
    int status;
};

void PrintTo(const MidImage& m, std::ostream* os) {
    *os << m.name;
}

class DuringAnUpload : public testing::TestWithParam<MidImage> {};

TEST_P(DuringAnUpload, TheImageStopsAsTheControllerActs) {
    const MidImage& m = GetParam();
    RunOptions options;
    options.env.push_back({script::bytesPerSecondEnv, "200000"});
    ShedmateRun run(options);
    ASSERT_TRUE(logIn(run));
    ASSERT_TRUE(run.expectOutput(menuPrompt));
    const std::string image = imageOf(slowImage);
    const std::string path = writeImage(run, "big.bin", image);
    ASSERT_TRUE(confirmUpload(run, path, slowImage));
    ASSERT_TRUE(wireReaches(run, loginBytes + firmwareCommand(slowImage).size() + 1));

    // A stray "<ready>" first: the receiving thread must not stall on it, and
    // it is no answer to an image still on its way.
    run.send("<ready>\r\n");
    ASSERT_TRUE(run.expectDrained());
    if (m.says.empty())
        ASSERT_TRUE(run.unplug(script::failGetStatus | script::failRead));
    else
        run.send(m.says);
    ASSERT_TRUE(run.expectOutput(m.stop));
    std::string out = run.output();
    size_t reported = std::stoul(out.substr(out.rfind(m.stop) + m.stop.size()));
    EXPECT_LT(reported, slowImage);
    ASSERT_TRUE(run.expectOutput(" of 400000 bytes" + m.after));
    if (m.status == 0 && m.after.find(menuPrompt) != std::string::npos)
        run.type("q\n");
    ASSERT_TRUE(run.expectExit(m.status));
    EXPECT_EQ(run.wire().substr(loginBytes, firmwareCommand(slowImage).size() + reported),
              firmwareCommand(slowImage) + image.substr(0, reported));
    EXPECT_TRUE(run.logEndsWithExitLine());
}

INSTANTIATE_TEST_SUITE_P(
    RunEnd, DuringAnUpload,
    testing::Values(MidImage{"Closed", "<closing connection>\r\n", "\n\tThe upload stopped after ",
                             ".\n" + closedLine, 0},
                    // Not counting image bytes, the controller would read the rest as commands.
                    MidImage{"Refused", "<error bad firmware length>\r\n",
                             "\n\tThe loom refused the image after ",
                             ": bad firmware length\n" + statusScreen({}) + menuPrompt, 0},
                    MidImage{"Unplugged", "",
                             "\n\tThe upload failed: ", " went to the loom.\n" + linkLostLine, 1}),
    [](const testing::TestParamInfo<MidImage>& info) { return std::string(info.param.name); });

// The image waits for the answer owed to the message before it, at most 5 s,
// and only what the controller says after the image is its answer: neither
// that earlier "<ready>" nor, once the wait for the answer is over, a late
// refusal.
TEST(RunEnd, TheImageTakesOnlyItsOwnAnswer) {
    ShedmateRun run;
    ASSERT_TRUE(atMenuOwingAnAnswer(run));
    const std::string image = imageOf(300);
    const std::string path = writeImage(run, "fw.bin", image);

    ASSERT_TRUE(confirmUpload(run, path, image.size()));
    ASSERT_TRUE(run.expectOutput("\n\n\tThe loom has not answered its last message within 5 s; "
                                 "the image was not sent\n\n",
                                 8000));
    ASSERT_TRUE(run.expectOutput(menuPrompt));
    ASSERT_TRUE(run.expectWireQuiet(0));

    ASSERT_TRUE(confirmUpload(run, path, image.size()));
    ASSERT_TRUE(run.expectWireQuiet(300));
    run.send("<ready>\r\n");
    ASSERT_TRUE(run.expectWire(firmwareCommand(image.size()) + image));
    ASSERT_TRUE(run.expectOutput(" s; the loom did not answer within 10 s.\n", 15000));
    ASSERT_TRUE(run.expectOutput(menuPrompt));
    run.send("<error flash verify failed>\r\n");
    ASSERT_TRUE(run.expectDrained());
    run.type("q\n");
    ASSERT_TRUE(run.expectOutputNext("\n\tThe loom refused: flash verify failed\n"));
    ASSERT_TRUE(run.expectWire("close\n"));
    ASSERT_TRUE(run.expectExit(0));
    EXPECT_TRUE(logged(run, "sendFirmware(): not sent: The loom has not answered its last "
                            "message within 5 s"))
        << run.log();
}

// --- after a failed write: nothing more is written, nothing more is heard

struct AfterAFailedWrite {
    const char* name;
    std::string rest; // in the same read as the prompt whose answer fails
};

void PrintTo(const AfterAFailedWrite& a, std::ostream* os) {
    *os << a.name;
}

class FailedWrite : public testing::TestWithParam<AfterAFailedWrite> {};

TEST_P(FailedWrite, EndsTheRunAsALostLink) {
    ShedmateRun run;
    ASSERT_TRUE(run.acceptLoom());
    ASSERT_TRUE(expectConnecting(run));
    ASSERT_TRUE(run.expectWire("\n"));
    ASSERT_TRUE(run.failWrites(4));
    run.send(banner + prompt + GetParam().rest);

    ASSERT_TRUE(run.expectOutputNext(linkLostLine));
    ASSERT_TRUE(run.expectExit(1));
    EXPECT_EQ(run.unreadOutput(), "");
    std::string log = run.log();
    EXPECT_EQ(countOf(log, "Server: FT_Write returned 4\n"), 1) << log;
    EXPECT_EQ(countOf(log, "sendMsgToLoom(): "), 2) << log;
    EXPECT_TRUE(logged(run, "readThread(): stopping, not handled: ")) << log;
    EXPECT_TRUE(run.logEndsWithExitLine());
}

INSTANTIATE_TEST_SUITE_P(RunEnd, FailedWrite,
                         testing::Values(AfterAFailedWrite{"TwoReadies", "<ready>\r\n<ready>\r\n"},
                                         AfterAFailedWrite{"LoomCloses",
                                                           "<closing connection>\r\n"}),
                         [](const testing::TestParamInfo<AfterAFailedWrite>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
} // namespace e2e
