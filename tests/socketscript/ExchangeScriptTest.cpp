//===- ExchangeScriptTest.cpp - Waiting for and reading the reply ---------===//
//
// The poll decisions for every combination of result and returned events,
// the time limit as the library receives it, the no-poll setting, and the
// receive's failures, against scripted answers.
//
//===----------------------------------------------------------------------===//
#include "ScriptTestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace cryptotest;

namespace {

class ExchangeScriptTest : public ScriptTest {
protected:
  /// One exchange with `ioTimeoutSec`; the bytes read or "<-1>".
  std::string exchange(unsigned ioTimeoutSec, unsigned size = 16) {
    TRQSocketCommand command("tcp://127.0.0.1:80", "PING", ioTimeoutSec);
    EXPECT_EQ(command.send(), 1);
    handle = command.getHandle();
    std::string buffer(size + 1, '\0');
    int received = command.recv(size, buffer.data());
    command.close();
    if (received < 0)
      return "<" + std::to_string(received) + ">";
    return buffer.substr(0, static_cast<std::size_t>(received));
  }

  int64_t handle = 0;
  const std::string notReady = "ERROR JOV_Poll succeeded but socket not ready for reading.  This is unexpected.";
};

} // namespace

TEST_F(ExchangeScriptTest, ReadableDataIsRead) {
  fake.script("", "reply");
  EXPECT_EQ(exchange(5), "reply");
  EXPECT_EQ(fake.calls(), "Socket Connect_Url Send Poll Recv CloseHandle");
  EXPECT_EQ(fake.number("pollCount"), 1);
  EXPECT_EQ(fake.number("pollEvents"), 0x0300);
  EXPECT_EQ(fake.query("pollHandle"), std::to_string(handle));
  EXPECT_EQ(fake.unsignedNumber("pollTimeout"), 5000u);
  EXPECT_EQ(fake.unsignedNumber("recvCapacity"), 16u);
  EXPECT_EQ(log.lines("TRQSocketCommand"), std::vector<std::string>{});
}

TEST_F(ExchangeScriptTest, ALongTimeLimitNeverWrapsAndANegativeOneWaitsAMinuteAtMost) {
  fake.script("", "x");
  exchange(4294968); // 4294968000 ms would wrap around to 704 in 32 bits
  EXPECT_EQ(fake.unsignedNumber("pollTimeout"), 0x7FFFFFFFu);
  exchange(0);
  EXPECT_EQ(fake.unsignedNumber("pollTimeout"), 0u);
  exchange(0xFFFFFFFEu); // -2
  EXPECT_EQ(fake.unsignedNumber("pollTimeout"), TRQSocketCommand::DefaultReplyWaitSec * 1000u);
}

TEST_F(ExchangeScriptTest, ReadingAtOnceStillWaitsForTheReplyWithALimit) {
  fake.script("Poll=2/0x0100", "at once");
  EXPECT_EQ(exchange(TRQSocketCommand::NoPoll), "at once");
  EXPECT_EQ(fake.calls(), "Socket Connect_Url Send Poll Recv CloseHandle");
  EXPECT_EQ(fake.unsignedNumber("pollTimeout"), TRQSocketCommand::DefaultReplyWaitSec * 1000u);
}

TEST_F(ExchangeScriptTest, ATimedOutPollReadsNothing) {
  fake.script("Poll=2/0", "never");
  EXPECT_EQ(exchange(1), "<-1>");
  EXPECT_EQ(fake.calls(), "Socket Connect_Url Send Poll CloseHandle");
  EXPECT_EQ(log.lines("TRQSocketCommand"), std::vector<std::string>{"ERROR no response,  JOV_Poll timed out."});
}

TEST_F(ExchangeScriptTest, APollOfTwoWithReadableDataReadsIt) {
  fake.script("Poll=2/0x0300", "late");
  EXPECT_EQ(exchange(1), "late");
  fake.script("Poll=2/0x0100", "normal");
  EXPECT_EQ(exchange(1), "normal");
  fake.script("Poll=2/0x0200", "band");
  EXPECT_EQ(exchange(1), "band");
  EXPECT_EQ(log.lines("TRQSocketCommand"), std::vector<std::string>{});
}

TEST_F(ExchangeScriptTest, AnyResultWithReadableDataReadsIt) {
  fake.script("Poll=0/0x0300", "zero");
  EXPECT_EQ(exchange(1), "zero");
  fake.script("Poll=7/0x0301", "seven");
  EXPECT_EQ(exchange(1), "seven");
}

TEST_F(ExchangeScriptTest, AFailedPollLogsItsDetails) {
  fake.script("Poll=-11", "never");
  EXPECT_EQ(exchange(1), "<-1>");
  EXPECT_EQ(fake.calls(), "Socket Connect_Url Send Poll CloseHandle");
  EXPECT_EQ(log.lines("TRQSocketCommand"),
            std::vector<std::string>{"ERROR JOV_Poll failed, JOV error: fake JOV_Poll returned -11 "});
}

TEST_F(ExchangeScriptTest, AFailedPollFailsEvenWithReadableEvents) {
  fake.script("Poll=-11/0x0300", "never");
  EXPECT_EQ(exchange(1), "<-1>");
  EXPECT_EQ(fake.calls("Recv"), 0);
  EXPECT_EQ(log.lines("TRQSocketCommand").size(), 1u);
}

TEST_F(ExchangeScriptTest, AFailedPollWithoutDetailsLogsNothing) {
  fake.script("Poll=-11;NoDetails=1", "never");
  EXPECT_EQ(exchange(1), "<-1>");
  EXPECT_EQ(log.lines("TRQSocketCommand"), std::vector<std::string>{});
}

TEST_F(ExchangeScriptTest, ASuccessfulPollWithoutReadableEventsIsUnexpected) {
  fake.script("Poll=1/0", "never");
  EXPECT_EQ(exchange(1), "<-1>");
  fake.script("Poll=0/0", "never");
  EXPECT_EQ(exchange(1), "<-1>");
  fake.script("Poll=1/0x0013", "never");
  EXPECT_EQ(exchange(1), "<-1>");
  EXPECT_EQ(fake.calls("Recv"), 0);
  EXPECT_EQ(log.lines("TRQSocketCommand"), (std::vector<std::string>{notReady, notReady, notReady}));
}

TEST_F(ExchangeScriptTest, AFailedReceiveLogsItsDetails) {
  fake.script("Recv=-10", "never");
  EXPECT_EQ(exchange(1), "<-1>");
  EXPECT_EQ(log.lines("TRQSocketCommand"),
            std::vector<std::string>{"ERROR JOV_recv failed, JOV error: fake JOV_Recv returned -10 "});
  fake.script("Recv=-10;NoDetails=1", "never");
  EXPECT_EQ(exchange(1), "<-1>");
  EXPECT_EQ(log.lines("TRQSocketCommand").size(), 1u);
}

TEST_F(ExchangeScriptTest, AReceiveOfZeroBytesIsNoError) {
  fake.script("", "");
  EXPECT_EQ(exchange(1), "");
  EXPECT_EQ(log.lines("TRQSocketCommand"), std::vector<std::string>{});
}

TEST_F(ExchangeScriptTest, APositiveReceiveResultGivesTheCount) {
  fake.script("Recv=4", "abc");
  EXPECT_EQ(exchange(1), "abc");
}

TEST_F(ExchangeScriptTest, TheReceiveIsBoundedByTheSize) {
  fake.script("", "0123456789");
  EXPECT_EQ(exchange(1, 4), "0123");
  EXPECT_EQ(fake.unsignedNumber("recvCapacity"), 4u);
}
