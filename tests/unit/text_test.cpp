// Text that is safe to print: what the controller or a device may send never
// drives the operator's terminal, while well-formed UTF-8 stays as it is.
#include <gtest/gtest.h>

#include <string>

#include "base/text.h"

namespace {

struct SafeCase {
    const char* why;
    std::string in;
    std::string out;
};

TEST(ConsoleSafe, KeepsPrintableTextAndDropsWhatCouldDriveATerminal) {
    const SafeCase cases[] = {
        {"ASCII and UTF-8 of 2, 3 and 4 bytes", "Caf\xc3\xa9 \xe7\xb9\x94 \xf0\x9f\xa7\xb5",
         "Caf\xc3\xa9 \xe7\xb9\x94 \xf0\x9f\xa7\xb5"},
        {"C0, DEL", "a\x1b[2Jb\x07\x7f\tc", "a[2Jbc"},
        {"C1 in UTF-8 (CSI, NEL), the first character after them kept", "a\xc2\x9b\xc2\x85\xc2\xa0",
         "a\xc2\xa0"},
        {"overlong, surrogate, beyond U+10FFFF",
         "\xc0\xbc\xe0\x80\xbc\xed\xa0\x80\xf4\x90\x80\x80x", "x"},
        {"stray continuation, cut-off sequence at the end", "\x80z\xe2\x82", "z"},
    };
    for (const SafeCase& c : cases) {
        SCOPED_TRACE(c.why);
        EXPECT_EQ(consoleSafe(c.in), c.out);
    }
}

} // namespace
