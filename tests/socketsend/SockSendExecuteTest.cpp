//===- SockSendExecuteTest.cpp - Exchanges of the socket send action with a test child ===//
//
// The built JOV library and trqtestchild as the child process: every result
// of the action, from the marker search over cleaned replies to the failures
// of sending and reading, with the action's exact messages.
//
//===----------------------------------------------------------------------===//
#include "../crypto/CryptoTestSupport.h"
#include "crypto/TRQCryptoHelper.h"
#include "crypto/TRQSocketCommand.h"
#include "rklcrypto.h"
#include "supervision/TRQSockSendAction.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

using namespace cryptotest;

namespace {

class SockSendExecuteTest : public ::testing::Test {
protected:
  void SetUp() override {
    TRQCryptoHelper::initialize();
    ASSERT_NE(TRQCryptoHelper::getCrypto(), nullptr);
    ASSERT_EQ(TRQCryptoHelper::getCrypto()->isLoaded(), 1) << RKLCrypto::lastLoadFailure();
  }

  /// Starts a child that answers `reply` (test child escapes) and configures
  /// `action` for it with `attributes`.
  void prepare(TRQSockSendAction &action, const std::string &reply, const std::string &attributes,
               const std::string &command = "PING") {
    std::string error;
    int port = server.start(
        reply.empty() ? std::vector<std::string>{"--silent"} : std::vector<std::string>{"--reply=" + reply}, error);
    ASSERT_NE(port, 0) << error;
    action.configure(parseElement("<socketSend URI=\"tcp://127.0.0.1:" + std::to_string(port) + "\" commandString=\"" +
                                  command + "\" " + attributes + "/>"));
  }

  /// The action's lines after configuration: from "socket send action
  /// execute, sending..." on.
  std::vector<std::string> executionLines() const {
    std::vector<std::string> all = log.lines("TRQSockSendAction");
    for (std::size_t i = 0; i < all.size(); ++i)
      if (all[i] == "DEBUG socket send action execute, sending...")
        return std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(i), all.end());
    return {};
  }

  TestServer server;
  LogCapture log;
};

const std::string Sending = "DEBUG socket send action execute, sending...";
const std::string Reading = "DEBUG successful send, now read response...";
const std::string Found = "DEBUG successfully detected success string in response.";

} // namespace

TEST_F(SockSendExecuteTest, WithoutResponseSizeTheCommandIsOnlySent) {
  TRQSockSendAction action;
  prepare(action, "ignored", "responseOK=\"OK\"", "SHUTDOWN");
  EXPECT_EQ(action.execute(), 1);
  EXPECT_TRUE(server.waitForLogLine("received SHUTDOWN"));
  EXPECT_EQ(executionLines(), (std::vector<std::string>{Sending, "DEBUG successful send, no response to read."}));
  EXPECT_EQ(action.getCommand()->getHandle(), 0);
}

TEST_F(SockSendExecuteTest, TheSuccessMarkerInTheMiddleGivesTheByteCount) {
  TRQSockSendAction action;
  prepare(action, "[[OK]]", "responseSize=\"64\" responseOK=\"OK\"");
  EXPECT_EQ(action.execute(), 6);
  EXPECT_EQ(executionLines(), (std::vector<std::string>{Sending, Reading, "DEBUG got response \"[[OK]]\"", Found}));
  EXPECT_EQ(action.getCommand()->getHandle(), 0);
}

TEST_F(SockSendExecuteTest, TheNotReadyMarkerGivesMinusFour) {
  TRQSockSendAction action;
  prepare(action, "busy", "responseSize=\"64\" responseOK=\"OK\" responseRetry=\"busy\"");
  EXPECT_EQ(action.execute(), -4);
  EXPECT_EQ(executionLines(), (std::vector<std::string>{Sending, Reading, "DEBUG got response \"busy\"",
                                                        "DEBUG Tomcat is not ready, retry..."}));
}

TEST_F(SockSendExecuteTest, NoMarkerFoundGivesMinusTwoAndAWarning) {
  TRQSockSendAction action;
  prepare(action, "something else", "responseSize=\"64\" responseOK=\"OK\" responseRetry=\"busy\"");
  EXPECT_EQ(action.execute(), -2);
  EXPECT_EQ(executionLines(), (std::vector<std::string>{Sending, Reading, "DEBUG got response \"something else\"",
                                                        "WARN did not detect success string in response."}));
}

TEST_F(SockSendExecuteTest, TheFatalMarkerGivesMinusThree) {
  TRQSockSendAction action;
  prepare(action, "FATAL: no database",
          "responseSize=\"64\" responseOK=\"OK\" responseFatal=\"FATAL\" "
          "responseRetry=\"no\"");
  EXPECT_EQ(action.execute(), -3);
  EXPECT_EQ(executionLines(), (std::vector<std::string>{Sending, Reading, "DEBUG got response \"FATAL: no database\"",
                                                        "DEBUG detected fatal error string in response."}));
}

TEST_F(SockSendExecuteTest, TheSuccessMarkerWinsOverTheFatalOne) {
  TRQSockSendAction action;
  prepare(action, "FATAL is OK", "responseSize=\"64\" responseOK=\"OK\" responseFatal=\"FATAL\"");
  EXPECT_EQ(action.execute(), 11);
}

TEST_F(SockSendExecuteTest, WithoutSuccessMarkerNothingIsSearched) {
  TRQSockSendAction action;
  prepare(action, "FATAL busy", "responseSize=\"64\" responseFatal=\"FATAL\" responseRetry=\"busy\"");
  EXPECT_EQ(action.execute(), 10);
  EXPECT_EQ(executionLines(), (std::vector<std::string>{Sending, Reading, "DEBUG got response \"FATAL busy\""}));
}

TEST_F(SockSendExecuteTest, AReplyShorterThanTheSuccessMarkerIsNotSearched) {
  TRQSockSendAction action;
  prepare(action, "O", "responseSize=\"8\" responseOK=\"OK\" responseFatal=\"O\"");
  EXPECT_EQ(action.execute(), 1);
  EXPECT_EQ(executionLines(), (std::vector<std::string>{Sending, Reading, "DEBUG got response \"O\""}));
}

TEST_F(SockSendExecuteTest, AnEmptyReplyGivesZero) {
  std::string error;
  int port = server.start({"--close"}, error);
  ASSERT_NE(port, 0) << error;
  TRQSockSendAction action;
  action.configure(parseElement("<socketSend URI=\"tcp://127.0.0.1:" + std::to_string(port) +
                                "\" commandString=\"x\" responseSize=\"8\" responseOK=\"OK\"/>"));
  EXPECT_EQ(action.execute(), 0);
  EXPECT_EQ(executionLines(), (std::vector<std::string>{Sending, Reading, "DEBUG got response \"\""}));
}

TEST_F(SockSendExecuteTest, ControlCharactersAndHighBytesBecomeBlanks) {
  TRQSockSendAction action;
  prepare(action, "\\tOK\\r\\n\\xC3\\xA9\\x7F\\x01!", "responseSize=\"64\" responseOK=\"OK\"");
  EXPECT_EQ(action.execute(), 10);
  EXPECT_EQ(log.count("TRQSockSendAction", "DEBUG got response \" OK    \x7F !\""), 1) << log.text();
}

TEST_F(SockSendExecuteTest, AMarkerWithALineBreakNeverMatches) {
  TRQSockSendAction action;
  prepare(action, "ready\\r\\n", "responseSize=\"64\" responseOK=\"ready&#13;&#10;\"");
  if (action.getResponseOK() != "ready\r\n")
    GTEST_SKIP() << "this system's XML reader turns the character references into \"" << action.getResponseOK() << "\"";
  EXPECT_EQ(action.execute(), -2);
  EXPECT_EQ(log.count("TRQSockSendAction", "DEBUG got response \"ready  \""), 1);
}

TEST_F(SockSendExecuteTest, OnlyThePartBeforeANulIsSearched) {
  TRQSockSendAction action;
  prepare(action, "head\\0OK", "responseSize=\"64\" responseOK=\"OK\" responseRetry=\"head\"");
  EXPECT_EQ(action.execute(), -4);
  EXPECT_EQ(log.count("TRQSockSendAction", "DEBUG got response \"head\""), 1);
}

TEST_F(SockSendExecuteTest, TheReplyIsCutAtResponseSize) {
  TRQSockSendAction action;
  prepare(action, "0123456789OK", "responseSize=\"10\" responseOK=\"OK\"");
  EXPECT_EQ(action.execute(), -2);
  EXPECT_EQ(log.count("TRQSockSendAction", "DEBUG got response \"0123456789\""), 1);
}

TEST_F(SockSendExecuteTest, AnOverLongMarkerIsIgnoredAndTheByteCountReturned) {
  TRQSockSendAction action;
  prepare(action, "short", "responseSize=\"5\" responseOK=\"123456789\"");
  EXPECT_EQ(action.getResponseOK(), "");
  EXPECT_EQ(action.execute(), 5);
}

TEST_F(SockSendExecuteTest, AFailedSendGivesMinusOne) {
  int port = closedPort();
  ASSERT_NE(port, 0);
  TRQSockSendAction action;
  action.configure(parseElement("<socketSend URI=\"tcp://127.0.0.1:" + std::to_string(port) +
                                "\" commandString=\"x\" responseSize=\"8\" responseOK=\"OK\"/>"));
  EXPECT_EQ(action.execute(), -1);
  EXPECT_EQ(executionLines(), (std::vector<std::string>{Sending, "DEBUG socket send action failed"}));
  EXPECT_EQ(log.lines("TRQSocketCommand").size(), 1u);
  EXPECT_EQ(action.getCommand()->getHandle(), 0);
}

TEST_F(SockSendExecuteTest, ASilentChildGivesMinusOneAfterTheTimeLimit) {
  TRQSockSendAction action;
  prepare(action, "", "sockIOTimeoutSec=\"1\" responseSize=\"8\" responseOK=\"OK\" responseRetry=\"busy\"");
  EXPECT_EQ(action.execute(), -1);
  EXPECT_EQ(executionLines(),
            (std::vector<std::string>{Sending, Reading, "DEBUG error occured while reading response."}));
  EXPECT_EQ(log.lines("TRQSocketCommand"), std::vector<std::string>{"ERROR no response,  JOV_Poll timed out."});
  EXPECT_EQ(action.getCommand()->getHandle(), 0);
}

TEST_F(SockSendExecuteTest, TheDelayFollowsEveryExecution) {
  TRQSockSendAction action;
  prepare(action, "OK", "wait_time=\"0\" responseSize=\"2\" responseOK=\"OK\"");
  EXPECT_EQ(action.execute(), 2);
  EXPECT_EQ(log.count("TRQAction", "DEBUG delay for 0 ms."), 1);
}

TEST_F(SockSendExecuteTest, RepeatedExecutionsFromTwoThreads) {
  TRQSockSendAction action;
  prepare(action, "OK", "responseSize=\"2\" responseOK=\"OK\"");
  std::vector<int64_t> results(6, 0);
  std::thread other([&] {
    for (std::size_t i = 0; i < 3; ++i)
      results[i] = action.execute();
  });
  for (std::size_t i = 3; i < 6; ++i)
    results[i] = action.execute();
  other.join();
  EXPECT_EQ(results, std::vector<int64_t>(6, 2));
  EXPECT_EQ(action.getCommand()->getHandle(), 0);
}

TEST_F(SockSendExecuteTest, AnUnconfiguredActionFails) {
  TRQSockSendAction action;
  EXPECT_EQ(action.execute(), -1);
  EXPECT_EQ(log.lines("TRQSockSendAction"), (std::vector<std::string>{Sending, "DEBUG socket send action failed"}));
}
