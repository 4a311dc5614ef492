//===- ActionScriptTest.cpp - The socket send action over a scripted library ===//
//
// What the action asks of the library in each outcome: the handle is closed
// after every exchange, whatever failed; no reply is waited for when none is
// expected; and two threads executing one action never interleave their
// exchanges.
//
//===----------------------------------------------------------------------===//
#include "ScriptTestSupport.h"
#include "supervision/TRQSockSendAction.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

using namespace cryptotest;

namespace {

class ActionScriptTest : public ScriptTest {
protected:
  void configure(TRQSockSendAction &action, const std::string &attributes) {
    action.configure(
        parseElement("<socketSend URI=\"tcp://127.0.0.1:80\" commandString=\"PING\" " + attributes + "/>"));
  }
  static std::string repeat(int count, const std::string &words) {
    std::string result;
    for (int i = 0; i < count; ++i)
      result += (result.empty() ? "" : " ") + words;
    return result;
  }
};

} // namespace

TEST_F(ActionScriptTest, WithoutResponseSizeNothingIsRead) {
  TRQSockSendAction action;
  configure(action, "responseOK=\"OK\"");
  EXPECT_EQ(action.execute(), 1);
  EXPECT_EQ(fake.calls(), "Socket Connect_Url Send CloseHandle");
}

TEST_F(ActionScriptTest, AReplyIsAwaitedWithTheDefaultTimeLimitAndReadUpToResponseSize) {
  fake.script("", "PONG and more");
  TRQSockSendAction action;
  configure(action, "responseSize=\"4\" responseOK=\"PONG\"");
  EXPECT_EQ(action.execute(), 4);
  EXPECT_EQ(fake.calls(), "Socket Connect_Url Send Poll Recv CloseHandle");
  EXPECT_EQ(fake.unsignedNumber("pollTimeout"), 60000u);
  EXPECT_EQ(fake.unsignedNumber("recvCapacity"), 4u);
  EXPECT_EQ(fake.query("sent"), "PING");
}

TEST_F(ActionScriptTest, AHugeResponseSizeReadsAtMostTheLargestRead) {
  fake.script("", "PONG");
  TRQSockSendAction action;
  configure(action, "responseSize=\"2147483647\" responseOK=\"PONG\"");
  EXPECT_EQ(action.execute(), 4);
  EXPECT_EQ(fake.unsignedNumber("recvCapacity"), static_cast<unsigned>(TRQSockSendAction::MaxReadSize));
}

TEST_F(ActionScriptTest, ATimeLimitOfMinusOneStillWaitsWithALimit) {
  fake.script("Poll=2/0x0100", "PONG");
  TRQSockSendAction action;
  configure(action, "sockIOTimeoutSec=\"-1\" responseSize=\"8\"");
  EXPECT_EQ(action.getCommand()->getIOTimeoutSec(), 0xFFFFFFFFu);
  EXPECT_EQ(action.execute(), 4);
  EXPECT_EQ(fake.calls(), "Socket Connect_Url Send Poll Recv CloseHandle");
}

TEST_F(ActionScriptTest, TheHandleIsClosedWhenConnectingFails) {
  fake.script("Connect_Url=-7");
  TRQSockSendAction action;
  configure(action, "responseSize=\"8\"");
  EXPECT_EQ(action.execute(), -1);
  EXPECT_EQ(fake.calls(), "Socket Connect_Url CloseHandle");
  EXPECT_EQ(action.getCommand()->getHandle(), 0);
}

TEST_F(ActionScriptTest, NoHandleNoClose) {
  fake.script("Socket=-2");
  TRQSockSendAction action;
  configure(action, "responseSize=\"8\"");
  EXPECT_EQ(action.execute(), -1);
  EXPECT_EQ(fake.calls(), "Socket");
}

TEST_F(ActionScriptTest, TheHandleIsClosedWhenReadingFails) {
  fake.script("Recv=-10");
  TRQSockSendAction action;
  configure(action, "responseSize=\"8\" responseOK=\"OK\"");
  EXPECT_EQ(action.execute(), -1);
  EXPECT_EQ(fake.calls(), "Socket Connect_Url Send Poll Recv CloseHandle");
  EXPECT_EQ(log.count("TRQSockSendAction", "DEBUG error occured while reading response."), 1);
  EXPECT_EQ(log.count("TRQSockSendAction", "WARN did not detect success string in response."), 0);
}

TEST_F(ActionScriptTest, TheHandleIsClosedWhenTheReplyIsWrong) {
  fake.script("", "nope");
  TRQSockSendAction action;
  configure(action, "responseSize=\"8\" responseOK=\"OK\"");
  EXPECT_EQ(action.execute(), -2);
  EXPECT_EQ(fake.calls(), "Socket Connect_Url Send Poll Recv CloseHandle");
}

TEST_F(ActionScriptTest, ExchangesOfOneActionNeverInterleave) {
  fake.script("", "OK");
  TRQSockSendAction action;
  configure(action, "responseSize=\"2\" responseOK=\"OK\"");
  std::vector<int64_t> results(10, 0);
  std::thread other([&] {
    for (int i = 0; i < 5; ++i)
      results[static_cast<std::size_t>(i)] = action.execute();
  });
  for (int i = 5; i < 10; ++i)
    results[static_cast<std::size_t>(i)] = action.execute();
  other.join();
  EXPECT_EQ(results, std::vector<int64_t>(10, 2));
  EXPECT_EQ(fake.calls(), repeat(10, "Socket Connect_Url Send Poll Recv CloseHandle"));
}
