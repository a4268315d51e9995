// The controller's half of the usual conversation, played by a test, and the
// console texts the operator sees.
#pragma once

#include <string>
#include <vector>

#include "harness.h"
#include "support/checks.h"

namespace e2e {

// What the controller reports about itself.
struct LoomReport {
    std::string hostname = "LOOM-7";
    std::string state = "CONNECTED";
    std::string dhcp = "DHCP_ON";
    std::string wifi = "WIFI_ON";
    std::string current = "192.168.1.23";
    std::string staticAddress = "192.168.1.50";
    std::string ssid = "Weaving-Hall";
    std::string encryption = "WPA2";
    std::string version = "2.18";
};

inline const std::string menuPrompt = "\n\tEnter the number of the field you would like to change\n"
                                      "\tOr enter 'a' for apply, 'q' for quit: ";

inline const std::string chooserPrompt =
    "\tOr enter 'a' for apply, or 'q' for quit, or 's' for scan: ";

// The start-up line that names the device once it is open, whichever it is.
inline testing::AssertionResult expectConnecting(ShedmateRun& run) {
    if (auto ok = run.expectOutputNext("Connecting to the loom ("); !ok)
        return ok;
    return run.expectOutput(")\u2026\n");
}

inline const std::string scanningLine = "\tScanning for networks\u2026\n";

inline const std::string linkLostLine =
    "\n\n\tThe connection to the loom was lost (unplugged or switched off?).\n";

// The status screen, every colon in column 29.
inline std::string statusScreen(const LoomReport& r) {
    return "\n\n\t\t\tCurrent Status\n"
           "               Current State: " +
           r.state +
           "\n"
           "             Current Address: " +
           r.current +
           "\n"
           "\n"
           "               Loom Name [1]: " +
           r.hostname + " - Version: " + r.version +
           "\n"
           "         Enable Wireless [2]: " +
           r.wifi +
           "\n"
           "            Network Name [3]: " +
           r.ssid +
           "\n"
           "  Acquire Address (DHCP) [4]: " +
           r.dhcp +
           "\n"
           "          Static Address [5]: " +
           r.staticAddress + "\n";
}

// The line under the status screen while edits wait to be applied.
inline std::string pendingLine(const std::string& fields) {
    return "\n\tNot yet applied: " + fields + ". Enter 'a' to apply.\n";
}

// Answers "<netstatus/>" and "<wifistatus/>" as they come, one message per
// read, with one message split over two reads.
inline testing::AssertionResult reportStatus(ShedmateRun& run, const LoomReport& r) {
    if (auto ok = run.expectWire("<netstatus/>\n"); !ok)
        return ok;
    run.send("<netstatus>\r\n");
    run.send("<hostname=\"" + r.hostname + "\"/>\r\n");
    run.send("<state=\"" + r.state + "\"/>\r\n<dhcp=\"" + r.dhcp + "\"/>\r\n");
    run.send("<wifi=\"" + r.wifi + "\"/>\r\n<cur");
    run.send("rent=\"" + r.current + "\"/>\r\n");
    run.send("<static=\"" + r.staticAddress + "\"/>\r\n");
    run.send("<ready>\r\n");
    if (auto ok = run.expectWire("<wifistatus/>\n"); !ok)
        return ok;
    run.send("<wifistatus>\r\n<ssid=\"" + r.ssid + "\"/>\r\n");
    run.send("<encryption=\"" + r.encryption + "\"/>\r\n");
    run.send("</wifistatus>\r\n<ready>\r\n");
    // The menu shows at "</wifistatus"; an answer typed before "<ready>" is
    // handled would find the controller still busy.
    return run.expectDrained();
}

// How far logIn plays the controller.
enum class Login {
    passwordSent, // "tulip" is on the wire, not yet acknowledged
    reported,     // the status report is complete
};

// From the library's connection on, the controller's side of the login.
// consoleSeen false: the console goes somewhere the test cannot read.
inline testing::AssertionResult logIn(ShedmateRun& run, const LoomReport& r = {},
                                      Login until = Login::reported, bool consoleSeen = true) {
    if (auto ok = run.acceptLoom(); !ok)
        return ok;
    if (consoleSeen)
        if (auto ok = expectConnecting(run); !ok)
            return ok;
    if (auto ok = run.expectWire("\n"); !ok)
        return ok;
    // The banner arrives in two pieces, with the controller's own log chatter.
    run.send("<Weftrix loom contr");
    run.send("oller: " + r.hostname + ", 4.5v" + r.version + ">\r\n<log boot complete>\r\n");
    run.send("<Password: " + r.hostname + ", 4.5v" + r.version + ">\r\n");
    if (auto ok = run.expectWire("tulip\n"); !ok)
        return ok;
    if (until == Login::passwordSent)
        return testing::AssertionSuccess();
    run.send("<ready>\r\n");
    return reportStatus(run, r);
}

// "<netdown/>" ... "<netup/>" with each message let out by the previous ack,
// then the end of the network restart.
inline testing::AssertionResult playApply(ShedmateRun& run,
                                          const std::vector<std::string>& changes) {
    if (auto ok = run.expectWire("<netdown/>\n"); !ok)
        return ok;
    for (const std::string& change : changes) {
        if (auto ok = run.expectWireQuiet(); !ok)
            return ok;
        run.send("<ready>\r\n");
        if (auto ok = run.expectWire(change); !ok)
            return ok;
    }
    if (auto ok = run.expectWireQuiet(); !ok)
        return ok;
    run.send("<ready>\r\n");
    if (auto ok = run.expectWire("<netup/>\n"); !ok)
        return ok;
    run.send("<please wait>\r\n");
    // The wait goes on until the network is back.
    if (auto ok = run.expectWireQuiet(); !ok)
        return ok;
    run.send("<ready>\r\n");
    return testing::AssertionSuccess();
}

// 'q' at the menu: "close" goes out and the run ends with status 0.
inline testing::AssertionResult quitCleanly(ShedmateRun& run) {
    run.type("q\n");
    if (auto ok = run.expectWire("close\n"); !ok)
        return ok;
    return run.expectExit(0);
}

// At the menu prompt after the login.
inline testing::AssertionResult atMenu(ShedmateRun& run, const LoomReport& r = {}) {
    if (auto ok = logIn(run, r); !ok)
        return ok;
    return run.expectOutput(menuPrompt);
}

} // namespace e2e
