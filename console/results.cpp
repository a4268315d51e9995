#include "console/results.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

#include <nlohmann/json.hpp>

#include "base/text.h"
#include "protocol/settings.h"

namespace {

using Json = nlohmann::ordered_json;

// Invalid UTF-8 becomes U+FFFD instead of an exception.
std::string document(const Json& json) {
    return json.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

Json loomObject(const LoomView& loom) {
    return Json{{"name", loom.name},   {"version", loom.version},
                {"state", loom.state}, {"currentAddress", loom.currentAddress},
                {"wifi", loom.wifi},   {"network", loom.network},
                {"dhcp", loom.dhcp},   {"staticAddress", loom.staticAddress}};
}

std::string hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(value));
    return text;
}

// Characters, not bytes: UTF-8 continuation bytes take no column of their own.
size_t columns(const std::string& cell) {
    return static_cast<size_t>(std::count_if(cell.begin(), cell.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xc0) != 0x80;
    }));
}

// Columns padded to their widest cell.
std::string table(const std::vector<std::vector<std::string>>& rows) {
    std::vector<size_t> width;
    for (const auto& row : rows) {
        width.resize(std::max(width.size(), row.size()));
        for (size_t i = 0; i < row.size(); ++i)
            width[i] = std::max(width[i], columns(row[i]));
    }
    std::string out;
    for (const auto& row : rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size())
                line += std::string(width[i] - columns(row[i]) + 2, ' ');
        }
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        out += line + "\n";
    }
    return out;
}

} // namespace

LoomView viewOfLoom() {
    std::lock_guard<std::mutex> lock(settingsMutex);
    const LoomSettings& s = loomSettings;
    return LoomView{s.hostname, s.version, s.stateText, s.currentAddress,
                    s.wifi,     s.ssid,    s.dhcp,      s.staticAddress};
}

std::string listText(const std::vector<ListedDevice>& list, const ChosenDevice& chosen,
                     bool named) {
    if (list.empty())
        return "No FTDI device is attached.\n";
    bool paths = std::any_of(list.begin(), list.end(),
                             [](const ListedDevice& d) { return !d.path.empty(); });
    std::vector<std::vector<std::string>> rows;
    rows.push_back({"", "#", "SERIAL", "LOCATION", "FT245R", "DESCRIPTION"});
    if (paths)
        rows.front().push_back("PATH");
    for (const ListedDevice& d : list) {
        rows.push_back({d.index == chosen.index ? "*" : "", std::to_string(d.index),
                        d.serial.empty() ? "-" : printableText(d.serial), hex(d.locId),
                        d.ft245r ? "yes" : "no",
                        d.description.empty() ? "-" : printableText(d.description)});
        if (paths)
            rows.back().push_back(d.path.empty() ? "-" : printableText(d.path));
    }
    std::string out = table(rows);
    if (chosen.index < 0)
        return out;
    if (named)
        return out + "* is the device --device names.\n";
    if (chosen.looms == 0)
        return out + "* is the device a run without --device opens, although no FT245R USB FIFO "
                     "is attached.\n";
    return out + "* is the device a run without --device opens.\n";
}

std::string listJson(const std::vector<ListedDevice>& list, const ChosenDevice& chosen) {
    Json devices = Json::array();
    for (const ListedDevice& d : list)
        devices.push_back({{"index", d.index},
                           {"description", d.description},
                           {"serial", d.serial},
                           {"location", d.locId},
                           {"path", d.path.empty() ? Json() : Json(d.path)},
                           {"ft245r", d.ft245r},
                           {"chosen", d.index == chosen.index}});
    return document(devices);
}

std::string showJson(const ListedDevice& device, const LoomView& loom) {
    Json json{{"device", {{"description", device.description}, {"serial", device.serial}}}};
    json.update(loomObject(loom));
    return document(json);
}

std::string scanText(const std::vector<ScanEntry>& networks) {
    if (networks.empty())
        return "No networks found.\n";
    std::vector<std::vector<std::string>> rows;
    for (size_t i = 0; i < networks.size(); ++i) {
        const ScanEntry& n = networks[i];
        rows.push_back({"[" + std::to_string(i + 1) + "]", consoleSafe(n.ssid),
                        n.signal ? std::to_string(*n.signal) : "?", consoleSafe(n.encryption)});
    }
    return table(rows);
}

std::string scanJson(const std::vector<ScanEntry>& networks) {
    Json list = Json::array();
    for (const ScanEntry& n : networks)
        list.push_back({{"ssid", n.ssid},
                        {"signal", n.signal ? Json(*n.signal) : Json()},
                        {"encryption", n.encryption}});
    return document(list);
}

std::string setJson(const SetOutcome& outcome) {
    Json notApplied = Json::array();
    for (const NotTaken& n : outcome.notApplied)
        notApplied.push_back({{"field", n.field}, {"sent", n.sent}, {"reported", n.reported}});
    return document(Json{{"applied", outcome.applied},
                         {"notApplied", notApplied},
                         {"refusals", outcome.refusals},
                         {"settings", loomObject(outcome.settings)}});
}
