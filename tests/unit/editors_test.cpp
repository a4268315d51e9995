#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>

#include "base/log.h"
#include "base/state.h"
#include "console/editors.h"
#include "console/menu.h"
#include "protocol/settings.h"
#include "support/session.h"

namespace {

// The two text editors differ only in their prompt, field and log line.
struct Editor {
    const char* name;
    void (*run)();
    const char* prompt;
    char* field;
    std::atomic<int>* flag;
    const char* logPrefix;
};

Editor editors[] = {
    {"loom name", editLoomName, "\n\tNew Loom Name: ", loomSettings.hostname,
     &loomSettings.hostnameChanged, "set hostname: "},
    {"static address", editStaticAddress, "\n\tNew Static Address: ", loomSettings.staticAddress,
     &loomSettings.staticChanged, "set static address: "},
};

class FieldEditors : public ::testing::Test {
  protected:
    void SetUp() override {
        resetProgramState();
        ASSERT_TRUE(logOpen());
    }
    void TearDown() override { logClose(); }

    static void setField(const Editor& e, const char* value) {
        std::strcpy(e.field, value);
        *e.flag = 0;
    }
};

TEST_F(FieldEditors, StoresTheTypedValue) {
    for (const Editor& e : editors) {
        SCOPED_TRACE(e.name);
        setField(e, "old value");
        ConsoleCapture console("Weft 10.1.2.3\r\n");
        appState = state::idle;
        e.run();
        EXPECT_EQ(console.output(), e.prompt);
        EXPECT_STREQ(e.field, "Weft 10.1.2.3");
        EXPECT_EQ(e.flag->load(), 1);
        EXPECT_EQ(appState.load(), state::showStatus);
        EXPECT_TRUE(contains(readLog(), std::string(e.logPrefix) + "Weft 10.1.2.3\n"));
    }
    // Each editor marks its own field only.
    EXPECT_EQ(loomSettings.wifiChanged.load(), 0);
    EXPECT_EQ(loomSettings.dhcpChanged.load(), 0);
    EXPECT_EQ(loomSettings.wifiConfigChanged.load(), 0);
}

TEST_F(FieldEditors, EmptyLineAndSameValueStillCountAsChanges) {
    for (const Editor& e : editors) {
        SCOPED_TRACE(e.name);
        {
            setField(e, "old value");
            ConsoleCapture console("\n");
            e.run();
            EXPECT_STREQ(e.field, "");
            EXPECT_EQ(e.flag->load(), 1);
            EXPECT_TRUE(contains(readLog(), std::string(e.logPrefix) + "\n"));
        }
        {
            setField(e, "same");
            ConsoleCapture console("same\n");
            e.run();
            EXPECT_STREQ(e.field, "same");
            EXPECT_EQ(e.flag->load(), 1);
        }
    }
}

TEST_F(FieldEditors, ThirtyTwoCharactersAtMost) {
    const std::string full(32, 'w');
    for (const Editor& e : editors) {
        SCOPED_TRACE(e.name);
        {
            ConsoleCapture console(full + "\n");
            e.run();
            EXPECT_EQ(std::string(e.field), full);
        }
        // One more is refused whole, with the limit, and nothing changes.
        e.flag->store(0);
        {
            ConsoleCapture console("x" + full + "\n");
            e.run();
            EXPECT_EQ(std::string(e.field), full);
            EXPECT_EQ(e.flag->load(), 0);
            EXPECT_TRUE(contains(console.output(), " may be at most 32 characters.\n"));
        }
    }
}

TEST_F(FieldEditors, RefusesQuoteAndAngleBracket) {
    for (const Editor& e : editors) {
        for (const char* typed : {"Loom \"A\"\n", "10.0.0.1>\n", ">\n"}) {
            SCOPED_TRACE(std::string(e.name) + ": " + typed);
            logOpen();
            setField(e, "kept");
            ConsoleCapture console(typed);
            appState = state::idle;
            e.run();
            EXPECT_STREQ(e.field, "kept");
            EXPECT_EQ(e.flag->load(), 0);
            EXPECT_EQ(appState.load(), state::showStatus);
            const std::string out = console.output();
            ASSERT_EQ(out.rfind(e.prompt, 0), 0u);
            const std::string message = out.substr(std::strlen(e.prompt));
            EXPECT_EQ(message.rfind("\n\tNot changed: a value may not contain", 0), 0u) << message;
            EXPECT_EQ(countOf(message, "\n"), 2) << "one line: " << message;
            EXPECT_TRUE(lacks(readLog(), e.logPrefix));
        }
    }
}

TEST_F(FieldEditors, EndOfInputQuitsWithoutChanging) {
    for (const Editor& e : editors) {
        SCOPED_TRACE(e.name);
        setField(e, "kept");
        ConsoleCapture console("");
        appState = state::idle;
        e.run();
        EXPECT_EQ(appState.load(), state::quit);
        EXPECT_STREQ(e.field, "kept");
        EXPECT_EQ(e.flag->load(), 0);
    }
}

// The two toggles: field, flag, tokens, and the fields each must leave alone.
struct Toggle {
    const char* name;
    void (*run)();
    char* field;
    std::atomic<int>* flag;
    const char* on;
    const char* off;
};

Toggle toggles[] = {
    {"wifi", toggleWifi, loomSettings.wifi, &loomSettings.wifiChanged, "WIFI_ON", "WIFI_OFF"},
    {"dhcp", toggleDhcp, loomSettings.dhcp, &loomSettings.dhcpChanged, "DHCP_ON", "DHCP_OFF"},
};

TEST_F(FieldEditors, TogglesFlipBetweenTheirTwoTokens) {
    for (const Toggle& t : toggles) {
        const std::string on = t.on, off = t.off;
        std::string lower = on, prefixOnly = on.substr(0, 6);
        for (char& ch : lower)
            ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        const struct {
            std::string from, once, twice;
        } cases[] = {
            {on, off, on},
            {off, on, off},
            {"", on, off},
            {on + "_EXTRA_TEXT", off, on}, // the first seven characters decide
            {lower, on, off},              // case counts
            {prefixOnly, on, off},
            {"garbage", on, off},
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(t.name) + " from '" + c.from + "'");
            logOpen();
            std::strcpy(t.field, c.from.c_str());
            *t.flag = 0;
            ConsoleCapture console;
            appState = state::idle;
            t.run();
            EXPECT_EQ(std::string(t.field), c.once);
            EXPECT_EQ(t.flag->load(), 1);
            EXPECT_EQ(appState.load(), state::showStatus);
            t.run();
            EXPECT_EQ(std::string(t.field), c.twice);
            EXPECT_EQ(t.flag->load(), 1);
            EXPECT_EQ(readLog(), "set: " + c.once + "\nset: " + c.twice + "\n");
            EXPECT_EQ(console.output(), "");
        }
    }
}

TEST_F(FieldEditors, TogglesLeaveOtherSettingsAlone) {
    std::strcpy(loomSettings.ssid, "Mill Floor");
    std::strcpy(loomSettings.encryption, "WPA2");
    std::strcpy(loomSettings.passphrase, "hunter22");
    std::strcpy(loomSettings.staticAddress, "10.0.0.9");
    std::strcpy(loomSettings.hostname, "Weaver 7");
    toggleWifi();
    toggleDhcp();
    EXPECT_STREQ(loomSettings.ssid, "Mill Floor");
    EXPECT_STREQ(loomSettings.encryption, "WPA2");
    EXPECT_STREQ(loomSettings.passphrase, "hunter22");
    EXPECT_STREQ(loomSettings.staticAddress, "10.0.0.9");
    EXPECT_STREQ(loomSettings.hostname, "Weaver 7");
    EXPECT_EQ(loomSettings.wifiConfigChanged.load(), 0);
    EXPECT_EQ(loomSettings.staticChanged.load(), 0);
    EXPECT_EQ(loomSettings.hostnameChanged.load(), 0);
}

} // namespace
