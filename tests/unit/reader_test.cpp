// Cutting the controller's byte stream into messages, and the receiving
// thread that feeds it.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/log.h"
#include "base/state.h"
#include "link/connection.h"
#include "link/queue.h"
#include "link/reader.h"
#include "support/fake_driver.h"
#include "support/session.h"

namespace {

std::mutex gotMutex;
std::vector<std::string> got;

void collect(const char* message) {
    std::lock_guard<std::mutex> lock(gotMutex);
    got.emplace_back(message);
}

std::vector<std::string> delivered() {
    std::lock_guard<std::mutex> lock(gotMutex);
    return got;
}

size_t deliveredCount() {
    std::lock_guard<std::mutex> lock(gotMutex);
    return got.size();
}

using Messages = std::vector<std::string>;

class Framing : public ::testing::Test {
  protected:
    void SetUp() override {
        resetProgramState();
        std::lock_guard<std::mutex> lock(gotMutex);
        got.clear();
    }
    void TearDown() override { logClose(); }

    void feed(const std::string& bytes) {
        frameBytes(framer, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                   collect);
    }

    Framer framer;
};

TEST_F(Framing, MessagesAreCutAtEachCloseBracketAcrossReads) {
    feed("<hostname=\"LO");
    EXPECT_TRUE(delivered().empty());
    feed("OM-7\">");
    feed("<ready>\r\n<state=\"IDLE\">\r\n");
    feed("junk<error>");
    EXPECT_EQ(delivered(),
              (Messages{"<hostname=\"LOOM-7\">", "<ready>", "<state=\"IDLE\">", "junk<error>"}));
}

TEST_F(Framing, ControllerLogMessagesAreDropped) {
    feed("<log boot ok><logx 1><log><log");
    feed(" split over reads><ready>");
    EXPECT_EQ(delivered(), (Messages{"<logx 1>", "<log>", "<ready>"}));
}

TEST_F(Framing, ControlAndHighBytesAreDroppedWherever) {
    feed(std::string("<a\x80"
                     "b\xff\x01"
                     "c\td\x1b>",
                     11));
    EXPECT_EQ(delivered(), (Messages{"<abcd>"}));
}

TEST_F(Framing, Utf8CharactersAreKeptWholeAndABrokenOneNeverSwallowsTheNextByte) {
    feed("<net=\"Caf\xc3");
    feed("\xa9\">");
    // A lead byte cut short: the byte that broke it still counts, '>' included.
    feed("<a\xe2\x82>");
    feed("<b\xc3\xc3\xa9\xc2\x9b>");
    EXPECT_EQ(delivered(), (Messages{"<net=\"Caf\xc3\xa9\">", "<a>", "<b\xc3\xa9>"}));
}

TEST_F(Framing, NulDropsTheRestOfItsReadOnly) {
    feed(std::string("<hostn\0ame=\"x\">", 15));
    EXPECT_TRUE(delivered().empty());
    // The message in progress carries on with the next read.
    feed("ame=\"y\">");
    feed(std::string("\0<lost>", 7));
    feed("<ready>");
    EXPECT_EQ(delivered(), (Messages{"<hostname=\"y\">", "<ready>"}));
}

TEST_F(Framing, OverlongMessageIsDiscardedUntilTheNextCloseBracket) {
    logOpen();
    // 510 characters and the ">" still fit.
    std::string longest = "<" + std::string(509, 'a') + ">";
    feed(longest);
    ASSERT_EQ(delivered(), (Messages{longest}));
    EXPECT_EQ(readLog().find("discarded"), std::string::npos);

    // One more without a ">" is thrown away, the rest of it too, in pieces.
    feed("<" + std::string(300, 'b'));
    feed(std::string(210, 'b') + "\r\n");
    feed(std::string(400, 'c'));
    feed("c>\r\n<ready>");
    EXPECT_EQ(delivered(), (Messages{longest, "<ready>"}));
    EXPECT_EQ(countOf(readLog(), "discarded"), 1);
    EXPECT_NE(readLog().find("<bbbb"), std::string::npos);
}

// The receiving thread, reading from the fake device.
class Reading : public Framing {
  protected:
    void start(bool withRxWait = true) {
        resetProgramState(withRxWait);
        logOpen();
        setMessageHandler(collect);
        fake::setDevices({{"FT245R USB FIFO"}});
        ASSERT_EQ(openLoom(), FT_OK);
    }
    void TearDown() override {
        fake::blockReads(false);
        closeLoom();
        awaitReaderEnd(3000);
        setMessageHandler(nullptr);
        logClose();
    }
};

TEST_F(Reading, DeliversMessagesAndStopsOnRequest) {
    start();
    fake::pushRx("<Weftrix loom controller: LOOM-7, 4.5v2.18>\r\n<Pass");
    fake::pushRx("word: LOOM-7, 4.5v2.18>\r\n");
    fake::pushRx(std::string("\0<dropped>", 10));
    fake::pushRx("<log x><ready>");
    ASSERT_TRUE(eventually([] { return deliveredCount() >= 3; }));
    closeLoom();
    EXPECT_EQ(delivered(), (Messages{"<Weftrix loom controller: LOOM-7, 4.5v2.18>",
                                     "<Password: LOOM-7, 4.5v2.18>", "<ready>"}));
    EXPECT_FALSE(linkLost());
    std::string log = readLog();
    EXPECT_NE(log.find("read thread started at "), std::string::npos);
    EXPECT_NE(log.find("read thread exiting at "), std::string::npos);
}

TEST_F(Reading, ReadsMoreThanTheBufferInPieces) {
    start();
    std::string burst;
    Messages expected;
    for (int i = 0; i < 4; ++i) {
        expected.push_back("<net=\"" + std::string(290, static_cast<char>('p' + i)) +
                           ",-5,WPA2\">");
        burst += expected.back() + "\r\n";
    }
    fake::pushRx(burst);
    ASSERT_TRUE(eventually([] { return deliveredCount() >= 4; }));
    EXPECT_EQ(delivered(), expected);
}

TEST_F(Reading, PollsWhenTheDriverCannotWaitForBytes) {
    start(false);
    fake::pushRx("<ready>");
    ASSERT_TRUE(eventually([] { return deliveredCount() >= 1; }));
    fake::pushRx("<error>");
    ASSERT_TRUE(eventually([] { return deliveredCount() >= 2; }));
    EXPECT_EQ(delivered(), (Messages{"<ready>", "<error>"}));
}

TEST_F(Reading, StatusFailureEndsTheThreadAndMarksTheLinkLost) {
    start();
    fake::setGetStatusResult(FT_OTHER_ERROR);
    ASSERT_TRUE(awaitReaderEnd(2000));
    EXPECT_TRUE(linkLost());
    EXPECT_EQ(readLog().find("read thread exiting"), std::string::npos);
    closeLoom();
    EXPECT_EQ(fake::closeCount(), 1);
}

TEST_F(Reading, BytesReadWithAnyErrorButIoErrorAreUsed) {
    start();
    fake::setReadResult(FT_OTHER_ERROR);
    fake::pushRx("<ready>");
    ASSERT_TRUE(eventually([] { return deliveredCount() == 1; }));
    EXPECT_FALSE(awaitReaderEnd(0));
    EXPECT_FALSE(linkLost());

    // FT_IO_ERROR: the device is gone, and the thread with it.
    fake::setReadResult(FT_IO_ERROR);
    fake::pushRx("<error>");
    ASSERT_TRUE(awaitReaderEnd(2000));
    EXPECT_TRUE(linkLost());
    EXPECT_EQ(deliveredCount(), 1u);
}

TEST_F(Reading, FailedWriteEndsTheThreadThroughItsExit) {
    start();
    fake::setWriteStatus(FT_IO_ERROR);
    queueMsg("<netstatus/>");
    ASSERT_TRUE(awaitReaderEnd(2000));
    EXPECT_TRUE(linkLost());
    std::string log = readLog();
    EXPECT_LT(log.find("Server: FT_Write returned 4\n"), log.find("read thread exiting at "));
}

} // namespace
