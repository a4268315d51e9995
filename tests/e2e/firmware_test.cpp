// Firmware upload through the real shedmate executable: what is refused before
// anything is sent, the operator's confirmation, the controller's answer, and a
// link that fails or an operator who stops partway through the image.
#include <chrono>
#include <csignal>
#include <fstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "conversation.h"
#include "harness.h"
#include "upload.h"
#include "virtual_loom/ftd2xx/script_link.h"

namespace e2e {
namespace {

namespace script = vloom::script;

bool logged(ShedmateRun& run, const std::string& line) {
    return run.log().find(line) != std::string::npos;
}

TEST(Firmware, ConfirmedImageGoesWholeAndTheLoomsAnswerIsShown) {
    ShedmateRun run;
    LoomReport loom;
    ASSERT_TRUE(atMenu(run, loom));

    const std::string image = imageOf(700) + "\r\n\x1a";
    const std::string path = writeImage(run, "loom 4.5v2.19.bin", image);

    // Declined: nothing on the wire, back to the menu. The path as a file
    // manager's drag-and-drop gives it.
    ASSERT_TRUE(askToSend(run, "  '" + path + "'  ", path, image.size()));
    run.type("n\n");
    ASSERT_TRUE(run.expectOutputNext("\n\tFirmware not sent.\n" + statusScreen(loom) + menuPrompt));
    ASSERT_TRUE(run.expectWireQuiet());

    // Acknowledged.
    ASSERT_TRUE(askToSend(run, "\"" + path + "\"", path, image.size()));
    run.type("y\n");
    ASSERT_TRUE(
        run.expectOutputNext("\tSending file - do not turn computer off or exit program\n\n"));
    ASSERT_TRUE(run.expectWire(firmwareCommand(image.size()) + image));
    ASSERT_TRUE(run.expectOutput("\t100 %  703 of 703 bytes"));
    ASSERT_TRUE(run.expectOutput("\n\tWaiting for the loom to take the image (at most 10 s)...\n"));
    run.send("<ready>\r\n");
    ASSERT_TRUE(run.expectOutputNext("\n\tFirmware sent: 703 bytes in "));
    ASSERT_TRUE(
        run.expectOutput(" s; the loom acknowledged it.\n" + statusScreen(loom) + menuPrompt));

    // Refused, with the loom's reason.
    ASSERT_TRUE(askToSend(run, path, path, image.size()));
    run.type("yes\n");
    ASSERT_TRUE(run.expectWire(firmwareCommand(image.size()) + image));
    run.send("<error checksum mismatch>\r\n");
    ASSERT_TRUE(run.expectOutput(" s; the loom refused it: checksum mismatch\n" +
                                 statusScreen(loom) + menuPrompt));

    ASSERT_TRUE(quitCleanly(run));
    EXPECT_TRUE(logged(run, "Sending update - length: 703 file: " + path + "\n")) << run.log();
    EXPECT_TRUE(logged(run, "sendMsgToLoom(): [20] receivefirmware 703\r")) << run.log();
    EXPECT_TRUE(logged(run, "sendMsgToLoom(): [703] ")) << run.log();
    EXPECT_TRUE(logged(run, " bytes sent in ")) << run.log();
    EXPECT_TRUE(logged(run, "; acknowledged\n")) << run.log();
    EXPECT_TRUE(logged(run, "; refused: checksum mismatch\n")) << run.log();
}

TEST(Firmware, RefusalsSayWhyAndSendNothing) {
    RunOptions options;
    options.env.push_back({"HOME", "/nonexistent-home"});
    ShedmateRun run(options);
    LoomReport loom;
    ASSERT_TRUE(atMenu(run, loom));
    const std::string dir = run.workDir();
    writeImage(run, "empty.bin", "");
    const std::string locked = writeImage(run, "locked.bin", "abc");
    ::chmod(locked.c_str(), 0);

    struct Case {
        std::string typed;
        std::string says;
    };
    std::vector<Case> cases = {
        {dir, dir + " is a folder, not a file"},
        {"'" + dir + "/'", dir + "/ is a folder, not a file"},
        {dir + "/empty.bin  ", dir + "/empty.bin is empty"},
        {"~/loom.bin", "Unable [2] to open /nonexistent-home/loom.bin: No such file or directory"},
        {"/dev/null", "/dev/null is not a regular file"},
    };
    // Root reads whatever its permissions say.
    if (::geteuid() != 0)
        cases.push_back({locked, "Unable [13] to open " + locked + ": Permission denied"});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        run.type("f\n");
        ASSERT_TRUE(run.expectOutput(pathPrompt));
        run.type(c.typed + "\n");
        ASSERT_TRUE(
            run.expectOutputNext("\n\n\t" + c.says + "\n\n" + statusScreen(loom) + menuPrompt));
    }
    ASSERT_TRUE(run.expectWireQuiet());
    ASSERT_TRUE(quitCleanly(run));
    for (const Case& c : cases)
        EXPECT_TRUE(logged(run, "sendFirmware(): not sent: " + c.says + "\n")) << run.log();
}

TEST(Firmware, CommandThatCannotGoTakesNoImageWithIt) {
    ShedmateRun run;
    ASSERT_TRUE(atMenu(run));
    const std::string path = writeImage(run, "fw.bin", imageOf(5000));
    ASSERT_TRUE(askToSend(run, path, path, 5000));
    // The controller takes nothing, for longer than the write time-out.
    ASSERT_TRUE(run.zeroWrites(1000000));
    run.type("y\n");
    ASSERT_TRUE(run.expectOutput("\n\tThe upload failed: 0 of 5000 bytes went to the loom.\n" +
                                 linkLostLine));
    ASSERT_TRUE(run.expectExit(1));
    EXPECT_EQ(run.wire().find("receivefirmware"), std::string::npos);
    EXPECT_TRUE(logged(run, "sendMsgToLoom(): no bytes accepted for 1000 ms, 21 bytes unsent\n"))
        << run.log();
    EXPECT_TRUE(logged(run, "sendFirmware(): upload failed: 0 of 5000 bytes sent\n")) << run.log();
    EXPECT_TRUE(run.logEndsWithExitLine());
}

// The image goes at 200 kB/s, so the test can act while it is on the wire.
constexpr size_t slowImage = 400000;

RunOptions slowly() {
    RunOptions options;
    options.env.push_back({script::bytesPerSecondEnv, "200000"});
    return options;
}

// What the login put on the wire before the upload.
const size_t loginBytes = std::string("\ntulip\n<netstatus/>\n<wifistatus/>\n").size();

// From the menu to the first image bytes on the wire.
testing::AssertionResult startSlowUpload(ShedmateRun& run) {
    if (auto ok = logIn(run); !ok)
        return ok;
    if (auto ok = run.expectOutput(menuPrompt); !ok)
        return ok;
    const std::string path = writeImage(run, "big.bin", imageOf(slowImage));
    if (auto ok = askToSend(run, path, path, slowImage); !ok)
        return ok;
    run.type("y\n");
    return wireReaches(run, loginBytes + firmwareCommand(slowImage).size() + 1);
}

// How many image bytes the console reported and how many reached the wire.
void expectReportMatchesWire(ShedmateRun& run, const std::string& before) {
    std::string out = run.output();
    size_t at = out.find(before);
    ASSERT_NE(at, std::string::npos) << out;
    size_t reported = std::stoul(out.substr(at + before.size()));
    EXPECT_LT(reported, slowImage);
    // The library reports each write as it goes; the last may still be on its way.
    EXPECT_TRUE(wireReaches(run, loginBytes + firmwareCommand(slowImage).size() + reported));
    EXPECT_TRUE(run.wire().substr(loginBytes) ==
                firmwareCommand(slowImage) + imageOf(slowImage).substr(0, reported))
        << reported << " bytes reported, " << run.wire().size() - loginBytes << " on the wire";
}

class FailingMidImage : public testing::TestWithParam<bool> {};

TEST_P(FailingMidImage, StopsAtOnceAndEndsAsALostLink) {
    bool unplug = GetParam();
    ShedmateRun run(slowly());
    ASSERT_TRUE(startSlowUpload(run));
    if (unplug)
        ASSERT_TRUE(run.unplug(script::failAll));
    else
        ASSERT_TRUE(run.zeroWrites(1000000));
    ASSERT_TRUE(run.expectOutput("\n\tThe upload failed: "));
    ASSERT_TRUE(run.expectOutput(" of 400000 bytes went to the loom.\n" + linkLostLine));
    ASSERT_TRUE(run.expectExit(1));
    expectReportMatchesWire(run, "\n\tThe upload failed: ");
    // An unplug is seen by whichever thread asks the driver first.
    if (unplug)
        EXPECT_TRUE(logged(run, "Server: FT_Write returned 4\n") ||
                    logged(run, "readThread(): FT_GetStatus returned 4\n"))
            << run.log();
    else
        EXPECT_TRUE(logged(run, "no bytes accepted for")) << run.log();
    EXPECT_TRUE(logged(run, " of 400000 bytes sent\n")) << run.log();
    EXPECT_TRUE(run.logEndsWithExitLine());
}

INSTANTIATE_TEST_SUITE_P(Firmware, FailingMidImage, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) {
                             return info.param ? std::string("Unplug") : std::string("Stall");
                         });

TEST(Firmware, RefusalBeforeTheLastByteStopsTheImage) {
    ShedmateRun run(slowly());
    ASSERT_TRUE(startSlowUpload(run));
    // Not counting image bytes, the controller would read the rest as commands.
    run.send("<error bad firmware length>\r\n");
    ASSERT_TRUE(run.expectOutput("\n\tThe loom refused the image after "));
    ASSERT_TRUE(run.expectOutput(" of 400000 bytes: bad firmware length\n" + statusScreen({}) +
                                 menuPrompt));
    expectReportMatchesWire(run, "\n\tThe loom refused the image after ");
    size_t written = run.wire().size();
    run.type("q\n");
    ASSERT_TRUE(run.expectExit(0));
    EXPECT_EQ(run.wire().substr(written), "close\n");
    EXPECT_TRUE(logged(run, " of 400000 bytes: bad firmware length\n")) << run.log();
}

const std::string stopWarning = "\n\tStopping now leaves the loom without a whole firmware image.\n"
                                "\tPress Ctrl-C again within 5 s to stop the upload anyway.\n\n";

TEST(Firmware, CtrlCTwiceStopsBetweenPiecesWithoutClose) {
    ShedmateRun run(slowly());
    ASSERT_TRUE(startSlowUpload(run));
    run.interrupt(SIGINT);
    ASSERT_TRUE(run.expectOutput(stopWarning));
    run.interrupt(SIGINT);
    ASSERT_TRUE(run.expectOutput("\n\tUpload stopped: "));
    ASSERT_TRUE(run.expectExit(130));
    expectReportMatchesWire(run, "\n\tUpload stopped: ");
    EXPECT_EQ(run.wire().find("close"), std::string::npos);
    EXPECT_TRUE(logged(run, "sendFirmware(): stopped by the operator after ")) << run.log();
    EXPECT_TRUE(run.logEndsWithExitLine());
}

TEST(Firmware, CtrlCOnceOnlyWarnsAndTheUploadGoesOn) {
    ShedmateRun run(slowly());
    ASSERT_TRUE(startSlowUpload(run));
    run.interrupt(SIGINT);
    ASSERT_TRUE(run.expectOutput(stopWarning));
    ASSERT_TRUE(run.expectWire(firmwareCommand(slowImage) + imageOf(slowImage)));
    run.send("<ready>\r\n");
    ASSERT_TRUE(run.expectOutput(" s; the loom acknowledged it.\n"));
    // The warned Ctrl-C does not end the run afterwards.
    ASSERT_TRUE(run.expectOutput(menuPrompt));
    ASSERT_TRUE(run.expectReadingInput());
    ASSERT_TRUE(quitCleanly(run));
}

TEST(Firmware, HangUpMidImageLetsTheImageFinishThenEndsWith129) {
    ShedmateRun run(slowly());
    ASSERT_TRUE(startSlowUpload(run));
    run.interrupt(SIGHUP);
    // The controller never answers: the run still ends, with the whole image
    // sent before anything else.
    ASSERT_TRUE(run.expectExit(129, 15000));
    const std::string upload = firmwareCommand(slowImage) + imageOf(slowImage);
    std::string sent = run.wire().substr(loginBytes);
    EXPECT_TRUE(sent == upload || sent == upload + "close\n")
        << sent.size() << " bytes after the login";
    EXPECT_TRUE(run.logEndsWithExitLine());
}

} // namespace
} // namespace e2e
