// The programs' command lines, through the real executables against the
// virtual loom library: each case one behaviour of a command or option, what
// the controller sees and says, the results on standard output (JSON parsed,
// not grepped), the notices on standard error, the log and the exit status.
#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

#include "conversation.h"
#include "harness.h"
#include "virtual_loom/ftd2xx/script_link.h"

namespace e2e {
namespace {

namespace script = vloom::script;
using nlohmann::json;
using Env = std::vector<std::pair<std::string, std::string>>;
using Play = void (*)(ShedmateRun&);

const Env twoLoomsAndAUart{{script::devicesEnv, "FT245R USB FIFO|FT232R USB UART|FT245R USB FIFO"}};
const Env twoLooms{{script::devicesEnv, "FT245R USB FIFO|FT245R USB FIFO"}};
const Env noDevice{{script::devicesEnv, ""}};

// Where an argument says IMAGE, the path of a firmware image the case holds.
constexpr char imageArg[] = "IMAGE";

struct CommandCase {
    const char* name;
    std::vector<std::string> args;
    int status;
    // The controller's side, then the operator's; null: no device is opened at all.
    Play play = nullptr;
    Env env = {};
    std::string input = {};                   // on standard input from the start
    std::vector<std::string> out = {};        // standard output holds each
    std::vector<std::string> err = {};        // standard error holds each
    void (*checkJson)(const json&) = nullptr; // standard output is one JSON document
    std::vector<std::string> logged = {};     // the log holds each
    std::vector<std::string> unlogged = {};   // and none of these
    bool logWritten = true;
    bool demo = false;
    std::string image = {};
};

void PrintTo(const CommandCase& c, std::ostream* os) {
    *os << c.name;
}

// --- the controller's side

const std::string scanReply = "<wifiscan>\r\n<net=\"Weaving-Hall,-48,WPA2\"/>\r\n"
                              "<net=\"Dye House,-71,WPA\"/>\r\n<ready>\r\n";

void loggedIn(ShedmateRun& run, const LoomReport& r = {}) {
    ASSERT_TRUE(logIn(run, r, Login::reported, false));
}

// The run quits as 'q' does: "close" goes and nothing before it.
void closes(ShedmateRun& run) {
    ASSERT_TRUE(run.expectWire("close\n"));
}

void logInAndClose(ShedmateRun& run) {
    loggedIn(run);
    closes(run);
}

void scanned(ShedmateRun& run) {
    loggedIn(run);
    ASSERT_TRUE(run.expectWire("<wifiscan/>\n"));
    run.send(scanReply);
}

void scanAndClose(ShedmateRun& run) {
    scanned(run);
    closes(run);
}

// The apply of one change and the read-back of `after`.
void applied(ShedmateRun& run, const std::string& change, const LoomReport& after) {
    ASSERT_TRUE(playApply(run, {change}));
    ASSERT_TRUE(reportStatus(run, after));
    closes(run);
}

// The interactive program, opened on device `index`: 'q' at its menu.
template <int index> void interactiveOn(ShedmateRun& run) {
    loggedIn(run);
    EXPECT_EQ(run.openedIndex(), index);
    ASSERT_TRUE(run.expectOutput(menuPrompt));
    run.type("q\n");
    closes(run);
}

LoomReport renamed() {
    LoomReport r;
    r.hostname = "LOOM-9";
    return r;
}

LoomReport onNetwork(const char* ssid, const char* kind) {
    LoomReport r;
    r.ssid = ssid;
    r.encryption = kind;
    return r;
}

void image(ShedmateRun& run, const std::string& answer) {
    loggedIn(run);
    ASSERT_TRUE(run.expectWire("receivefirmware 10\r0123456789"));
    run.send(answer);
    closes(run);
}

class Commands : public ::testing::TestWithParam<CommandCase> {};

TEST_P(Commands, DoWhatTheySayAndEndWithTheirStatus) {
    const CommandCase& c = GetParam();
    RunOptions options;
    options.env = c.env;
    std::string imagePath;
    if (!c.image.empty()) {
        imagePath = testing::TempDir() + "shedmate-" + c.name + ".bin";
        std::ofstream(imagePath, std::ios::binary) << c.image;
    }
    for (const std::string& arg : c.args)
        options.args.push_back(arg == imageArg ? imagePath : arg);
    if (c.demo) {
        options.executable = demoPath();
        options.scripted = false;
    }
    ShedmateRun run(options);
    if (!c.input.empty())
        run.type(c.input);
    if (c.play)
        c.play(run);
    ASSERT_TRUE(run.expectExit(c.status));
    if (!c.play && !c.demo) {
        EXPECT_FALSE(run.acceptLoom(0)) << "a device was opened";
    }
    EXPECT_EQ(std::filesystem::exists(run.workDir() + "/Shedmate.log"), c.logWritten);

    std::string out = run.output();
    for (const std::string& needle : c.out)
        EXPECT_TRUE(contains(out, needle));
    std::string err = run.stderrText();
    for (const std::string& needle : c.err)
        EXPECT_TRUE(contains(err, needle));
    if (c.checkJson) {
        json document = json::parse(out, nullptr, false);
        ASSERT_FALSE(document.is_discarded()) << out;
        c.checkJson(document);
    }
    std::string log = run.log();
    for (const std::string& needle : c.logged)
        EXPECT_TRUE(contains(log, needle));
    for (const std::string& needle : c.unlogged)
        EXPECT_TRUE(lacks(log, needle));
    if (!imagePath.empty())
        std::filesystem::remove(imagePath);
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, Commands,
    ::testing::Values(
        CommandCase{.name = "UsageError",
                    .args = {"--bogus"},
                    .status = 2,
                    .err = {"usage: shedmate"},
                    .logWritten = false},
        CommandCase{.name = "ValueRefusedBeforeAnythingIsOpened",
                    .args = {"set", "wifi=on", "name=" + std::string(33, 'n')},
                    .status = 2,
                    .err = {"at most 32 bytes"},
                    .logWritten = false},
        CommandCase{.name = "PassphraseNeverFromTheCommandLine",
                    .args = {"set", "network=Dye-House", "passphrase=weft-and-warp"},
                    .status = 2,
                    .err = {"--passphrase-file"},
                    .logWritten = false},

        // list opens no device and writes no log.
        CommandCase{.name = "ListMarksWhatARunOpens",
                    .args = {"list"},
                    .status = 0,
                    .env = twoLoomsAndAUart,
                    .out = {"   1  VL000002  0x1012    no      FT232R USB UART\n"
                            "*  2  VL000003  0x1013    yes     FT245R USB FIFO\n"},
                    .logWritten = false},
        CommandCase{.name = "ListAsJson",
                    .args = {"list", "--json"},
                    .status = 0,
                    .env = twoLoomsAndAUart,
                    .checkJson =
                        [](const json& list) {
                            ASSERT_EQ(list.size(), 3u);
                            EXPECT_EQ(list[1]["serial"], "VL000002");
                            EXPECT_EQ(list[1]["description"], "FT232R USB UART");
                            EXPECT_EQ(list[1]["ft245r"], false);
                            EXPECT_EQ(list[2]["location"], 0x1013);
                            EXPECT_TRUE(list[2]["path"].is_null());
                            for (int i = 0; i < 3; ++i)
                                EXPECT_EQ(list[i]["chosen"], i == 2) << i;
                        },
                    .logWritten = false},
        CommandCase{.name = "ListWithoutALoom",
                    .args = {"list"},
                    .status = 1,
                    .env = {{script::devicesEnv, "FT232R USB UART"}},
                    .out = {"FT232R USB UART"},
                    .err = {"No loom (FT245R USB FIFO) is attached."},
                    .logWritten = false},
        CommandCase{.name = "DemoTakesTheCommands",
                    .args = {"list", "--json"},
                    .status = 0,
                    .checkJson =
                        [](const json& list) {
                            ASSERT_EQ(list.size(), 1u);
                            EXPECT_EQ(list[0]["serial"], "VL000001");
                            EXPECT_EQ(list[0]["chosen"], true);
                        },
                    .logWritten = false,
                    .demo = true},

        CommandCase{.name = "DeviceOpensExactlyTheOneNamed",
                    .args = {"--device", "VL000001"},
                    .status = 0,
                    .play = interactiveOn<0>,
                    .env = twoLooms,
                    .out = {"Connecting to the loom (FT245R USB FIFO, serial VL000001)"}},
        CommandCase{
            .name = "AbsentDeviceIsNeverReplaced",
            .args = {"--device", "VL000009"},
            .status = 1,
            .env = twoLooms,
            .out = {"ERROR: no attached device has the serial number or path \"VL000009\".\n"
                    "Attached FTDI devices:\n"
                    "\t0: FT245R USB FIFO, serial VL000001\n"
                    "\t1: FT245R USB FIFO, serial VL000002\n"}},
        CommandCase{.name = "WaitSeesALoomAttachedLate",
                    .args = {"--wait=10"},
                    .status = 0,
                    .play = interactiveOn<0>,
                    .env = {{script::attachMsEnv, "700"}},
                    .out = {"Waiting for a loom (FT245R USB FIFO) to be attached; looking twice a "
                            "second for up to 10 s (Ctrl-C stops).\nConnecting to the loom ("}},
        CommandCase{.name = "WaitGivesUpInTime",
                    .args = {"--wait=1"},
                    .status = 1,
                    .env = noDevice,
                    .out = {"ERROR: no loom (FT245R USB FIFO) was attached within 1 s.\n"
                            "No FTDI device is attached.\n"}},
        CommandCase{.name = "InterruptedWaitEndsAsASignalDoes",
                    .args = {"show", "--wait"},
                    .status = 130,
                    .play =
                        [](ShedmateRun& run) {
                            ASSERT_TRUE(run.expectLog("waiting for the device to be attached\n"));
                            run.interrupt(SIGINT);
                        },
                    .env = noDevice,
                    .err = {"Stopped waiting for the loom.\n"}},

        // show: the status screen's lines, or the report as JSON; the log names the command.
        CommandCase{.name = "ShowPrintsTheStatusScreen",
                    .args = {"show"},
                    .status = 0,
                    .play = logInAndClose,
                    .out = {statusScreen(LoomReport{})},
                    .err = {"Connecting to the loom (FT245R USB FIFO, serial VL000001)"},
                    .logged = {"\ncommand: shedmate show\n"}},
        CommandCase{.name = "ShowAsJson",
                    .args = {"show", "--json"},
                    .status = 0,
                    .play = logInAndClose,
                    .checkJson =
                        [](const json& loom) {
                            EXPECT_EQ(loom["device"]["serial"], "VL000001");
                            EXPECT_EQ(loom["device"]["description"], "FT245R USB FIFO");
                            EXPECT_EQ(loom["name"], "LOOM-7");
                            EXPECT_EQ(loom["version"], "2.18");
                            EXPECT_EQ(loom["currentAddress"], "192.168.1.23");
                            EXPECT_EQ(loom["network"], "Weaving-Hall");
                            EXPECT_EQ(loom["staticAddress"], "192.168.1.50");
                        }},
        CommandCase{.name = "SilentLoomEndsWithinTheTimeout",
                    .args = {"show", "--timeout", "1"},
                    .status = 4,
                    .play =
                        [](ShedmateRun& run) {
                            ASSERT_TRUE(run.acceptLoom());
                            ASSERT_TRUE(run.expectWire("\n"));
                        },
                    .err = {"ERROR: the loom did not answer within 1 s.\n"}},
        CommandCase{.name = "LinkLostDuringACommand",
                    .args = {"show"},
                    .status = 1,
                    .play =
                        [](ShedmateRun& run) {
                            ASSERT_TRUE(logIn(run, {}, Login::passwordSent, false));
                            ASSERT_TRUE(run.unplug(script::failAll));
                        },
                    .err = {linkLostLine}},

        CommandCase{.name = "ScanListsNameSignalAndKind",
                    .args = {"scan"},
                    .status = 0,
                    .play = scanAndClose,
                    .out = {"[1]  Weaving-Hall  -48  WPA2\n[2]  Dye House     -71  WPA\n"}},
        CommandCase{.name = "ScanAsJson",
                    .args = {"scan", "--json"},
                    .status = 0,
                    .play = scanAndClose,
                    .checkJson =
                        [](const json& list) {
                            ASSERT_EQ(list.size(), 2u);
                            EXPECT_EQ(list[1]["ssid"], "Dye House");
                            EXPECT_EQ(list[1]["signal"], -71);
                            EXPECT_EQ(list[1]["encryption"], "WPA");
                        }},

        // set: the wire as 'a' sends it, then the read-back.
        CommandCase{.name = "SetNameApplied",
                    .args = {"set", "name=LOOM-9", "--json"},
                    .status = 0,
                    .play =
                        [](ShedmateRun& run) {
                            loggedIn(run);
                            applied(run, "<netconfig hostname=\"LOOM-9\" />\n", renamed());
                        },
                    .checkJson =
                        [](const json& result) {
                            EXPECT_EQ(result["applied"], true);
                            EXPECT_TRUE(result["notApplied"].empty());
                            EXPECT_EQ(result["settings"]["name"], "LOOM-9");
                        },
                    .logged = {"set hostname: LOOM-9\n", "Applied.\n"}},
        CommandCase{.name = "SetRefusedByTheLoom",
                    .args = {"set", "address=10.0.0.999", "--json"},
                    .status = 3,
                    .play =
                        [](ShedmateRun& run) {
                            loggedIn(run);
                            ASSERT_TRUE(run.expectWire("<netdown/>\n"));
                            run.send("<ready>\r\n");
                            ASSERT_TRUE(run.expectWire("<netconfig address=\"10.0.0.999\" />\n"));
                            run.send("<error bad address \"10.0.0.999\">\r\n");
                            ASSERT_TRUE(run.expectWire("<netup/>\n"));
                            run.send("<ready>\r\n");
                            ASSERT_TRUE(reportStatus(run, {}));
                            closes(run);
                        },
                    .err = {"The loom refused: bad address \"10.0.0.999\"\n"},
                    .checkJson =
                        [](const json& result) {
                            EXPECT_EQ(result["applied"], false);
                            ASSERT_EQ(result["notApplied"].size(), 1u);
                            EXPECT_EQ(result["notApplied"][0]["field"], "address");
                            EXPECT_EQ(result["notApplied"][0]["sent"], "10.0.0.999");
                            EXPECT_EQ(result["notApplied"][0]["reported"], "192.168.1.50");
                            EXPECT_EQ(result["refusals"],
                                      json::array({"bad address \"10.0.0.999\""}));
                        }},
        CommandCase{.name = "SetNetworkFoundWithThePassphraseOnStandardInput",
                    .args = {"set", "network=Dye House", "--passphrase-file", "-"},
                    .status = 0,
                    .play =
                        [](ShedmateRun& run) {
                            scanned(run);
                            applied(run,
                                    "<wificonfig ssid=\"Dye House\" encryption=\"WPA\" "
                                    "passphrase=\"weft&warp 42\" />\n",
                                    onNetwork("Dye House", "WPA"));
                        },
                    .input = "weft&warp 42\n",
                    .out = {"Applied.\n"},
                    .logged = {"set ssid: Dye House\nset passphrase: ********\n"},
                    .unlogged = {"weft&warp"}},
        CommandCase{.name = "SetNetworkNotFound",
                    .args = {"set", "network=Loft"},
                    .status = 3,
                    .play = scanAndClose,
                    .err = {"ERROR: no network named \"Loft\" was found; nothing was applied.\n"
                            "The scan found:\n[1]  Weaving-Hall  -48  WPA2\n"},
                    .unlogged = {"applyChanges()"}},
        CommandCase{.name = "SetHiddenNetworkOfTheKindGiven",
                    .args = {"set", "network=Loft", "encryption=wpa2", "--passphrase-file", "-"},
                    .status = 0,
                    .play =
                        [](ShedmateRun& run) {
                            scanned(run);
                            applied(run,
                                    "<wificonfig ssid=\"Loft\" encryption=\"WPA2\" "
                                    "passphrase=\"weft-and-warp\" />\n",
                                    onNetwork("Loft", "WPA2"));
                        },
                    .input = "weft-and-warp\n"},
        CommandCase{.name = "EncryptedNetworkWithNoPassphraseAndNoTerminal",
                    .args = {"set", "network=Dye House"},
                    .status = 2,
                    .play = scanAndClose,
                    .err = {"\"Dye House\" is a WPA network: give its passphrase with "
                            "--passphrase-file FILE"}},

        // firmware: the menu's upload, its outcome the status.
        CommandCase{.name = "FirmwareAcknowledged",
                    .args = {"firmware", imageArg, "--yes"},
                    .status = 0,
                    .play = [](ShedmateRun& run) { image(run, "<ready>\r\n"); },
                    .err = {"the loom acknowledged it.\n"},
                    .image = "0123456789"},
        CommandCase{.name = "FirmwareRefused",
                    .args = {"firmware", imageArg, "--yes"},
                    .status = 3,
                    .play = [](ShedmateRun& run) { image(run, "<error bad image>\r\n"); },
                    .err = {"the loom refused it: bad image\n"},
                    .image = "0123456789"},
        CommandCase{.name = "FirmwareFileBadBeforeAnythingIsOpened",
                    .args = {"firmware", "/nonexistent/loom.bin", "--yes"},
                    .status = 2,
                    .err = {"Unable [2] to open /nonexistent/loom.bin"},
                    .logWritten = false}),
    caseName<CommandCase>);

} // namespace
} // namespace e2e
