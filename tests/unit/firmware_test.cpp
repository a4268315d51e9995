#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "base/clock.h"
#include "base/log.h"
#include "link/connection.h"
#include "link/queue.h"
#include "protocol/firmware.h"
#include "protocol/settings.h"
#include "support/fake_driver.h"
#include "support/session.h"

namespace {

const std::string warning = "\tSending file - do not turn computer off or exit program\n\n";

void writeFile(const char* name, const std::string& bytes) {
    std::FILE* f = std::fopen(name, "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

// As the menu stores it: the name and one trailing character.
void setPath(const std::string& typed) {
    ASSERT_LT(typed.size(), sizeof firmwarePath);
    std::strcpy(firmwarePath, typed.c_str());
}

class FirmwareUpload : public ::testing::Test {
  protected:
    void SetUp() override {
        resetProgramState();
        ASSERT_TRUE(logOpen());
        fake::setDevices({fake::Device{"FT245R USB FIFO"}});
        ASSERT_EQ(openDevice(), FT_OK);
    }
    void TearDown() override {
        setTickSource(nullptr);
        logClose();
        for (const char* name : {"fw_empty.bin", "fw_image.bin", "fw_shrinks.bin", "fw_held.bin"})
            std::remove(name);
    }
};

TEST_F(FirmwareUpload, EmptyFileSendsOnlyTheCommand) {
    writeFile("fw_empty.bin", "");
    setPath("fw_empty.bin\n");
    ConsoleCapture console;
    sendFirmware();
    EXPECT_EQ(fake::written(), "receivefirmware 0\r");
    EXPECT_EQ(fake::writeCalls().size(), 1u);
    EXPECT_EQ(console.output(), "length: 0\n" + warning);
    EXPECT_NE(readLog().find("Sending update - length: 0 file: fw_empty.bin\n"), std::string::npos);
}

TEST_F(FirmwareUpload, ImageBytesGoOutUnchanged) {
    // Line ends, end-of-file and NUL bytes, and every other byte value.
    std::string image("\r\n\x1a\0<ready>\n\r", 12);
    for (int i = 0; i < 4096; ++i)
        image += static_cast<char>(i & 0xff);
    writeFile("fw_image.bin", image);
    setPath("fw_image.bin\n");
    ConsoleCapture console;
    sendFirmware();

    const std::string command = "receivefirmware " + std::to_string(image.size()) + "\r";
    EXPECT_EQ(fake::written().size(), command.size() + image.size());
    EXPECT_TRUE(fake::written() == command + image) << "image bytes altered on the way";
    EXPECT_EQ(console.output(), "length: " + std::to_string(image.size()) + "\n" + warning +
                                    "bytesRead: " + std::to_string(image.size()) + "\n");
    EXPECT_NE(readLog().find("Sending update - length: " + std::to_string(image.size()) +
                             " file: fw_image.bin\n"),
              std::string::npos);
}

TEST_F(FirmwareUpload, OnlyTheLastCharacterOfThePathIsDropped) {
    writeFile("fw_image.bin", "abc");
    setPath("fw_image.bin#");
    ConsoleCapture console;
    sendFirmware();
    EXPECT_STREQ(firmwarePath, "fw_image.bin");
    EXPECT_EQ(fake::written(), "receivefirmware 3\rabc");
}

TEST_F(FirmwareUpload, MissingFileIsReportedAndNothingSent) {
    std::remove("fw_missing.bin");
    setPath("fw_missing.bin\n");
    ConsoleCapture console;
    sendFirmware();
    EXPECT_EQ(console.output(),
              "\n\n\tUnable [" + std::to_string(ENOENT) + "] to open fw_missing.bin\n\n");
    EXPECT_EQ(fake::written(), "");

    // Nothing typed at all: no name to open, and no harm done.
    firmwarePath[0] = '\0';
    ConsoleCapture again;
    sendFirmware();
    EXPECT_EQ(again.output().rfind("\n\n\tUnable [", 0), 0u);
    EXPECT_EQ(fake::written(), "");
}

// The clock is read as the command goes out: the one moment between measuring
// the file and reading it, where a file that shrinks can be simulated.
std::atomic<bool> shrinkPending{false};
uint32_t shrinkingClock() {
    if (shrinkPending.exchange(false))
        std::filesystem::resize_file("fw_shrinks.bin", 8000);
    return 0;
}

TEST_F(FirmwareUpload, FileThatEndsEarlyStopsTheUpload) {
    // Larger than the stdio buffer, so the part cut off has not been read ahead.
    writeFile("fw_shrinks.bin", std::string(20000, 'x'));
    setPath("fw_shrinks.bin\n");
    shrinkPending = true;
    setTickSource(shrinkingClock);
    ConsoleCapture console;
    // Runs on a thread of its own so that an upload stuck on a read of nothing
    // fails the test instead of hanging it.
    std::atomic<bool> done{false};
    std::thread upload([&] {
        sendFirmware();
        done = true;
    });
    bool ended = eventually([&] { return done.load(); }, 5000);
    if (!ended) {
        upload.detach();
        FAIL() << "sendFirmware did not return on a short read";
    }
    upload.join();
    EXPECT_TRUE(fake::written() == "receivefirmware 20000\r" + std::string(8000, 'x'))
        << fake::written().size() << " bytes written";
    EXPECT_NE(readLog().find("sendFirmware(): file ended with 12000 of 20000 bytes unsent\n"),
              std::string::npos);
}

TEST_F(FirmwareUpload, QueuedMessagesWaitUntilTheImageIsWritten) {
    std::string image(3000, 'i');
    for (size_t at = 0; at < image.size(); at += 100)
        image[at] = '\n';
    writeFile("fw_held.bin", image);
    setPath("fw_held.bin\n");
    // Small writes give a message sent from another thread many chances to
    // land inside the image.
    fake::setMaxWrite(64);
    std::thread other;
    fake::setResponder([&](const std::string&) {
        if (other.joinable())
            return;
        other = std::thread([] { queueMsg("<netstatus/>"); });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    });
    ConsoleCapture console;
    sendFirmware();
    ASSERT_TRUE(other.joinable());
    other.join();
    fake::setResponder(nullptr);
    const std::string command = "receivefirmware 3000\r";
    EXPECT_TRUE(fake::written() == command + image + "<netstatus/>\n")
        << "a queued message was interleaved with the image";
}

} // namespace
