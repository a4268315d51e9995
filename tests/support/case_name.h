// Parameterised cases named by their `name` member: the generator for
// INSTANTIATE_TEST_SUITE_P. Each case type also gets a PrintTo of its own, so
// that what gtest prints for GetParam() is that name and not the bytes.
#pragma once

#include <string>

#include <gtest/gtest.h>

template <typename Case> std::string caseName(const testing::TestParamInfo<Case>& info) {
    return info.param.name;
}
