#include "scripted_loom.h"

namespace bench {

namespace {

constexpr size_t keptFrameBytes = 64 * 1024;

} // namespace

ScriptedLoom::ScriptedLoom(const std::string& socketPath) : peer_(socketPath, keptFrameBytes) {
    if (!peer_.listening())
        fail();
}

void ScriptedLoom::fail() {
    throw Failure(peer_.error());
}

void ScriptedLoom::accept(int timeoutMs) {
    if (!peer_.accept(timeoutMs))
        fail();
}

Clock::time_point ScriptedLoom::waitWire(std::string_view needle, int timeoutMs) {
    Clock::time_point at;
    if (!peer_.waitWire(needle, timeoutMs, &at))
        fail();
    return at;
}

Clock::time_point ScriptedLoom::waitWireBytes(uint64_t n, int timeoutMs) {
    Clock::time_point at;
    if (!peer_.waitWireBytes(n, timeoutMs, &at))
        fail();
    return at;
}

Clock::time_point ScriptedLoom::send(std::string_view bytes) {
    Clock::time_point at;
    if (!peer_.send(bytes, &at))
        fail();
    return at;
}

void ScriptedLoom::waitDrained(int timeoutMs) {
    if (!peer_.waitDrained(timeoutMs))
        fail();
}

void ScriptedLoom::waitClosed(int timeoutMs) {
    // A library that hung up without its report has closed too.
    if (!peer_.waitClosed(timeoutMs) && !peer_.ended())
        fail();
}

void ScriptedLoom::logIn() {
    waitWire("\n");
    send("<Weftrix loom controller: LOOM-7, 4.5v2.18>\r\n<Password: LOOM-7, 4.5v2.18>\r\n");
    waitWire("tulip\n");
    send("<ready>\r\n");
    reportStatus();
}

void ScriptedLoom::reportStatus() {
    waitWire("<netstatus/>\n");
    send("<netstatus>\r\n<hostname=\"LOOM-7\"/>\r\n<state=\"CONNECTED\"/>\r\n"
         "<dhcp=\"DHCP_ON\"/>\r\n<wifi=\"WIFI_ON\"/>\r\n<current=\"192.168.1.23\"/>\r\n"
         "<static=\"192.168.1.50\"/>\r\n<ready>\r\n");
    waitWire("<wifistatus/>\n");
    send("<wifistatus>\r\n<ssid=\"Weaving-Hall\"/>\r\n<encryption=\"WPA2\"/>\r\n"
         "</wifistatus>\r\n<ready>\r\n");
    // The menu shows at "</wifistatus>"; what is typed next must find the
    // "<ready>" handled.
    waitDrained();
}

} // namespace bench
