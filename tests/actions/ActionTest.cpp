//===- ActionTest.cpp - The action base: delay after execution, errors -----===//
#include "ActionTestSupport.h"
#include "logging/TRQLoggerFactory.h"
#include "rklcore.h"
#include "supervision/TRQAction.h"
#include "supervision/TRQBadConfigException.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <type_traits>

using actiontest::LogCapture;
using actiontest::parseElement;

namespace {

/// An action whose work is to log one line and answer a chosen result.
class RecordingAction : public TRQAction {
public:
  explicit RecordingAction(int64_t result = 0) : m_result(result) {}
  int64_t doExecute() override {
    ++executions;
    s_logger->log(TRQLogLevel::Debug, "working");
    return m_result;
  }
  void configure(RKLIDOM_Element element) override { TRQAction::configure(element); }

  int executions = 0;

private:
  int64_t m_result;
  static TRQLogger *s_logger;
};

TRQLogger *RecordingAction::s_logger = TRQLoggerFactory::getInstance()->getLogger("RecordingAction");

} // namespace

TEST(TRQAction, InitialFields) {
  RecordingAction action;
  EXPECT_EQ(action.getWaitTime(), -1);
  EXPECT_EQ(action.getTargetProcess(), 0);
  EXPECT_EQ(action.getCtrlEvent(), 0);
  action.setTargetProcess(int64_t(1) << 40);
  EXPECT_EQ(action.getTargetProcess(), int64_t(1) << 40);
}

TEST(TRQAction, WithoutWaitTimeThereIsNoDelayAndNoMessage) {
  LogCapture log;
  RecordingAction action(7);
  action.configure(parseElement("<spawn/>"));
  EXPECT_EQ(action.getWaitTime(), -1);
  EXPECT_EQ(action.execute(), 7);
  EXPECT_EQ(action.executions, 1);
  EXPECT_TRUE(log.entries("TRQAction").empty());
}

TEST(TRQAction, AnEmptyWaitTimeCountsAsAbsent) {
  LogCapture log;
  RecordingAction action;
  action.configure(parseElement("<spawn wait_time=\"\"/>"));
  EXPECT_EQ(action.getWaitTime(), -1);
  action.execute();
  EXPECT_TRUE(log.entries("TRQAction").empty());
}

TEST(TRQAction, WaitTimeIsReadInSecondsAndKeptInMilliseconds) {
  LogCapture log;
  RecordingAction action;
  action.configure(parseElement("<spawn wait_time=\"5\"/>"));
  EXPECT_EQ(action.getWaitTime(), 5000);
  EXPECT_EQ(log.count("DEBUG", "TRQAction", "configured wait_time is 5000 ms."), 1);
}

TEST(TRQAction, WaitTimeThatIsNotANumberIsZero) {
  LogCapture log;
  RecordingAction action;
  action.configure(parseElement("<spawn wait_time=\"soon\"/>"));
  EXPECT_EQ(action.getWaitTime(), 0);
  EXPECT_EQ(log.count("DEBUG", "TRQAction", "configured wait_time is 0 ms."), 1);
  action.configure(parseElement("<spawn wait_time=\" 2s\"/>"));
  EXPECT_EQ(action.getWaitTime(), 2000);
}

TEST(TRQAction, HugeWaitTimesAreClampedToInt) {
  RecordingAction action;
  action.configure(parseElement("<spawn wait_time=\"3000000\"/>"));
  EXPECT_EQ(action.getWaitTime(), INT_MAX);
  action.configure(parseElement("<spawn wait_time=\"-99999999999\"/>"));
  EXPECT_EQ(action.getWaitTime(), INT_MIN);
}

TEST(TRQAction, ZeroDelayIsStillLoggedAfterEveryExecution) {
  LogCapture log;
  RecordingAction action(int64_t(1) << 40);
  action.configure(parseElement("<spawn wait_time=\"0\"/>"));
  EXPECT_EQ(action.getWaitTime(), 0);
  EXPECT_EQ(action.execute(), int64_t(1) << 40);
  EXPECT_EQ(action.execute(), int64_t(1) << 40);
  EXPECT_EQ(log.count("DEBUG", "TRQAction", "delay for 0 ms."), 2);
}

TEST(TRQAction, TheDelayFollowsTheWorkEvenWhenItFailed) {
  LogCapture log;
  RecordingAction action(-3);
  action.configure(parseElement("<socketSend wait_time=\"1\"/>"));
  EXPECT_EQ(action.execute(), -3);
  std::vector<actiontest::LogEntry> entries = log.entries();
  std::vector<std::string> messages;
  for (const auto &entry : entries)
    messages.push_back(entry.logger + ": " + entry.message);
  EXPECT_EQ(messages, (std::vector<std::string>{"TRQAction: configured wait_time is 1000 ms.",
                                                "RecordingAction: working", "TRQAction: delay for 1000 ms."}));
}

TEST(TRQAction, ANegativeDelayIsLoggedButNotSlept) {
  LogCapture log;
  RecordingAction action;
  action.configure(parseElement("<spawn wait_time=\"-2\"/>"));
  EXPECT_EQ(action.getWaitTime(), -2000);
  action.execute();
  EXPECT_EQ(log.count("DEBUG", "TRQAction", "delay for -2000 ms."), 1);
}

TEST(TRQAction, ConfiguringWithoutWaitTimeKeepsAnEarlierValue) {
  RecordingAction action;
  action.configure(parseElement("<spawn wait_time=\"3\"/>"));
  action.configure(parseElement("<spawn/>"));
  EXPECT_EQ(action.getWaitTime(), 3000);
}

//===--- Configuration errors ---------------------------------------------===//

TEST(TRQBadConfigException, KeepsACopyOfItsMessage) {
  char text[] = "required element \"start\" is missing.";
  TRQBadConfigException error(text);
  std::memset(text, 'x', sizeof text - 1);
  EXPECT_STREQ(error.getMessage(), "required element \"start\" is missing.");
  TRQBadConfigException copy(error);
  EXPECT_STREQ(copy.getMessage(), error.getMessage());
  EXPECT_NE(copy.getMessage(), error.getMessage());
  TRQBadConfigException none(nullptr);
  EXPECT_STREQ(none.getMessage(), "");
}

TEST(TRQBadConfigException, StandsApartFromTheCoreLibraryExceptions) {
  static_assert(!std::is_base_of_v<RKLThrowable, TRQBadConfigException>);
  static_assert(!std::is_base_of_v<std::exception, TRQBadConfigException>);
  static_assert(std::has_virtual_destructor_v<TRQBadConfigException>);
  bool caughtAsCore = false;
  bool caught = false;
  try {
    try {
      throw TRQBadConfigException("bad");
    } catch (const RKLThrowable &) {
      caughtAsCore = true;
    }
  } catch (const TRQBadConfigException &e) {
    caught = true;
    EXPECT_STREQ(e.getMessage(), "bad");
  }
  EXPECT_FALSE(caughtAsCore);
  EXPECT_TRUE(caught);
}
