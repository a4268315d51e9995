// The commands' JSON documents: their fields, and text from the controller
// that is not valid UTF-8 replaced rather than thrown over.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "console/results.h"

namespace {

using nlohmann::json;

const std::string badUtf8 = "LOOM-\xff\xc3";
const std::string replaced = "LOOM-\xef\xbf\xbd\xef\xbf\xbd";

TEST(ResultDocuments, ParseBackWithInvalidUtf8Replaced) {
    LoomView loom{badUtf8,        "2.18",        "CONNECTED",
                  "192.168.1.23", "WIFI_ON",     "Caf\xc3\xa9-Hall",
                  "DHCP_ON",      "192.168.1.50"};
    ListedDevice device;
    device.description = "FT245R USB FIFO";
    device.serial = "A1\x80";

    json show = json::parse(showJson(device, loom));
    EXPECT_EQ(show["device"]["serial"], "A1\xef\xbf\xbd");
    EXPECT_EQ(show["name"], replaced);
    EXPECT_EQ(show["network"], "Caf\xc3\xa9-Hall");
    for (const char* key : {"version", "state", "currentAddress", "wifi", "dhcp", "staticAddress"})
        EXPECT_TRUE(show[key].is_string()) << key;

    json scan =
        json::parse(scanJson({{badUtf8, -52, "WPA2"}, {"Open-Shed", std::nullopt, "NONE"}}));
    ASSERT_EQ(scan.size(), 2u);
    EXPECT_EQ(scan[0]["ssid"], replaced);
    EXPECT_EQ(scan[0]["signal"], -52);
    EXPECT_TRUE(scan[1]["signal"].is_null());
    EXPECT_EQ(scan[1]["encryption"], "NONE");

    SetOutcome outcome;
    outcome.notApplied = {{"name", "LOOM-8", badUtf8}};
    outcome.refusals = {"bad address \"1.2.3\""};
    outcome.settings = loom;
    json set = json::parse(setJson(outcome));
    EXPECT_EQ(set["applied"], false);
    EXPECT_EQ(set["notApplied"][0]["field"], "name");
    EXPECT_EQ(set["notApplied"][0]["reported"], replaced);
    EXPECT_EQ(set["refusals"][0], "bad address \"1.2.3\"");
    EXPECT_EQ(set["settings"]["name"], replaced);
}

} // namespace
