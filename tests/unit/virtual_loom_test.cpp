#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "link/driver.h"
#include "support/session.h"
#include "virtual_loom/loom_driver.h"
#include "virtual_loom/model.h"

namespace {

using vloom::Model;
using vloom::Timing;
using Messages = std::vector<std::string>;

// Cuts the loom's bytes into messages the way the program's reader does:
// control bytes dropped, "<log " messages skipped.
Messages framed(const std::string& bytes) {
    Messages out;
    std::string msg;
    for (char ch : bytes) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c >= 0x80)
            continue;
        msg += ch;
        if (ch == '>') {
            if (msg.compare(0, 5, "<log ") != 0)
                out.push_back(msg);
            msg.clear();
        }
    }
    if (!msg.empty())
        out.push_back("unterminated: " + msg);
    return out;
}

// One loom and the clock the test moves by hand.
struct Loom {
    explicit Loom(Timing timing = {}) : model(timing) {}

    std::string raw(const std::string& bytes) {
        model.receive(bytes.data(), bytes.size(), now);
        return model.takeOutput(now);
    }
    Messages say(const std::string& bytes) { return framed(raw(bytes)); }
    Messages after(uint32_t ms) {
        now += ms;
        return framed(model.takeOutput(now));
    }
    void login() {
        say("\n");
        ASSERT_EQ(say("tulip\n"), Messages{"<ready>"});
    }

    Model model;
    uint32_t now = 1000;
};

const Messages ready{"<ready>"};

TEST(VirtualLoomLogin, BannerPromptAndPassword) {
    Loom loom;
    EXPECT_FALSE(loom.model.loggedIn());
    EXPECT_EQ(loom.say("\n"), (Messages{"<Weftrix loom controller: LOOM-7, 4.5v2.18>",
                                        "<Password: LOOM-7, 4.5v2.18>"}));
    EXPECT_EQ(loom.say("tulips\n"),
              (Messages{"<error bad password>", "<Password: LOOM-7, 4.5v2.18>"}));
    EXPECT_FALSE(loom.model.loggedIn());
    EXPECT_EQ(loom.say("tulip\r\n"), ready);
    EXPECT_TRUE(loom.model.loggedIn());
}

TEST(VirtualLoomLogin, NothingButTheBannerBeforeLogin) {
    Loom loom;
    // A password before any prompt is no login.
    EXPECT_EQ(loom.say("tulip\n"), Messages{"<error not logged in>"});
    EXPECT_EQ(loom.say("<netstatus/>\n"), Messages{"<error not logged in>"});
    loom.say("\n");
    // At the prompt a command is not taken for a password attempt.
    EXPECT_EQ(loom.say("<netup/>\n"), Messages{"<error not logged in>"});
    EXPECT_FALSE(loom.model.busy());
    EXPECT_EQ(loom.say("tulip\n"), ready);
}

TEST(VirtualLoomLogin, BannerCarriesTheCurrentName) {
    Loom loom;
    loom.login();
    loom.say("<netconfig hostname=\"WEAVER-3\" />\n");
    EXPECT_EQ(loom.say("close\n"), Messages{"<closing connection>"});
    EXPECT_FALSE(loom.model.loggedIn());
    EXPECT_EQ(loom.say("<wifistatus/>\n"), Messages{"<error not logged in>"});
    EXPECT_EQ(loom.say("\n"), (Messages{"<Weftrix loom controller: WEAVER-3, 4.5v2.18>",
                                        "<Password: WEAVER-3, 4.5v2.18>"}));
}

TEST(VirtualLoomStatus, ReportsInOrder) {
    Loom loom;
    loom.login();
    EXPECT_EQ(loom.say("<netstatus/>\n"),
              (Messages{"<netstatus>", "<hostname=\"LOOM-7\"/>", "<state=\"CONNECTED\"/>",
                        "<dhcp=\"DHCP_ON\"/>", "<wifi=\"WIFI_ON\"/>", "<current=\"192.168.1.23\"/>",
                        "<static=\"192.168.1.50\"/>", "<ready>"}));
    EXPECT_EQ(loom.say("<wifistatus/>\n"),
              (Messages{"<wifistatus>", "<ssid=\"Weaving-Hall\"/>", "<encryption=\"WPA2\"/>",
                        "</wifistatus>", "<ready>"}));
}

TEST(VirtualLoomStatus, CommandSplitAcrossWritesAndBlanksTolerated) {
    Loom loom;
    loom.login();
    EXPECT_TRUE(loom.say("<wifi").empty());
    EXPECT_TRUE(loom.say("status/").empty());
    EXPECT_EQ(loom.say(">\r\n").back(), "<ready>");
    EXPECT_EQ(loom.say("  <netdown/>  \n"), ready);
    // Two commands in one write are answered in order.
    Messages both = loom.say("<netstatus/>\n<wifistatus/>\n");
    ASSERT_EQ(both.size(), 13u);
    EXPECT_EQ(both[0], "<netstatus>");
    EXPECT_EQ(both[2], "<state=\"NETWORK_DOWN\"/>");
    EXPECT_EQ(both[8], "<wifistatus>");
}

TEST(VirtualLoomNetconfig, AppliesAttributesInAnyOrder) {
    Loom loom;
    loom.login();
    EXPECT_EQ(loom.say("<netconfig address=\"10.0.0.9\"  wifi=\"WIFI_OFF\" dhcp=\"DHCP_OFF\" "
                       "hostname=\"LOOM-9\" />\n"),
              ready);
    EXPECT_EQ(loom.model.hostname(), "LOOM-9");
    EXPECT_EQ(loom.model.staticAddress(), "10.0.0.9");
    EXPECT_FALSE(loom.model.dhcpOn());
    EXPECT_FALSE(loom.model.wifiOn());
    // The running network keeps its address until it is restarted.
    EXPECT_EQ(loom.model.currentAddress(), "192.168.1.23");

    EXPECT_EQ(loom.say("<netconfig dhcp=\"DHCP_ON\" />\n"), ready);
    EXPECT_TRUE(loom.model.dhcpOn());
    EXPECT_EQ(loom.model.hostname(), "LOOM-9");
    EXPECT_EQ(loom.say("<netconfig />\n"), ready);
    EXPECT_EQ(loom.say("<netconfig/>\n"), ready);
}

TEST(VirtualLoomNetconfig, RefusedValueNamedAndNothingApplied) {
    struct Case {
        std::string attrs;
        std::string error;
    };
    const Case cases[] = {
        {"address=\"300.1.2.3\"", "<error bad address \"300.1.2.3\">"},
        {"address=\"10.0.0\"", "<error bad address \"10.0.0\">"},
        {"address=\"10.0.0.1.2\"", "<error bad address \"10.0.0.1.2\">"},
        {"address=\"10..0.1\"", "<error bad address \"10..0.1\">"},
        {"address=\"10.0.0.1 \"", "<error bad address \"10.0.0.1 \">"},
        {"address=\"1000.0.0.1\"", "<error bad address \"1000.0.0.1\">"},
        {"address=\"loom.local\"", "<error bad address \"loom.local\">"},
        {"address=\"\"", "<error bad address \"\">"},
        {"dhcp=\"DHCP_MAYBE\"", "<error bad dhcp \"DHCP_MAYBE\">"},
        {"wifi=\"on\"", "<error bad wifi \"on\">"},
        {"hostname=\"\"", "<error bad hostname \"\">"},
        {"hostname=\"A,B\"", "<error bad hostname \"A,B\">"},
        {"colour=\"red\"", "<error unknown attribute \"colour\">"},
        {"hostname=\"X", "<error malformed netconfig>"},
        {"hostname=X", "<error malformed netconfig>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.attrs);
        Loom loom;
        loom.login();
        // A good value beside the bad one is not taken either.
        EXPECT_EQ(loom.say("<netconfig hostname=\"NEW\" dhcp=\"DHCP_OFF\" " + c.attrs + " />\n"),
                  Messages{c.error});
        EXPECT_EQ(loom.model.hostname(), "LOOM-7");
        EXPECT_TRUE(loom.model.dhcpOn());
        EXPECT_TRUE(loom.model.wifiOn());
        EXPECT_EQ(loom.model.staticAddress(), "192.168.1.50");
    }
}

TEST(VirtualLoomNetconfig, EchoedValueCannotEndTheMessage) {
    Loom loom;
    loom.login();
    EXPECT_EQ(loom.say("<netconfig address=\"1.2.3.4>\" />\n"),
              Messages{"<error bad address \"1.2.3.4?\">"});
}

TEST(VirtualLoomWificonfig, AppliesAndRefuses) {
    Loom loom;
    loom.login();
    EXPECT_EQ(
        loom.say("<wificonfig ssid=\"Dye-House\" encryption=\"WPA\" passphrase=\"indigo-blue\" "
                 "/>\n"),
        ready);
    EXPECT_EQ(loom.model.ssid(), "Dye-House");
    EXPECT_EQ(loom.model.encryption(), "WPA");
    EXPECT_EQ(loom.model.passphrase(), "indigo-blue");
    EXPECT_EQ(loom.say("<wifistatus/>\n")[1], "<ssid=\"Dye-House\"/>");

    // Without a passphrase the network is joined without one.
    EXPECT_EQ(loom.say("<wificonfig ssid=\"Visitors\" encryption=\"NONE\" />\n"), ready);
    EXPECT_EQ(loom.model.passphrase(), "");

    EXPECT_EQ(loom.say("<wificonfig ssid=\"X\" encryption=\"WPA3\" />\n"),
              Messages{"<error bad encryption \"WPA3\">"});
    EXPECT_EQ(loom.say("<wificonfig ssid=\"\" encryption=\"NONE\" />\n"),
              Messages{"<error bad ssid \"\">"});
    EXPECT_EQ(loom.say("<wificonfig encryption=\"NONE\" />\n"), Messages{"<error missing ssid>"});
    EXPECT_EQ(loom.say("<wificonfig ssid=\"X\" encryption=\"WEP\" passphrase=\"" +
                       std::string(64, 'k') + "\" />\n"),
              Messages{"<error bad passphrase>"});
    EXPECT_EQ(loom.model.ssid(), "Visitors");
    EXPECT_EQ(loom.model.encryption(), "NONE");
}

TEST(VirtualLoomRestart, PleaseWaitThenReadyAfterRestart) {
    Loom loom(Timing{.scanMs = 0, .restartMs = 2500, .replyMs = 0});
    loom.login();
    EXPECT_EQ(loom.say("<netdown/>\n"), ready);
    EXPECT_EQ(loom.model.networkState(), "NETWORK_DOWN");
    loom.say("<netconfig dhcp=\"DHCP_OFF\" address=\"10.1.2.3\" />\n");

    EXPECT_EQ(loom.say("<netup/>\n"), Messages{"<please wait>"});
    EXPECT_EQ(loom.model.msUntilNextOutput(loom.now), 2500);
    EXPECT_TRUE(loom.after(2499).empty());
    EXPECT_EQ(loom.model.currentAddress(), "0.0.0.0");
    EXPECT_EQ(loom.after(1), ready);
    EXPECT_EQ(loom.model.msUntilNextOutput(loom.now), -1);
    EXPECT_EQ(loom.model.networkState(), "CONNECTED");
    EXPECT_EQ(loom.model.currentAddress(), "10.1.2.3");

    loom.say("<netconfig dhcp=\"DHCP_ON\" />\n");
    loom.say("<netup/>\n");
    loom.after(2500);
    EXPECT_EQ(loom.model.currentAddress(), loom.model.dhcpLease());
    EXPECT_EQ(loom.model.dhcpLease().rfind("192.168.1.", 0), 0u);
}

TEST(VirtualLoomRestart, CommandsDuringRestartWaitAndSeeTheNewState) {
    Loom loom(Timing{.scanMs = 400, .restartMs = 1000, .replyMs = 0});
    loom.login();
    loom.say("<netconfig dhcp=\"DHCP_OFF\" />\n");
    EXPECT_EQ(loom.say("<netup/>\n<netstatus/>\n<wifiscan/>\n"), Messages{"<please wait>"});
    EXPECT_TRUE(loom.after(999).empty());
    Messages out = loom.after(1);
    ASSERT_EQ(out.size(), 9u);
    EXPECT_EQ(out[0], "<ready>");
    EXPECT_EQ(out[3], "<state=\"CONNECTED\"/>");
    EXPECT_EQ(out[6], "<current=\"192.168.1.50\"/>");
    // The scan that waited starts only now.
    EXPECT_EQ(loom.model.msUntilNextOutput(loom.now), 400);
    EXPECT_TRUE(loom.after(399).empty());
    EXPECT_EQ(loom.after(1).front(), "<wifiscan>");
}

TEST(VirtualLoomRestart, OutcomeFollowsWifiSettings) {
    struct Case {
        std::string config;
        std::string state;
    };
    const Case cases[] = {
        {"<netconfig wifi=\"WIFI_OFF\" />", "WIFI_OFF"},
        {"<wificonfig ssid=\"Nowhere\" encryption=\"WPA2\" passphrase=\"12345678\" />",
         "NO_NETWORK"},
        {"<wificonfig ssid=\"Dye-House\" encryption=\"WPA\" />", "AUTH_FAILED"},
        {"<wificonfig ssid=\"Dye-House\" encryption=\"WPA\" passphrase=\"short\" />",
         "AUTH_FAILED"},
        // The program keeps the old kind when an open network is picked.
        {"<wificonfig ssid=\"Visitors\" encryption=\"WPA2\" />", "CONNECTED"},
        {"<wificonfig ssid=\"Warehouse-Old\" encryption=\"WEP\" passphrase=\"abcde\" />",
         "CONNECTED"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.config);
        Loom loom;
        loom.login();
        ASSERT_EQ(loom.say(c.config + "\n"), ready);
        loom.say("<netup/>\n");
        EXPECT_EQ(loom.model.networkState(), c.state);
        EXPECT_EQ(loom.model.currentAddress() == "0.0.0.0", c.state != "CONNECTED");
    }
}

TEST(VirtualLoomRestart, DelaysSurviveTickWrap) {
    Loom loom(Timing{.scanMs = 50, .restartMs = 100, .replyMs = 0});
    loom.now = 0xFFFFFFC0u;
    loom.login();
    loom.say("<netdown/>\n");
    EXPECT_EQ(loom.say("<netup/>\n<wifiscan/>\n"), Messages{"<please wait>"});
    EXPECT_EQ(loom.model.msUntilNextOutput(loom.now), 100);
    EXPECT_TRUE(loom.after(50).empty()); // not yet wrapped
    EXPECT_EQ(loom.model.msUntilNextOutput(loom.now), 50);
    EXPECT_TRUE(loom.after(49).empty()); // wrapped
    EXPECT_TRUE(loom.model.busy());
    EXPECT_EQ(loom.model.networkState(), "NETWORK_DOWN");
    EXPECT_EQ(loom.after(1), ready);
    EXPECT_EQ(loom.model.networkState(), "CONNECTED");
    EXPECT_EQ(loom.model.msUntilNextOutput(loom.now), 50);
    EXPECT_TRUE(loom.after(49).empty());
    EXPECT_FALSE(loom.after(1).empty());

    Loom slow(Timing{.scanMs = 0, .restartMs = 0, .replyMs = 100});
    slow.now = 0xFFFFFFC0u;
    EXPECT_TRUE(slow.say("\n").empty());
    EXPECT_TRUE(slow.after(50).empty());
    EXPECT_TRUE(slow.after(49).empty());
    EXPECT_EQ(slow.after(1).size(), 2u);
}

TEST(VirtualLoomScan, ListArrivesAfterTheScan) {
    Loom loom(Timing{.scanMs = 400, .restartMs = 0, .replyMs = 0});
    loom.login();
    EXPECT_TRUE(loom.say("<wifiscan/>\n").empty());
    EXPECT_EQ(loom.model.msUntilNextOutput(loom.now), 400);
    EXPECT_TRUE(loom.after(399).empty());
    Messages out = loom.after(1);
    ASSERT_GE(out.size(), 4u);
    EXPECT_EQ(out.front(), "<wifiscan>");
    EXPECT_EQ(out.back(), "<ready>");
    std::vector<std::string> kinds;
    for (size_t i = 1; i + 1 < out.size(); ++i) {
        const std::string& m = out[i];
        ASSERT_EQ(m.rfind("<net=\"", 0), 0u) << m;
        ASSERT_EQ(m.substr(m.size() - 3), "\"/>") << m;
        std::string value = m.substr(6, m.size() - 9);
        size_t c1 = value.find(','), c2 = value.find(',', c1 + 1);
        ASSERT_NE(c2, std::string::npos) << m;
        EXPECT_GT(c1, 0u) << m;
        EXPECT_LT(std::stoi(value.substr(c1 + 1, c2 - c1 - 1)), 0) << m;
        kinds.push_back(value.substr(c2 + 1));
    }
    for (const char* kind : {"NONE", "WEP", "WPA", "WPA2"})
        EXPECT_NE(std::find(kinds.begin(), kinds.end(), kind), kinds.end()) << kind;
}

TEST(VirtualLoomScan, RepliesStayInOrderWhateverTheDelays) {
    // The scan's list must not overtake an earlier slower answer.
    Loom loom(Timing{.scanMs = 10, .restartMs = 0, .replyMs = 50});
    loom.say("\n");
    loom.after(50);
    loom.say("tulip\n");
    loom.after(50);
    loom.model.setNetworks({{"Solo", -50, "NONE"}});
    loom.say("<netdown/>\n<wifiscan/>\n");
    EXPECT_TRUE(loom.after(49).empty());
    EXPECT_EQ(loom.after(1),
              (Messages{"<ready>", "<wifiscan>", "<net=\"Solo,-50,NONE\"/>", "<ready>"}));
}

TEST(VirtualLoomFirmware, CountsRawBytesAcrossSplits) {
    Loom loom;
    loom.login();
    std::string image("\r\n\0>x<netup/>\n\r", 15);
    image += std::string(1000, '\n');
    std::string wire = "receivefirmware " + std::to_string(image.size()) + "\r" + image;
    wire += "<netstatus/>\n";
    // Piece sizes vary so the command, the image and the line after it are all cut.
    size_t at = 0, piece = 1;
    std::string out;
    while (at < wire.size()) {
        size_t n = std::min(piece, wire.size() - at);
        if (at + n < wire.size() - 13) {
            EXPECT_TRUE(loom.raw(wire.substr(at, n)).empty()) << "answered early at " << at;
        } else {
            out += loom.raw(wire.substr(at, n));
        }
        at += n;
        piece = piece * 3 % 17 + 1;
    }
    EXPECT_EQ(loom.model.firmwareBytesReceived(), image.size());
    Messages msgs = framed(out);
    ASSERT_EQ(msgs.size(), 9u);
    EXPECT_EQ(msgs[0], "<ready>");
    EXPECT_EQ(msgs[1], "<netstatus>");
    EXPECT_FALSE(loom.model.busy());
}

TEST(VirtualLoomFirmware, EmptyAndBadLengths) {
    Loom loom;
    loom.login();
    EXPECT_EQ(loom.say("receivefirmware 0\r"), ready);
    EXPECT_EQ(loom.say("receivefirmware x\r"), Messages{"<error bad firmware length>"});
    EXPECT_EQ(loom.say("receivefirmware 999999999\r"), Messages{"<error bad firmware length>"});
    EXPECT_EQ(loom.say("<netdown/>\n"), ready);
    EXPECT_EQ(loom.model.firmwareBytesReceived(), 0u);
}

TEST(VirtualLoomErrors, UnknownCommandsAndOverlongLines) {
    Loom loom;
    loom.login();
    for (const char* line :
         {"hello", "<netstatus>", "<reboot/>", "<netstatus-now/>", "tulip", "<", "/>"}) {
        SCOPED_TRACE(line);
        EXPECT_EQ(loom.say(std::string(line) + "\n"), Messages{"<error unknown command>"});
    }
    EXPECT_EQ(loom.say(std::string(5000, 'x')), Messages{});
    EXPECT_EQ(loom.say("<netdown/>\n"), Messages{"<error line too long>"});
    EXPECT_EQ(loom.say(std::string(Model::maxLineBytes - 1, ' ') + "<netdown/>\n"),
              Messages{"<error line too long>"});
    EXPECT_EQ(loom.say(std::string(Model::maxLineBytes - 10, ' ') + "<netdown/>\n"), ready);
}

TEST(VirtualLoomWire, SeparatorsAndOccasionalLogLine) {
    Loom loom;
    std::string all = loom.raw("\n") + loom.raw("tulip\n");
    for (int i = 0; i < 20; ++i)
        all += loom.raw("<netdown/>\n");
    std::vector<std::string> lines;
    size_t at = 0;
    for (size_t end; (end = all.find("\r\n", at)) != std::string::npos; at = end + 2)
        lines.push_back(all.substr(at, end - at));
    EXPECT_EQ(at, all.size()) << "bytes after the last separator";
    // 22 answers with a log line before the 7th, 14th and 21st: banner and
    // prompt (1), tulip (2), then one "<ready>" per "<netdown/>".
    ASSERT_EQ(lines.size(), 2u + 1u + 20u + 3u);
    std::vector<size_t> logAt;
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_TRUE(lines[i].front() == '<' && lines[i].back() == '>') << lines[i];
        EXPECT_EQ(lines[i].find('>'), lines[i].size() - 1) << lines[i];
        if (lines[i].rfind("<log ", 0) == 0)
            logAt.push_back(i);
    }
    EXPECT_EQ(logAt, (std::vector<size_t>{7, 15, 23}));
}

// What every back end does is in the driver contract suite; this is the
// model's timing seen through the device.
TEST(VirtualLoomDriver, WaitsEndWhenAnswersFallDue) {
    const Driver* d = virtualLoomDriver(Timing{.scanMs = 300, .restartMs = 0, .replyMs = 0});
    FT_HANDLE h = nullptr;
    ASSERT_EQ(d->open(0, &h), FT_OK);
    ASSERT_EQ(d->setTimeouts(h, 50, 50), FT_OK);
    auto exchange = [&](const std::string& line) {
        DWORD written = 0, rx = 0, tx = 0, ev = 0, n = 0;
        EXPECT_EQ(d->write(h, line.data(), static_cast<DWORD>(line.size()), &written), FT_OK);
        EXPECT_EQ(d->getStatus(h, &rx, &tx, &ev), FT_OK);
        std::string got(rx, '\0');
        EXPECT_EQ(d->read(h, got.data(), rx, &n), FT_OK);
        return framed(got.substr(0, n));
    };
    exchange("\n");
    EXPECT_EQ(exchange("tulip\n"), ready);

    // The wait ends when the scan's answer falls due, not at its time-out.
    EXPECT_TRUE(exchange("<wifiscan/>\n").empty());
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(d->waitForRx(h, 5000), FT_OK);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(250));
    EXPECT_LT(waited, std::chrono::milliseconds(3000));
    DWORD rx = 0, tx = 0, ev = 0;
    ASSERT_EQ(d->getStatus(h, &rx, &tx, &ev), FT_OK);
    EXPECT_GT(rx, 0u);

    // As FTDI's read: asked for more than is there, it waits out the read time-out.
    std::string buf(rx + 10, '\0');
    DWORD n = 0;
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(d->read(h, buf.data(), rx + 10, &n), FT_OK);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(40));
    EXPECT_EQ(n, rx);
    EXPECT_EQ(framed(buf.substr(0, n)).front(), "<wifiscan>");
    EXPECT_EQ(d->close(h), FT_OK);
}

TEST(VirtualLoomSession, RenameIsAppliedAndReadBack) {
    resetProgramState();
    installDriver(virtualLoomDriver(Timing{.scanMs = 0, .restartMs = 50, .replyMs = 1}));
    ConsolePipe console;
    SessionThread run;
    ASSERT_TRUE(console.waitForOutput("Current Status"));
    console.type("1\nLOOM-9\n");
    ASSERT_TRUE(console.waitForOutput("Current Status", 3000, 2));
    console.type("a\n");
    // The third screen is whole once its menu prompt is out.
    ASSERT_TRUE(console.waitForOutput("'q' for quit: ", 5000, 3)) << console.output();
    std::string name;
    withVirtualLoom([&](vloom::Model& m) { name = m.hostname(); });
    EXPECT_EQ(name, "LOOM-9");
    std::string out = console.output();
    EXPECT_NE(out.find("LOOM-9", out.rfind("Current Status")), std::string::npos) << out;
    console.type("q\n");
    ASSERT_TRUE(run.join());
    EXPECT_EQ(run.exitStatus(), 0);
}

} // namespace
