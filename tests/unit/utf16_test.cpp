// UTF-16 from Windows' wide API and the program's UTF-8: typed text and file
// names must come out as the same bytes a Linux terminal gives.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/utf16.h"

namespace {

struct DecodeCase {
    const char* why;
    std::vector<std::u16string> reads; // one console read each
    std::string utf8;
};

TEST(Utf16Decoder, GivesTheBytesATerminalWouldAcrossReads) {
    const DecodeCase cases[] = {
        {"ASCII, 2 and 3 bytes", {u"Caf\u00e9-Loom \u7e54"}, "Caf\xc3\xa9-Loom \xe7\xb9\x94"},
        {"a pair", {u"\U0001F9F5"}, "\xf0\x9f\xa7\xb5"},
        {"a pair split between two reads", {u"a\xd83e", u"\xddf5z"}, "a\xf0\x9f\xa7\xb5z"},
        {"a high half without its partner", {u"\xd83e", u"x"}, "\xef\xbf\xbdx"},
        {"a low half alone", {u"\xddf5x"}, "\xef\xbf\xbdx"},
    };
    for (const DecodeCase& c : cases) {
        SCOPED_TRACE(c.why);
        Utf16Decoder decoder;
        std::string out;
        for (const std::u16string& read : c.reads)
            decoder.decode(read.data(), read.size(), out);
        EXPECT_EQ(out, c.utf8);
    }
}

TEST(Utf16Decoder, ResetDropsAHalfPairThatWasWaiting) {
    Utf16Decoder decoder;
    std::string out;
    decoder.decode(u"\xd83e", 1, out);
    decoder.reset();
    decoder.decode(u"x", 1, out);
    EXPECT_EQ(out, "x");
}

struct EncodeCase {
    const char* why;
    std::string utf8;
    std::u16string utf16;
};

TEST(Utf16FromUtf8, KeepsWellFormedTextAndReplacesEachByteThatIsNot) {
    const EncodeCase cases[] = {
        {"ASCII, 2, 3 and 4 bytes", "f\xc3\xa9 \xe7\xb9\x94\xf0\x9f\xa7\xb5",
         u"f\u00e9 \u7e54\U0001F9F5"},
        {"stray continuation, cut off at the end", "\x80z\xe2\x82", u"\ufffdz\ufffd\ufffd"},
        {"overlong", "\xc0\xbc\xe0\x80\xbc", u"\ufffd\ufffd\ufffd\ufffd\ufffd"},
        {"a surrogate, beyond U+10FFFF", "\xed\xa0\x80\xf4\x90\x80\x80",
         u"\ufffd\ufffd\ufffd\ufffd\ufffd\ufffd\ufffd"},
        {"a Latin-1 byte where UTF-8 belongs", "f\xe9.bin", u"f\ufffd.bin"},
    };
    for (const EncodeCase& c : cases) {
        SCOPED_TRACE(c.why);
        EXPECT_EQ(utf16FromUtf8(c.utf8), c.utf16);
    }
}

} // namespace
