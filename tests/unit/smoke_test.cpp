#include <gtest/gtest.h>

#include "support/fake_driver.h"
#include "support/session.h"

TEST(Smoke, NoDeviceRunEnds) {
    resetProgramState();
    ConsoleCapture console;
    SessionThread run;
    ASSERT_TRUE(run.join());
    EXPECT_EQ(run.exitStatus(), 1);
}
