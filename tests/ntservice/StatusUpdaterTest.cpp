//===- StatusUpdaterTest.cpp - The status updater and the control handler -===//
//
// The status updater's thread and the service manager's control handler,
// run directly on a service record (no status handle: the reports go
// nowhere), on every system.
//
//===----------------------------------------------------------------------===//
#include "LogTestSupport.h"
#include "TestSupport.h"
#include "ntservice/TRQNTService.h"
#include "ntservice/TRQServiceStatusUpdater.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

using namespace std::chrono_literals;
using logtest::LoggingTest;
using logtest::readLog;
using testsupport::waitUntil;

namespace {

size_t count(const std::string &text, const std::string &what) {
  size_t found = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
    ++found;
  return found;
}

class UpdaterTest : public LoggingTest {
protected:
  void SetUp() override {
    LoggingTest::SetUp();
    m_log = file("updater.log");
    logtest::factory()->addFile(m_log.c_str(), 0);
  }
  std::string log() const { return readLog(m_log); }
  std::string m_log;
};

TEST_F(UpdaterTest, PassBudgetEndsWithTheTimeLimitAndTheStateUnchanged) {
  platform::ServiceStatus status;
  TRQServiceStatusUpdater updater(nullptr, &status);
  updater.setRefreshIntervalMs(1);
  updater.setInitialStatus(platform::ServiceState::StartPending);
  updater.start();
  ASSERT_TRUE(waitUntil([&] { return !updater.isAlive(); }, 60s));
  std::string text = log();
  EXPECT_NE(text.find("setInitialStatus to 2"), std::string::npos);
  EXPECT_NE(text.find("start running, initial status is 2"), std::string::npos);
  EXPECT_EQ(count(text, "refresh status 2"), 600u);
  EXPECT_NE(text.find("reached time limit, final status is 2"), std::string::npos) << text;
  EXPECT_EQ(text.find("ending, final status"), std::string::npos);
  EXPECT_EQ(status.dwCurrentState, platform::ServiceState::StartPending);
  EXPECT_EQ(status.dwCheckPoint, 0u);
  EXPECT_EQ(status.dwWaitHint, 0u);
  EXPECT_EQ(updater.isRunningFlag(), 0);
}

TEST_F(UpdaterTest, InterruptEndsAtOnceWithTheFinalState) {
  platform::ServiceStatus status;
  TRQServiceStatusUpdater updater(nullptr, &status);
  updater.setInitialStatus(platform::ServiceState::StartPending);
  EXPECT_EQ(status.dwCheckPoint, 1u);
  EXPECT_EQ(status.dwWaitHint, 2000u);
  updater.start();
  ASSERT_TRUE(waitUntil([&] { return log().find("refresh status 2") != std::string::npos; }));
  updater.interruptWait(platform::ServiceState::Running);
  ASSERT_TRUE(waitUntil([&] { return !updater.isAlive(); }));
  std::string text = log();
  EXPECT_NE(text.find("interrupt, final status is 4"), std::string::npos);
  EXPECT_NE(text.find("ending, final status is 4"), std::string::npos) << text;
  EXPECT_EQ(status.dwCurrentState, platform::ServiceState::Running);
  EXPECT_EQ(status.dwCheckPoint, 0u);

  // Started again after it has ended (a stop after the running report): it
  // refreshes the stop-pending state anew.
  updater.setInitialStatus(platform::ServiceState::StopPending);
  updater.start();
  ASSERT_TRUE(waitUntil([&] { return log().find("refresh status 3") != std::string::npos; }));
  EXPECT_EQ(updater.isRunningFlag(), 1);
  updater.interruptWait(platform::ServiceState::StopPending);
  ASSERT_TRUE(waitUntil([&] { return !updater.isAlive(); }));
  EXPECT_NE(log().find("ending, final status is 3"), std::string::npos);
  EXPECT_EQ(count(log(), "start running, initial status is"), 2u);
}

TEST_F(UpdaterTest, StopDuringStartPendingKeepsRefreshingAndIsNeverReportedRunning) {
  platform::ServiceStatus status;
  TRQServiceStatusUpdater updater(nullptr, &status);
  updater.setInitialStatus(platform::ServiceState::StartPending);
  updater.start();
  ASSERT_TRUE(waitUntil([&] { return log().find("refresh status 2") != std::string::npos; }));
  // The stop: the thread still runs, so start() only hands it the new state.
  updater.setInitialStatus(platform::ServiceState::StopPending);
  EXPECT_NO_THROW(updater.start());
  ASSERT_TRUE(waitUntil([&] { return log().find("refresh status 3") != std::string::npos; }));
  EXPECT_EQ(count(log(), "start running, initial status is"), 1u);
  // The children's readiness, reported late, changes nothing.
  updater.interruptWait(platform::ServiceState::Running);
  updater.setInitialStatus(platform::ServiceState::Running);
  EXPECT_EQ(status.dwCurrentState, platform::ServiceState::StopPending);
  EXPECT_EQ(updater.isRunningFlag(), 1);
  EXPECT_NE(log().find("a stop is under way, the status stays 3"), std::string::npos);
  updater.interruptWait(platform::ServiceState::StopPending);
  ASSERT_TRUE(waitUntil([&] { return !updater.isAlive(); }));
  EXPECT_EQ(status.dwCurrentState, platform::ServiceState::StopPending);
  EXPECT_EQ(log().find("ending, final status is 4"), std::string::npos) << log();
}

// A service whose stop takes until the test lets it end.
class StoppableService : public TRQNTService {
public:
  StoppableService() : TRQNTService("handler test") {}
  ~StoppableService() override {
    release.post(8);
    retire();
  }
  void OnStop() override {
    ++stops;
    release.wait();
  }
  void OnInterrogate() override { ++interrogations; }
  int OnUserControl(unsigned code) override {
    lastUserControl = static_cast<int>(code);
    return 1;
  }
  std::atomic<int> stops{0};
  std::atomic<int> interrogations{0};
  std::atomic<int> lastUserControl{0};
  RKLThreadSemaphore release{0};
};

TEST_F(UpdaterTest, SecondStopRequestRaisesTheCheckPointWithoutASecondStop) {
  TRQNTService::resetStopRequestCounter();
  StoppableService service;
  platform::ServiceStatus &status = service.getStatus();
  service.setRunning(1);

  TRQNTService::serviceControlHandler(1);
  EXPECT_EQ(status.dwCurrentState, platform::ServiceState::StopPending);
  EXPECT_EQ(status.dwCheckPoint, 1u);
  EXPECT_EQ(status.dwWaitHint, 90000u);
  EXPECT_EQ(service.isRunning(), 0);
  ASSERT_TRUE(waitUntil([&] { return service.stops.load() == 1; }));

  status.dwWaitHint = 1234;
  TRQNTService::serviceControlHandler(1);
  EXPECT_EQ(status.dwCheckPoint, 2u);
  EXPECT_EQ(status.dwWaitHint, 1234u); // only the first request sets the hint
  TRQNTService::serviceControlHandler(1);
  EXPECT_EQ(status.dwCheckPoint, 3u);

  TRQNTService::serviceControlHandler(4);
  TRQNTService::serviceControlHandler(200);
  TRQNTService::serviceControlHandler(77); // unknown: nothing
  EXPECT_EQ(service.interrogations.load(), 1);
  EXPECT_EQ(service.lastUserControl.load(), 200);

  service.release.post();
  RKLThread::sleep(200);
  EXPECT_EQ(service.stops.load(), 1);
  TRQNTService::resetStopRequestCounter();
}

} // namespace
