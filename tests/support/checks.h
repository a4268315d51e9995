// Checks shared by the unit and end-to-end tests: texts that must or must not
// hold a line, and names for parameterised cases.
#pragma once

#include <string>

#include <gtest/gtest.h>

// needle is in text; a failure shows both.
inline testing::AssertionResult contains(const std::string& text, const std::string& needle) {
    if (text.find(needle) != std::string::npos)
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "\"" << needle << "\" is not in:\n" << text;
}

// needle is nowhere in text; a failure shows both.
inline testing::AssertionResult lacks(const std::string& text, const std::string& needle) {
    if (text.find(needle) == std::string::npos)
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "\"" << needle << "\" is in:\n" << text;
}

// How often needle occurs in text, not overlapping.
inline int countOf(const std::string& text, const std::string& needle) {
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size()))
        ++n;
    return n;
}

// The generator for INSTANTIATE_TEST_SUITE_P of cases with a `name` member.
// Each case type also gets a PrintTo of its own, so that what gtest prints
// for GetParam() is that name and not the bytes.
template <typename Case> std::string caseName(const testing::TestParamInfo<Case>& info) {
    return info.param.name;
}
