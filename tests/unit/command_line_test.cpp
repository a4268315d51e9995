// The programs' options: --help, --version, shedmate-demo's --fast, and
// mistakes answered with the usage on standard error and status 2.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/version.h"
#include "console/command_line.h"
#include "support/checks.h"

namespace {

struct Case {
    const char* name;
    const char* program;
    std::vector<const char*> args;
    CommandLine::Action action;
    bool fast;
    const char* unknown;
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

class CommandLineParse : public ::testing::TestWithParam<Case> {};

TEST_P(CommandLineParse, GivesTheActionAndOptions) {
    const Case& c = GetParam();
    std::vector<const char*> argv{c.program};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    CommandLine line = parseCommandLine(c.program, static_cast<int>(argv.size()), argv.data());
    EXPECT_EQ(line.action, c.action);
    EXPECT_EQ(line.fast, c.fast);
    EXPECT_STREQ(line.unknown, c.unknown);
}

INSTANTIATE_TEST_SUITE_P(
    Options, CommandLineParse,
    ::testing::Values(
        Case{"NoArguments", "shedmate", {}, CommandLine::run, false, nullptr},
        Case{"Help", "shedmate", {"--help"}, CommandLine::help, false, nullptr},
        Case{"Version", "shedmate", {"--version"}, CommandLine::version, false, nullptr},
        Case{"FirstOfHelpAndVersionWins",
             "shedmate",
             {"--help", "--version"},
             CommandLine::help,
             false,
             nullptr},
        // A mistake anywhere wins, so a typo is never silently run past.
        Case{"MistakeWinsOverVersion",
             "shedmate",
             {"--version", "-x"},
             CommandLine::misuse,
             false,
             "-x"},
        Case{"PositionalArgument", "shedmate", {"COM3"}, CommandLine::misuse, false, "COM3"},
        // --fast belongs to the demo only.
        Case{"FastOnlyForTheDemo", "shedmate", {"--fast"}, CommandLine::misuse, false, "--fast"},
        Case{"DemoFast", "shedmate-demo", {"--fast"}, CommandLine::run, true, nullptr},
        Case{"DemoFastThenHelp",
             "shedmate-demo",
             {"--fast", "--help"},
             CommandLine::help,
             true,
             nullptr}),
    caseName<Case>);

TEST(CommandLineAnswer, HelpAndVersionOnStdoutMistakesOnStderrWithStatusTwo) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(answerCommandLine("shedmate", {CommandLine::help}), 0);
    EXPECT_EQ(answerCommandLine("shedmate", {CommandLine::version}), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("usage: shedmate [--help] [--version]\n", 0), 0u) << out;
    EXPECT_TRUE(contains(out, "shedmate " + std::string(shedmateVersion()) + "\n"));

    testing::internal::CaptureStderr();
    EXPECT_EQ(answerCommandLine("shedmate-demo", {CommandLine::misuse, false, "--slow"}), 2);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(contains(err, "unknown option '--slow'"));
    EXPECT_TRUE(contains(err, "usage: shedmate-demo [--fast]"));

    EXPECT_EQ(answerCommandLine("shedmate", {CommandLine::run}), -1);
}

} // namespace
