#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "base/log.h"
#include "base/state.h"
#include "console/menu.h"
#include "protocol/firmware.h"
#include "protocol/settings.h"
#include "support/session.h"

namespace {

const std::string menuPrompt = "\n\tEnter the number of the field you would like to change\n"
                               "\tOr enter 'a' for apply, 'q' for quit: ";

std::string blanks(size_t n) {
    return std::string(n, ' ');
}

class StatusMenu : public ::testing::Test {
  protected:
    void SetUp() override {
        resetProgramState();
        ASSERT_TRUE(logOpen());
    }
    void TearDown() override { logClose(); }

    // One menu question; the state it leaves, starting from idle as the main
    // loop hands it over.
    // Each answer is given in a run of its own: a quit ends the one it is in.
    int ask() {
        resetAppState();
        appState = state::idle;
        readCommand();
        return appState.load();
    }
};

TEST_F(StatusMenu, EmptyRecordScreen) {
    ConsoleCapture console;
    displayStatus();
    const std::string expected =
        "\n\n\t\t\tCurrent Status\n" + blanks(15) + "Current State: \n" + blanks(13) +
        "Current Address: \n" + "\n" + blanks(15) + "Loom Name [1]:  - Version: \n" + blanks(9) +
        "Enable Wireless [2]: \n" + blanks(12) + "Network Name [3]: \n" + blanks(2) +
        "Acquire Address (DHCP) [4]: \n" + blanks(10) + "Static Address [5]: \n";
    EXPECT_EQ(console.output(), expected);
}

TEST_F(StatusMenu, FullRecordScreenAndLogLine) {
    {
        std::lock_guard<std::mutex> lock(settingsMutex);
        copyField(loomSettings.stateText, "Connected to Mill Floor");
        copyField(loomSettings.currentAddress, "192.168.4.17");
        copyField(loomSettings.hostname, "Weaver 7");
        copyField(loomSettings.version, "2.31b");
        copyField(loomSettings.wifi, "WIFI_ON");
        copyField(loomSettings.ssid, "Mill Floor");
        copyField(loomSettings.encryption, "WPA2");
        copyField(loomSettings.passphrase, "not-on-screen");
        copyField(loomSettings.dhcp, "DHCP_OFF");
        copyField(loomSettings.staticAddress, "10.0.0.9");
    }
    ConsoleCapture console;
    displayStatus();
    const std::string out = console.output();
    const std::string expected =
        "\n\n\t\t\tCurrent Status\n" + blanks(15) + "Current State: Connected to Mill Floor\n" +
        blanks(13) + "Current Address: 192.168.4.17\n" + "\n" + blanks(15) +
        "Loom Name [1]: Weaver 7 - Version: 2.31b\n" + blanks(9) +
        "Enable Wireless [2]: WIFI_ON\n" + blanks(12) + "Network Name [3]: Mill Floor\n" +
        blanks(2) + "Acquire Address (DHCP) [4]: DHCP_OFF\n" + blanks(10) +
        "Static Address [5]: 10.0.0.9\n";
    EXPECT_EQ(out, expected);
    EXPECT_TRUE(lacks(out, "WPA2"));
    EXPECT_TRUE(lacks(out, "not-on-screen"));

    // Every label's colon lines up in column 29.
    std::istringstream lines(out);
    std::string line;
    int labelled = 0;
    while (std::getline(lines, line)) {
        if (line.find(':') == std::string::npos)
            continue;
        ++labelled;
        EXPECT_EQ(line.find(':'), 28u) << line;
    }
    EXPECT_EQ(labelled, 7);

    displayStatus();
    const std::string log = readLog();
    EXPECT_TRUE(std::regex_search(log, std::regex(R"((^|\n)\[\d+\] displayStatus\(\)\n)"))) << log;
    EXPECT_EQ(countOf(log, "displayStatus()"), 2);
}

TEST_F(StatusMenu, NumberedEntriesChooseTheirStates) {
    const struct {
        const char* answer;
        int state;
    } cases[] = {
        {"1\n", state::editName},       {"2\n", state::toggleWifi},
        {"3\n", state::chooseNetwork},  {"4\n", state::toggleDhcp},
        {"5\n", state::editStatic},     {"03\n", state::chooseNetwork},
        {"+3\n", state::chooseNetwork}, {"3x\n", state::chooseNetwork},
        {" 3\n", state::chooseNetwork},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        ConsoleCapture console(c.answer);
        EXPECT_EQ(ask(), c.state);
        EXPECT_EQ(console.output(), menuPrompt);
    }
}

TEST_F(StatusMenu, ApplyAndQuitGoByFirstCharacterOnly) {
    const struct {
        const char* answer;
        int state;
    } cases[] = {
        {"a\n", state::apply}, {"ab\n", state::apply}, {"q\n", state::quit}, {"q5\n", state::quit}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        ConsoleCapture console(c.answer);
        EXPECT_EQ(ask(), c.state);
        EXPECT_EQ(console.output(), menuPrompt);
    }
}

TEST_F(StatusMenu, UnrecognisedAnswersAreEchoedWithTheirLineEnd) {
    for (const char* answer : {"0\n", "6\n", "-1\n", "A\n", "Q\n", "\n", "x\n", "99\n"}) {
        SCOPED_TRACE(answer);
        ConsoleCapture console(answer);
        EXPECT_EQ(ask(), state::showStatus);
        EXPECT_EQ(console.output(), menuPrompt + "\n\tCommand not understood: " + answer + "\n");
    }
}

TEST_F(StatusMenu, EndOfInputQuits) {
    {
        ConsoleCapture console("");
        EXPECT_EQ(ask(), state::quit);
        EXPECT_EQ(console.output(), menuPrompt);
    }
    // A last answer without a line end is still an answer.
    {
        ConsoleCapture console("4");
        EXPECT_EQ(ask(), state::toggleDhcp);
        EXPECT_EQ(ask(), state::quit);
    }
}

// The menu's part of an upload: the file name, then the confirmation of an
// image that could be read.
class FirmwareMenu : public StatusMenu {
  protected:
    void SetUp() override {
        StatusMenu::SetUp();
        std::filesystem::create_directory("images");
        for (const std::string& name :
             {std::string("images/loom-2.4.bin"), std::string("fw.bin"), std::string(118, 'n')})
            std::ofstream(name, std::ios::binary) << "image";
    }
    void TearDown() override {
        dropFirmware();
        std::filesystem::remove_all("images");
        std::remove("fw.bin");
        std::remove(std::string(118, 'n').c_str());
        StatusMenu::TearDown();
    }
};

TEST_F(FirmwareMenu, AnswerAsksForTheFileNameThenConfirmation) {
    ConsoleCapture console("f\nimages/loom-2.4.bin\ny\n");
    EXPECT_EQ(ask(), state::firmware);
    EXPECT_EQ(firmwareFile(), "images/loom-2.4.bin");
    EXPECT_EQ(console.output(), menuPrompt + "\n\tFirmware image file: " +
                                    "\n\tSend images/loom-2.4.bin (5 bytes) to the loom ? Type y "
                                    "to send: ");
}

TEST_F(FirmwareMenu, AnswerNeverTakesItsOwnRestAsTheFileName) {
    // "firmware" is read as "fir": "mware" must not become the image to send.
    ConsoleCapture console("firmware\nfw.bin\nyes\n");
    EXPECT_EQ(ask(), state::firmware);
    EXPECT_EQ(firmwareFile(), "fw.bin");
}

TEST_F(FirmwareMenu, FileNameAndConfirmationEdgeCases) {
    // An empty name sends nothing.
    for (const char* input : {"f\n\n", "f\r\n\r\n"}) {
        SCOPED_TRACE(input);
        ConsoleCapture console(input);
        std::strcpy(firmwarePath, "stale\n");
        EXPECT_EQ(ask(), state::showStatus);
        EXPECT_STREQ(firmwarePath, "");
    }
    // A CRLF line end is not part of the name.
    {
        ConsoleCapture console("f\nfw.bin\r\ny\r\n");
        EXPECT_EQ(ask(), state::firmware);
        EXPECT_EQ(firmwareFile(), "fw.bin");
    }
    // Anything but y or yes declines.
    {
        ConsoleCapture console("f\nfw.bin\nY\nf\nfw.bin\nyes please\n2\n");
        EXPECT_EQ(ask(), state::showStatus);
        EXPECT_EQ(ask(), state::showStatus);
        EXPECT_EQ(firmwareSize(), 0u);
        EXPECT_EQ(ask(), state::toggleWifi);
    }
    // End of input at either prompt quits.
    for (const char* input : {"f\n", "f\nfw.bin\n"}) {
        SCOPED_TRACE(input);
        ConsoleCapture console(input);
        EXPECT_EQ(ask(), state::quit);
    }
}

TEST_F(FirmwareMenu, FileNameLengthLimit) {
    const std::string longest(118, 'n');
    {
        ConsoleCapture console("f\n" + longest + "\ny\n");
        EXPECT_EQ(ask(), state::firmware);
        EXPECT_EQ(firmwareFile(), longest);
    }
    // One more is refused, and the rest of that line must not answer the menu.
    {
        ConsoleCapture console("f\n" + longest + "q2\n3\n");
        EXPECT_EQ(ask(), state::showStatus);
        EXPECT_STREQ(firmwarePath, "");
        EXPECT_TRUE(
            contains(console.output(), "\n\tFile name too long (at most 118 characters)\n"));
        EXPECT_EQ(ask(), state::chooseNetwork);
    }
}

} // namespace
