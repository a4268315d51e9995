// Whole sessions of the real shedmate executable against a controller played
// by the test: which device it opens (or why none), what the operator sees,
// what goes over the wire, what is logged.
#include "conversation.h"
#include "harness.h"
#include "virtual_loom/ftd2xx/script_link.h"

namespace e2e {
namespace {

namespace script = vloom::script;

// Everything between "Please wait " and the line saying the apply took must be
// progress dots.
int dotsAfterPleaseWait(const std::string& out) {
    size_t from = out.find("\n\nPlease wait ");
    if (from == std::string::npos)
        return -1;
    from += 14;
    size_t to = out.find("\n\tApplied.\n\n\n\t\t\tCurrent Status", from);
    if (to == std::string::npos)
        return -1;
    std::string between = out.substr(from, to - from);
    if (between.find_first_not_of('.') != std::string::npos)
        return -1;
    return static_cast<int>(between.size());
}

TEST(Session, RenameAppliesInOrderAndShowsTheLoomsReadback) {
    ShedmateRun run;
    LoomReport loom;
    ASSERT_TRUE(logIn(run, loom));
    // Nothing is printed before the first report is complete.
    ASSERT_TRUE(run.expectOutputNext(statusScreen(loom) + menuPrompt));

    run.type("1\n");
    ASSERT_TRUE(run.expectOutputNext("\n\tNew Loom Name: "));
    run.type("LOOM-9\n");
    LoomReport edited = loom;
    edited.hostname = "LOOM-9";
    ASSERT_TRUE(run.expectOutputNext(statusScreen(edited) + pendingLine("Loom Name") + menuPrompt));
    // An edit stays in the program until it is applied.
    ASSERT_TRUE(run.expectWireQuiet());

    run.type("a\n");
    ASSERT_TRUE(run.expectOutputNext("\n\nPlease wait ."));
    ASSERT_TRUE(run.expectWire("<netdown/>\n"));
    ASSERT_TRUE(run.expectWireQuiet());
    run.send("<ready>\r\n");
    ASSERT_TRUE(run.expectWire("<netconfig hostname=\"LOOM-9\" />\n"));
    ASSERT_TRUE(run.expectWireQuiet());
    run.send("<ready>\r\n");
    ASSERT_TRUE(run.expectWire("<netup/>\n"));
    run.send("<please wait>\r\n");
    // A dot every two seconds while the controller restarts its network.
    ASSERT_TRUE(run.expectOutputNext(".", 3500));
    ASSERT_TRUE(run.expectWireQuiet());
    run.send("<ready>\r\n");

    LoomReport back = edited;
    back.current = "192.168.1.24";
    ASSERT_TRUE(reportStatus(run, back));
    ASSERT_TRUE(run.expectOutput(statusScreen(back) + menuPrompt));
    EXPECT_GE(dotsAfterPleaseWait(run.output()), 2) << run.output();

    run.type("q\n");
    ASSERT_TRUE(run.expectWire("close\n"));
    ASSERT_TRUE(run.expectDeviceClosed());
    ASSERT_TRUE(run.expectExit(0));
    EXPECT_TRUE(run.expectWireQuiet(0));

    std::string log = run.log();
    EXPECT_EQ(log.rfind("\n\nShedmate: starting at ", 0), 0u) << log;
    EXPECT_TRUE(contains(log, "set hostname: LOOM-9\n"));
    EXPECT_TRUE(contains(log, "applyChanges(): sent - <netconfig hostname=\"LOOM-9\" />\n"));
    EXPECT_TRUE(contains(log, "applyChanges(): no reason to send wificonfig\n"));
    EXPECT_TRUE(contains(log, "clearing wait\n"));
    EXPECT_TRUE(contains(log, "processMsg(): <hostname=\"LOOM-9\"/>\n"));
    // The controller's own log lines never reach the program's.
    EXPECT_TRUE(lacks(log, "boot complete"));
    EXPECT_TRUE(contains(log, "Shedmate exiting at "));
}

TEST(Session, TogglesAndStaticAddressGoOutInOneNetconfig) {
    ShedmateRun run;
    LoomReport loom;
    ASSERT_TRUE(logIn(run, loom));
    ASSERT_TRUE(run.expectOutputNext(statusScreen(loom) + menuPrompt));

    LoomReport edited = loom;
    run.type("2\n");
    edited.wifi = "WIFI_OFF";
    ASSERT_TRUE(
        run.expectOutputNext(statusScreen(edited) + pendingLine("Enable Wireless") + menuPrompt));
    run.type("4\n");
    edited.dhcp = "DHCP_OFF";
    ASSERT_TRUE(run.expectOutputNext(statusScreen(edited) +
                                     pendingLine("Enable Wireless, Acquire Address (DHCP)") +
                                     menuPrompt));
    run.type("5\n");
    ASSERT_TRUE(run.expectOutputNext("\n\tNew Static Address: "));
    run.type("10.0.0.7\n");
    edited.staticAddress = "10.0.0.7";
    const std::string pending =
        pendingLine("Enable Wireless, Acquire Address (DHCP), Static Address");
    ASSERT_TRUE(run.expectOutputNext(statusScreen(edited) + pending + menuPrompt));

    // A quote would end the attribute early on the wire: refused, name kept.
    run.type("1\n");
    ASSERT_TRUE(run.expectOutputNext("\n\tNew Loom Name: "));
    run.type("LOOM\"9\n");
    ASSERT_TRUE(run.expectOutput(statusScreen(edited) + pending + menuPrompt));

    run.type("x\n");
    ASSERT_TRUE(run.expectOutputNext("\n\tCommand not understood: x\n\n" + statusScreen(edited) +
                                     pending + menuPrompt));

    run.type("a\n");
    ASSERT_TRUE(playApply(
        run, {"<netconfig dhcp=\"DHCP_OFF\" wifi=\"WIFI_OFF\" address=\"10.0.0.7\" />\n"}));
    LoomReport back = edited;
    back.state = "WIFI_OFF";
    back.current = "10.0.0.7";
    ASSERT_TRUE(reportStatus(run, back));
    ASSERT_TRUE(run.expectOutput(statusScreen(back) + menuPrompt));

    ASSERT_TRUE(quitCleanly(run));

    std::string log = run.log();
    EXPECT_TRUE(contains(log, "set: WIFI_OFF\n"));
    EXPECT_TRUE(contains(log, "set: DHCP_OFF\n"));
    EXPECT_TRUE(contains(log, "set static address: 10.0.0.7\n"));
    EXPECT_TRUE(lacks(log, "set hostname:"));
}

TEST(Session, ScanChooseEncryptedNetworkAndApplyKeepsPassphraseOutOfLog) {
    ShedmateRun run;
    LoomReport loom;
    ASSERT_TRUE(logIn(run, loom));
    ASSERT_TRUE(run.expectOutputNext(statusScreen(loom) + menuPrompt));

    // An open network: chosen without a passphrase.
    run.type("3\n");
    ASSERT_TRUE(run.expectWire("<wifiscan/>\n"));
    run.send("<wifiscan>\r\n<net=\"Weaving-Hall,-48,WPA2\"/>\r\n");
    run.send("<net=\"Guest,-71,NONE\"/>\r\n<ready>\r\n");
    ASSERT_TRUE(run.expectOutputNext(
        scanningLine + "\tAvailable networks:\n\t\t[1] Weaving-Hall\n\t\t[2] Guest\n" +
        chooserPrompt));
    run.type("2\n");
    LoomReport edited = loom;
    edited.ssid = "Guest";
    ASSERT_TRUE(
        run.expectOutputNext(statusScreen(edited) + pendingLine("Network Name") + menuPrompt));

    // 's' asks again; the new list replaces the old one.
    run.type("3\n");
    ASSERT_TRUE(run.expectWire("<wifiscan/>\n"));
    run.send("<wifiscan>\r\n<net=\"Weaving-Hall,-50,WPA2\"/>\r\n<ready>\r\n");
    ASSERT_TRUE(run.expectOutputNext(
        scanningLine + "\tAvailable networks:\n\t\t[1] Weaving-Hall\n" + chooserPrompt));
    run.type("s\n");
    ASSERT_TRUE(run.expectWire("<wifiscan/>\n"));
    run.send("<wifiscan>\r\n<net=\"Weaving-Hall,-50,WPA2\"/>\r\n<net=\"Guest,-70,NONE\"/>\r\n");
    run.send("<net=\"Dye House,-80, WPA \"/>\r\n<ready>\r\n");
    ASSERT_TRUE(run.expectOutputNext(
        scanningLine +
        "\tAvailable networks:\n\t\t[1] Weaving-Hall\n\t\t[2] Guest\n\t\t[3] Dye House\n" +
        chooserPrompt));
    run.type("3\n");
    ASSERT_TRUE(run.expectOutputNext(
        "\n\tThe network you have chosen (Dye House) requires a passphrase\n\tPassphrase: "));
    run.type("weft&warp 42\n");
    edited.ssid = "Dye House";
    ASSERT_TRUE(
        run.expectOutputNext(statusScreen(edited) + pendingLine("Network Name") + menuPrompt));

    run.type("a\n");
    ASSERT_TRUE(playApply(
        run,
        {"<wificonfig ssid=\"Dye House\" encryption=\"WPA\" passphrase=\"weft&warp 42\" />\n"}));
    LoomReport back = edited;
    back.encryption = "WPA";
    ASSERT_TRUE(reportStatus(run, back));
    ASSERT_TRUE(run.expectOutput(statusScreen(back) + menuPrompt));

    ASSERT_TRUE(quitCleanly(run));

    std::string log = run.log();
    EXPECT_TRUE(lacks(log, "weft&warp"));
    EXPECT_TRUE(contains(log, "set ssid: Guest\n"));
    EXPECT_TRUE(contains(log, "set ssid: Dye House\n"));
    EXPECT_TRUE(contains(log, "<wificonfig ssid=\"Dye House\" encryption=\"WPA\""));
}

TEST(Session, ControllerClosingTheConnectionEndsTheRun) {
    ShedmateRun run;
    ASSERT_TRUE(logIn(run, {}, Login::passwordSent));
    // The status requests still queued are dropped with the connection.
    run.send("<closing connection>\r\n");
    ASSERT_TRUE(run.expectDeviceClosed());
    ASSERT_TRUE(run.expectExit(0));
    EXPECT_TRUE(run.expectWireQuiet(0));
    EXPECT_TRUE(lacks(run.output(), "Current Status"));
    std::string log = run.log();
    EXPECT_TRUE(contains(log, "processMsg(): <closing connection>\n"));
    EXPECT_TRUE(contains(log, "Shedmate exiting at "));
}

// --- which device, and none

TEST(Device, NoneAttachedEndsTheRunWithTheDriverStatus) {
    ShedmateRun run(RunOptions{.env = {{script::devicesEnv, ""}}});
    ASSERT_TRUE(run.expectOutputNext("ERROR: FT_Open returned: 2 (FT_DEVICE_NOT_FOUND: no such "
                                     "device is attached (unplugged or switched off?))\n"));
    ASSERT_TRUE(run.expectExit(1));
    std::string log = run.log();
    EXPECT_EQ(log.rfind("\n\nShedmate: starting at ", 0), 0u) << log;
    EXPECT_TRUE(contains(log, "Number of devices is 0\n"));
    EXPECT_TRUE(lacks(log, "Dev "));
    EXPECT_TRUE(contains(log, "FT_Open returned 2\nopenLoom failed: 2\n"));
    EXPECT_TRUE(contains(log, "Shedmate exiting at "));
}

TEST(Device, FailedOpenReportsTheStatusTheDriverGave) {
    ShedmateRun run(RunOptions{.env = {{script::openStatusEnv, "3"}}});
    ASSERT_TRUE(run.expectOutputNext("ERROR: FT_Open returned: 3 (FT_DEVICE_NOT_OPENED: the device "
                                     "is in use, or the kernel's ftdi_sio driver holds it)\n"));
    ASSERT_TRUE(run.expectExit(1));
    std::string log = run.log();
    EXPECT_TRUE(contains(log, "Number of devices is 1\n"));
    EXPECT_TRUE(contains(log, "  Description=FT245R USB FIFO\n"));
    EXPECT_TRUE(contains(log, "openLoom failed: 3\n"));
}

TEST(Device, OfSeveralTheLastFifoIsOpened) {
    ShedmateRun run(
        RunOptions{.env = {{script::devicesEnv,
                            "FT245R USB FIFO|FT232R USB UART|FT245R USB FIFO|FT232R USB UART"}}});
    ASSERT_TRUE(logIn(run, {}, Login::reported, false));
    EXPECT_EQ(run.openedIndex(), 2);
    // The console says there are several, and names the device it opened.
    EXPECT_EQ(run.output().rfind(
                  "2 looms are attached (VL000001, VL000003); using the last one listed, "
                  "VL000003. To use another, start Shedmate with --device (shedmate list shows "
                  "them).\nConnecting to the loom (FT245R USB FIFO, serial VL000003)\u2026\n",
                  0),
              0u)
        << run.output();
    ASSERT_TRUE(run.expectOutput(menuPrompt));
    ASSERT_TRUE(quitCleanly(run));
    std::string log = run.log();
    EXPECT_TRUE(contains(log, "Number of devices is 4\n"));
    EXPECT_TRUE(contains(log, "\nDev 3:\n"));
    EXPECT_EQ(countOf(log, "  Description=FT232R USB UART\n"), 2) << log;
    EXPECT_TRUE(contains(log, "FT_Open succeeded\n"));
}

TEST(Device, ALoneDeviceOfAnotherKindIsOpenedAnyway) {
    ShedmateRun run(RunOptions{.env = {{script::devicesEnv, "FT232R USB UART"}}});
    ASSERT_TRUE(logIn(run));
    EXPECT_EQ(run.openedIndex(), 0);
    ASSERT_TRUE(run.expectOutput(menuPrompt));
    ASSERT_TRUE(quitCleanly(run));
}

} // namespace
} // namespace e2e
