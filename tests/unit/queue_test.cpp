// The outgoing queue: framing, one message in flight, the ring, and writing
// to the device.
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/log.h"
#include "base/state.h"
#include "link/connection.h"
#include "link/queue.h"
#include "protocol/settings.h"
#include "support/fake_driver.h"
#include "support/session.h"

namespace {

class Queue : public ::testing::Test {
  protected:
    void SetUp() override {
        resetProgramState();
        logOpen();
        fake::setDevices({{"FT245R USB FIFO"}});
        ASSERT_EQ(openDevice(), FT_OK);
    }
    void TearDown() override {
        fake::setResponder(nullptr);
        closeLoom();
        logClose();
    }
};

// What the controller answers with: lets the next message go.
void ack() {
    clearToSend = 1;
    sendNextMsg();
}

std::vector<std::string> writtenLines() {
    std::vector<std::string> lines;
    std::string all = fake::written();
    size_t from = 0;
    for (size_t nl; (nl = all.find('\n', from)) != std::string::npos; from = nl + 1)
        lines.push_back(all.substr(from, nl - from));
    return lines;
}

TEST_F(Queue, EveryMessageLeavesWithExactlyOneLineFeed) {
    queueMsg("<netstatus/>");
    ack();
    queueMsg("close\n");
    ack();
    queueMsg("");
    ack();
    queueMsg("\n");
    ack();
    EXPECT_EQ(fake::writeCalls(),
              (std::vector<std::string>{"<netstatus/>\n", "close\n", "\n", "\n"}));

    // An over-long text is cut to 510 characters before its line feed.
    std::string longText(600, 'x');
    queueMsg(longText.c_str());
    EXPECT_EQ(fake::writeCalls().back(), std::string(510, 'x') + "\n");
}

TEST_F(Queue, OnlyOneMessageIsInFlightUntilAcknowledged) {
    ASSERT_EQ(clearToSend.load(), 1);
    queueMsg("first");
    EXPECT_EQ(fake::written(), "first\n");
    EXPECT_EQ(clearToSend.load(), 0);

    queueMsg("second");
    sendNextMsg(); // no acknowledgement yet
    EXPECT_EQ(fake::written(), "first\n");
    EXPECT_EQ(queuedCount(), 1u);

    ack();
    EXPECT_EQ(fake::written(), "first\nsecond\n");
    EXPECT_EQ(clearToSend.load(), 0);
    EXPECT_EQ(queuedCount(), 0u);

    // An acknowledgement with nothing queued leaves the way open for the next.
    ack();
    EXPECT_EQ(clearToSend.load(), 1);
    queueMsg("third");
    EXPECT_EQ(fake::written(), "first\nsecond\nthird\n");
}

TEST_F(Queue, TwentyFirstMessageIsDroppedAndLoggedTheTwentySentInOrder) {
    clearToSend = 0;
    for (int i = 1; i <= 21; ++i)
        queueMsg(("m" + std::to_string(i)).c_str());
    EXPECT_EQ(queuedCount(), 20u);
    EXPECT_EQ(fake::written(), "");
    EXPECT_NE(readLog().find("queue full, message dropped: m21\n"), std::string::npos);

    for (int i = 0; i < 22; ++i)
        ack();
    std::vector<std::string> expected;
    for (int i = 1; i <= 20; ++i)
        expected.push_back("m" + std::to_string(i));
    EXPECT_EQ(writtenLines(), expected);
}

TEST_F(Queue, RingKeepsOrderAcrossTheWrap) {
    // Keeping the ring nearly full while 45 messages pass makes head and tail
    // wrap twice with messages waiting on both sides of the end.
    clearToSend = 0;
    std::vector<std::string> expected;
    for (int i = 0; i < 45; ++i) {
        if (queuedCount() == 19)
            ack();
        expected.push_back("n" + std::to_string(i));
        queueMsg(expected.back().c_str());
    }
    while (queuedCount() > 0)
        ack();
    ack();
    EXPECT_EQ(writtenLines(), expected);
    EXPECT_EQ(readLog().find("dropped"), std::string::npos);
}

TEST_F(Queue, NetupEntersTheWaitAsItIsWritten) {
    setAppState(state::showStatus);
    applyStage = ApplyStage::queued;
    clearToSend = 0;
    int stateAtWrite = -1;
    ApplyStage stageAtWrite = ApplyStage::none;
    // A fast controller may answer before the write returns: the state must
    // already be the wait's.
    fake::setResponder([&](const std::string& line) {
        if (line == "<netup/>") {
            stateAtWrite = appState.load();
            stageAtWrite = applyStage.load();
        }
    });
    queueMsg("<netdown/>");
    queueMsg("<netup/>");
    ack();
    EXPECT_EQ(appState.load(), state::showStatus);
    EXPECT_EQ(applyStage.load(), ApplyStage::downSent);
    ack();
    EXPECT_EQ(stateAtWrite, state::pleaseWait);
    EXPECT_EQ(stageAtWrite, ApplyStage::upSent);
    EXPECT_EQ(appState.load(), state::pleaseWait);
}

TEST_F(Queue, PartialWritesAreContinuedAndLogged) {
    fake::setMaxWrite(2);
    queueMsg("abcde");
    EXPECT_EQ(fake::writeCalls(), (std::vector<std::string>{"ab", "cd", "e\n"}));
    std::string log = readLog();
    const std::string lines = "continuing write: msgLen = 4, bytesWritten = 0\n"
                              "continuing write: msgLen = 2, bytesWritten = 2\n";
    EXPECT_NE(log.find(lines), std::string::npos) << log;
    EXPECT_EQ(countOf(log, "continuing write"), 2);
    EXPECT_EQ(readerStop.load(), 0);
}

TEST_F(Queue, FailedWriteStopsTheReaderAndHoldsTheRest) {
    fake::setWriteStatus(FT_IO_ERROR);
    queueMsg("<netstatus/>");
    queueMsg("<wifistatus/>");
    EXPECT_NE(readLog().find("Server: FT_Write returned 4\n"), std::string::npos);
    EXPECT_EQ(readerStop.load(), 1);
    EXPECT_EQ(clearToSend.load(), 0);
    EXPECT_EQ(queuedCount(), 1u);
}

TEST_F(Queue, WriteThatAcceptsNothingGivesUpAfterAboutASecond) {
    fake::setMaxWrite(0);
    auto started = std::chrono::steady_clock::now();
    queueMsg("<netstatus/>");
    auto took = std::chrono::steady_clock::now() - started;
    EXPECT_GE(took, std::chrono::milliseconds(900));
    EXPECT_LT(took, std::chrono::milliseconds(5000));
    EXPECT_EQ(readerStop.load(), 1);
    EXPECT_GT(fake::writeCalls().size(), 1u) << "the write is retried before giving up";
}

TEST_F(Queue, ShortStallInTheMiddleOfAWriteIsSurvived) {
    fake::setMaxWrite(0);
    std::thread unstall([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        fake::setMaxWrite(64);
    });
    queueMsg("<netstatus/>");
    unstall.join();
    EXPECT_EQ(fake::written(), "<netstatus/>\n");
    EXPECT_EQ(readerStop.load(), 0);
}

TEST_F(Queue, SentMessagesAreLoggedWithLengthAndPassphraseMasked) {
    queueMsg("<netstatus/>");
    ack();
    const std::string config =
        "<wificonfig ssid=\"Shed\" passphrase=\"hunter22\" encryption=\"WPA2\"/>";
    queueMsg(config.c_str());
    ack();
    ASSERT_TRUE(reserveWire(0, nullptr));
    sendMsgToLoom(3, "abcdef");
    releaseWire();
    std::string log = unstamped(readLog());
    // The first msgLen bytes only, and no line end of its own after "abc".
    const std::string lines =
        "\n[N] sendMsgToLoom(): [13] <netstatus/>\n"
        "[N] sendMsgToLoom(): [" +
        std::to_string(config.size() + 1) +
        "] <wificonfig ssid=\"Shed\" passphrase=\"********\" encryption=\"WPA2\"/>\n"
        "[N] sendMsgToLoom(): [3] abc";
    ASSERT_GE(log.size(), lines.size());
    EXPECT_EQ(log.substr(log.size() - lines.size()), lines) << log;
    EXPECT_EQ(log.find("hunter22"), std::string::npos);
    // Only the log is masked; the controller gets the real passphrase.
    EXPECT_NE(fake::written().find("passphrase=\"hunter22\""), std::string::npos);
    EXPECT_EQ(fake::writeCalls().back(), "abc");
}

TEST_F(Queue, WithoutADeviceTheMessageIsOnlyLogged) {
    closeLoom();
    ASSERT_EQ(ftHandle.load(), nullptr);
    queueMsg("hello");
    std::string log = readLog();
    EXPECT_NE(log.find("] sendMsgToLoom(): [6] hello\nsendMsgToLoom(): ftHandle == NULL\n"),
              std::string::npos)
        << log;
    EXPECT_TRUE(fake::writeCalls().empty());
    EXPECT_EQ(clearToSend.load(), 0);
}

TEST_F(Queue, TwoThreadsSendingNeverOverlapOrReorder) {
    logClose(); // thousands of flushed lines would only slow this down
    constexpr int total = 4000;
    std::atomic<int> inFlight{0};
    std::atomic<int> overlaps{0};
    std::atomic<int> writes{0};
    std::mutex orderMutex;
    std::vector<int> order;
    fake::setResponder([&](const std::string& line) {
        if (inFlight.fetch_add(1) != 0)
            ++overlaps;
        std::lock_guard<std::mutex> lock(orderMutex);
        order.push_back(std::stoi(line.substr(1)));
        ++writes;
    });

    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    auto late = [&] { return std::chrono::steady_clock::now() > deadline; };
    // Acknowledges each write as it lands, racing the producer's own sends.
    std::thread acker([&] {
        for (int acked = 0; acked < total && !late();) {
            if (writes.load() > acked) {
                ++acked;
                inFlight.fetch_sub(1);
                ack();
            } else {
                std::this_thread::yield();
            }
        }
    });
    for (int i = 0; i < total && !late(); ++i) {
        // Only this thread adds, so room seen here is still there below.
        while (queuedCount() >= msgQueueSlots && !late())
            std::this_thread::yield();
        queueMsg(("s" + std::to_string(i)).c_str());
    }
    acker.join();
    fake::setResponder(nullptr);

    ASSERT_FALSE(late()) << "only " << writes.load() << " of " << total << " written";
    EXPECT_EQ(overlaps.load(), 0);
    ASSERT_EQ(order.size(), static_cast<size_t>(total));
    for (int i = 0; i < total; ++i)
        ASSERT_EQ(order[i], i) << "out of order at " << i;
}

} // namespace
