// Reading the controller's messages into the settings record and the
// conversation flags.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "base/log.h"
#include "base/state.h"
#include "link/connection.h"
#include "link/queue.h"
#include "protocol/messages.h"
#include "protocol/settings.h"
#include "support/fake_driver.h"
#include "support/session.h"

namespace {

class Messages : public ::testing::Test {
  protected:
    void SetUp() override {
        resetProgramState();
        logOpen();
        fake::setDevices({{"FT245R USB FIFO"}});
        ASSERT_EQ(openDevice(), FT_OK);
    }
    void TearDown() override {
        closeLoom();
        logClose();
    }
};

LoomSettings& s = loomSettings;

TEST_F(Messages, AttributeValueIsTheTextBetweenTheQuotes) {
    char field[16];
    getAttrValue("<hostname=\"LOOM-7\">", field, sizeof field);
    EXPECT_STREQ(field, "LOOM-7");
    getAttrValue("<a b=\"one\" c=\"two\">", field, sizeof field);
    EXPECT_STREQ(field, "one");
    // No closing quote: up to the end of the message.
    getAttrValue("<state=\"IDLE>", field, sizeof field);
    EXPECT_STREQ(field, "IDLE>");
    getAttrValue("<hostname=>", field, sizeof field);
    EXPECT_STREQ(field, "");

    // Too long for the field: cut, terminated, and nothing written past it.
    char guarded[12];
    std::memset(guarded, '#', sizeof guarded);
    getAttrValue("<ssid=\"ABCDEFGHIJKLMNOP\">", guarded, 8);
    EXPECT_STREQ(guarded, "ABCDEFG");
    EXPECT_EQ(std::string(guarded + 8, 4), "####");
}

TEST_F(Messages, BannerGivesNameAndVersion) {
    s.hostnameChanged = 1;
    parseBanner("<Weftrix loom controller: LOOM-7, 4.5v2.18>");
    EXPECT_STREQ(s.hostname, "LOOM-7");
    EXPECT_STREQ(s.version, "2.18");
    EXPECT_EQ(s.hostnameChanged.load(), 0);

    // No comma after the name: the rest of the message is the name.
    parseBanner("<Password: SHED>");
    EXPECT_STREQ(s.hostname, "SHED>");
    EXPECT_STREQ(s.version, "2.18");

    // Without ": " the name and its edit are left alone.
    s.hostnameChanged = 1;
    parseBanner("<Weftrix 4.5v3.0>");
    EXPECT_STREQ(s.hostname, "SHED>");
    EXPECT_EQ(s.hostnameChanged.load(), 1);
    EXPECT_STREQ(s.version, "3.0");

    parseBanner("<Weftrix: L, 4.5v12345678901234567890123>");
    EXPECT_STREQ(s.version, "1234567890123456789");
    std::string longName(100, 'n');
    parseBanner(("<Weftrix: " + longName + ", 4.5v1>").c_str());
    EXPECT_EQ(std::string(s.hostname), longName.substr(0, sizeof s.hostname - 1));
}

TEST_F(Messages, ScanResultsFillTheNetworkTable) {
    addNetInfo("Shed Net,-61,WPA2");
    addNetInfo(" Barn ,-70, WPA2 ,extra");
    addNetInfo("OneComma,-40");
    addNetInfo("NoComma");
    addNetInfo("123456789012345678901234567890123456,-1,WPA2-ENTERPRISE");
    addNetInfo("Loft,strong,WPA");
    ASSERT_EQ(s.netCount, 6);
    EXPECT_STREQ(s.netInfos[0].ssid, "Shed Net");
    EXPECT_STREQ(s.netInfos[0].encrypt, "WPA2");
    EXPECT_STREQ(s.netInfos[1].ssid, " Barn ");
    EXPECT_STREQ(s.netInfos[1].encrypt, "WPA2");
    EXPECT_STREQ(s.netInfos[2].ssid, "OneComma");
    EXPECT_STREQ(s.netInfos[2].encrypt, "");
    EXPECT_STREQ(s.netInfos[3].ssid, "NoComma");
    EXPECT_STREQ(s.netInfos[3].encrypt, "");
    EXPECT_STREQ(s.netInfos[4].ssid, "12345678901234567890123456789012");
    EXPECT_STREQ(s.netInfos[4].encrypt, "WPA2-ENTE");
    // The signal is the second field when it is a whole number.
    EXPECT_TRUE(s.netInfos[0].signalKnown);
    EXPECT_EQ(s.netInfos[0].signal, -61);
    EXPECT_EQ(s.netInfos[1].signal, -70);
    EXPECT_FALSE(s.netInfos[3].signalKnown);
    EXPECT_FALSE(s.netInfos[5].signalKnown);
    EXPECT_NE(readLog().find("netInfos[1].encrypt: WPA2 - WPA2\n"), std::string::npos);
}

TEST_F(Messages, ScanOfMoreThanTwentyKeepsTheFirstTwenty) {
    processMsg("<wifiscan/>");
    for (int i = 0; i < 25; ++i)
        processMsg(("<net=\"net" + std::to_string(i) + ",-50,NONE\">").c_str());
    ASSERT_EQ(s.netCount, 20);
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(std::string(s.netInfos[i].ssid), "net" + std::to_string(i));
    EXPECT_NE(readLog().find("more than 20 networks"), std::string::npos);

    // A new scan starts the table over.
    processMsg("<wifiscan/>");
    processMsg("<net=\"fresh,-1,NONE\">");
    EXPECT_EQ(s.netCount, 1);
    EXPECT_STREQ(s.netInfos[0].ssid, "fresh");
}

struct ValueRow {
    const char* message;
    char* field;
    std::atomic<int>* flag;
};

TEST_F(Messages, EachReportedValueGoesToItsFieldAndClearsItsEdit) {
    const ValueRow rows[] = {
        {"<hostname=\"LOOM-7\">", s.hostname, &s.hostnameChanged},
        {"<state=\"CONNECTED\">", s.stateText, nullptr},
        {"<dhcp=\"DHCP_ON\">", s.dhcp, &s.dhcpChanged},
        {"<wifi=\"WIFI_ON\">", s.wifi, &s.wifiChanged},
        {"<current=\"10.0.0.7\">", s.currentAddress, nullptr},
        {"<static=\"10.0.0.50\">", s.staticAddress, &s.staticChanged},
        {"<ssid=\"ShedNet\">", s.ssid, &s.wifiConfigChanged},
        {"<encryption=\"WPA2\">", s.encryption, nullptr},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.message);
        if (row.flag)
            *row.flag = 1;
        processMsg(row.message);
        std::string expected = row.message;
        expected = expected.substr(expected.find('"') + 1);
        expected.resize(expected.find('"'));
        EXPECT_EQ(std::string(row.field), expected);
        if (row.flag) {
            EXPECT_EQ(row.flag->load(), 0);
        }
    }
    // "<wifi=" and "<static" each touch their own field only.
    EXPECT_STREQ(s.stateText, "CONNECTED");
    EXPECT_STREQ(s.wifi, "WIFI_ON");
    // A value without =" empties its field.
    processMsg("<hostname>");
    EXPECT_STREQ(s.hostname, "");
}

TEST_F(Messages, StatusHeadersEmptyTheirOwnFieldsAndTheCloserShowsTheScreen) {
    for (char* f : {s.hostname, s.stateText, s.dhcp, s.wifi, s.currentAddress, s.staticAddress,
                    s.ssid, s.encryption, s.passphrase, s.version})
        std::strcpy(f, "x");
    setAppState(state::idle);

    processMsg("<wifistatus anything>");
    EXPECT_STREQ(s.ssid, "");
    EXPECT_STREQ(s.encryption, "");
    EXPECT_STREQ(s.passphrase, "");
    EXPECT_STREQ(s.wifi, "x");
    EXPECT_EQ(appState.load(), state::idle);

    std::strcpy(s.ssid, "kept");
    processMsg("</wifistatus>");
    EXPECT_EQ(appState.load(), state::showStatus);
    EXPECT_STREQ(s.ssid, "kept");

    processMsg("<netstatus/>");
    for (char* f : {s.hostname, s.stateText, s.dhcp, s.wifi, s.currentAddress, s.staticAddress})
        EXPECT_STREQ(f, "");
    EXPECT_STREQ(s.ssid, "kept");
    EXPECT_STREQ(s.version, "x");
}

TEST_F(Messages, ReadyEndsTheWaitOnlyOnceNetupHasLeft) {
    // Outside the wait it only acknowledges.
    clearToSend = 0;
    setAppState(state::showStatus);
    processMsg("<ready>");
    EXPECT_EQ(clearToSend.load(), 1);
    EXPECT_EQ(appState.load(), state::showStatus);
    EXPECT_EQ(fake::written(), "");

    // "<netup/>" still queued.
    clearToSend = 0;
    setAppState(state::pleaseWait);
    applyStage = ApplyStage::configSent;
    processMsg("<ready>");
    EXPECT_EQ(appState.load(), state::pleaseWait);
    EXPECT_EQ(fake::written(), "");
    EXPECT_EQ(readLog().find("clearing wait"), std::string::npos);

    applyStage = ApplyStage::upSent;
    processMsg("<ready>");
    EXPECT_EQ(appState.load(), state::idle);
    EXPECT_EQ(fake::written(), "<netstatus/>\n");
    EXPECT_EQ(queuedCount(), 1u);
    EXPECT_NE(readLog().find("clearing wait\n"), std::string::npos);
    processMsg("<ready>");
    EXPECT_EQ(fake::written(), "<netstatus/>\n<wifistatus/>\n");
}

TEST_F(Messages, OnlyTheAcknowledgementsLetTheNextMessageGo) {
    clearToSend = 0;
    for (const char* m : {"m1", "m2", "m3", "m4", "m5"})
        queueMsg(m);
    for (const char* other : {"<hostname=\"A\">", "<netstatus/>", "<unknown>", "<net=\"a,b,c\">",
                              "<wifiscan/>", "ready>"}) {
        processMsg(other);
        EXPECT_EQ(clearToSend.load(), 0) << other;
    }
    EXPECT_EQ(fake::written(), "");

    size_t sent = 0;
    for (const char* ackMsg : {"<ready>", "<error bad command>", "<please wait>",
                               "<Weftrix loom controller: L, 4.5v1>"}) {
        processMsg(ackMsg);
        EXPECT_EQ(fake::writeCalls().size(), ++sent) << ackMsg;
        EXPECT_EQ(clearToSend.load(), 0) << ackMsg;
    }
    EXPECT_EQ(fake::written(), "m1\nm2\nm3\nm4\n");
}

TEST_F(Messages, EveryMessageEndsBySendingWhatIsReady) {
    clearToSend = 0;
    queueMsg("<netstatus/>");
    // Cleared and set again without a send, as a racing thread might leave it.
    clearToSend = 1;
    processMsg("<something the program does not know>");
    EXPECT_EQ(fake::written(), "<netstatus/>\n");
}

TEST_F(Messages, PasswordPromptLogsInAndAsksForTheStatus) {
    s.hostnameChanged = 1;
    setAppState(state::startUp);
    processMsg("<Password: LOOM-7, 4.5v2.18>");
    EXPECT_STREQ(s.hostname, "LOOM-7");
    EXPECT_STREQ(s.version, "2.18");
    EXPECT_EQ(s.hostnameChanged.load(), 0);
    EXPECT_EQ(appState.load(), state::idle);
    EXPECT_EQ(fake::written(), "tulip\n");
    processMsg("<ready>");
    processMsg("<ready>");
    EXPECT_EQ(fake::written(), "tulip\n<netstatus/>\n<wifistatus/>\n");
}

TEST_F(Messages, ClosingConnectionDropsTheQueueAndEndsTheRun) {
    clearToSend = 0;
    setAppState(state::showStatus);
    queueMsg("<netdown/>");
    queueMsg("<netup/>");
    processMsg("<closing connection>");
    EXPECT_EQ(appState.load(), state::exit);
    EXPECT_EQ(queuedCount(), 0u);
    EXPECT_EQ(clearToSend.load(), 1);
    EXPECT_EQ(fake::written(), "");
}

TEST_F(Messages, EveryMessageIsLoggedWithItsTime) {
    processMsg("<state=\"IDLE\">");
    processMsg("<nothing known>");
    std::string log = unstamped(readLog());
    EXPECT_NE(log.find("\n[N] processMsg(): <state=\"IDLE\">\n[N] processMsg(): <nothing known>\n"),
              std::string::npos)
        << log;
}

} // namespace
