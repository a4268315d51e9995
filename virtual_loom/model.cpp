#include "virtual_loom/model.h"

#include <algorithm>
#include <cctype>
#include <utility>

namespace vloom {

namespace {

// Ticks wrap at 2^32; order is decided by signed difference.
bool before(uint32_t a, uint32_t b) {
    return static_cast<int32_t>(a - b) < 0;
}

// Lines that may wait while a scan or restart is under way; later ones are lost,
// as they would be in a controller's small input buffer.
constexpr size_t maxPending = 64;
// Output nobody collects is dropped past this.
constexpr size_t maxOutboxBytes = 64 * 1024;

constexpr char firmwareCommand[] = "receivefirmware";

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

std::string trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && isBlank(s[b]))
        ++b;
    while (e > b && isBlank(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

// A value echoed in an error must not end the message early or carry control
// bytes onto the wire.
std::string printable(const std::string& value) {
    constexpr size_t shown = 40;
    std::string out;
    for (size_t i = 0; i < value.size() && i < shown; ++i) {
        unsigned char c = static_cast<unsigned char>(value[i]);
        out += (c < 0x20 || c >= 0x7f || c == '<' || c == '>') ? '?' : static_cast<char>(c);
    }
    if (value.size() > shown)
        out += "...";
    return out;
}

std::string refusal(const std::string& what, const std::string& value) {
    return "<error bad " + what + " \"" + printable(value) + "\">";
}

bool plainText(const std::string& s, size_t maxLen) {
    if (s.size() > maxLen)
        return false;
    for (char ch : s) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c >= 0x7f || c == '"' || c == '<' || c == '>')
            return false;
    }
    return true;
}

// The banner carries the name up to a comma, so a comma would cut it short.
bool validHostname(const std::string& s) {
    return !s.empty() && plainText(s, 32) && s.find(',') == std::string::npos;
}

bool validSsid(const std::string& s) {
    return !s.empty() && plainText(s, 32);
}

bool validKind(const std::string& s) {
    return s == "NONE" || s == "WEP" || s == "WPA" || s == "WPA2";
}

// Four decimal parts of 1 to 3 digits, each at most 255.
bool validIpv4(const std::string& s) {
    int parts = 0;
    size_t i = 0;
    while (true) {
        size_t start = i;
        int value = 0;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9' && i - start < 3)
            value = value * 10 + (s[i++] - '0');
        if (i == start || value > 255)
            return false;
        ++parts;
        if (i == s.size())
            return parts == 4;
        if (s[i] != '.' || parts == 4)
            return false;
        ++i;
    }
}

struct Attr {
    std::string name;
    std::string value;
};

// name="value" pairs separated by blanks; false on anything else.
bool parseAttrs(const std::string& text, std::vector<Attr>& out) {
    size_t i = 0;
    while (true) {
        while (i < text.size() && isBlank(text[i]))
            ++i;
        if (i == text.size())
            return true;
        size_t start = i;
        while (i < text.size() && (std::isalnum(static_cast<unsigned char>(text[i])) ||
                                   text[i] == '_' || text[i] == '-'))
            ++i;
        if (i == start || i + 1 >= text.size() || text[i] != '=' || text[i + 1] != '"')
            return false;
        std::string name = text.substr(start, i - start);
        i += 2;
        size_t close = text.find('"', i);
        if (close == std::string::npos)
            return false;
        out.push_back({std::move(name), text.substr(i, close - i)});
        i = close + 1;
    }
}

// "receivefirmware N" with N in decimal; sets `ok` false when N is unusable.
bool firmwareLength(const std::string& line, size_t& length, bool& ok) {
    std::string s = trim(line);
    constexpr size_t cmdLen = sizeof firmwareCommand - 1;
    if (s.compare(0, cmdLen, firmwareCommand) != 0)
        return false;
    if (s.size() > cmdLen && !isBlank(s[cmdLen]))
        return false;
    std::string digits = trim(s.substr(cmdLen));
    ok = !digits.empty() && digits.size() <= 9 &&
         std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
    length = ok ? std::stoul(digits) : 0;
    if (length > Model::maxFirmwareBytes)
        ok = false;
    return true;
}

std::vector<Network> networksInRange() {
    return {
        {"Weaving-Hall", -42, "WPA2"}, {"Dye-House", -58, "WPA"},      {"Visitors", -64, "NONE"},
        {"Warehouse-Old", -77, "WEP"}, {"Office 2.4GHz", -83, "WPA2"},
    };
}

} // namespace

Model::Model(Timing timing) : timing_(timing), networks_(networksInRange()) {
    bringNetworkUp();
}

void Model::receive(const char* data, size_t n, uint32_t nowMs) {
    advance(nowMs);
    lex(data, n, nowMs);
    advance(nowMs);
}

std::string Model::takeOutput(uint32_t nowMs) {
    advance(nowMs);
    std::string out;
    while (!outbox_.empty() && !before(nowMs, outbox_.front().dueMs)) {
        out += outbox_.front().bytes;
        outboxBytes_ -= outbox_.front().bytes.size();
        outbox_.pop_front();
    }
    return out;
}

int Model::msUntilNextOutput(uint32_t nowMs) const {
    // Answers leave in order, so the oldest waiting one decides; with none
    // waiting, a job's answer is due when the job ends.
    uint32_t due;
    if (!outbox_.empty())
        due = outbox_.front().dueMs;
    else if (busy_)
        due = busyUntil_;
    else if (!inbox_.empty())
        return 0;
    else
        return -1;
    int32_t wait = static_cast<int32_t>(due - nowMs);
    return wait > 0 ? wait : 0;
}

void Model::advance(uint32_t nowMs) {
    for (;;) {
        if (busy_) {
            if (before(nowMs, busyUntil_))
                return;
            busy_ = false;
            catchingUp_ = true;
            freeSince_ = busyUntil_;
            finishJob(busyUntil_);
            continue;
        }
        if (inbox_.empty()) {
            catchingUp_ = false;
            return;
        }
        Pending p = std::move(inbox_.front());
        inbox_.pop_front();
        // A line that waited for a job is taken up when the job ended.
        uint32_t t = catchingUp_ && before(p.arrivedMs, freeSince_) ? freeSince_ : p.arrivedMs;
        handle(p, t);
    }
}

void Model::lex(const char* data, size_t n, uint32_t nowMs) {
    size_t i = 0;
    while (i < n) {
        if (firmwareOwed_ > 0) {
            // Image bytes are counted, never looked at.
            size_t take = std::min(firmwareOwed_, n - i);
            firmwareOwed_ -= take;
            firmwareBytes_ += take;
            i += take;
            if (firmwareOwed_ == 0)
                enqueue(Kind::Firmware, {}, nowMs);
            continue;
        }
        char c = data[i++];
        if (c == '\n') {
            endOfLine(nowMs);
        } else if (overlong_) {
            // Skipping to the end of a line too long to keep.
        } else if (c == '\r' && startFirmware(nowMs)) {
            // The firmware command ends in a carriage return alone.
        } else if (lineBuf_.size() >= maxLineBytes) {
            overlong_ = true;
            lineBuf_.clear();
        } else {
            lineBuf_ += c;
        }
    }
}

bool Model::startFirmware(uint32_t nowMs) {
    size_t length = 0;
    bool ok = false;
    if (!firmwareLength(lineBuf_, length, ok))
        return false;
    lineBuf_.clear();
    if (!ok) {
        enqueue(Kind::BadFirmwareLength, {}, nowMs);
    } else if (length == 0) {
        enqueue(Kind::Firmware, {}, nowMs);
    } else {
        firmwareOwed_ = length;
    }
    return true;
}

void Model::endOfLine(uint32_t nowMs) {
    if (overlong_) {
        overlong_ = false;
        enqueue(Kind::Overlong, {}, nowMs);
        return;
    }
    if (startFirmware(nowMs))
        return;
    enqueue(Kind::Line, std::move(lineBuf_), nowMs);
    lineBuf_.clear();
}

void Model::enqueue(Kind kind, std::string line, uint32_t nowMs) {
    if (inbox_.size() >= maxPending)
        return;
    inbox_.push_back({kind, std::move(line), nowMs});
}

void Model::send(const std::string& message, uint32_t dueMs) {
    std::string bytes = message + "\r\n";
    if (outboxBytes_ + bytes.size() > maxOutboxBytes)
        return;
    outboxBytes_ += bytes.size();
    if (!outbox_.empty() && outbox_.back().dueMs == dueMs)
        outbox_.back().bytes += bytes;
    else
        outbox_.push_back({dueMs, std::move(bytes)});
}

void Model::handle(const Pending& p, uint32_t t) {
    if (++answered_ % logEvery == 0)
        reply("<log watchdog ok, " + std::to_string(answered_) + " commands>", t);
    switch (p.kind) {
    case Kind::Overlong:
        reply("<error line too long>", t);
        break;
    case Kind::BadFirmwareLength:
        reply("<error bad firmware length>", t);
        break;
    case Kind::Firmware:
        reply(loggedIn_ ? "<ready>" : "<error not logged in>", t);
        break;
    case Kind::Line:
        handleLine(p.line, t);
        break;
    }
}

void Model::greet(uint32_t t) {
    reply("<Weftrix loom controller: " + hostname_ + ", " + firmwareVersion + ">", t);
    askPassword(t);
}

void Model::askPassword(uint32_t t) {
    reply("<Password: " + hostname_ + ", " + firmwareVersion + ">", t);
    askedPassword_ = true;
}

void Model::handleLine(const std::string& raw, uint32_t t) {
    std::string line = trim(raw);
    if (line == "close") {
        loggedIn_ = false;
        askedPassword_ = false;
        reply("<closing connection>", t);
        return;
    }
    if (!loggedIn_) {
        if (line.empty()) {
            greet(t);
        } else if (askedPassword_ && line[0] != '<') {
            if (line == password) {
                loggedIn_ = true;
                askedPassword_ = false;
                reply("<ready>", t);
            } else {
                reply("<error bad password>", t);
                askPassword(t);
            }
        } else {
            reply("<error not logged in>", t);
        }
        return;
    }
    // Logged in, an empty line is nothing to do.
    if (line.empty()) {
        reply("<ready>", t);
        return;
    }
    handleCommand(line, t);
}

void Model::handleCommand(const std::string& line, uint32_t t) {
    if (line.size() < 4 || line[0] != '<' || line.compare(line.size() - 2, 2, "/>") != 0) {
        reply("<error unknown command>", t);
        return;
    }
    size_t nameEnd = 1;
    while (nameEnd < line.size() - 2 && std::isalpha(static_cast<unsigned char>(line[nameEnd])))
        ++nameEnd;
    std::string name = line.substr(1, nameEnd - 1);
    std::string attrs = line.substr(nameEnd, line.size() - 2 - nameEnd);
    if (!attrs.empty() && !isBlank(attrs[0])) {
        reply("<error unknown command>", t);
        return;
    }

    if (name == "netstatus") {
        replyStatus(t);
    } else if (name == "wifistatus") {
        replyWifiStatus(t);
    } else if (name == "wifiscan") {
        busy_ = true;
        job_ = Job::Scan;
        busyUntil_ = t + timing_.scanMs;
    } else if (name == "netdown") {
        state_ = "NETWORK_DOWN";
        currentAddress_ = "0.0.0.0";
        reply("<ready>", t);
    } else if (name == "netup") {
        reply("<please wait>", t);
        busy_ = true;
        job_ = Job::Restart;
        busyUntil_ = t + timing_.restartMs;
    } else if (name == "netconfig") {
        replyNetconfig(attrs, t);
    } else if (name == "wificonfig") {
        replyWificonfig(attrs, t);
    } else {
        reply("<error unknown command>", t);
    }
}

void Model::finishJob(uint32_t t) {
    Job job = std::exchange(job_, Job::None);
    if (job == Job::Scan) {
        send("<wifiscan>", t);
        for (const Network& net : networks_)
            send("<net=\"" + net.ssid + "," + std::to_string(net.signal) + "," + net.kind + "\"/>",
                 t);
        send("<ready>", t);
    } else if (job == Job::Restart) {
        bringNetworkUp();
        send("<ready>", t);
    }
}

void Model::bringNetworkUp() {
    currentAddress_ = "0.0.0.0";
    if (!wifiOn_) {
        state_ = "WIFI_OFF";
        return;
    }
    auto net = std::find_if(networks_.begin(), networks_.end(),
                            [&](const Network& n) { return n.ssid == ssid_; });
    if (net == networks_.end()) {
        state_ = "NO_NETWORK";
        return;
    }
    // Only the network's own kind matters: the program keeps the old kind in
    // its configuration when the operator picks an open network.
    bool needsKey = net->kind != "NONE";
    size_t minKey = (net->kind == "WPA" || net->kind == "WPA2") ? 8 : 1;
    if (needsKey && (encryption_ == "NONE" || passphrase_.size() < minKey)) {
        state_ = "AUTH_FAILED";
        return;
    }
    state_ = "CONNECTED";
    currentAddress_ = dhcpOn_ ? dhcpLease_ : staticAddress_;
}

void Model::replyStatus(uint32_t t) {
    reply("<netstatus>", t);
    reply("<hostname=\"" + hostname_ + "\"/>", t);
    reply("<state=\"" + state_ + "\"/>", t);
    reply(std::string("<dhcp=\"") + (dhcpOn_ ? "DHCP_ON" : "DHCP_OFF") + "\"/>", t);
    reply(std::string("<wifi=\"") + (wifiOn_ ? "WIFI_ON" : "WIFI_OFF") + "\"/>", t);
    reply("<current=\"" + currentAddress_ + "\"/>", t);
    reply("<static=\"" + staticAddress_ + "\"/>", t);
    reply("<ready>", t);
}

void Model::replyWifiStatus(uint32_t t) {
    reply("<wifistatus>", t);
    reply("<ssid=\"" + ssid_ + "\"/>", t);
    reply("<encryption=\"" + encryption_ + "\"/>", t);
    reply("</wifistatus>", t);
    reply("<ready>", t);
}

void Model::replyNetconfig(const std::string& text, uint32_t t) {
    std::vector<Attr> attrs;
    if (!parseAttrs(text, attrs)) {
        reply("<error malformed netconfig>", t);
        return;
    }
    // Every value is checked before any is taken: a refusal changes nothing.
    for (const Attr& a : attrs) {
        bool ok;
        if (a.name == "hostname")
            ok = validHostname(a.value);
        else if (a.name == "dhcp")
            ok = a.value == "DHCP_ON" || a.value == "DHCP_OFF";
        else if (a.name == "wifi")
            ok = a.value == "WIFI_ON" || a.value == "WIFI_OFF";
        else if (a.name == "address")
            ok = validIpv4(a.value);
        else {
            reply("<error unknown attribute \"" + printable(a.name) + "\">", t);
            return;
        }
        if (!ok) {
            reply(refusal(a.name, a.value), t);
            return;
        }
    }
    for (const Attr& a : attrs) {
        if (a.name == "hostname")
            hostname_ = a.value;
        else if (a.name == "dhcp")
            dhcpOn_ = a.value == "DHCP_ON";
        else if (a.name == "wifi")
            wifiOn_ = a.value == "WIFI_ON";
        else
            staticAddress_ = a.value;
    }
    reply("<ready>", t);
}

void Model::replyWificonfig(const std::string& text, uint32_t t) {
    std::vector<Attr> attrs;
    if (!parseAttrs(text, attrs)) {
        reply("<error malformed wificonfig>", t);
        return;
    }
    const std::string* ssid = nullptr;
    const std::string* kind = nullptr;
    const std::string* key = nullptr;
    for (const Attr& a : attrs) {
        if (a.name == "ssid")
            ssid = &a.value;
        else if (a.name == "encryption")
            kind = &a.value;
        else if (a.name == "passphrase")
            key = &a.value;
        else {
            reply("<error unknown attribute \"" + printable(a.name) + "\">", t);
            return;
        }
    }
    if (!ssid || !kind) {
        reply(std::string("<error missing ") + (ssid ? "encryption" : "ssid") + ">", t);
        return;
    }
    if (!validSsid(*ssid)) {
        reply(refusal("ssid", *ssid), t);
        return;
    }
    if (!validKind(*kind)) {
        reply(refusal("encryption", *kind), t);
        return;
    }
    if (key && !plainText(*key, 63)) {
        // The key itself is never echoed.
        reply("<error bad passphrase>", t);
        return;
    }
    ssid_ = *ssid;
    encryption_ = *kind;
    // No passphrase attribute: the network is to be joined without one.
    passphrase_ = key ? *key : std::string();
    reply("<ready>", t);
}

} // namespace vloom
