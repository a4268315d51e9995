// Who may hold Shedmate.log open while a run starts: a viewer never stops the
// run; only another run is refused, and the log it holds is left as it is.
#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <string>
#include <windows.h>

#include "base/log.h"
#include "support/session.h"

namespace {

struct Holder {
    const char* why;
    DWORD share;
    LogRefusal refusal;
    int err;
};

class LogHeldOpen : public testing::TestWithParam<Holder> {};

TEST_P(LogHeldOpen, OnlyAnotherRunIsTakenForOne) {
    const Holder& h = GetParam();
    std::ofstream("Shedmate.log") << "what the earlier run wrote\n";
    HANDLE viewer = CreateFileA("Shedmate.log", GENERIC_READ, h.share, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(viewer, INVALID_HANDLE_VALUE);
    errno = 0;
    bool opened = logOpen();
    int err = errno;
    EXPECT_EQ(opened, h.refusal == LogRefusal::none);
    EXPECT_EQ(logRefusal(), h.refusal);
    if (!opened) {
        EXPECT_EQ(err, h.err);
        EXPECT_EQ(readLog(), "what the earlier run wrote\n");
    } else {
        // The log is the run's, and the viewer reads what it writes.
        logPrintFlush("seen\n");
        char text[16] = {};
        DWORD got = 0;
        ReadFile(viewer, text, sizeof text - 1, &got, nullptr);
        EXPECT_STREQ(text, "seen\r\n");
        // A second run finds the lock.
        LogRefusal second = LogRefusal::none;
        std::FILE* again = openLogFile("Shedmate.log", second);
        EXPECT_EQ(again, nullptr);
        EXPECT_EQ(second, LogRefusal::inUse);
        if (again)
            std::fclose(again);
        EXPECT_EQ(readLog(), "seen\n");
    }
    logClose();
    CloseHandle(viewer);
}

INSTANTIATE_TEST_SUITE_P(Viewers, LogHeldOpen,
                         testing::Values(Holder{"a viewer that lets others write",
                                                FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                LogRefusal::none, 0},
                                         Holder{"a viewer that lets no one write", FILE_SHARE_READ,
                                                LogRefusal::cannotCreate, EBUSY}),
                         [](const testing::TestParamInfo<Holder>& info) {
                             return info.param.share & FILE_SHARE_WRITE ? "SharingWrites"
                                                                        : "SharingNoWrites";
                         });

} // namespace
