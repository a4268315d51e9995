#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
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

TEST(FirmwarePath, IsTakenAsTheOperatorMeantIt) {
    struct {
        const char* typed;
        const char* home;
        const char* meant;
    } const cases[] = {
        {"fw.bin\n", "/home/t", "fw.bin"},
        {"fw.bin\r\n", "/home/t", "fw.bin"},
        // The last character is a line end only when it is one.
        {"fw.bin", "/home/t", "fw.bin"},
        {" \t/srv/fw 2.bin  \n", "/home/t", "/srv/fw 2.bin"},
        {"'/srv/fw 2.bin'\n", "/home/t", "/srv/fw 2.bin"},
        {"  \"/srv/fw 2.bin\" \n", "/home/t", "/srv/fw 2.bin"},
        // One pair only, and only a matching one.
        {"\"'fw.bin'\"", "/home/t", "'fw.bin'"},
        {"\"fw.bin'", "/home/t", "\"fw.bin'"},
        {"\"", "/home/t", "\""},
        {"~/fw.bin\n", "/home/t", "/home/t/fw.bin"},
        {"\"~/fw.bin\"", "/home/t/", "/home/t/fw.bin"},
        {"~", "/home/t", "/home/t"},
        {"~/fw.bin", nullptr, "~/fw.bin"},
        // Another user's home, or a name starting with '~', stays.
        {"~ann/fw.bin", "/home/t", "~ann/fw.bin"},
        {"fw~/x", "/home/t", "fw~/x"},
        {" \n", "/home/t", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(cleanFirmwarePath(c.typed, c.home), c.meant) << "typed: " << c.typed;
}

TEST(FirmwareProgress, ShowsPercentBytesRateAndTimeLeft) {
    EXPECT_EQ(progressText(0, 16777216, 0), "  0 %  0 of 16777216 bytes");
    // Too early for a rate.
    EXPECT_EQ(progressText(65536, 16777216, 50), "  0 %  65536 of 16777216 bytes");
    EXPECT_EQ(progressText(4194304, 16777216, 4000),
              " 25 %  4194304 of 16777216 bytes  1.0 MB/s  12 s left");
    EXPECT_EQ(progressText(1000000, 100000000, 4000),
              "  1 %  1000000 of 100000000 bytes  250 kB/s  6 min 36 s left");
    EXPECT_EQ(progressText(16777215, 16777216, 16000),
              " 99 %  16777215 of 16777216 bytes  1.0 MB/s  1 s left");
    EXPECT_EQ(progressText(703, 703, 200), "100 %  703 of 703 bytes  4 kB/s  0 s left");
}

// The wait for the controller's answer ends at once: every reading of the
// clock is 20 s later than the last.
std::atomic<uint32_t> fakeNow{0};
uint32_t fastClock() {
    return fakeNow += 20000;
}

TEST(FirmwareUpload, QueuedMessagesWaitUntilTheImageIsWritten) {
    resetProgramState();
    ASSERT_TRUE(logOpen());
    fake::setDevices({fake::Device{"FT245R USB FIFO"}});
    ASSERT_EQ(openDevice(), FT_OK);
    std::string image(3000, 'i');
    for (size_t at = 0; at < image.size(); at += 100)
        image[at] = '\n';
    {
        std::FILE* f = std::fopen("fw_held.bin", "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(image.data(), 1, image.size(), f);
        std::fclose(f);
    }
    std::strcpy(firmwarePath, "fw_held.bin\n");
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
    ASSERT_TRUE(loadFirmware());
    setTickSource(fastClock);
    EXPECT_TRUE(sendFirmware());
    setTickSource(nullptr);
    ASSERT_TRUE(other.joinable());
    other.join();
    fake::setResponder(nullptr);
    EXPECT_TRUE(fake::written() == "receivefirmware 3000\r" + image + "<netstatus/>\n")
        << "a queued message was interleaved with the image";
    logClose();
    std::remove("fw_held.bin");
}

} // namespace
