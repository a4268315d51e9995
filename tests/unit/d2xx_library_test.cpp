// The load failure's text for FTDI's library.
#include <gtest/gtest.h>

#include "link/drivers/d2xx_library.h"

TEST(D2xxLibrary, LoaderReasonNamesTheFileWhereWindowsLeftItsPlaceholder) {
    EXPECT_EQ(d2xxLoaderReason("ftd2xx.dll", "Bad EXE format for %1"),
              "ftd2xx.dll: Bad EXE format for ftd2xx.dll");
    EXPECT_EQ(d2xxLoaderReason("ftd2xx.dll", "%1 is not a valid Win32 application; %1"),
              "ftd2xx.dll: ftd2xx.dll is not a valid Win32 application; ftd2xx.dll");
}
