#include <gtest/gtest.h>

#include <string>

#include "base/log.h"
#include "base/state.h"
#include "link/connection.h"
#include "link/queue.h"
#include "protocol/apply.h"
#include "protocol/messages.h"
#include "protocol/settings.h"
#include "support/fake_driver.h"
#include "support/session.h"

namespace {

class ApplyChanges : public ::testing::Test {
  protected:
    void SetUp() override {
        resetProgramState();
        ASSERT_TRUE(logOpen());
        fake::setDevices({fake::Device{"FT245R USB FIFO"}});
        ASSERT_EQ(openDevice(), FT_OK);
        std::lock_guard<std::mutex> lock(settingsMutex);
        copyField(loomSettings.hostname, "Weaver 7");
        copyField(loomSettings.dhcp, "DHCP_ON");
        copyField(loomSettings.wifi, "WIFI_OFF");
        copyField(loomSettings.staticAddress, "10.0.0.9");
        copyField(loomSettings.ssid, "Mill Floor");
        copyField(loomSettings.encryption, "WPA2");
    }
    void TearDown() override { logClose(); }

    static std::string netConfig() {
        std::lock_guard<std::mutex> lock(settingsMutex);
        return composeNetConfig();
    }
    static std::string wifiConfig() {
        std::lock_guard<std::mutex> lock(settingsMutex);
        return composeWifiConfig();
    }
    // The controller acknowledges the message in flight.
    static void ack() { processMsg("<ready>"); }
};

TEST_F(ApplyChanges, NetConfigAttributesInFixedOrder) {
    LoomSettings& s = loomSettings;
    EXPECT_EQ(netConfig(), "<netconfig />");

    s.staticChanged = 1;
    s.wifiChanged = 1;
    s.dhcpChanged = 1;
    s.hostnameChanged = 1;
    EXPECT_EQ(netConfig(), "<netconfig hostname=\"Weaver 7\" dhcp=\"DHCP_ON\" wifi=\"WIFI_OFF\" "
                           "address=\"10.0.0.9\" />");

    s.wifiChanged = 0;
    s.staticChanged = 0;
    EXPECT_EQ(netConfig(), "<netconfig hostname=\"Weaver 7\" dhcp=\"DHCP_ON\" />");

    s.hostnameChanged = 0;
    s.dhcpChanged = 0;
    s.staticChanged = 1;
    s.wifiChanged = 1;
    EXPECT_EQ(netConfig(), "<netconfig wifi=\"WIFI_OFF\" address=\"10.0.0.9\" />");

    // An emptied field is still sent, as an empty value.
    s.wifiChanged = 0;
    s.staticAddress[0] = '\0';
    EXPECT_EQ(netConfig(), "<netconfig address=\"\" />");
}

TEST_F(ApplyChanges, WifiConfigCarriesPassphraseOnlyWhenSet) {
    EXPECT_EQ(wifiConfig(), "<wificonfig ssid=\"Mill Floor\" encryption=\"WPA2\" />");
    copyField(loomSettings.passphrase, "open sesame");
    EXPECT_EQ(wifiConfig(),
              "<wificonfig ssid=\"Mill Floor\" encryption=\"WPA2\" passphrase=\"open sesame\" />");
    loomSettings.ssid[0] = '\0';
    loomSettings.encryption[0] = '\0';
    loomSettings.passphrase[0] = '\0';
    EXPECT_EQ(wifiConfig(), "<wificonfig ssid=\"\" encryption=\"\" />");
}

TEST_F(ApplyChanges, NothingChangedStillBracketsAndWaits) {
    ConsoleCapture console;
    applyChanges();
    EXPECT_EQ(console.output(), "\n\nPlease wait ");
    EXPECT_EQ(appState.load(), state::pleaseWait);
    EXPECT_EQ(applyStage.load(), ApplyStage::downSent);
    EXPECT_EQ(fake::written(), "<netdown/>\n");

    ack();
    EXPECT_EQ(fake::written(), "<netdown/>\n<netup/>\n");
    EXPECT_EQ(applyStage.load(), ApplyStage::upSent);
    EXPECT_EQ(appState.load(), state::pleaseWait);

    // The controller is back: the settings are asked for again.
    ack();
    EXPECT_EQ(appState.load(), state::idle);
    EXPECT_EQ(fake::written(), "<netdown/>\n<netup/>\n<netstatus/>\n");

    const std::string log = readLog();
    const std::string lines[] = {
        "applyChanges(): entered\n", "applyChanges(): no reason to send - <netconfig />\n",
        "applyChanges(): no reason to send wificonfig\n", "setting wait\n"};
    size_t at = 0;
    for (const std::string& line : lines) {
        size_t found = log.find(line, at);
        ASSERT_NE(found, std::string::npos) << "missing or out of order: " << line << log;
        at = found + line.size();
    }
    EXPECT_EQ(log.find("applyChanges(): sent"), std::string::npos);
}

// The answer to "<netdown/>": an acknowledgement, or a "<please wait>" the
// controller may send for it too.
class ApplyWait : public ApplyChanges, public testing::WithParamInterface<const char*> {};

TEST_P(ApplyWait, HoldsUntilTheReadyAfterNetup) {
    loomSettings.hostnameChanged = 1;
    loomSettings.dhcpChanged = 1;
    ConsoleCapture console;
    applyChanges();
    EXPECT_EQ(fake::written(), "<netdown/>\n");
    EXPECT_EQ(queuedCount(), 2u);

    processMsg(GetParam());
    const std::string netconfig = "<netconfig hostname=\"Weaver 7\" dhcp=\"DHCP_ON\" />\n";
    EXPECT_EQ(fake::written(), "<netdown/>\n" + netconfig);
    // "<netup/>" is still queued: this acknowledgement must not end the wait.
    ack();
    EXPECT_EQ(fake::written(), "<netdown/>\n" + netconfig + "<netup/>\n");
    EXPECT_EQ(appState.load(), state::pleaseWait);
    EXPECT_EQ(applyStage.load(), ApplyStage::upSent);

    processMsg("<please wait>");
    EXPECT_EQ(appState.load(), state::pleaseWait);
    ack();
    EXPECT_EQ(appState.load(), state::idle);
    EXPECT_EQ(fake::written(), "<netdown/>\n" + netconfig + "<netup/>\n<netstatus/>\n");
    EXPECT_NE(readLog().find("applyChanges(): sent - " + netconfig), std::string::npos);
    // Only the controller's report clears a flag.
    EXPECT_EQ(loomSettings.hostnameChanged.load(), 1);
    EXPECT_EQ(loomSettings.dhcpChanged.load(), 1);
}

INSTANTIATE_TEST_SUITE_P(NetdownAnswered, ApplyWait, testing::Values("<ready>", "<please wait>"),
                         [](const testing::TestParamInfo<const char*>& info) {
                             return std::string(info.index == 0 ? "Ready" : "PleaseWait");
                         });

// The run ends while "<netdown/>" still waits behind the message in flight;
// that message's answer lets it go before the quit closes the queue.
TEST_F(ApplyChanges, AQuitAfterNetdownLeftStillBringsTheNetworkUpBeforeClose) {
    loomSettings.hostnameChanged = 1;
    ConsoleCapture console;
    clearToSend = 0;
    applyChanges();
    ASSERT_EQ(applyStage.load(), ApplyStage::queued);
    setAppState(state::quit);
    ack();
    ASSERT_EQ(applyStage.load(), ApplyStage::downSent);

    closeMsgQueue("close");
    ack();
    ack();
    processMsg("<please wait>");
    EXPECT_EQ(fake::written(),
              "<netdown/>\n<netconfig hostname=\"Weaver 7\" />\n<netup/>\nclose\n");
}

TEST_F(ApplyChanges, WifiConfigGoesOutWithThePassphraseButTheLogMasksIt) {
    copyField(loomSettings.passphrase, "s3cret-pass");
    loomSettings.wifiConfigChanged = 1;
    loomSettings.staticChanged = 1;
    ConsoleCapture console;
    applyChanges();
    ack();
    ack();
    ack();
    const std::string wifi =
        "<wificonfig ssid=\"Mill Floor\" encryption=\"WPA2\" passphrase=\"s3cret-pass\" />\n";
    EXPECT_EQ(fake::written(),
              "<netdown/>\n<netconfig address=\"10.0.0.9\" />\n" + wifi + "<netup/>\n");
    EXPECT_EQ(loomSettings.wifiConfigChanged.load(), 1);

    const std::string log = readLog();
    EXPECT_EQ(log.find("s3cret"), std::string::npos) << log;
    const std::string masked =
        "<wificonfig ssid=\"Mill Floor\" encryption=\"WPA2\" passphrase=\"********\" />\n";
    EXPECT_NE(log.find("applyChanges(): sent - " + masked), std::string::npos) << log;
    // The byte count is the real message's; only the text is masked.
    EXPECT_TRUE(contains(unstamped(log),
                         "[N] sendMsgToLoom(): [" + std::to_string(wifi.size()) + "] " + masked));
}

TEST_F(ApplyChanges, ApplyingTwiceSendsTheSameChangesTwice) {
    loomSettings.hostnameChanged = 1;
    loomSettings.wifiConfigChanged = 1;
    ConsoleCapture console;
    applyChanges();
    ack();
    ack();
    ack(); // "<netup/>" is now in flight
    ASSERT_EQ(countOf(fake::written(), "<netup/>\n"), 1);

    // Applied again before any status report: the acknowledgement of the first
    // "<netup/>" lets the second round go, and must not end the new wait.
    applyChanges();
    EXPECT_EQ(applyStage.load(), ApplyStage::queued);
    for (int i = 0; i < 4; ++i) {
        ack();
        EXPECT_EQ(appState.load(), state::pleaseWait);
    }
    const std::string once = "<netdown/>\n<netconfig hostname=\"Weaver 7\" />\n"
                             "<wificonfig ssid=\"Mill Floor\" encryption=\"WPA2\" />\n<netup/>\n";
    EXPECT_EQ(fake::written(), once + once);
    EXPECT_EQ(countOf(console.output(), "Please wait "), 2);
}

} // namespace
