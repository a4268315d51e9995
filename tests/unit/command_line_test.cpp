// The programs' command lines: what each one runs, --help and --version, the
// mistakes answered with status 2, and the set values refused before anything
// is opened.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "base/version.h"
#include "console/command_line.h"
#include "support/checks.h"

namespace {

const std::string name32(32, 'n');

struct Case {
    const char* name;
    std::vector<const char*> args;
    int status;       // -1: runs
    const char* text; // status 0: in the output; 2: in the error
    void (*check)(const Invocation&) = nullptr;
    const char* program = "shedmate";
    bool terminal = false;
};

// Named by its case in test listings, not dumped as bytes.
void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

class CommandLineParse : public ::testing::TestWithParam<Case> {};

TEST_P(CommandLineParse, RunsAnswersOrRefuses) {
    const Case& c = GetParam();
    std::vector<const char*> argv{c.program};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    CommandLine line =
        parseCommandLine(c.program, static_cast<int>(argv.size()), argv.data(), c.terminal);
    ASSERT_EQ(line.status, c.status) << line.err;
    if (c.status == 0) {
        EXPECT_TRUE(contains(line.out, c.text));
    }
    if (c.status == 2) {
        EXPECT_TRUE(contains(line.err, c.text));
        // Every mistake is answered with the usage it broke.
        EXPECT_TRUE(contains(line.err, std::string("usage: ") + c.program));
        EXPECT_TRUE(line.out.empty());
    }
    if (c.check)
        c.check(line.invocation);
}

INSTANTIATE_TEST_SUITE_P(
    Programs, CommandLineParse,
    ::testing::Values(
        Case{"Interactive",
             {},
             -1,
             "",
             [](const Invocation& i) {
                 EXPECT_EQ(i.command, Command::interactive);
                 EXPECT_TRUE(i.device.id.empty());
                 EXPECT_FALSE(i.device.wait);
             }},
        Case{"DeviceAndWaitUntilInterrupted",
             {"--device", "A1B2C3", "--wait"},
             -1,
             "",
             [](const Invocation& i) {
                 EXPECT_EQ(i.device.id, "A1B2C3");
                 EXPECT_TRUE(i.device.wait);
                 EXPECT_EQ(i.device.waitSeconds, -1);
             }},
        // --wait takes its seconds only after '=': "--wait set" is no number.
        Case{"WaitSecondsAfterTheCommand",
             {"list", "--wait=5", "--json"},
             -1,
             "",
             [](const Invocation& i) {
                 EXPECT_EQ(i.command, Command::list);
                 EXPECT_EQ(i.device.waitSeconds, 5);
                 EXPECT_TRUE(i.json);
             }},
        Case{"ShowWithTimeout",
             {"show", "--timeout", "5"},
             -1,
             "",
             [](const Invocation& i) {
                 EXPECT_EQ(i.command, Command::show);
                 EXPECT_EQ(i.timeoutSeconds, 5);
                 EXPECT_FALSE(i.json);
             }},
        Case{"SetEveryField",
             {"set",
              "name="
              "nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn",
              "address=10.0.0.9", "wifi=ON", "dhcp=off", "network=Caf\xc3\xa9-Hall",
              "encryption=wpa2", "--passphrase-file", "-"},
             -1,
             "",
             [](const Invocation& i) {
                 ASSERT_EQ(i.command, Command::set);
                 EXPECT_EQ(i.set.name, name32);
                 EXPECT_EQ(i.set.address, "10.0.0.9");
                 EXPECT_EQ(i.set.wifi, true);
                 EXPECT_EQ(i.set.dhcp, false);
                 EXPECT_EQ(i.set.network, "Caf\xc3\xa9-Hall");
                 EXPECT_EQ(i.set.encryption, "WPA2");
                 EXPECT_EQ(i.set.passphraseFile, "-");
             }},
        Case{"FirmwareWithYes",
             {"firmware", "image.bin", "--yes"},
             -1,
             "",
             [](const Invocation& i) {
                 EXPECT_EQ(i.command, Command::firmware);
                 EXPECT_EQ(i.firmwareFile, "image.bin");
                 EXPECT_TRUE(i.yes);
             }},
        Case{"FirmwareAsksOnATerminal",
             {"firmware", "image.bin"},
             -1,
             "",
             [](const Invocation& i) { EXPECT_FALSE(i.yes); },
             "shedmate",
             true},
        Case{"DemoFastAfterTheCommand",
             {"show", "--fast"},
             -1,
             "",
             [](const Invocation& i) { EXPECT_TRUE(i.fast); },
             "shedmate-demo"},

        Case{"Help", {"--help"}, 0, "usage: shedmate [--device ID] [--wait[=SECONDS]]\n"},
        Case{"CommandHelp", {"set", "--help"}, 0, "usage: shedmate set FIELD=VALUE..."},
        Case{"Version", {"--version"}, 0, "shedmate "},
        Case{"CommandVersion", {"scan", "--version"}, 0, "shedmate "},

        Case{"UnknownOption", {"-x"}, 2, "-x"},
        // A mistake anywhere wins, so a typo is never silently run past.
        Case{"MistakeWinsOverVersion", {"--version", "-x"}, 2, "-x"},
        Case{"PositionalArgument", {"COM3"}, 2, "COM3"},
        Case{"FastOnlyForTheDemo", {"--fast"}, 2, "--fast"},
        Case{"WaitNegative", {"--wait=-2"}, 2, "--wait"},
        Case{"WaitNoNumber", {"--wait=soon"}, 2, "soon"},
        Case{"EmptyDevice", {"--device", ""}, 2, "serial number or a path"},
        Case{"TimeoutZero", {"scan", "--timeout", "0"}, 2, "--timeout"},
        Case{"SetNothing", {"set"}, 2, "FIELD=VALUE"},
        Case{"NameTooLong",
             {"set", "name=nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn"},
             2,
             "at most 32 bytes (this one has 33)"},
        Case{"QuoteInAValue", {"set", "address=10.0.0.9\""}, 2, "double quote"},
        Case{"WifiNeitherOnNorOff", {"set", "wifi=maybe"}, 2, "on or off"},
        Case{
            "UnknownKind", {"set", "network=Hall", "encryption=WPA3"}, 2, "NONE, WEP, WPA or WPA2"},
        Case{"PassphraseNeverFromTheCommandLine",
             {"set", "passphrase=secret"},
             2,
             "--passphrase-file"},
        Case{"UnknownField", {"set", "ssid=Hall"}, 2, "unknown field \"ssid\""},
        Case{"FieldTwice", {"set", "name=A", "name=B"}, 2, "twice"},
        Case{"NoEquals", {"set", "LOOM-3"}, 2, "is not FIELD=VALUE"},
        Case{"EmptyValue", {"set", "name="}, 2, "needs a value"},
        Case{"KindWithoutNetwork", {"set", "encryption=WPA2"}, 2, "goes with network="},
        Case{"PassphraseFileWithoutNetwork",
             {"set", "name=A", "--passphrase-file", "p.txt"},
             2,
             "goes with network="},
        Case{"PassphraseForAnOpenNetwork",
             {"set", "network=Hall", "encryption=none", "--passphrase-file", "p.txt"},
             2,
             "takes no passphrase"},
        Case{"FirmwareWithoutYesOrTerminal", {"firmware", "image.bin"}, 2, "--yes"},
        Case{"EncryptedWithoutPassphraseOrTerminal",
             {"set", "network=Hidden", "encryption=WPA2"},
             2,
             "needs --passphrase-file"}),
    caseName<Case>);

struct FileCase {
    const char* name;
    std::string content; // written to the file, or fed as standard input for "-"
    bool fromStandardInput;
    const char* encryption;
    bool ok;
    const char* expected; // the passphrase, or part of the error
};

// Named by its case in test listings, not dumped as bytes.
void PrintTo(const FileCase& c, std::ostream* os) {
    *os << c.name;
}

class PassphraseFile : public ::testing::TestWithParam<FileCase> {};

TEST_P(PassphraseFile, TakesTheFirstLineWithinTheRules) {
    const FileCase& c = GetParam();
    std::FILE* in = std::tmpfile();
    ASSERT_NE(in, nullptr);
    std::string path = "-";
    if (c.fromStandardInput) {
        std::fwrite(c.content.data(), 1, c.content.size(), in);
        std::rewind(in);
    } else {
        path = "passphrase.txt";
        std::ofstream(path, std::ios::binary) << c.content;
    }
    std::string passphrase, error;
    bool ok = readPassphraseFile(path, in, c.encryption, passphrase, error);
    std::fclose(in);
    ASSERT_EQ(ok, c.ok) << error;
    if (ok) {
        EXPECT_EQ(passphrase, c.expected);
    } else {
        EXPECT_TRUE(contains(error, c.expected));
        // Nothing of a refused passphrase is kept.
        EXPECT_TRUE(passphrase.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, PassphraseFile,
    ::testing::Values(
        FileCase{"FirstLineWithoutItsLineEnd", "weft-and-warp\r\nsecond line\n", false, "WPA2",
                 true, "weft-and-warp"},
        FileCase{"StandardInputWithoutALineEnd", "weft-and-warp", true, "WPA2", true,
                 "weft-and-warp"},
        FileCase{"FortyEightBytes", std::string(48, 'p') + "\n", false, "WPA2", true,
                 "pppppppppppppppppppppppppppppppppppppppppppppppp"},
        FileCase{"FortyNineBytes", std::string(49, 'p') + "\n", false, "WPA2", false,
                 "longer than 48 bytes"},
        FileCase{"ShortForWpa", "short\n", false, "WPA", false, "shorter than 8"},
        FileCase{"ShortWhileTheKindIsUnknown", "short\n", true, "", true, "short"},
        FileCase{"EmptyFirstLine", "\nweft-and-warp\n", false, "WPA2", false, "no passphrase"},
        FileCase{"Quote", "weft\"warp\n", false, "WPA2", false, "double quote"},
        FileCase{"NulByte", std::string("weft\0warp\n", 10), false, "WPA2", false, "NUL"}),
    caseName<FileCase>);

TEST(PassphraseFileMissing, SaysWhichFile) {
    std::string passphrase, error;
    EXPECT_FALSE(readPassphraseFile("no-such-file.txt", stdin, "WPA2", passphrase, error));
    EXPECT_TRUE(contains(error, "\"no-such-file.txt\""));
}

} // namespace
