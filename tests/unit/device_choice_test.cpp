// Which listed device a run opens: the automatic rule, or exactly the one the
// operator named by serial number or path, never another.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/device_list.h"
#include "support/checks.h"

namespace {

ListedDevice device(int index, const char* serial, const char* description, const char* path = "") {
    ListedDevice d;
    d.index = index;
    d.serial = serial;
    d.description = description;
    d.path = path;
    d.ft245r = describesLoom(description);
    return d;
}

const std::vector<ListedDevice> twoLoomsAndAUart{
    device(0, "A1", "FT245R USB FIFO", "/dev/ttyUSB0"),
    device(1, "B2", "FT232R USB UART", "/dev/ttyUSB1"),
    device(2, "C3", "FT245R USB FIFO", "/dev/ttyUSB2"),
};

struct ChoiceCase {
    const char* name;
    std::vector<ListedDevice> list;
    const char* id;
    int index;
    int looms;
    bool found; // what the choice is after is there (or, waiting, would end the wait)
};

// Named by its case in test listings, not dumped as bytes.
void PrintTo(const ChoiceCase& c, std::ostream* os) {
    *os << c.name;
}

class DeviceChoiceRule : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(DeviceChoiceRule, ChoosesExactlyWhatTheRuleSays) {
    const ChoiceCase& c = GetParam();
    ChosenDevice chosen = chooseDevice(c.list, c.id);
    EXPECT_EQ(chosen.index, c.index);
    EXPECT_EQ(chosen.looms, c.looms);
    DeviceChoice choice;
    choice.id = c.id;
    EXPECT_EQ(choiceFound(chosen, choice), c.found);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, DeviceChoiceRule,
    ::testing::Values(
        ChoiceCase{"AutomaticTakesTheLastLoom", twoLoomsAndAUart, "", 2, 2, true},
        ChoiceCase{"AutomaticOpensAnotherKindWhenAlone",
                   {device(0, "B2", "FT232R USB UART")},
                   "",
                   0,
                   0,
                   false},
        ChoiceCase{"AutomaticWithNothingListed", {}, "", -1, 0, false},
        ChoiceCase{"SerialNumber", twoLoomsAndAUart, "A1", 0, 2, true},
        ChoiceCase{"PathOfAnotherKind", twoLoomsAndAUart, "/dev/ttyUSB1", 1, 2, true},
        ChoiceCase{"AbsentIsNoneNotTheAutomaticOne", twoLoomsAndAUart, "Z9", -1, 2, false},
        // A part of a serial number or of a path names nothing.
        ChoiceCase{"NoPrefixMatch", twoLoomsAndAUart, "/dev/ttyUSB", -1, 2, false},
        ChoiceCase{"SharedSerialNumberIsNeither",
                   {device(0, "A1", "FT245R USB FIFO"), device(1, "A1", "FT245R USB FIFO")},
                   "A1",
                   -1,
                   2,
                   false}),
    caseName<ChoiceCase>);

} // namespace
