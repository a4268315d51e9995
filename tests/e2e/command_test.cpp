// The programs' command lines, through the real executables against the
// virtual loom library: each case one behaviour of a command or option, its
// output (JSON parsed, not grepped), its exit status, and whether a device was
// opened at all.
#include <filesystem>

#include <nlohmann/json.hpp>

#include "conversation.h"
#include "harness.h"
#include "virtual_loom/ftd2xx/script_link.h"

namespace e2e {
namespace {

namespace script = vloom::script;
using nlohmann::json;
using Env = std::vector<std::pair<std::string, std::string>>;

const Env twoLoomsAndAUart{{script::devicesEnv, "FT245R USB FIFO|FT232R USB UART|FT245R USB FIFO"}};
const Env twoLooms{{script::devicesEnv, "FT245R USB FIFO|FT245R USB FIFO"}};

struct CommandCase {
    const char* name;
    std::vector<std::string> args;
    Env env;
    int status;
    // The index the library opens, the session then logged in and quit; -1:
    // no device is opened at all.
    int opens = -1;
    std::vector<std::string> console = {}; // standard output holds each
    std::vector<std::string> errors = {};  // standard error holds each
    void (*checkJson)(const json&) = nullptr;
    bool logWritten = true;
    bool demo = false;
};

// Named by its case in test listings, not dumped as bytes.
void PrintTo(const CommandCase& c, std::ostream* os) {
    *os << c.name;
}

class Commands : public ::testing::TestWithParam<CommandCase> {};

TEST_P(Commands, DoWhatTheySayAndEndWithTheirStatus) {
    const CommandCase& c = GetParam();
    RunOptions options;
    options.args = c.args;
    options.env = c.env;
    if (c.demo) {
        options.executable = demoPath();
        options.scripted = false;
    }
    ShedmateRun run(options);
    if (c.opens >= 0) {
        ASSERT_TRUE(logIn(run, {}, Login::reported, false));
        EXPECT_EQ(run.openedIndex(), c.opens);
        ASSERT_TRUE(run.expectOutput(menuPrompt));
        run.type("q\n");
        ASSERT_TRUE(run.expectWire("close\n"));
    }
    ASSERT_TRUE(run.expectExit(c.status));
    if (c.opens < 0 && !c.demo) {
        EXPECT_FALSE(run.acceptLoom(0)) << "a device was opened";
    }
    EXPECT_EQ(std::filesystem::exists(run.workDir() + "/Shedmate.log"), c.logWritten);

    std::string out = run.output();
    for (const std::string& needle : c.console)
        EXPECT_TRUE(contains(out, needle));
    std::string err = run.stderrText();
    for (const std::string& needle : c.errors)
        EXPECT_TRUE(contains(err, needle));
    if (c.checkJson) {
        json document = json::parse(out, nullptr, false);
        ASSERT_FALSE(document.is_discarded()) << out;
        c.checkJson(document);
    }
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, Commands,
    ::testing::Values(
        CommandCase{"UsageError", {"--bogus"}, {}, 2, -1, {}, {"usage: shedmate"}, nullptr, false},
        CommandCase{"ValueRefusedBeforeAnythingIsOpened",
                    {"set", "wifi=on", "name=" + std::string(33, 'n')},
                    {},
                    2,
                    -1,
                    {},
                    {"at most 32 bytes"},
                    nullptr,
                    false},
        CommandCase{"PassphraseNeverFromTheCommandLine",
                    {"set", "network=Dye-House", "passphrase=weft-and-warp"},
                    {},
                    2,
                    -1,
                    {},
                    {"--passphrase-file"},
                    nullptr,
                    false},

        // list opens no device and writes no log.
        CommandCase{"ListMarksWhatARunOpens",
                    {"list"},
                    twoLoomsAndAUart,
                    0,
                    -1,
                    {"   1  VL000002  0x1012    no      FT232R USB UART\n"
                     "*  2  VL000003  0x1013    yes     FT245R USB FIFO\n"},
                    {},
                    nullptr,
                    false},
        CommandCase{"ListAsJson",
                    {"list", "--json"},
                    twoLoomsAndAUart,
                    0,
                    -1,
                    {},
                    {},
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
                    false},
        CommandCase{"ListWithoutALoom",
                    {"list"},
                    {{script::devicesEnv, "FT232R USB UART"}},
                    1,
                    -1,
                    {"FT232R USB UART"},
                    {"No loom (FT245R USB FIFO) is attached."},
                    nullptr,
                    false},
        CommandCase{"DemoTakesTheCommands",
                    {"list", "--json"},
                    {},
                    0,
                    -1,
                    {},
                    {},
                    [](const json& list) {
                        ASSERT_EQ(list.size(), 1u);
                        EXPECT_EQ(list[0]["serial"], "VL000001");
                        EXPECT_EQ(list[0]["chosen"], true);
                    },
                    false,
                    true},

        CommandCase{"DeviceOpensExactlyTheOneNamed",
                    {"--device", "VL000001"},
                    twoLooms,
                    0,
                    0,
                    {"Connecting to the loom (FT245R USB FIFO, serial VL000001)"}},
        CommandCase{"AbsentDeviceIsNeverReplaced",
                    {"--device", "VL000009"},
                    twoLooms,
                    1,
                    -1,
                    {"ERROR: no attached device has the serial number or path \"VL000009\".\n"
                     "Attached FTDI devices:\n"
                     "\t0: FT245R USB FIFO, serial VL000001\n"
                     "\t1: FT245R USB FIFO, serial VL000002\n"}},
        CommandCase{"WaitSeesALoomAttachedLate",
                    {"--wait=10"},
                    {{script::attachMsEnv, "700"}},
                    0,
                    0,
                    {"Waiting for a loom (FT245R USB FIFO) to be attached; looking twice a second "
                     "for up to 10 s (Ctrl-C stops).\nConnecting to the loom ("}},
        CommandCase{"WaitGivesUpInTime",
                    {"--wait=1"},
                    {{script::devicesEnv, ""}},
                    1,
                    -1,
                    {"ERROR: no loom (FT245R USB FIFO) was attached within 1 s.\n"
                     "No FTDI device is attached.\n"}}),
    caseName<CommandCase>);

} // namespace
} // namespace e2e
