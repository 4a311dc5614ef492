//===- RestartSequenceSlowTest.cpp - The restart sequence over real test children ===//
//
// An unanswering child is stopped with its stop action, found dead or killed,
// and started again; these cases follow each way through that sequence with
// a poll interval of one second. The failed-ping-limit file (-9) makes a
// freshly started child reach the limit at its first unanswered ping.
//
//===----------------------------------------------------------------------===//
#include "SupervisionTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace suptest;

namespace {

const std::string Supervisor = "PingChildProcess";
const std::string PollOneSecond = "<processManager pollIntervalsec=\"1\" checkForShutdownIntervalms=\"100\"/>";

class RestartSequenceSlowTest : public SupervisionTest {
protected:
  void SetUp() override {
    SupervisionTest::SetUp();
    TRQPropertyInserter::getInstance()->addProperty("dispatcherStopWaitTime", "1");
    testsupport::writeFile(PingChildProcess::FailedPingLimitFileName, "-9\n");
  }

  /// A silent server child `name` with `stop` as its stop action.
  void addSilentChild(const std::string &name, const std::vector<std::string> &extra, const std::string &stop,
                      int port) {
    std::vector<std::string> options = extra;
    options.push_back("--silent");
    addChild(processXml(name, serverOptions(name, port, options), stop, pingXml(port)));
  }

  /// The index of the first supervisor line equal to `line` at or after
  /// `from`, or the number of lines.
  std::size_t indexOf(const std::string &line, std::size_t from = 0) const {
    std::vector<std::string> all = supervisorLines();
    auto found = std::find(all.begin() + static_cast<std::ptrdiff_t>(std::min(from, all.size())), all.end(), line);
    return static_cast<std::size_t>(found - all.begin());
  }
};

} // namespace

TEST_F(RestartSequenceSlowTest, AChildThatObeysItsStopIsFoundDeadAndStartedAgain) {
  int port = freePort();
  addSilentChild("o", {"--stop-command=STOP"}, socketStopXml(port), port);
  configureSupervisor(PollOneSecond);
  startChildren();
  ASSERT_TRUE(waitForPort("o"));
  int first = recordedPid(recordOf("o"));
  supervisor().start();
  ASSERT_TRUE(waitForLine(log, Supervisor, "WARN restarting process o.", 1, std::chrono::seconds(60)));
  int second = waitForNewPid(recordOf("o"), first);
  ASSERT_TRUE(stopSupervisor());
  EXPECT_NE(second, 0);
  EXPECT_TRUE(hasEvent(childLog("o"), "received STOP"));
  // Seen dead at the first test after its stop: never killed.
  EXPECT_EQ(countLines(log, Supervisor, "WARN unresponsive process o hasn't yet finished stopping."), 0);
  EXPECT_EQ(countLines(log, "TRQChildProcess", "DEBUG killing process \"o\""), 0);
  std::size_t stopped = indexOf("WARN process o appears to still be alive, so stop it.");
  std::size_t test = indexOf("DEBUG ping loop: unresponsive process o requires restart, test to see if it is still active.",
                             stopped);
  EXPECT_LT(test, indexOf("WARN restarting process o.", test));
}

TEST_F(RestartSequenceSlowTest, AKilledChildGoesWithItsGrandchildAndStartsAgainWithAFreshCounter) {
  int port = freePort();
  std::string grandchildRecord = record("grandchild.rec");
  addSilentChild("k", {"--stop-command=STOP", "--ignore-stop", "--grandchild=" + grandchildRecord},
                 socketStopXml(port), port);
  configureSupervisor(PollOneSecond);
  startChildren();
  ASSERT_TRUE(waitForPort("k"));
  int first = recordedPid(recordOf("k")), grandchild = 0;
  ASSERT_TRUE(testsupport::waitUntil([&] { return (grandchild = recordedPid(grandchildRecord)) != 0; }));
  supervisor().start();
  ASSERT_TRUE(waitForLine(log, Supervisor, "WARN restarting process k.", 1, std::chrono::seconds(60)));
  // The next pass pings the new process with the counter of a fresh start.
  std::size_t restart = indexOf("WARN restarting process k.");
  ASSERT_TRUE(testsupport::waitUntil(
      [&] { return indexOf("DEBUG Pinging process k. Ping counter: -10", restart) < supervisorLines().size(); },
      std::chrono::seconds(30)));
  int second = waitForNewPid(recordOf("k"), first);
  ASSERT_TRUE(stopSupervisor());
  EXPECT_NE(second, 0);
  EXPECT_EQ(countLines(log, "TRQChildProcess", "DEBUG killing process \"k\""), 2); // in the sequence, then at the end
  EXPECT_TRUE(processGone(first));
  EXPECT_TRUE(testsupport::waitUntil([&] { return processGone(grandchild); })) << grandchild;
}

TEST_F(RestartSequenceSlowTest, ARestartWithASignalStopSignalsTheNewProcess) {
  if (testsupport::isWindows())
    GTEST_SKIP() << "Wine's GenerateConsoleCtrlEvent always fails (error 12): no event can reach a child";
  int port = freePort();
  addSilentChild("s", {}, signalStopXml(1), port);
  configureSupervisor(PollOneSecond);
  startChildren();
  ASSERT_TRUE(waitForPort("s"));
  int first = recordedPid(recordOf("s"));
  supervisor().start();
  // Two restarts: the second is only found dead when the event went to the
  // process started by the first.
  ASSERT_TRUE(waitForLine(log, Supervisor, "WARN restarting process s.", 2, std::chrono::seconds(90)));
  ASSERT_TRUE(stopSupervisor());
  EXPECT_EQ(countLines(log, "TRQChildProcess", "DEBUG killing process \"s\""), 0);
  std::vector<std::string> events = childEvents(childLog("s"));
  EXPECT_GE(std::count(events.begin(), events.end(), "event SIGTERM"), 2);
  EXPECT_TRUE(processGone(first));
}

TEST_F(RestartSequenceSlowTest, AStopDuringAPassLeavesTheRestOfThePass) {
  int portA = freePort(), portB = freePort();
  // Read at once: without the stop's cancel it would wait a minute.
  std::string longPing =
      "<ping>" + socketSendXml(portA, "PING", "sockIOTimeoutSec=\"-1\" responseSize=\"64\" responseOK=\"OK\"") +
      "</ping>";
  addChild(processXml("a", serverOptions("a", portA, {"--silent"}), socketStopXml(portA), longPing));
  addSilentChild("b", {}, socketStopXml(portB), portB);
  configureSupervisor(PollOneSecond);
  startChildren();
  ASSERT_TRUE(waitForPort("a") && waitForPort("b"));
  supervisor().start();
  ASSERT_TRUE(waitForLine(log, Supervisor, "DEBUG ping loop: process \"a\" is still active, so we will ping it."));
  ASSERT_TRUE(stopSupervisor(std::chrono::seconds(30)));
  EXPECT_EQ(countLines(log, Supervisor, "DEBUG Pinging process b. Ping counter: -10"), 0)
      << testing::PrintToString(supervisorLines());
  // The ping that the stop cut short counts for nothing.
  EXPECT_EQ(countLines(log, Supervisor, "DEBUG ping of process a failed. Will begin restart sequence."), 0);
  EXPECT_EQ(supervisor().getAllChildrenHealthy(), 0);
}

TEST_F(RestartSequenceSlowTest, AChildThatDiesDuringTheFailingPingIsStartedAgainWithoutItsStop) {
  // Its ping goes to a silent server of its own and fails only at its
  // time-out, long after the child has ended during it.
  int silentPort = freePort(), port = freePort();
  testsupport::TestProcess silent(
      {testChildPath(), "--listen=" + std::to_string(silentPort), "--port-file=" + portFile("silent"), "--silent"},
      dir.path());
  ASSERT_TRUE(waitForPort("silent"));
  std::string ping =
      "<ping>" + socketSendXml(silentPort, "PING", "sockIOTimeoutSec=\"8\" responseSize=\"64\" responseOK=\"OK\"") +
      "</ping>";
  addChild(processXml("d", serverOptions("d", port, {"--stop-command=STOP"}), socketStopXml(port), ping));
  configureSupervisor(PollOneSecond);
  startChildren();
  ASSERT_TRUE(waitForPort("d"));
  int first = recordedPid(recordOf("d"));
  supervisor().start();
  ASSERT_TRUE(waitForLine(log, Supervisor, "DEBUG ping loop: process \"d\" is still active, so we will ping it."));
  killLeftover(first);
  ASSERT_TRUE(waitForLine(log, Supervisor, "WARN process d appears to be dead, so restarting.", 1,
                          std::chrono::seconds(60)));
  int second = waitForNewPid(recordOf("d"), first);
  EXPECT_NE(second, 0);
  // Neither stopped nor killed: the next ping of the new process is seconds away.
  EXPECT_EQ(countLines(log, Supervisor, "WARN process d appears to still be alive, so stop it."), 0);
  EXPECT_EQ(countLines(log, "TRQChildProcess", "DEBUG killing process \"d\""), 0);
  EXPECT_FALSE(hasEvent(childLog("d"), "received STOP"));
  EXPECT_LT(indexOf("WARN process d hit ping failure limit, will restart, but first make sure it is really dead."),
            indexOf("WARN process d appears to be dead, so restarting."));
  ASSERT_TRUE(stopSupervisor());
  EXPECT_TRUE(processGone(first));
}
