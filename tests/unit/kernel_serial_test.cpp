// The kernel serial back end: finding FTDI ttys in sysfs, and talking through a
// tty, with a pseudo-terminal standing in for ftdi_sio's /dev/ttyUSBn.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include "base/log.h"
#include "base/state.h"
#include "link/connection.h"
#include "link/device_list.h"
#include "link/driver.h"
#include "link/drivers/d2xx_library.h"
#include "link/drivers/kernel_serial.h"
#include "link/drivers/sysfs_enum.h"
#include "link/drivers/system_driver.h"
#include "link/reader.h"
#include "protocol/settings.h"
#include "serial_fixtures.h"
#include "support/session.h"

namespace {

using namespace serial_fixtures;

std::string readFile(const fs::path& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

// Every byte value, over and over.
std::string allBytes(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>(i & 0xff);
    return s;
}

std::vector<std::string> namesOf(const std::vector<SerialDevice>& devices) {
    std::vector<std::string> names;
    for (const auto& d : devices)
        names.push_back(d.name);
    return names;
}

const Driver& ks() {
    return *kernelSerialDriver();
}

// Reads through the driver as the receiving thread does, until `want` bytes.
std::string readThroughDriver(FT_HANDLE h, size_t want, int timeoutMs = 2000) {
    std::string got;
    auto start = Clock::now();
    while (got.size() < want && msSince(start) < timeoutMs) {
        DWORD rx = 0, tx = 0, events = 0;
        if (ks().getStatus(h, &rx, &tx, &events) != FT_OK)
            break;
        if (rx == 0) {
            ks().waitForRx(h, 10);
            continue;
        }
        char buf[512];
        DWORD n = 0;
        if (ks().read(h, buf, std::min<DWORD>(rx, sizeof buf), &n) != FT_OK)
            break;
        got.append(buf, n);
    }
    return got;
}

bool sameSettings(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

// ---------------------------------------------------------------------------
// Enumeration

TEST(KernelSerialEnum, ListsAnFt245rAsFtdiLibraryWould) {
    FakeTree tree;
    tree.add(UsbTty{});
    auto devices = enumerateFtdiTtys(tree.sys(), tree.dev());
    ASSERT_EQ(devices.size(), 1u);
    const SerialDevice& d = devices[0];
    EXPECT_EQ(d.name, "ttyUSB0");
    EXPECT_EQ(d.node, (tree.dev() / "ttyUSB0").string());
    EXPECT_EQ(fs::canonical(d.latencyTimer), fs::canonical(tree.latencyTimer(UsbTty{})));
    EXPECT_STREQ(d.info.Description, "FT245R USB FIFO");
    EXPECT_STREQ(d.info.SerialNumber, "A50285BI");
    EXPECT_EQ(d.info.ID, 0x04036001u);
    EXPECT_EQ(d.info.LocId, 0x01200000u);
    EXPECT_EQ(d.info.Type, 5u);
    EXPECT_EQ(d.info.Flags, 0u);
    EXPECT_EQ(d.info.ftHandle, nullptr);
}

TEST(KernelSerialEnum, OrdersByTtyNumberAndSkipsWhatIsNotFtdi) {
    FakeTree tree;
    UsbTty tenth;
    tenth.tty = "ttyUSB10";
    tenth.usb = "3-1.4.2";
    tree.add(tenth);
    UsbTty second;
    second.tty = "ttyUSB2";
    second.usb = "1-1";
    second.product = "6015";
    tree.add(second);
    UsbTty silabs;
    silabs.tty = "ttyUSB1";
    silabs.usb = "1-3";
    silabs.vendor = "10c4";
    silabs.productName = "CP2102 USB to UART Bridge Controller";
    tree.add(silabs);
    tree.addPlatformTty("ttyUSB3");
    tree.addPlatformTty("ttyS0");

    auto devices = enumerateFtdiTtys(tree.sys(), tree.dev());
    EXPECT_EQ(namesOf(devices), (std::vector<std::string>{"ttyUSB2", "ttyUSB10"}));
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0].info.ID, 0x04036015u);
    EXPECT_EQ(devices[0].info.LocId, 0x01100000u);
    EXPECT_EQ(devices[1].info.LocId, 0x03142000u);

    EXPECT_TRUE(enumerateFtdiTtys((tree.base() / "no-such-sys").string()).empty());
}

TEST(KernelSerialEnum, ToleratesMissingAndOverlongStrings) {
    FakeTree tree;
    UsbTty bare;
    bare.productName.reset();
    bare.bcdDevice = "0400";
    tree.add(bare);
    UsbTty wordy;
    wordy.tty = "ttyUSB1";
    wordy.usb = "1-4";
    wordy.productName = std::string(70, 'p');
    wordy.serial = std::string(20, 's');
    tree.add(wordy);
    UsbTty renamed; // an R-series chip with a product string of its maker's
    renamed.tty = "ttyUSB2";
    renamed.usb = "1-5";
    renamed.productName = "Weftrix loom link";
    tree.add(renamed);

    auto devices = enumerateFtdiTtys(tree.sys(), tree.dev());
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_STREQ(devices[0].info.Description, "");
    EXPECT_EQ(devices[0].info.Type, 0u);
    EXPECT_EQ(std::string(devices[1].info.Description), std::string(63, 'p'));
    EXPECT_EQ(std::string(devices[1].info.SerialNumber), std::string(15, 's'));
    EXPECT_EQ(devices[2].info.Type, 5u);
}

TEST(KernelSerialEnum, DeviceTextReachesConsoleAndLogWithoutControls) {
    FakeTree tree;
    UsbTty hostile;
    // Clears the screen, retitles the window, returns the cursor, recolours.
    hostile.productName = "FT245R USB FIFO\x1b[2J\x1b]0;owned\x07\r\x9b"
                          "31m";
    hostile.serial = "A5\x1b[1A";
    tree.add(hostile);
    resetProgramState();
    logOpen();
    kernelSerialSetRoots(tree.sys().string(), tree.dev().string());
    installDriver(kernelSerialDriver());
    ConsoleCapture console;
    // The node is missing, so the open fails and names the device.
    EXPECT_NE(openDevice(), FT_OK);
    kernelSerialSetRoots("/sys", "/dev");
    std::string out = console.output() + readLog();
    for (char c : out)
        EXPECT_TRUE(c == '\n' || c == '\t' || (c >= 0x20 && c < 0x7f)) << int(c) << " in " << out;
    EXPECT_TRUE(contains(out, "(FT245R USB FIFO?31m): "));
    EXPECT_TRUE(contains(out, "  SerialNumber=A5\n"));
    logClose();
}

TEST(KernelSerialEnum, MarksADeviceHeldOpen) {
    FakeTree tree;
    tree.add(UsbTty{});
    fs::path stand = tree.base() / "stand-in";
    writeFile(stand, "");
    tree.node("ttyUSB0", stand.string());

    EXPECT_EQ(enumerateFtdiTtys(tree.sys(), tree.dev())[0].info.Flags, 0u);
    int fd = ::open(stand.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(enumerateFtdiTtys(tree.sys(), tree.dev())[0].info.Flags, 1u);
    ::close(fd);
    EXPECT_EQ(enumerateFtdiTtys(tree.sys(), tree.dev())[0].info.Flags, 0u);
}

// ---------------------------------------------------------------------------
// One port, through a pseudo-terminal

class KernelSerialPort : public ::testing::Test {
  protected:
    void SetUp() override {
        resetProgramState();
        ASSERT_TRUE(pty.ok());
        tree.add(UsbTty{});
        tree.node("ttyUSB0", pty.path());
        kernelSerialSetRoots(tree.sys(), tree.dev());
        ASSERT_EQ(openListed(0, &handle), FT_OK);
        ASSERT_NE(handle, nullptr);
    }
    void TearDown() override {
        if (handle)
            ks().close(handle);
        kernelSerialSetRoots("/sys", "/dev");
    }
    // Lists the devices afresh and opens number `index`, as openDevice does.
    FT_STATUS openListed(int index, FT_HANDLE* h) {
        DWORD count = 0;
        EXPECT_EQ(ks().createDeviceInfoList(&count), FT_OK);
        return ks().open(index, h);
    }
    void closeHandle() {
        EXPECT_EQ(ks().close(handle), FT_OK);
        handle = nullptr;
    }

    Pty pty;
    FakeTree tree;
    FT_HANDLE handle = nullptr;
};

TEST_F(KernelSerialPort, PassesEveryByteUntouchedAndRestoresTheTerminal) {
    closeHandle();
    termios before;
    ASSERT_EQ(::tcgetattr(pty.slave(), &before), 0);
    // A fresh pty is in cooked mode: echo, line editing, CR/LF translation.
    ASSERT_TRUE(before.c_lflag & ECHO);
    ASSERT_EQ(openListed(0, &handle), FT_OK);
    ks().setTimeouts(handle, 500, 500);

    termios raw;
    ASSERT_EQ(::tcgetattr(pty.slave(), &raw), 0);
    EXPECT_EQ(raw.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
    EXPECT_EQ(raw.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | IXON | IXOFF), 0u);
    EXPECT_EQ(raw.c_oflag & OPOST, 0u);
    EXPECT_EQ(raw.c_cflag & (CSIZE | CLOCAL | CREAD | CRTSCTS | PARENB),
              static_cast<tcflag_t>(CS8 | CLOCAL | CREAD));

    std::string bytes = allBytes(512);
    ASSERT_TRUE(pty.send(bytes));
    EXPECT_EQ(readThroughDriver(handle, bytes.size()), bytes);

    DWORD written = 0;
    ASSERT_EQ(ks().write(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written), FT_OK);
    EXPECT_EQ(written, bytes.size());
    // More than was written would be an echo of what came in.
    EXPECT_EQ(pty.receive(bytes.size() + 1, 200), bytes);

    closeHandle();
    termios after;
    ASSERT_EQ(::tcgetattr(pty.slave(), &after), 0);
    EXPECT_TRUE(sameSettings(before, after));
}

TEST_F(KernelSerialPort, ReadsWhatIsWaitingAndWaitsOnlyWhenNothingIs) {
    ks().setTimeouts(handle, 150, 150);
    char buf[128];
    DWORD got = 99;
    auto start = Clock::now();
    EXPECT_EQ(ks().read(handle, buf, sizeof buf, &got), FT_OK);
    EXPECT_EQ(got, 0u);
    EXPECT_GE(msSince(start), 140);
    EXPECT_LT(msSince(start), 1500);

    ASSERT_TRUE(pty.send("<ready><hostn"));
    DWORD rx = 0, tx = 0, events = 0;
    EXPECT_TRUE(
        eventually([&] { return ks().getStatus(handle, &rx, &tx, &events) == FT_OK && rx == 13; }));
    ASSERT_EQ(ks().read(handle, buf, 4, &got), FT_OK);
    EXPECT_EQ(std::string(buf, got), "<rea");
    ASSERT_EQ(ks().getStatus(handle, &rx, &tx, &events), FT_OK);
    EXPECT_EQ(rx, 9u);
    // Asked for more than there is: the rest at once, no waiting for the time-out.
    start = Clock::now();
    ASSERT_EQ(ks().read(handle, buf, sizeof buf, &got), FT_OK);
    EXPECT_EQ(std::string(buf, got), "dy><hostn");
    EXPECT_LT(msSince(start), 100);
}

TEST_F(KernelSerialPort, WriteTakesWhatFitsAndGivesUpAtItsTimeOut) {
    ks().setTimeouts(handle, 100, 100);
    const std::string data = allBytes(256 * 1024);
    size_t sent = 0;
    DWORD written = 0;
    // Nobody reads the other end: the first write fills what buffers there are.
    ASSERT_EQ(ks().write(handle, data.data(), static_cast<DWORD>(data.size()), &written), FT_OK);
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, data.size());
    sent += written;

    long long stalledMs = -1;
    for (int i = 0; i < 20 && stalledMs < 0; ++i) {
        auto start = Clock::now();
        ASSERT_EQ(ks().write(handle, data.data() + sent, static_cast<DWORD>(data.size() - sent),
                             &written),
                  FT_OK);
        if (written == 0)
            stalledMs = msSince(start);
        sent += written;
    }
    EXPECT_GE(stalledMs, 90);
    EXPECT_LT(stalledMs, 1000);

    // Once the far end reads, the rest goes on where it stopped.
    std::string arrived;
    std::thread drain([&] { arrived = pty.receive(data.size(), 3000); });
    auto start = Clock::now();
    while (sent < data.size() && msSince(start) < 5000) {
        ASSERT_EQ(ks().write(handle, data.data() + sent, static_cast<DWORD>(data.size() - sent),
                             &written),
                  FT_OK);
        sent += written;
    }
    drain.join();
    EXPECT_EQ(sent, data.size());
    EXPECT_TRUE(arrived == data) << "arrived " << arrived.size() << " bytes";
}

TEST_F(KernelSerialPort, WaitForBytesEndsAtOnceOnAHangUp) {
    // poll() reports a hang-up at once and for ever; a wait that took it for
    // arriving bytes would have the receiving thread spin.
    ks().setTimeouts(handle, 2000, 1000);
    pty.closeMaster();
    auto start = Clock::now();
    EXPECT_EQ(ks().waitForRx(handle, 1000), FT_OK);
    EXPECT_LT(msSince(start), 500);
    DWORD rx = 0, tx = 0, events = 0;
    EXPECT_EQ(ks().getStatus(handle, &rx, &tx, &events), FT_IO_ERROR);
}

TEST_F(KernelSerialPort, OpenRefusalsAreReportedNotPrinted) {
    UsbTty plain{.tty = "ttyUSB1", .usb = "1-4"};
    tree.add(plain);
    writeFile(tree.base() / "plain-file", "");
    tree.node("ttyUSB1", (tree.base() / "plain-file").string());
    tree.add(UsbTty{.tty = "ttyUSB2", .usb = "1-5"}); // no device node
    const std::string label = " (FT245R USB FIFO)";
    ConsoleCapture console;

    FT_HANDLE second = reinterpret_cast<FT_HANDLE>(1);
    EXPECT_EQ(openListed(0, &second), FT_DEVICE_NOT_OPENED);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(std::string(ks().lastError()),
              (tree.dev() / "ttyUSB0").string() + label +
                  " is in use by another program.\nClose that program (another Shedmate, a "
                  "terminal program) and start again.");
    // Released with the first handle.
    closeHandle();
    ASSERT_EQ(openListed(0, &handle), FT_OK);
    EXPECT_STREQ(ks().lastError(), "");

    EXPECT_EQ(openListed(1, &second), FT_DEVICE_NOT_OPENED);
    EXPECT_EQ(std::string(ks().lastError())
                  .rfind("cannot use " + (tree.dev() / "ttyUSB1").string() + label +
                             ": not a serial device",
                         0),
              0u)
        << ks().lastError();
    EXPECT_EQ(openListed(2, &second), FT_DEVICE_NOT_OPENED);
    EXPECT_EQ(std::string(ks().lastError()), "cannot open " + (tree.dev() / "ttyUSB2").string() +
                                                 label + ": No such file or directory.");
    EXPECT_EQ(console.output(), "");
}

// ---------------------------------------------------------------------------
// The whole program against a controller played on the master side

// Answers as the loom controller does, each reply dribbled out a few bytes at
// a time so that reads end in the middle of messages.
class PtyLoom {
  public:
    explicit PtyLoom(Pty& pty) : pty_(pty), thread_([this] { run(); }) {}
    ~PtyLoom() { stop(); }

    std::string received() {
        std::lock_guard<std::mutex> lock(m_);
        return received_;
    }

  private:
    void stop() {
        stopping_ = true;
        if (thread_.joinable())
            thread_.join();
    }

    void run() {
        std::string line;
        char buf[256];
        while (!stopping_) {
            pollfd pfd{pty_.master(), POLLIN, 0};
            if (::poll(&pfd, 1, 10) <= 0)
                continue;
            ssize_t n = ::read(pty_.master(), buf, sizeof buf);
            if (n <= 0)
                continue;
            {
                std::lock_guard<std::mutex> lock(m_);
                received_.append(buf, static_cast<size_t>(n));
            }
            for (ssize_t i = 0; i < n; ++i) {
                if (buf[i] != '\n') {
                    line += buf[i];
                    continue;
                }
                answer(line);
                line.clear();
            }
        }
    }

    void answer(const std::string& line) {
        dribble(line == "close" ? "<closing connection>\r\n" : loginReply(line));
    }

    void dribble(const std::string& reply) {
        for (size_t at = 0; at < reply.size(); at += 5) {
            pty_.send(reply.substr(at, 5));
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    Pty& pty_;
    std::mutex m_;
    std::string received_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

class KernelSerialSession : public ::testing::Test {
  protected:
    void SetUp() override {
        resetProgramState();
        ASSERT_TRUE(pty.ok());
        tree.add(UsbTty{});
        tree.node("ttyUSB0", pty.path());
        kernelSerialSetRoots(tree.sys(), tree.dev());
        installDriver(kernelSerialDriver());
    }
    void TearDown() override {
        kernelSerialSetRoots("/sys", "/dev");
        logClose();
    }

    Pty pty;
    FakeTree tree;
};

TEST_F(KernelSerialSession, LogsInShowsTheStatusAndQuits) {
    PtyLoom loom(pty);
    ConsolePipe console;
    SessionThread run;
    ASSERT_TRUE(console.waitForOutput("Or enter 'a' for apply", 5000)) << console.output();
    std::string out = console.output();
    // The kernel's device is named by its tty.
    EXPECT_EQ(out.rfind("Connecting to the loom (" + tree.dev().string() + "/ttyUSB0)\u2026\n", 0),
              0u)
        << out;
    EXPECT_TRUE(contains(out, "Loom Name [1]: LOOM-7"));
    EXPECT_TRUE(contains(out, "Network Name [3]: ShedNet"));
    EXPECT_TRUE(contains(out, "Current Address: 192.168.1.40"));

    // The controller's last "<ready>" may still be on its way after the menu.
    ASSERT_TRUE(eventually([] { return clearToSend.load() == 1; }));
    console.type("q\n");
    ASSERT_TRUE(run.join());
    EXPECT_EQ(run.exitStatus(), 0);
    EXPECT_TRUE(eventually([&] { return loom.received().find("close\n") != std::string::npos; }));
    // What comes after is the terminal's own business: once the program has
    // closed it and put back its cooked settings, the test's slave fd still
    // keeps it alive and echoes the controller's farewell.
    const std::string conversation = "\ntulip\n<netstatus/>\n<wifistatus/>\nclose\n";
    EXPECT_EQ(loom.received().substr(0, conversation.size()), conversation);

    std::string log = readLog();
    EXPECT_TRUE(contains(log, "Description=FT245R USB FIFO"));
    EXPECT_TRUE(contains(log, "FT_Open succeeded"));
    EXPECT_EQ(readFile(tree.latencyTimer(UsbTty{})), "2\n");
}

// --device with a tty path, or a link to one such as /dev/serial/by-id/...,
// takes that tty even where the automatic rule would take another.
TEST(KernelSerialChoice, ADeviceIsChosenByItsPathOrALinkToIt) {
    FakeTree tree;
    UsbTty first, second;
    second.tty = "ttyUSB1";
    second.usb = "1-3";
    second.serial = "B2";
    tree.add(first);
    tree.add(second);
    writeFile(tree.dev() / "ttyUSB0", "");
    writeFile(tree.dev() / "ttyUSB1", "");
    fs::create_directories(tree.dev() / "serial/by-id");
    fs::create_symlink("../../ttyUSB0", tree.dev() / "serial/by-id/usb-FTDI_A50285BI");
    kernelSerialSetRoots(tree.sys(), tree.dev());
    installDriver(kernelSerialDriver());
    const std::string tty0 = (tree.dev() / "ttyUSB0").string();
    for (const std::string& id : {tty0, (tree.dev() / "serial/by-id/usb-FTDI_A50285BI").string()}) {
        std::vector<ListedDevice> list;
        ChosenDevice chosen;
        ASSERT_EQ(lookForDevice(DeviceChoice{id}, list, chosen), FT_OK);
        ASSERT_EQ(list.size(), 2u);
        EXPECT_EQ(list[0].path, tty0);
        EXPECT_EQ(chosen.index, 0) << id;
    }
    installDriver(nullptr);
    kernelSerialSetRoots("/sys", "/dev");
}

TEST(KernelSerialChoice, WithoutFtdiLibraryAMissingDeviceIsToldInItsOwnTerms) {
    std::string why;
    if (d2xxLibraryDriver(why))
        GTEST_SKIP() << "libftd2xx.so is installed on this machine";
    resetProgramState();
    FakeTree empty;
    kernelSerialSetRoots(empty.sys(), empty.dev());
    {
        ConsoleCapture console;
        SessionThread run(systemDriver);
        ASSERT_TRUE(run.join());
        EXPECT_EQ(run.exitStatus(), 1);
        // One ERROR line and its advice, with no D2XX status the run never met.
        EXPECT_EQ(console.output(),
                  "ERROR: no FTDI USB serial device (/dev/ttyUSB*) found, and FTDI's "
                  "libftd2xx.so is not installed.\n"
                  "\tPlug the loom in and switch it on; if it is, check that the kernel's "
                  "ftdi_sio driver is loaded (sudo modprobe ftdi_sio).\n");
    }
    std::string log = readLog();
    EXPECT_EQ(countOf(log, "driver: "), 1) << log;
    EXPECT_TRUE(
        contains(log, "driver: kernel serial devices (ftdi_sio), libftd2xx.so not loaded: "));
    EXPECT_TRUE(contains(log, "FT_Open returned 2\nopenLoom failed: 2\n"));
    kernelSerialSetRoots("/sys", "/dev");
}

} // namespace
