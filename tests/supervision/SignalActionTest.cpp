//===- SignalActionTest.cpp - Stopping the test child with console control events ===//
//
// Configuration of the `signal` element, and events sent for real to a test
// child's process group. Wine cannot generate console control events, so
// the tests that need one to arrive run on Linux only.
//
//===----------------------------------------------------------------------===//
#include "SupervisionTestSupport.h"
#include "console.h"
#include "supervision/TRQBadConfigException.h"
#include "supervision/TRQSignalAction.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

using namespace suptest;
using testsupport::TestProcess;

namespace {

#define SKIP_WITHOUT_CONTROL_EVENTS()                                                                                  \
  if (testsupport::isWindows())                                                                                        \
  GTEST_SKIP() << "Wine's GenerateConsoleCtrlEvent always fails (error 12): no event can reach a child"

class SignalActionTest : public ::testing::Test {
protected:
  std::vector<std::string> actionLines() const { return lines(log, "TRQSignalAction"); }

  /// Starts the test child as a loopback server, so that its stop handlers
  /// are in place once its port file exists.
  std::unique_ptr<TestProcess> startChild(const std::vector<std::string> &extra = {}) {
    std::vector<std::string> args = {testChildPath(), "--listen=0", "--port-file=" + dir.file("port.txt"),
                                     "--log=" + dir.file("child.log")};
    args.insert(args.end(), extra.begin(), extra.end());
    auto child = std::make_unique<TestProcess>(args, dir.path());
    EXPECT_TRUE(child->started()) << child->startError();
    EXPECT_TRUE(testsupport::waitUntil([&] {
      std::string text = testsupport::readFile(dir.file("port.txt"));
      return !text.empty() && text.back() == '\n';
    }));
    return child;
  }

  std::string childLog() const { return dir.file("child.log"); }

  LogCapture log;
  testsupport::TempDir dir{"tslsig"};
};

} // namespace

//===--- Configuration ----------------------------------------------------===//

TEST_F(SignalActionTest, TheEventNumberIsRead) {
  TRQSignalAction action;
  action.configure(parseElement("<signal signal=\"1\"/>"));
  EXPECT_EQ(action.getCtrlEvent(), 1);
  EXPECT_EQ(action.getWaitTime(), -1);
  EXPECT_EQ(actionLines(), (std::vector<std::string>{"DEBUG signal is 1"}));
}

TEST_F(SignalActionTest, AReferenceToAPropertyIsSubstituted) {
  TRQPropertyInserter::getInstance()->addProperty("suptest_signal", "1");
  TRQSignalAction action;
  action.configure(parseElement("<signal signal=\"${suptest_signal}\"/>"));
  EXPECT_EQ(action.getCtrlEvent(), 1);
  EXPECT_EQ(actionLines(), (std::vector<std::string>{"DEBUG signal is 1"}));
}

TEST_F(SignalActionTest, TextThatIsNotANumberIsCtrlC) {
  TRQSignalAction action;
  action.configure(parseElement("<signal signal=\"CTRL_BREAK\"/>"));
  EXPECT_EQ(action.getCtrlEvent(), 0);
  EXPECT_EQ(actionLines(), (std::vector<std::string>{"DEBUG signal is 0"}));
}

TEST_F(SignalActionTest, TheDelayIsReadByTheBase) {
  TRQSignalAction action;
  action.configure(parseElement("<signal wait_time=\"3\" signal=\" 1 \"/>"));
  EXPECT_EQ(action.getWaitTime(), 3000);
  EXPECT_EQ(action.getCtrlEvent(), 1);
}

TEST_F(SignalActionTest, AMissingSignalIsAConfigurationError) {
  for (const char *xml : {"<signal/>", "<signal signal=\"\" wait_time=\"1\"/>"}) {
    TRQSignalAction action;
    try {
      action.configure(parseElement(xml));
      FAIL() << "no exception for " << xml;
    } catch (const TRQBadConfigException &e) {
      EXPECT_STREQ(e.getMessage(), "required element \"signal\" is missing.");
    }
  }
  EXPECT_EQ(actionLines(), (std::vector<std::string>{"FATAL required attribute \"signal\" is missing.",
                                                     "FATAL required attribute \"signal\" is missing."}));
}

//===--- Execution --------------------------------------------------------===//

TEST_F(SignalActionTest, WithoutAProcessNothingIsSent) {
  const int invalid = testsupport::isWindows() ? 6 : EBADF; // ERROR_INVALID_HANDLE
  for (int64_t handle : {int64_t{-1}, int64_t{0}}) {
    TRQSignalAction action;
    action.configure(parseElement("<signal signal=\"0\"/>"));
    action.setTargetProcess(handle);
    EXPECT_EQ(action.execute(), 0);
  }
  EXPECT_EQ(actionLines(),
            (std::vector<std::string>{
                "DEBUG signal is 0", "DEBUG Signalling process (handle = -1).",
                "ERROR Error occured while retrieving the process ID, Errorcode =" + std::to_string(invalid),
                "DEBUG signal is 0", "DEBUG Signalling process (handle = 0).",
                "ERROR Error occured while retrieving the process ID, Errorcode =" + std::to_string(invalid)}));
}

TEST_F(SignalActionTest, TheHandleIsLoggedWithItsLow32Bits) {
  TRQSignalAction action;
  action.configure(parseElement("<signal signal=\"1\"/>"));
  action.setTargetProcess((int64_t{7} << 32) + 12);
  EXPECT_EQ(action.execute(), 0);
  std::vector<std::string> all = actionLines();
  ASSERT_GE(all.size(), 3u);
  EXPECT_EQ(all[1], "DEBUG Signalling process (handle = 12).");
  EXPECT_EQ(all[2].rfind("ERROR Error occured while retrieving the process ID, Errorcode =", 0), 0u) << all[2];
}

TEST_F(SignalActionTest, CtrlBreakReachesALiveChild) {
  SKIP_WITHOUT_CONTROL_EVENTS();
  std::unique_ptr<TestProcess> child = startChild();
  TRQSignalAction action;
  action.configure(parseElement("<signal signal=\"1\"/>"));
  action.setTargetProcess(child->handle());
  EXPECT_NE(action.execute(), 0);
  EXPECT_EQ(child->wait(std::chrono::seconds(20)), 0);
  EXPECT_TRUE(hasEvent(childLog(), "event SIGTERM"));
  EXPECT_EQ(actionLines(), (std::vector<std::string>{"DEBUG signal is 1", "DEBUG Signalling process (handle = " +
                                                                              std::to_string(child->pid()) + ")."}));
}

TEST_F(SignalActionTest, APropertyReferenceOfOneSendsCtrlBreak) {
  SKIP_WITHOUT_CONTROL_EVENTS();
  TRQPropertyInserter::getInstance()->addProperty("suptest_signal", "1");
  std::unique_ptr<TestProcess> child = startChild();
  TRQSignalAction action;
  action.configure(parseElement("<signal signal=\"${suptest_signal}\"/>"));
  action.setTargetProcess(child->handle());
  EXPECT_NE(action.execute(), 0);
  EXPECT_EQ(child->wait(std::chrono::seconds(20)), 0);
  EXPECT_TRUE(hasEvent(childLog(), "event SIGTERM"));
}

TEST_F(SignalActionTest, TextThatIsNotANumberSendsCtrlC) {
  SKIP_WITHOUT_CONTROL_EVENTS();
  std::unique_ptr<TestProcess> child = startChild({"--stop-exit=4"});
  TRQSignalAction action;
  action.configure(parseElement("<signal signal=\"now\"/>"));
  action.setTargetProcess(child->handle());
  EXPECT_NE(action.execute(), 0);
  EXPECT_EQ(child->wait(std::chrono::seconds(20)), 4);
  EXPECT_TRUE(hasEvent(childLog(), "event SIGINT"));
}

TEST_F(SignalActionTest, TheEventReachesTheWholeGroup) {
  SKIP_WITHOUT_CONTROL_EVENTS();
  std::string grandchildRecord = dir.file("grandchild.txt");
  std::unique_ptr<TestProcess> child = startChild({"--grandchild=" + grandchildRecord});
  int grandchild = recordedPid(grandchildRecord);
  ASSERT_TRUE(testsupport::waitUntil([&] { return (grandchild = recordedPid(grandchildRecord)) != 0; }));
  TRQSignalAction action;
  action.configure(parseElement("<signal signal=\"0\"/>"));
  action.setTargetProcess(child->handle());
  EXPECT_NE(action.execute(), 0);
  EXPECT_EQ(child->wait(std::chrono::seconds(20)), 0);
  EXPECT_TRUE(testsupport::waitUntil([&] { return processGone(grandchild); }));
  killLeftover(grandchild);
}

TEST_F(SignalActionTest, AnEndedChildIsAnErrorWithTheSystemsCode) {
  std::unique_ptr<TestProcess> child = startChild({"--exit=0"});
  ASSERT_EQ(child->wait(std::chrono::seconds(20)), 0);
  TRQSignalAction action;
  action.configure(parseElement("<signal signal=\"1\"/>"));
  action.setTargetProcess(child->handle());
  EXPECT_EQ(action.execute(), 0);
  std::vector<std::string> all = actionLines();
  ASSERT_EQ(all.size(), 3u);
  const std::string prefix = "ERROR Error occured while signalling process, Errorcode =";
  ASSERT_EQ(all[2].rfind(prefix, 0), 0u) << all[2];
  if (testsupport::isWindows())
    EXPECT_NE(all[2], prefix + "0");
  else
    EXPECT_EQ(all[2], prefix + std::to_string(ESRCH));
}

//===--- The platform's sending side --------------------------------------===//

TEST(ControlEventPlatform, TheProcessIdIsTheStartedOne) {
  testsupport::TempDir dir{"tslsig"};
  TestProcess child({testChildPath()}, dir.path());
  ASSERT_TRUE(child.started());
  EXPECT_EQ(platform::controlEventProcessId(child.handle()), child.pid());
  EXPECT_EQ(platform::attachToConsoleOf(child.pid()), 1);
  EXPECT_EQ(platform::detachFromConsole(), 1);
  child.kill();
}

TEST(ControlEventPlatform, EachChildsConsoleIsLeftBeforeTheNextAndAfterSending) {
  testsupport::TempDir dir{"tslsig"};
  TestProcess first({testChildPath()}, dir.path()), second({testChildPath()}, dir.path());
  ASSERT_TRUE(first.started() && second.started());
  for (TestProcess *child : {&first, &second}) {
    TRQSignalAction action;
    action.configure(parseElement("<signal signal=\"1\"/>"));
    action.setTargetProcess(child->handle());
    action.execute();
    EXPECT_FALSE(platform::attachedToChildConsole()) << child->pid();
  }
  // Attaching to the second child's console leaves the first one's.
  EXPECT_EQ(platform::attachToConsoleOf(first.pid()), 1);
  EXPECT_EQ(platform::attachToConsoleOf(second.pid()), 1);
  EXPECT_EQ(platform::detachFromConsole(), 1);
  EXPECT_FALSE(platform::attachedToChildConsole());
  first.kill();
  second.kill();
}

TEST(ControlEventPlatform, NoGroupBelowOneIsEverAddressed) {
  EXPECT_EQ(platform::generateControlEvent(0, 0), 0);
  EXPECT_EQ(platform::lastControlError(), testsupport::isWindows() ? 87 : EINVAL); // ERROR_INVALID_PARAMETER
  EXPECT_EQ(platform::generateControlEvent(1, -1), 0);
}

TEST(ControlEventPlatform, OnlyCtrlCAndCtrlBreakCanBeSentOnLinux) {
  if (testsupport::isWindows())
    GTEST_SKIP() << "Windows passes every event number to the system";
  testsupport::TempDir dir{"tslsig"};
  TestProcess child({testChildPath()}, dir.path());
  ASSERT_TRUE(child.started());
  EXPECT_EQ(platform::generateControlEvent(2, child.pid()), 0);
  EXPECT_EQ(platform::lastControlError(), EINVAL);
  EXPECT_TRUE(child.running());
  child.kill();
}
