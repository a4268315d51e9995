#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <string>
#include <thread>
#include <utility>

#include "base/log.h"
#include "base/state.h"
#include "console/chooser.h"
#include "console/menu.h"
#include "link/connection.h"
#include "link/queue.h"
#include "link/reader.h"
#include "protocol/messages.h"
#include "protocol/settings.h"
#include "support/fake_driver.h"
#include "support/session.h"

namespace {

const std::string scanning = "\tScanning for networks\u2026\n";
const std::string heading = "\tAvailable networks:\n";
const std::string prompt = "\tOr enter 'a' for apply, or 'q' for quit, or 's' for scan: ";

using Net = std::pair<const char*, const char*>; // ssid, encrypt

void setScan(std::initializer_list<Net> nets) {
    std::lock_guard<std::mutex> lock(settingsMutex);
    int k = 0;
    for (const Net& n : nets) {
        copyField(loomSettings.netInfos[k].ssid, n.first);
        copyField(loomSettings.netInfos[k].encrypt, n.second);
        ++k;
    }
    loomSettings.netCount = k;
}

std::string listing(std::initializer_list<const char*> ssids) {
    if (ssids.size() == 0)
        return scanning + "\tNo networks found.\n" + prompt;
    std::string s = scanning + heading;
    int k = 1;
    for (const char* ssid : ssids)
        s += "\t\t[" + std::to_string(k++) + "] " + ssid + "\n";
    return s + prompt;
}

std::string passphrasePrompt(const std::string& ssid) {
    return "\n\tThe network you have chosen (" + ssid + ") requires a passphrase\n\tPassphrase: ";
}

class NetworkChooser : public ::testing::Test {
  protected:
    void SetUp() override {
        resetProgramState();
        ASSERT_TRUE(logOpen());
        fake::setDevices({fake::Device{"FT245R USB FIFO"}});
        ASSERT_EQ(openDevice(), FT_OK);
        std::strcpy(loomSettings.ssid, "Current Net");
        std::strcpy(loomSettings.encryption, "WPA");
        std::strcpy(loomSettings.passphrase, "old secret");
        // A controller that acknowledges the scan at once.
        fake::setResponder([](const std::string& line) {
            if (line == "<wifiscan/>") {
                clearToSend = 1;
                scanState = scanIdle;
            }
        });
        scanGiveUpMs = 2000;
    }
    void TearDown() override {
        scanGiveUpMs = 10000;
        if (readerStarted)
            closeLoom();
        logClose();
    }

    // Each answer is given in a run of its own: a quit ends the one it is in.
    int choose() {
        resetAppState();
        appState = state::chooseNetwork;
        chooseNetwork();
        return appState.load();
    }

    void expectWifiUnchanged() {
        EXPECT_STREQ(loomSettings.ssid, "Current Net");
        EXPECT_STREQ(loomSettings.encryption, "WPA");
        EXPECT_STREQ(loomSettings.passphrase, "old secret");
        EXPECT_EQ(loomSettings.wifiConfigChanged.load(), 0);
    }

    bool readerStarted = false;
};

TEST_F(NetworkChooser, ListsTheTableAndAsksForAScan) {
    setScan({{"Alpha", "WPA2"}, {"Beta Net", "NONE"}, {"Gamma", "WEP"}});
    ConsoleCapture console("0\n");
    EXPECT_EQ(choose(), state::showStatus);
    // '0' is no entry: nothing printed after the prompt, nothing changed.
    EXPECT_EQ(console.output(), listing({"Alpha", "Beta Net", "Gamma"}));
    expectWifiUnchanged();
    EXPECT_EQ(fake::written(), "<wifiscan/>\n");
}

TEST_F(NetworkChooser, EmptyTableListsNothing) {
    for (const char* answer : {"1\n", "0\n"}) {
        SCOPED_TRACE(answer);
        ConsoleCapture console(answer);
        EXPECT_EQ(choose(), state::showStatus);
        EXPECT_EQ(console.output(), listing({}));
        expectWifiUnchanged();
    }
}

TEST_F(NetworkChooser, NumbersAreReadAsAtoiDoes) {
    setScan({{"Net1", "NONE"},
             {"Net2", "NONE"},
             {"Net3", "NONE"},
             {"Net4", "NONE"},
             {"Net5", "NONE"},
             {"Net6", "NONE"},
             {"Net7", "NONE"},
             {"Net8", "NONE"}});
    for (const auto& [answer, ssid] :
         {Net{"07\n", "Net7"}, Net{"2x\n", "Net2"}, Net{"8\n", "Net8"}, Net{"1\n", "Net1"}}) {
        SCOPED_TRACE(answer);
        loomSettings.wifiConfigChanged = 0;
        ConsoleCapture console(answer);
        EXPECT_EQ(choose(), state::showStatus);
        EXPECT_STREQ(loomSettings.ssid, ssid);
        EXPECT_EQ(loomSettings.wifiConfigChanged.load(), 1);
    }
    std::strcpy(loomSettings.ssid, "Current Net");
    std::strcpy(loomSettings.encryption, "WPA");
    std::strcpy(loomSettings.passphrase, "old secret");
    loomSettings.wifiConfigChanged = 0;
    for (const char* answer : {"0\n", "9\n", "10\n", "00\n"}) {
        SCOPED_TRACE(answer);
        ConsoleCapture console(answer);
        EXPECT_EQ(choose(), state::showStatus);
        EXPECT_EQ(console.output(),
                  listing({"Net1", "Net2", "Net3", "Net4", "Net5", "Net6", "Net7", "Net8"}));
        expectWifiUnchanged();
    }
}

TEST_F(NetworkChooser, AnswersThatAreNoDigit) {
    setScan({{"Alpha", "NONE"}, {"Beta", "NONE"}});
    // Unlike the main menu, a leading blank is not skipped.
    for (const char* answer : {" 2\n", "\n", "x\n", "A\n", "+1\n"}) {
        SCOPED_TRACE(answer);
        ConsoleCapture console(answer);
        EXPECT_EQ(choose(), state::showStatus);
        EXPECT_EQ(console.output(),
                  listing({"Alpha", "Beta"}) + "\n\tCommand not understood: " + answer + "\n");
        expectWifiUnchanged();
    }
}

TEST_F(NetworkChooser, QuitScanApplyAndEndOfInput) {
    setScan({{"Alpha", "NONE"}});
    const struct {
        const char* answer;
        int state;
    } cases[] = {{"q\n", state::quit},
                 {"s\n", state::chooseNetwork},
                 {"a\n", state::apply},
                 {"", state::quit}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        ConsoleCapture console(c.answer);
        EXPECT_EQ(choose(), c.state);
        EXPECT_EQ(console.output(), listing({"Alpha"}));
        expectWifiUnchanged();
    }
    // Every run asks for a scan of its own.
    EXPECT_EQ(countOf(fake::written(), "<wifiscan/>\n"), 4);
}

TEST_F(NetworkChooser, OpenNetworkTakesItsOwnKindAndNoPassphrase) {
    setScan({{"Alpha", "WPA2"}, {"Beta Net", "NONE"}, {"Gamma", "NONEX"}});
    struct Open {
        const char* answer;
        const char* ssid;
        const char* kind;
    };
    for (const auto& [answer, ssid, kind] :
         {Open{"2\n", "Beta Net", "NONE"}, Open{"3\n", "Gamma", "NONEX"}}) {
        SCOPED_TRACE(answer);
        logOpen();
        loomSettings.wifiConfigChanged = 0;
        ConsoleCapture console(answer);
        EXPECT_EQ(choose(), state::showStatus);
        EXPECT_EQ(console.output(), listing({"Alpha", "Beta Net", "Gamma"}));
        EXPECT_STREQ(loomSettings.ssid, ssid);
        EXPECT_EQ(loomSettings.wifiConfigChanged.load(), 1);
        EXPECT_STREQ(loomSettings.encryption, kind);
        EXPECT_STREQ(loomSettings.passphrase, "");
        const std::string log = readLog();
        EXPECT_TRUE(contains(log, std::string("set ssid: ") + ssid + "\n"));
        EXPECT_TRUE(lacks(log, "set passphrase"));
    }
    EXPECT_EQ(loomSettings.hostnameChanged.load(), 0);
    EXPECT_EQ(loomSettings.wifiChanged.load(), 0);
}

TEST_F(NetworkChooser, EncryptedNetworkTakesKindAndPassphrase) {
    // Anything that does not begin with "NONE" is encrypted, case counts.
    for (const char* kind : {"WPA2", "none", ""}) {
        SCOPED_TRACE(std::string("kind '") + kind + "'");
        logOpen();
        setScan({{"Open", "NONE"}, {"Alpha", kind}});
        std::strcpy(loomSettings.ssid, "Current Net");
        loomSettings.wifiConfigChanged = 0;
        ConsoleCapture console("2\ncorrect horse 9\r\n");
        EXPECT_EQ(choose(), state::showStatus);
        EXPECT_EQ(console.output(), listing({"Open", "Alpha"}) + passphrasePrompt("Alpha"));
        EXPECT_STREQ(loomSettings.ssid, "Alpha");
        EXPECT_STREQ(loomSettings.encryption, kind);
        EXPECT_STREQ(loomSettings.passphrase, "correct horse 9");
        EXPECT_EQ(loomSettings.wifiConfigChanged.load(), 1);
        const std::string log = readLog();
        EXPECT_TRUE(contains(log, "set ssid: Alpha\n"));
        EXPECT_TRUE(contains(log, "set passphrase: ********\n"));
        EXPECT_TRUE(lacks(log, "correct horse"));
    }
}

TEST_F(NetworkChooser, ChoosingTheCurrentNetworkAsksAgain) {
    setScan({{"Current Net", "WPA"}});
    ConsoleCapture console("1\nnew secret\n");
    EXPECT_EQ(choose(), state::showStatus);
    EXPECT_TRUE(contains(console.output(), passphrasePrompt("Current Net")));
    EXPECT_STREQ(loomSettings.passphrase, "new secret");
    EXPECT_EQ(loomSettings.wifiConfigChanged.load(), 1);
}

TEST_F(NetworkChooser, PassphraseOfFortyEightCharactersAtMost) {
    setScan({{"Alpha", "WPA2"}});
    const std::string longest(48, 'p');
    // One more is refused and asked for again.
    ConsoleCapture console("1\n" + longest + "q\n" + longest + "\n");
    EXPECT_EQ(choose(), state::showStatus);
    EXPECT_EQ(std::string(loomSettings.passphrase), longest);
    EXPECT_EQ(countOf(console.output(), "Passphrase: "), 2);
    EXPECT_TRUE(contains(console.output(), "may be at most 48 characters"));
}

TEST_F(NetworkChooser, APassphraseTheLoomCannotUseIsAskedForAgain) {
    struct Case {
        const char* kind;
        const char* typed;
        const char* refusal; // nullptr: taken
    };
    const char unsafe[] = "\n\tNot changed: a value may not contain";
    const Case cases[] = {
        {"WPA2", "1\npass\"word\n", unsafe},
        {"WPA2", "1\npass>word\n", unsafe},
        {"WPA", "1\nwordy77\n", "\n\tA WPA passphrase has at least 8 characters; type it again"},
        // The rule is WPA's alone.
        {"WEP", "1\nwordy77\n", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        resetLoomSettings();
        std::strcpy(loomSettings.ssid, "Current Net");
        std::strcpy(loomSettings.encryption, "WPA");
        std::strcpy(loomSettings.passphrase, "old secret");
        setScan({{"Alpha", c.kind}});
        logOpen();
        ConsoleCapture console(c.typed);
        EXPECT_EQ(choose(), state::showStatus);
        const std::string out = console.output();
        const std::string asked = listing({"Alpha"}) + passphrasePrompt("Alpha");
        ASSERT_EQ(out.rfind(asked, 0), 0u) << out;
        const std::string message = out.substr(asked.size());
        if (!c.refusal) {
            EXPECT_STREQ(loomSettings.passphrase, "wordy77");
            continue;
        }
        EXPECT_EQ(message.rfind(c.refusal, 0), 0u) << message;
        EXPECT_TRUE(lacks(message, "word"));
        EXPECT_EQ(countOf(message, "Passphrase: "), 1) << message;
        expectWifiUnchanged();
        const std::string log = readLog();
        EXPECT_TRUE(lacks(log, "set ssid"));
        EXPECT_TRUE(lacks(log, "word"));
    }
}

TEST_F(NetworkChooser, EmptyLineOrEndOfInputAtPassphraseCancels) {
    setScan({{"Alpha", "WPA2"}});
    for (const char* typed : {"1\n", "1\n\n"}) {
        SCOPED_TRACE(typed);
        ConsoleCapture console(typed);
        EXPECT_EQ(choose(), state::showStatus);
        expectWifiUnchanged();
        EXPECT_EQ(countOf(console.output(), "Passphrase: "), 1);
    }
}

TEST_F(NetworkChooser, PicksFromTheListItPrinted) {
    setScan({{"Alpha", "NONE"}, {"Beta", "NONE"}});
    ConsolePipe console;
    appState = state::chooseNetwork;
    std::thread dialog(chooseNetwork);
    ASSERT_TRUE(console.waitForOutput(prompt));
    // A late scan reply rewrites the table while the operator types.
    setScan({{"Gamma", "NONE"}, {"Delta", "NONE"}, {"Epsilon", "NONE"}});
    console.type("2\n");
    dialog.join();
    EXPECT_EQ(appState.load(), state::showStatus);
    EXPECT_STREQ(loomSettings.ssid, "Beta");
}

TEST_F(NetworkChooser, ScanRepliesArrivingDuringTheWaitAreListed) {
    setScan({{"Stale1", "NONE"}, {"Stale2", "NONE"}, {"Stale3", "NONE"}});
    fake::setResponder([](const std::string& line) {
        if (line == "<wifiscan/>")
            fake::pushRx("<ready><wifiscan><net=\"Alpha,-40,WPA2\"/><net=\"Beta Net,-71,NONE\"/>");
    });
    setMessageHandler(processMsg);
    ASSERT_EQ(openLoom(), FT_OK);
    readerStarted = true;

    ConsoleCapture console("1\nopen sesame\n");
    EXPECT_EQ(choose(), state::showStatus);
    EXPECT_EQ(console.output(), listing({"Alpha", "Beta Net"}) + passphrasePrompt("Alpha"));
    EXPECT_STREQ(loomSettings.ssid, "Alpha");
    EXPECT_STREQ(loomSettings.encryption, "WPA2");
    EXPECT_STREQ(loomSettings.passphrase, "open sesame");
}

} // namespace
