// The executables against the virtual loom's own model of the controller, as
// someone trying the program without a loom runs them.
#include "conversation.h"
#include "harness.h"
#include "virtual_loom/ftd2xx/script_link.h"

namespace e2e {
namespace {

namespace script = vloom::script;

RunOptions modelRun(const std::string& executable,
                    std::vector<std::pair<std::string, std::string>> env = {}) {
    RunOptions options;
    options.executable = executable;
    options.scripted = false;
    options.env = std::move(env);
    return options;
}

void loginShowsLoom7AndQuits(const std::string& executable) {
    ShedmateRun run(modelRun(executable));
    ASSERT_TRUE(run.expectOutput("\n\n\t\t\tCurrent Status\n"));
    ASSERT_TRUE(run.expectOutput("               Loom Name [1]: LOOM-7 - Version: 2.18\n"));
    ASSERT_TRUE(run.expectOutput(menuPrompt));
    // The menu shows at "</wifistatus>", a moment before the "<ready>" that
    // lets "close" go out; an operator is never that quick.
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    run.type("q\n");
    ASSERT_TRUE(run.expectExit(0));
    std::string log = run.log();
    EXPECT_TRUE(contains(log, "sendMsgToLoom(): [6] close\n"));
    EXPECT_TRUE(contains(log, "Shedmate exiting at "));
}

TEST(Model, ShedmateLogsInShowsTheLoomAndQuits) {
    loginShowsLoom7AndQuits(shedmatePath());
}

TEST(Model, DemoLogsInShowsTheLoomAndQuits) {
    loginShowsLoom7AndQuits(demoPath());
}

TEST(Model, RenameIsAppliedAndReadBackFromTheLoom) {
    // Writes of three bytes at most: the model must put the lines together.
    ShedmateRun run(modelRun(shedmatePath(), {{script::maxWriteEnv, "3"}}));
    ASSERT_TRUE(run.expectOutput(menuPrompt));
    run.type("1\n");
    ASSERT_TRUE(run.expectOutput("\n\tNew Loom Name: "));
    run.type("LOOM-9\n");
    ASSERT_TRUE(run.expectOutput(menuPrompt));
    run.type("a\n");
    ASSERT_TRUE(run.expectOutput("\n\nPlease wait ."));
    // Only the loom's own report, after its restart, shows the new name here.
    ASSERT_TRUE(run.expectOutput("\n\n\t\t\tCurrent Status\n"));
    ASSERT_TRUE(run.expectOutput("               Loom Name [1]: LOOM-9 - Version: 2.18\n"));
    ASSERT_TRUE(run.expectOutput(menuPrompt));
    run.type("q\n");
    ASSERT_TRUE(run.expectExit(0));
    EXPECT_TRUE(contains(run.log(), "processMsg(): <hostname=\"LOOM-9\"/>\n"));
}

} // namespace
} // namespace e2e
