#include "protocol/messages.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/clock.h"
#include "base/log.h"
#include "base/state.h"
#include "link/queue.h"
#include "protocol/settings.h"

const char loomPassword[] = "tulip";

bool startsWith(const char* prefix, const char* msg) {
    return std::strncmp(msg, prefix, std::strlen(prefix)) == 0;
}

void getAttrValue(const char* msg, char* dst, size_t cap) {
    if (cap == 0)
        return;
    dst[0] = '\0';
    const char* start = std::strstr(msg, "=\"");
    if (!start)
        return;
    start += 2;
    const char* end = std::strchr(start, '"');
    size_t len = end ? static_cast<size_t>(end - start) : std::strlen(start);
    copyBounded(dst, cap, start, len);
}

void parseBanner(const char* msg) {
    LoomSettings& s = loomSettings;
    if (const char* name = std::strstr(msg, ": ")) {
        name += 2;
        const char* comma = std::strchr(name, ',');
        size_t len = comma ? static_cast<size_t>(comma - name) : std::strlen(name);
        copyBounded(s.hostname, sizeof s.hostname, name, len);
        s.hostnameChanged = 0;
    }
    if (const char* version = std::strstr(msg, "4.5v")) {
        version += 4;
        const char* close = std::strchr(version, '>');
        size_t len = close ? static_cast<size_t>(close - version) : std::strlen(version);
        copyBounded(s.version, sizeof s.version, version, len);
    }
}

void addNetInfo(const char* value) {
    LoomSettings& s = loomSettings;
    if (s.netCount >= maxNetInfos) {
        logPrint("addNetInfo(): more than %d networks, ignored: %s\n", maxNetInfos, value);
        return;
    }
    NetInfo& entry = s.netInfos[s.netCount];

    const char* comma1 = std::strchr(value, ',');
    size_t ssidLen = comma1 ? static_cast<size_t>(comma1 - value) : std::strlen(value);
    copyBounded(entry.ssid, sizeof entry.ssid, value, ssidLen);

    entry.signalKnown = false;
    if (comma1) {
        const char* field = comma1 + 1;
        while (*field == ' ')
            ++field;
        char* end = nullptr;
        errno = 0;
        long signal = std::strtol(field, &end, 10);
        while (end && *end == ' ')
            ++end;
        if (end != field && errno == 0 && signal >= INT_MIN && signal <= INT_MAX &&
            (*end == ',' || *end == '\0')) {
            entry.signal = static_cast<int>(signal);
            entry.signalKnown = true;
        }
    }

    // The kind is kept without blanks or control and 8-bit characters, so
    // " WPA2 " compares as "WPA2".
    char kind[200] = {};
    size_t kindLen = 0;
    const char* comma2 = comma1 ? std::strchr(comma1 + 1, ',') : nullptr;
    if (comma2) {
        for (const char* p = comma2 + 1; *p && *p != ','; ++p) {
            unsigned char c = static_cast<unsigned char>(*p);
            if (c > 0x20 && c < 0x80 && kindLen + 1 < sizeof kind)
                kind[kindLen++] = static_cast<char>(c);
        }
    }
    copyBounded(entry.encrypt, sizeof entry.encrypt, kind, kindLen);
    logPrint("netInfos[%d].encrypt: %s - %s\n", s.netCount, entry.encrypt, kind);
    ++s.netCount;
}

void requestStatus() {
    queueMsg("<netstatus/>");
    queueMsg("<wifistatus/>");
}

namespace {

std::mutex errorsMutex;
std::vector<std::string> pendingErrors; // guarded by errorsMutex

// A controller that repeats itself must not fill the memory.
constexpr size_t maxPendingErrors = 16;

void noteLoomError(const char* msg) {
    {
        std::lock_guard<std::mutex> lock(errorsMutex);
        if (pendingErrors.size() >= maxPendingErrors)
            return;
        pendingErrors.emplace_back(msg);
    }
    wakeMainLoop();
}

// Every acknowledgement lets the next message go; the one that follows the
// scan request also ends the chooser's wait for the scan.
void acknowledged() {
    clearToSend = 1;
    int expected = scanSent;
    if (scanState.compare_exchange_strong(expected, scanIdle))
        wakeMainLoop();
}

void takeValue(const char* msg, char* field, size_t cap, std::atomic<int>* flag) {
    std::lock_guard<std::mutex> lock(settingsMutex);
    getAttrValue(msg, field, cap);
    if (flag)
        *flag = 0;
}

template <size_t N> void takeValue(const char* msg, char (&field)[N], std::atomic<int>* flag) {
    takeValue(msg, field, N, flag);
}

// A refusal the firmware upload reports itself is not shown a second time.
void handle(const char* msg, bool firmwareAnswer) {
    LoomSettings& s = loomSettings;
    if (startsWith("<ready", msg)) {
        // Looked at before the acknowledgement lets another message go: until
        // then the stage says what this "<ready" answers.
        ApplyStage stage = applyStage.load();
        bool networkBack = stage == ApplyStage::upSent || stage == ApplyStage::restarting;
        // A run that is ending asks for no report: "close" can go at once.
        bool report = !runMustEnd();
        if (networkBack && applyStage.compare_exchange_strong(
                               stage, report ? ApplyStage::readingBack : ApplyStage::none)) {
            setAppState(state::idle);
            acknowledged();
            if (report)
                requestStatus();
            logPrint("clearing wait\n");
        } else {
            acknowledged();
        }
    } else if (startsWith("<netstatus", msg)) {
        std::lock_guard<std::mutex> lock(settingsMutex);
        for (char* field :
             {s.hostname, s.stateText, s.dhcp, s.wifi, s.currentAddress, s.staticAddress})
            field[0] = '\0';
    } else if (startsWith("<wifistatus", msg)) {
        std::lock_guard<std::mutex> lock(settingsMutex);
        s.ssid[0] = '\0';
        s.encryption[0] = '\0';
        s.passphrase[0] = '\0';
    } else if (startsWith("</wifistatus", msg)) {
        ApplyStage reading = ApplyStage::readingBack;
        applyStage.compare_exchange_strong(reading, ApplyStage::readBack);
        setAppState(state::showStatus);
    } else if (startsWith("<hostname", msg)) {
        takeValue(msg, s.hostname, &s.hostnameChanged);
    } else if (startsWith("<state", msg)) {
        takeValue(msg, s.stateText, nullptr);
    } else if (startsWith("<dhcp", msg)) {
        takeValue(msg, s.dhcp, &s.dhcpChanged);
    } else if (startsWith("<wifi=", msg)) {
        takeValue(msg, s.wifi, &s.wifiChanged);
    } else if (startsWith("<current", msg)) {
        takeValue(msg, s.currentAddress, nullptr);
    } else if (startsWith("<static", msg)) {
        takeValue(msg, s.staticAddress, &s.staticChanged);
    } else if (startsWith("<ssid", msg)) {
        takeValue(msg, s.ssid, &s.wifiConfigChanged);
    } else if (startsWith("<encryption", msg)) {
        takeValue(msg, s.encryption, nullptr);
    } else if (startsWith("<wifiscan", msg)) {
        std::lock_guard<std::mutex> lock(settingsMutex);
        s.netCount = 0;
    } else if (startsWith("<net=", msg)) {
        char value[200];
        getAttrValue(msg, value, sizeof value);
        std::lock_guard<std::mutex> lock(settingsMutex);
        addNetInfo(value);
    } else if (startsWith("<Weftrix", msg)) {
        {
            std::lock_guard<std::mutex> lock(settingsMutex);
            parseBanner(msg);
        }
        acknowledged();
    } else if (startsWith("<Password:", msg)) {
        {
            std::lock_guard<std::mutex> lock(settingsMutex);
            parseBanner(msg);
        }
        queueMsg(loomPassword);
        setAppState(state::idle);
        requestStatus();
    } else if (startsWith("<error", msg)) {
        if (!firmwareAnswer)
            noteLoomError(msg);
        acknowledged();
    } else if (startsWith("<please wait", msg)) {
        // Only the answer to "<netup/>" is the network restarting; one that
        // answers "<netdown/>" or a change message just acknowledges.
        ApplyStage up = ApplyStage::upSent;
        applyStage.compare_exchange_strong(up, ApplyStage::restarting);
        acknowledged();
    } else if (startsWith("<closing connection>", msg)) {
        closeMsgQueue(nullptr);
        endRun(RunEnd::loomClosed);
        setAppState(state::exit);
        acknowledged();
    }
}

} // namespace

namespace {

std::mutex answerMutex;
// Guarded by answerMutex, as is the answer. While the image goes only a
// refusal is its answer; a "<ready" counts once its last bytes are on their way.
enum class Watch { off, refusal, any };
Watch watch = Watch::off;
FirmwareAnswer answer = FirmwareAnswer::none;
std::string answerText;

// True when the message was the firmware's answer: the upload reports it itself.
bool noteFirmwareAnswer(const char* msg) {
    bool ready = startsWith("<ready", msg);
    if (!ready && !startsWith("<error", msg))
        return false;
    {
        std::lock_guard<std::mutex> lock(answerMutex);
        if (watch == Watch::off || (ready && watch != Watch::any) || answer != FirmwareAnswer::none)
            return false;
        answer = ready ? FirmwareAnswer::ready : FirmwareAnswer::error;
        answerText = msg;
    }
    wakeMainLoop();
    return true;
}

void disarmLocked() {
    watch = Watch::off;
    answer = FirmwareAnswer::none;
    answerText.clear();
}

} // namespace

void armFirmwareAnswer() {
    std::lock_guard<std::mutex> lock(answerMutex);
    disarmLocked();
    watch = Watch::refusal;
}

void acceptFirmwareReady() {
    std::lock_guard<std::mutex> lock(answerMutex);
    if (watch == Watch::refusal)
        watch = Watch::any;
}

void disarmFirmwareAnswer() {
    std::lock_guard<std::mutex> lock(answerMutex);
    disarmLocked();
}

FirmwareAnswer takeFirmwareAnswer(std::string& reason) {
    std::lock_guard<std::mutex> lock(answerMutex);
    FirmwareAnswer got = answer;
    if (got == FirmwareAnswer::none)
        return got;
    reason.clear();
    if (got == FirmwareAnswer::error) {
        std::string_view text(answerText);
        text.remove_prefix(6);
        if (!text.empty() && text.back() == '>')
            text.remove_suffix(1);
        size_t first = text.find_first_not_of(' ');
        size_t last = text.find_last_not_of(' ');
        if (first != std::string_view::npos)
            reason = text.substr(first, last - first + 1);
    }
    disarmLocked();
    return got;
}

bool firmwareRefused() {
    std::lock_guard<std::mutex> lock(answerMutex);
    return answer == FirmwareAnswer::error;
}

void processMsg(const char* msg) {
    logPrint("[%d] processMsg(): %s\n", msSinceStart(), msg);
    bool firmwareAnswer = noteFirmwareAnswer(msg);
    handle(msg, firmwareAnswer);
    sendNextMsg();
}

std::vector<std::string> takeLoomErrors() {
    std::lock_guard<std::mutex> lock(errorsMutex);
    std::vector<std::string> taken;
    taken.swap(pendingErrors);
    return taken;
}

void resetMessages() {
    {
        std::lock_guard<std::mutex> lock(errorsMutex);
        pendingErrors.clear();
    }
    disarmFirmwareAnswer();
}
