// The load failure's text for FTDI's library, and the order its files are tried in.
#include <gtest/gtest.h>

#include <string>

#include "link/drivers/d2xx_library.h"

namespace {

// A library every machine has that is no D2XX library.
#if defined(_WIN32)
constexpr const char* incomplete = "kernel32.dll";
#else
constexpr const char* incomplete = "libc.so.6";
#endif

TEST(D2xxLibrary, LoaderReasonNamesTheFileWhereWindowsLeftItsPlaceholder) {
    EXPECT_EQ(d2xxLoaderReason("ftd2xx.dll", "Bad EXE format for %1"),
              "ftd2xx.dll: Bad EXE format for ftd2xx.dll");
    EXPECT_EQ(d2xxLoaderReason("ftd2xx.dll", "%1 is not a valid Win32 application; %1"),
              "ftd2xx.dll: ftd2xx.dll is not a valid Win32 application; ftd2xx.dll");
}

// Runs before anything in this process has loaded a library (the contract
// suite's file comes later), which would be kept and handed out instead.
TEST(D2xxLibrary, AFailedLoadNamesEveryFileFoundWantingAndWhy) {
    const char* const files[] = {incomplete, "shedmate-no-such-library", nullptr};
    std::string error;
    EXPECT_EQ(d2xxLibraryDriverFrom(files, error), nullptr);
    EXPECT_NE(error.find(std::string("could not be loaded (") + incomplete +
                         ": it lacks FT_CreateDeviceInfoList; shedmate-no-such-library: "),
              std::string::npos)
        << error;
}

#if defined(SHEDMATE_VLOOM_LIB)
TEST(D2xxLibrary, AnIncompleteLibraryGivesWayToTheNextName) {
    const char* const files[] = {incomplete, SHEDMATE_VLOOM_LIB, nullptr};
    std::string error;
    EXPECT_NE(d2xxLibraryDriverFrom(files, error), nullptr) << error;
}
#endif

} // namespace
