#include "support/fake_driver.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>

namespace fake {
namespace {

std::mutex m;
std::condition_variable cv;

struct Script {
    std::vector<Device> devices;
    FT_STATUS createListStatus = FT_OK;
    FT_STATUS getListStatus = FT_OK;
    FT_STATUS openStatus = FT_OK;
    std::string failureText;
    std::string lastError;
    int openedIndex = -1;
    int closeCount = 0;
    uint32_t readTimeout = 0;
    uint32_t writeTimeout = 0;
    int latency = -1;
    std::deque<std::string> rx;
    size_t maxWrite = SIZE_MAX;
    FT_STATUS writeStatus = FT_OK;
    FT_STATUS getStatusResult = FT_OK;
    FT_STATUS readResult = FT_OK;
    bool readsBlocked = false;
    int blockedReaders = 0;
    std::string written;
    std::vector<std::string> writeCalls;
    std::string partialLine;
    std::function<void(const std::string&)> responder;
};

Script script;
int handleToken = 0;
bool isOpen = false; // guarded by m

// Lock held.
bool known(FT_HANDLE h) {
    return isOpen && h == &handleToken;
}

// Lock held.
FT_STATUS failing(FT_STATUS status) {
    script.lastError = status == FT_OK ? "" : script.failureText;
    return status;
}

FT_STATUS createDeviceInfoList(DWORD* n) {
    if (!n)
        return FT_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(m);
    *n = script.createListStatus == FT_OK ? static_cast<DWORD>(script.devices.size()) : 0;
    return failing(script.createListStatus);
}

FT_STATUS getDeviceInfoList(DeviceInfoNode* list, DWORD* n) {
    if (!list || !n) {
        if (n)
            *n = 0;
        return FT_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> lock(m);
    if (script.getListStatus != FT_OK) {
        *n = 0;
        return failing(script.getListStatus);
    }
    DWORD count = std::min<DWORD>(*n, static_cast<DWORD>(script.devices.size()));
    for (DWORD i = 0; i < count; ++i) {
        const Device& d = script.devices[i];
        DeviceInfoNode node{};
        node.Flags = d.flags;
        node.Type = d.type;
        node.ID = d.id;
        node.LocId = d.locId;
        std::strncpy(node.SerialNumber, d.serial.c_str(), sizeof node.SerialNumber - 1);
        std::strncpy(node.Description, d.description.c_str(), sizeof node.Description - 1);
        list[i] = node;
    }
    *n = count;
    return failing(FT_OK);
}

FT_STATUS open(int index, FT_HANDLE* handle) {
    if (!handle)
        return FT_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(m);
    script.openedIndex = index;
    if (script.openStatus != FT_OK || index < 0 ||
        static_cast<size_t>(index) >= script.devices.size()) {
        *handle = nullptr;
        return failing(script.openStatus != FT_OK ? script.openStatus : FT_DEVICE_NOT_FOUND);
    }
    *handle = &handleToken;
    isOpen = true;
    return failing(FT_OK);
}

FT_STATUS setTimeouts(FT_HANDLE h, ULONG readMs, ULONG writeMs) {
    std::lock_guard<std::mutex> lock(m);
    if (!known(h))
        return FT_INVALID_HANDLE;
    script.readTimeout = readMs;
    script.writeTimeout = writeMs;
    return FT_OK;
}

FT_STATUS getStatus(FT_HANDLE h, DWORD* rx, DWORD* tx, DWORD* events) {
    std::lock_guard<std::mutex> lock(m);
    if (!known(h))
        return FT_INVALID_HANDLE;
    if (!rx || !tx || !events)
        return FT_INVALID_PARAMETER;
    bool ok = script.getStatusResult == FT_OK;
    *rx = !ok || script.rx.empty() ? 0 : static_cast<DWORD>(script.rx.front().size());
    *tx = 0;
    *events = 0;
    return script.getStatusResult;
}

FT_STATUS read(FT_HANDLE h, void* buffer, DWORD toRead, DWORD* returned) {
    std::unique_lock<std::mutex> lock(m);
    if (!known(h))
        return FT_INVALID_HANDLE;
    if (!returned || (!buffer && toRead))
        return FT_INVALID_PARAMETER;
    ++script.blockedReaders;
    cv.wait(lock, [] { return !script.readsBlocked; });
    --script.blockedReaders;
    *returned = 0;
    if (script.readResult == FT_IO_ERROR || script.rx.empty())
        return script.readResult;
    std::string& chunk = script.rx.front();
    size_t n = std::min<size_t>(toRead, chunk.size());
    std::memcpy(buffer, chunk.data(), n);
    chunk.erase(0, n);
    if (chunk.empty())
        script.rx.pop_front();
    *returned = static_cast<DWORD>(n);
    return script.readResult;
}

FT_STATUS write(FT_HANDLE h, const void* buffer, DWORD toWrite, DWORD* written) {
    std::function<void(const std::string&)> responder;
    std::vector<std::string> lines;
    {
        std::lock_guard<std::mutex> lock(m);
        if (!known(h))
            return FT_INVALID_HANDLE;
        if (!written || (!buffer && toWrite))
            return FT_INVALID_PARAMETER;
        *written = 0;
        if (script.writeStatus != FT_OK)
            return script.writeStatus;
        size_t n = std::min<size_t>(toWrite, script.maxWrite);
        std::string bytes(static_cast<const char*>(buffer), n);
        script.written += bytes;
        script.writeCalls.push_back(bytes);
        *written = static_cast<DWORD>(n);
        script.partialLine += bytes;
        size_t nl;
        while ((nl = script.partialLine.find('\n')) != std::string::npos) {
            lines.push_back(script.partialLine.substr(0, nl));
            script.partialLine.erase(0, nl + 1);
        }
        responder = script.responder;
    }
    cv.notify_all();
    if (responder)
        for (const auto& line : lines)
            responder(line);
    return FT_OK;
}

FT_STATUS close(FT_HANDLE h) {
    std::lock_guard<std::mutex> lock(m);
    if (!known(h))
        return FT_INVALID_HANDLE;
    isOpen = false;
    ++script.closeCount;
    return FT_OK;
}

FT_STATUS waitForRx(FT_HANDLE h, uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(m);
    if (!known(h))
        return FT_INVALID_HANDLE;
    cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [] { return !script.rx.empty(); });
    return FT_OK;
}

FT_STATUS setLatencyTimer(FT_HANDLE h, UCHAR ms) {
    std::lock_guard<std::mutex> lock(m);
    if (!known(h))
        return FT_INVALID_HANDLE;
    script.latency = ms;
    return FT_OK;
}

const char* lastError() {
    // Main thread only, as the contract has it: the text stays until the next
    // list or open.
    std::lock_guard<std::mutex> lock(m);
    return script.lastError.c_str();
}

constexpr Driver tableWith(const char* name, bool withRxWait) {
    return {
        .name = name,
        .createDeviceInfoList = createDeviceInfoList,
        .getDeviceInfoList = getDeviceInfoList,
        .open = open,
        .setTimeouts = setTimeouts,
        .getStatus = getStatus,
        .read = read,
        .write = write,
        .close = close,
        .lastError = lastError,
        .waitForRx = withRxWait ? waitForRx : nullptr,
        .setLatencyTimer = withRxWait ? setLatencyTimer : nullptr,
        .devicePath = nullptr,
    };
}

constexpr Driver withWait = tableWith("fake", true);
constexpr Driver withoutWait = tableWith("fake (polling)", false);

} // namespace

void reset(bool withRxWait) {
    {
        std::lock_guard<std::mutex> lock(m);
        script = Script{};
        isOpen = false;
    }
    cv.notify_all();
    installDriver(withRxWait ? &withWait : &withoutWait);
}

void setDevices(std::vector<Device> devices) {
    std::lock_guard<std::mutex> lock(m);
    script.devices = std::move(devices);
}
void setCreateListStatus(FT_STATUS s) {
    std::lock_guard<std::mutex> lock(m);
    script.createListStatus = s;
}
void setGetListStatus(FT_STATUS s) {
    std::lock_guard<std::mutex> lock(m);
    script.getListStatus = s;
}
void setOpenStatus(FT_STATUS s) {
    std::lock_guard<std::mutex> lock(m);
    script.openStatus = s;
}
void setFailureText(const std::string& text) {
    std::lock_guard<std::mutex> lock(m);
    script.failureText = text;
}
int openedIndex() {
    std::lock_guard<std::mutex> lock(m);
    return script.openedIndex;
}
int closeCount() {
    std::lock_guard<std::mutex> lock(m);
    return script.closeCount;
}
uint32_t readTimeout() {
    std::lock_guard<std::mutex> lock(m);
    return script.readTimeout;
}
uint32_t writeTimeout() {
    std::lock_guard<std::mutex> lock(m);
    return script.writeTimeout;
}
int latencyTimer() {
    std::lock_guard<std::mutex> lock(m);
    return script.latency;
}
void pushRx(const std::string& bytes) {
    {
        std::lock_guard<std::mutex> lock(m);
        script.rx.push_back(bytes);
    }
    cv.notify_all();
}
void setMaxWrite(size_t bytes) {
    std::lock_guard<std::mutex> lock(m);
    script.maxWrite = bytes;
}
void setWriteStatus(FT_STATUS s) {
    std::lock_guard<std::mutex> lock(m);
    script.writeStatus = s;
}
void setGetStatusResult(FT_STATUS s) {
    std::lock_guard<std::mutex> lock(m);
    script.getStatusResult = s;
}
void setReadResult(FT_STATUS s) {
    std::lock_guard<std::mutex> lock(m);
    script.readResult = s;
}
void blockReads(bool blocked) {
    {
        std::lock_guard<std::mutex> lock(m);
        script.readsBlocked = blocked;
    }
    cv.notify_all();
}
int blockedReaders() {
    std::lock_guard<std::mutex> lock(m);
    return script.blockedReaders;
}
void forgetTraffic() {
    std::lock_guard<std::mutex> lock(m);
    // Assigned afresh, so the memory goes too and not only the contents.
    script.rx = {};
    script.written = {};
    script.writeCalls = {};
    script.partialLine = {};
}
std::string written() {
    std::lock_guard<std::mutex> lock(m);
    return script.written;
}
std::vector<std::string> writeCalls() {
    std::lock_guard<std::mutex> lock(m);
    return script.writeCalls;
}
bool waitForWritten(const std::string& needle, int timeoutMs) {
    std::unique_lock<std::mutex> lock(m);
    return cv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                       [&] { return script.written.find(needle) != std::string::npos; });
}
void setResponder(std::function<void(const std::string&)> responder) {
    std::lock_guard<std::mutex> lock(m);
    script.responder = std::move(responder);
}

} // namespace fake
