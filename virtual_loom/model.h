// The virtual loom: the controller's side of the conversation, as a plain state
// machine. It owns no thread and reads no clock: every call carries the time, so
// the same calls always give the same bytes.
//
// Like the real controller it works through one command at a time. A scan or a
// network restart keeps it busy; lines that arrive meanwhile wait and are
// answered when it is free again, so answers always leave in order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

namespace vloom {

// One network in range. kind is NONE, WEP, WPA or WPA2; signal in dBm.
struct Network {
    std::string ssid;
    int signal;
    std::string kind;
};

// Delays in milliseconds, counted from the moment the command is taken up.
struct Timing {
    uint32_t scanMs = 0;    // "<wifiscan/>" until the list
    uint32_t restartMs = 0; // "<netup/>" until the network is back
    uint32_t replyMs = 0;   // any other command until its answer
};

class Model {
  public:
    static constexpr const char* password = "tulip";
    static constexpr const char* firmwareVersion = "4.5v2.18";
    // Longest line taken whole; a longer one is answered with an error.
    static constexpr size_t maxLineBytes = 1024;
    // Largest firmware image it agrees to receive.
    static constexpr size_t maxFirmwareBytes = 16u * 1024u * 1024u;
    // Every this many answers a "<log ...>" line goes first.
    static constexpr unsigned logEvery = 7;

    explicit Model(Timing timing = {});

    // Bytes the program wrote, in any split.
    void receive(const char* data, size_t n, uint32_t nowMs);
    // Everything due for the program to read by nowMs (possibly "").
    std::string takeOutput(uint32_t nowMs);
    // Milliseconds until takeOutput has something (0: now), -1 when nothing is coming.
    int msUntilNextOutput(uint32_t nowMs) const;

    const std::string& hostname() const { return hostname_; }
    bool loggedIn() const { return loggedIn_; }
    bool dhcpOn() const { return dhcpOn_; }
    bool wifiOn() const { return wifiOn_; }
    const std::string& ssid() const { return ssid_; }
    const std::string& encryption() const { return encryption_; }
    const std::string& passphrase() const { return passphrase_; }
    const std::string& staticAddress() const { return staticAddress_; }
    const std::string& currentAddress() const { return currentAddress_; }
    // CONNECTED, NETWORK_DOWN, WIFI_OFF, NO_NETWORK or AUTH_FAILED.
    const std::string& networkState() const { return state_; }
    // The address its DHCP server hands out.
    const std::string& dhcpLease() const { return dhcpLease_; }
    size_t firmwareBytesReceived() const { return firmwareBytes_; }
    // True while a scan or a restart is under way.
    bool busy() const { return busy_; }

    const std::vector<Network>& networks() const { return networks_; }
    void setNetworks(std::vector<Network> networks) { networks_ = std::move(networks); }

  private:
    enum class Kind { Line, Overlong, Firmware, BadFirmwareLength };
    struct Pending {
        Kind kind;
        std::string line;
        uint32_t arrivedMs;
    };
    struct Outgoing {
        uint32_t dueMs;
        std::string bytes;
    };
    enum class Job { None, Scan, Restart };

    void advance(uint32_t nowMs);
    void lex(const char* data, size_t n, uint32_t nowMs);
    void endOfLine(uint32_t nowMs);
    bool startFirmware(uint32_t nowMs);
    void enqueue(Kind kind, std::string line, uint32_t nowMs);
    void handle(const Pending& p, uint32_t t);
    void handleLine(const std::string& line, uint32_t t);
    void handleCommand(const std::string& line, uint32_t t);
    void finishJob(uint32_t t);
    void bringNetworkUp();
    void greet(uint32_t t);
    void askPassword(uint32_t t);
    void send(const std::string& message, uint32_t dueMs);
    void reply(const std::string& message, uint32_t t) { send(message, t + timing_.replyMs); }
    void replyStatus(uint32_t t);
    void replyWifiStatus(uint32_t t);
    void replyNetconfig(const std::string& attrs, uint32_t t);
    void replyWificonfig(const std::string& attrs, uint32_t t);

    Timing timing_;

    // Settings.
    std::string hostname_ = "LOOM-7";
    bool dhcpOn_ = true;
    bool wifiOn_ = true;
    std::string ssid_ = "Weaving-Hall";
    std::string encryption_ = "WPA2";
    std::string passphrase_ = "shuttle-42";
    std::string staticAddress_ = "192.168.1.50";
    std::string dhcpLease_ = "192.168.1.23";
    std::string currentAddress_;
    std::string state_;
    std::vector<Network> networks_;

    // Conversation.
    bool loggedIn_ = false;
    bool askedPassword_ = false;
    unsigned answered_ = 0;

    // Input: the line being collected, or the firmware bytes still owed.
    std::string lineBuf_;
    bool overlong_ = false;
    size_t firmwareOwed_ = 0;
    size_t firmwareBytes_ = 0;
    std::deque<Pending> inbox_;

    // Work and output.
    bool busy_ = false;
    Job job_ = Job::None;
    uint32_t busyUntil_ = 0;
    // Set from the end of a job until the lines that waited for it are answered.
    bool catchingUp_ = false;
    uint32_t freeSince_ = 0;
    std::deque<Outgoing> outbox_;
    size_t outboxBytes_ = 0;
};

} // namespace vloom
