// Stand-ins for the kernel's side of a USB serial port: a sysfs tree in a
// temporary folder, and a pseudo-terminal in place of ftdi_sio's /dev/ttyUSBn.
// Linux only; shared by the kernel serial tests and the driver contract suite.
#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

namespace serial_fixtures {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

inline long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

inline void writeFile(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// One USB serial port as sysfs shows it.
struct UsbTty {
    std::string tty = "ttyUSB0";
    std::string usb = "1-2"; // the USB device's directory: bus-port.port...
    std::string vendor = "0403";
    std::string product = "6001";
    std::optional<std::string> productName = "FT245R USB FIFO";
    std::string serial = "A50285BI";
    std::string bcdDevice = "0600";
};

// A sysfs tree and a device folder in a temporary folder, linked the way the
// kernel links them.
class FakeTree {
  public:
    FakeTree() {
        char pattern[] = "/tmp/shedmate-kernel-serial-XXXXXX";
        base_ = ::mkdtemp(pattern);
        fs::create_directories(sys() / "class/tty");
        fs::create_directories(dev());
    }
    ~FakeTree() {
        std::error_code ignored;
        fs::remove_all(base_, ignored);
    }
    FakeTree(const FakeTree&) = delete;
    FakeTree& operator=(const FakeTree&) = delete;

    fs::path base() const { return base_; }
    fs::path sys() const { return base_ / "sys"; }
    fs::path dev() const { return base_ / "dev"; }

    void add(const UsbTty& t) {
        fs::path usbDir = sys() / "devices/pci0000:00/0000:00:14.0/usb1" / t.usb;
        fs::create_directories(usbDir);
        writeFile(usbDir / "idVendor", t.vendor + "\n");
        writeFile(usbDir / "idProduct", t.product + "\n");
        writeFile(usbDir / "bcdDevice", t.bcdDevice + "\n");
        writeFile(usbDir / "serial", t.serial + "\n");
        if (t.productName)
            writeFile(usbDir / "product", *t.productName + "\n");
        fs::path port = usbDir / (t.usb + ":1.0") / t.tty;
        writeFile(latencyTimer(t), "16\n");
        linkTty(t.tty, port);
    }

    // A tty with no USB device above it.
    void addPlatformTty(const std::string& tty) {
        linkTty(tty, sys() / "devices/platform/serial8250" / tty);
    }

    fs::path latencyTimer(const UsbTty& t) const {
        fs::path port =
            sys() / "devices/pci0000:00/0000:00:14.0/usb1" / t.usb / (t.usb + ":1.0") / t.tty;
        fs::create_directories(port);
        return port / "latency_timer";
    }

    // The device node: a link to whatever stands in for the tty.
    void node(const std::string& tty, const std::string& target) {
        fs::create_symlink(target, dev() / tty);
    }

  private:
    void linkTty(const std::string& tty, const fs::path& port) {
        fs::path classDir = port / "tty" / tty;
        fs::create_directories(classDir);
        fs::create_directory_symlink("../../../" + tty, classDir / "device");
        fs::create_directory_symlink(fs::relative(classDir, sys() / "class/tty"),
                                     sys() / "class/tty" / tty);
    }

    fs::path base_;
};

// A pseudo-terminal: the program gets the slave, the test the master. The
// test keeps a slave fd of its own so it can look at the terminal settings.
class Pty {
  public:
    Pty() {
        char name[128] = {};
        if (::openpty(&master_, &slave_, name, nullptr, nullptr) == 0)
            path_ = name;
        if (master_ >= 0)
            ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    }
    ~Pty() {
        closeMaster();
        if (slave_ >= 0)
            ::close(slave_);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    bool ok() const { return master_ >= 0 && slave_ >= 0; }
    const std::string& path() const { return path_; }
    int master() const { return master_; }
    int slave() const { return slave_; }

    // What an unplugged FT245R looks like from the tty side: a hang-up.
    void closeMaster() {
        if (master_ >= 0)
            ::close(master_);
        master_ = -1;
    }

    bool send(const std::string& bytes) {
        size_t done = 0;
        auto start = Clock::now();
        while (done < bytes.size() && msSince(start) < 3000) {
            ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
            if (n > 0)
                done += static_cast<size_t>(n);
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return done == bytes.size();
    }

    // Reads until `want` bytes have come, or timeoutMs of silence.
    std::string receive(size_t want, int timeoutMs = 2000) {
        std::string got;
        char buf[4096];
        while (got.size() < want) {
            pollfd pfd{master_, POLLIN, 0};
            if (::poll(&pfd, 1, timeoutMs) <= 0)
                break;
            ssize_t n = ::read(master_, buf, sizeof buf);
            if (n <= 0)
                break;
            got.append(buf, static_cast<size_t>(n));
        }
        return got;
    }

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

} // namespace serial_fixtures
