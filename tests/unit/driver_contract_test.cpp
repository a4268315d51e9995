// The contract of link/driver.h, run against every back end: the test fake,
// the in-process virtual loom, FTDI's library loader over the D2XX-shaped
// virtual loom library (scripted), and the kernel's serial devices on a
// pseudo-terminal. Built a second time for the ftdi leg (SHEDMATE_FTDI_LIB_DIR
// defined), it runs against FTDI's own libftd2xx.so alone, over an FT245R
// emulated at the usbfs level.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "link/driver.h"
#include "support/checks.h"
#include "support/fake_driver.h"
#include "support/session.h"
#include "virtual_loom/loom_driver.h"
#include "virtual_loom/model.h"

#if !defined(_WIN32)
#include "link/drivers/d2xx_library.h"
#include "peer/script_peer.h"
#include "virtual_loom/ftd2xx/script_link.h"
#endif
#if defined(__linux__)
#include "link/drivers/kernel_serial.h"
#include "serial_fixtures.h"
#endif
#if defined(SHEDMATE_FTDI_LIB_DIR)
#include <unistd.h>

#include "ftdi/ft245r.h"
#endif

namespace {

using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// The far end of one back end's device.
class Backend {
  public:
    virtual ~Backend() = default;
    virtual const Driver& table() = 0;
    // The device has just been opened.
    virtual void opened(const Driver&, FT_HANDLE) {}
    // The far end must have received `line`; it answers. Returns the answer.
    virtual std::string answer(const std::string& line) = 0;
    // Pulls the plug.
    virtual void unplug() = 0;
    // Makes reads return their bytes with `status` from now on; false for a
    // back end whose reads cannot (their bytes always come with FT_OK).
    virtual bool readWithStatus(FT_STATUS) { return false; }
};

class FakeBackend : public Backend {
  public:
    FakeBackend() {
        resetProgramState();
        fake::setDevices({{"FT245R USB FIFO"}});
        fake::setFailureText("no such device");
    }
    const Driver& table() override { return driver(); }
    std::string answer(const std::string& line) override {
        EXPECT_EQ(fake::written(), line);
        fake::pushRx("<ready>\r\n");
        return "<ready>\r\n";
    }
    void unplug() override {
        fake::setGetStatusResult(FT_IO_ERROR);
        fake::setReadResult(FT_IO_ERROR);
        fake::setWriteStatus(FT_IO_ERROR);
    }
    bool readWithStatus(FT_STATUS status) override {
        fake::setReadResult(status);
        return true;
    }
};

class LoomBackend : public Backend {
  public:
    const Driver& table() override { return *virtualLoomDriver(vloom::Timing{}); }
    // The model gives the same bytes for the same lines, so a second one
    // knows the answer.
    std::string answer(const std::string& line) override {
        replica_.receive(line.data(), line.size(), 0);
        return replica_.takeOutput(0);
    }
    void unplug() override { unplugVirtualLoom(); }

  private:
    vloom::Model replica_;
};

#if !defined(_WIN32)
// A D2XX-shaped library whose far side is this test over a socket.
class ScriptedLibraryBackend : public Backend {
  public:
    ~ScriptedLibraryBackend() override {
        loom_.reset();
        ::unsetenv(vloom::script::socketEnv);
        ::rmdir(dir_.c_str());
    }
    const Driver& table() override { return *table_; }
    std::string answer(const std::string& line) override {
        EXPECT_TRUE(loom_->expectWire(line, 2000)) << loom_->error();
        EXPECT_TRUE(loom_->send("<ready>\r\n"));
        return "<ready>\r\n";
    }
    void unplug() override {
        EXPECT_TRUE(loom_->control(vloom::script::frame::unplug, vloom::script::failAll, 2000));
    }
    bool readWithStatus(FT_STATUS status) override {
        return loom_->control(vloom::script::frame::readStatus, status, 2000);
    }

  protected:
    void load(const char* library) {
        char dir[] = "/tmp/shedmate-contract-XXXXXX";
        dir_ = ::mkdtemp(dir) ? dir : "/tmp";
        loom_ = std::make_unique<peer::ScriptPeer>(dir_ + "/loom.sock");
        ::setenv(vloom::script::socketEnv, loom_->socketPath().c_str(), 1);
        std::string error;
        table_ = d2xxLibraryDriverAt(library, error);
        EXPECT_NE(table_, nullptr) << error;
    }
    void accept(int ms) { EXPECT_TRUE(loom_->accept(ms)) << loom_->error(); }

  private:
    std::string dir_;
    std::unique_ptr<peer::ScriptPeer> loom_;
    const Driver* table_ = nullptr;
};

class LibraryBackend : public ScriptedLibraryBackend {
  public:
    LibraryBackend() { load(SHEDMATE_VLOOM_LIB); }
    void opened(const Driver&, FT_HANDLE) override { accept(2000); }
};
#endif

#if defined(SHEDMATE_FTDI_LIB_DIR)
// FTDI's library over the chip (the library is preloaded with the chip's
// usbfs by the ftdi leg's CTest entries).
class FtdiChipBackend : public ScriptedLibraryBackend {
  public:
    FtdiChipBackend() {
        EXPECT_EQ(ft245r::enterBus(ft245r::Bus::Chips, {{"FT000001"}}), "");
        ::setenv(ft245r::chipsEnv, "FT000001|FT245R USB FIFO", 1);
        load(SHEDMATE_FTDI_LIB_DIR "/libftd2xx.so");
    }
    // The chip's loom is attached once the device is taken up as the program
    // does: its latency timer set.
    void opened(const Driver& d, FT_HANDLE handle) override {
        EXPECT_EQ(d.setLatencyTimer(handle, 2), FT_OK);
        accept(5000);
    }
};
#endif

#if defined(__linux__)
class KernelSerialBackend : public Backend {
  public:
    KernelSerialBackend() {
        EXPECT_TRUE(pty_.ok());
        tree_.add(serial_fixtures::UsbTty{});
        tree_.node("ttyUSB0", pty_.path());
        kernelSerialSetRoots(tree_.sys(), tree_.dev());
    }
    ~KernelSerialBackend() override { kernelSerialSetRoots("/sys", "/dev"); }
    const Driver& table() override { return *kernelSerialDriver(); }
    std::string answer(const std::string& line) override {
        EXPECT_EQ(pty_.receive(line.size()), line);
        EXPECT_TRUE(pty_.send("<ready>\r\n"));
        return "<ready>\r\n";
    }
    void unplug() override { pty_.closeMaster(); }

  private:
    serial_fixtures::Pty pty_;
    serial_fixtures::FakeTree tree_;
};
#endif

struct BackendKind {
    const char* name;
    std::function<std::unique_ptr<Backend>()> make;
};

void PrintTo(const BackendKind& kind, std::ostream* out) {
    *out << kind.name;
}

class DriverContract : public ::testing::TestWithParam<BackendKind> {
  protected:
    void SetUp() override {
#if defined(SHEDMATE_FTDI_LIB_DIR)
        if (::geteuid() != 0) {
            // CI runs as root; only there must this run.
            if (std::getenv("CI"))
                FAIL() << "FTDI's library over the emulated chip needs root";
            GTEST_SKIP() << "not root: FTDI's library over the emulated chip needs a private "
                            "mount namespace";
        }
#endif
        resetProgramState();
        backend_ = GetParam().make();
        d = &backend_->table();
    }
    void TearDown() override {
        if (handle)
            d->close(handle);
    }

    // Lists the devices, opens the loom's and sets its time-outs.
    void open() {
        DWORD count = 0;
        ASSERT_EQ(d->createDeviceInfoList(&count), FT_OK);
        ASSERT_GE(count, 1u);
        std::vector<DeviceInfoNode> list(count);
        DWORD listed = count;
        ASSERT_EQ(d->getDeviceInfoList(list.data(), &listed), FT_OK);
        ASSERT_EQ(listed, count);
        EXPECT_STREQ(list[0].Description, "FT245R USB FIFO");
        ASSERT_EQ(d->open(0, &handle), FT_OK);
        ASSERT_NE(handle, nullptr);
        backend_->opened(*d, handle);
        ASSERT_EQ(d->setTimeouts(handle, 100, 100), FT_OK);
    }

    // Polls as the receiving thread does until `want` bytes are waiting.
    DWORD waitFor(DWORD want) {
        DWORD rx = 0, tx = 0, events = 0;
        auto start = Clock::now();
        while (msSince(start) < 2000) {
            EXPECT_EQ(d->getStatus(handle, &rx, &tx, &events), FT_OK);
            if (rx >= want)
                break;
            if (d->waitForRx)
                d->waitForRx(handle, 10);
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return rx;
    }

    std::unique_ptr<Backend> backend_;
    const Driver* d = nullptr;
    FT_HANDLE handle = nullptr;
};

TEST_P(DriverContract, FailedOpenLeavesNoHandleAndSaysWhy) {
    DWORD count = 0;
    ASSERT_EQ(d->createDeviceInfoList(&count), FT_OK);
    EXPECT_STREQ(d->lastError(), "");
    if (d->devicePath) {
        ASSERT_NE(d->devicePath(0), nullptr);
        EXPECT_NE(d->devicePath(0)[0], '\0');
        const char* beyond = d->devicePath(static_cast<int>(count) + 5);
        EXPECT_TRUE(!beyond || !*beyond);
    }
    FT_HANDLE h = reinterpret_cast<FT_HANDLE>(1);
    EXPECT_NE(d->open(static_cast<int>(count) + 5, &h), FT_OK);
    EXPECT_EQ(h, nullptr);
    // A reason, and at most one line of advice, for the core to word.
    std::string why = d->lastError();
    EXPECT_FALSE(why.empty());
    EXPECT_LE(std::count(why.begin(), why.end(), '\n'), 1) << why;
    EXPECT_NE(why.back(), '\n') << why;
    EXPECT_NE(why.rfind("ERROR", 0), 0u) << why;
}

TEST_P(DriverContract, UnknownHandlesAndNullPointersAreRefused) {
    open();
    int stranger = 0;
    char buf[8];
    for (FT_HANDLE h : {static_cast<FT_HANDLE>(nullptr), static_cast<FT_HANDLE>(&stranger)}) {
        DWORD n = 77, rx = 77, tx = 77, events = 77;
        EXPECT_EQ(d->setTimeouts(h, 10, 10), FT_INVALID_HANDLE);
        EXPECT_EQ(d->getStatus(h, &rx, &tx, &events), FT_INVALID_HANDLE);
        EXPECT_EQ(d->read(h, buf, sizeof buf, &n), FT_INVALID_HANDLE);
        EXPECT_EQ(d->write(h, "x", 1, &n), FT_INVALID_HANDLE);
        EXPECT_EQ(d->close(h), FT_INVALID_HANDLE);
        if (d->waitForRx) {
            EXPECT_EQ(d->waitForRx(h, 1), FT_INVALID_HANDLE);
        }
        if (d->setLatencyTimer) {
            EXPECT_EQ(d->setLatencyTimer(h, 2), FT_INVALID_HANDLE);
        }
        // A refusal touches nothing.
        EXPECT_EQ(n + rx + tx + events, 4u * 77u);
    }

    DWORD n = 0, tx = 0;
    EXPECT_EQ(d->createDeviceInfoList(nullptr), FT_INVALID_PARAMETER);
    n = 5;
    EXPECT_EQ(d->getDeviceInfoList(nullptr, &n), FT_INVALID_PARAMETER);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(d->open(0, nullptr), FT_INVALID_PARAMETER);
    EXPECT_EQ(d->getStatus(handle, nullptr, &tx, &n), FT_INVALID_PARAMETER);
    EXPECT_EQ(d->read(handle, buf, sizeof buf, nullptr), FT_INVALID_PARAMETER);
    EXPECT_EQ(d->read(handle, nullptr, 4, &n), FT_INVALID_PARAMETER);
    EXPECT_EQ(d->write(handle, nullptr, 4, &n), FT_INVALID_PARAMETER);

    // A closed handle is an unknown one.
    ASSERT_EQ(d->close(handle), FT_OK);
    FT_HANDLE closed = handle;
    handle = nullptr;
    EXPECT_EQ(d->getStatus(closed, &n, &tx, &n), FT_INVALID_HANDLE);
    EXPECT_EQ(d->close(closed), FT_INVALID_HANDLE);
    // And the device is free again.
    EXPECT_EQ(d->open(0, &handle), FT_OK);
}

// FTDI's FT_Read can return bytes with a status other than FT_IO_ERROR: they
// are the controller's and reach the caller. A back end that cannot fail that
// way returns them with FT_OK.
TEST_P(DriverContract, WrittenLineReachesTheFarEndAndItsAnswerIsReadAtOnceWhateverTheStatus) {
    open();
    const FT_STATUS status = backend_->readWithStatus(FT_OTHER_ERROR) ? FT_OTHER_ERROR : FT_OK;
    DWORD written = 0;
    ASSERT_EQ(d->write(handle, "\n", 1, &written), FT_OK);
    EXPECT_EQ(written, 1u);
    std::string answer = backend_->answer("\n");
    ASSERT_FALSE(answer.empty());

    DWORD waiting = waitFor(static_cast<DWORD>(answer.size()));
    ASSERT_EQ(waiting, answer.size());
    std::string got(waiting, '\0');
    DWORD n = 0;
    auto start = Clock::now();
    EXPECT_EQ(d->read(handle, got.data(), waiting, &n), status);
    // Asked for no more than was waiting: no waiting out the time-out.
    EXPECT_LT(msSince(start), 50);
    ASSERT_EQ(n, waiting);
    EXPECT_EQ(got, answer);
}

// FTDI's library signals its event only for bytes that arrive after it was
// registered, and once: bytes already waiting must end a wait all the same.
TEST_P(DriverContract, WaitEndsAtOnceWhileBytesAreWaiting) {
    if (!d->waitForRx)
        GTEST_SKIP() << "no wait in this back end";
    open();
    DWORD written = 0;
    ASSERT_EQ(d->write(handle, "\n", 1, &written), FT_OK);
    std::string answer = backend_->answer("\n");
    ASSERT_EQ(waitFor(static_cast<DWORD>(answer.size())), answer.size());
    for (int i = 0; i < 2; ++i) {
        auto start = Clock::now();
        EXPECT_EQ(d->waitForRx(handle, 2000), FT_OK);
        EXPECT_LT(msSince(start), 500) << "wait " << i + 1;
    }
}

TEST_P(DriverContract, ReadAndWaitGiveUpWithinTheirTimeOuts) {
    open();
    char buf[16];
    DWORD n = 77;
    auto start = Clock::now();
    EXPECT_EQ(d->read(handle, buf, sizeof buf, &n), FT_OK);
    EXPECT_EQ(n, 0u);
    EXPECT_LT(msSince(start), 1000);
    if (d->waitForRx) {
        start = Clock::now();
        EXPECT_EQ(d->waitForRx(handle, 50), FT_OK);
        EXPECT_LT(msSince(start), 1000);
    }
}

TEST_P(DriverContract, LostDeviceFailsAtOnceAndStaysLost) {
    open();
    backend_->unplug();
    char buf[16];
    DWORD n = 77, rx = 77, tx = 77, events = 77;
    auto start = Clock::now();
    // The read alone must notice, with no status call before it.
    EXPECT_EQ(d->read(handle, buf, sizeof buf, &n), FT_IO_ERROR);
    EXPECT_EQ(n, 0u);
    if (d->waitForRx) {
        EXPECT_EQ(d->waitForRx(handle, 100), FT_OK);
    }
    EXPECT_EQ(d->getStatus(handle, &rx, &tx, &events), FT_IO_ERROR);
    EXPECT_EQ(rx, 0u);
    n = 77;
    EXPECT_EQ(d->write(handle, "close\n", 6, &n), FT_IO_ERROR);
    EXPECT_EQ(n, 0u);
    EXPECT_LT(msSince(start), 500);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(d->getStatus(handle, &rx, &tx, &events), FT_IO_ERROR);
    EXPECT_EQ(d->read(handle, buf, sizeof buf, &n), FT_IO_ERROR);
    EXPECT_EQ(d->close(handle), FT_OK);
    handle = nullptr;
}

#if defined(SHEDMATE_FTDI_LIB_DIR)
INSTANTIATE_TEST_SUITE_P(FtdiLibrary, DriverContract,
                         ::testing::Values(BackendKind{
                             "FtdiChip",
                             [] { return std::unique_ptr<Backend>(new FtdiChipBackend); }}),
                         caseName<BackendKind>);
#else
INSTANTIATE_TEST_SUITE_P(
    Backends, DriverContract,
    ::testing::Values(
        BackendKind{"Fake", [] { return std::unique_ptr<Backend>(new FakeBackend); }},
        BackendKind{"VirtualLoom", [] { return std::unique_ptr<Backend>(new LoomBackend); }}
#if !defined(_WIN32)
        ,
        BackendKind{"D2xxLibrary", [] { return std::unique_ptr<Backend>(new LibraryBackend); }}
#endif
#if defined(__linux__)
        ,
        BackendKind{"KernelSerial",
                    [] { return std::unique_ptr<Backend>(new KernelSerialBackend); }}
#endif
        ),
    caseName<BackendKind>);
#endif

} // namespace
