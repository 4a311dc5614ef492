//===- PingChildProcessSlowTest.cpp - Supervision passes over real test children ===//
//
// The supervisor runs with a poll interval of one second against test
// children that answer, answer badly, stay silent or die, so each case takes
// a few passes (and seconds). Pings give up after one second. The
// failed-ping-limit file keeps the restart sequence short: a limit of -9
// makes a freshly started child (counter -10) reach it at its first
// unanswered ping.
//
//===----------------------------------------------------------------------===//
#include "SupervisionTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

using namespace suptest;

namespace {

const std::string Supervisor = "PingChildProcess";
const std::string PollOneSecond = "<processManager pollIntervalsec=\"1\" checkForShutdownIntervalms=\"100\"/>";
const std::string EnteringWait = "DEBUG entering timedWait, interval = 1000";

class PingChildProcessSlowTest : public SupervisionTest {
protected:
  void SetUp() override {
    SupervisionTest::SetUp();
    // Short final stops: checks of 100 ms for at most one second.
    setProperty("dispatcherStopWaitTime", "1");
  }

  static void setProperty(const char *name, const char *value) {
    TRQPropertyInserter::getInstance()->addProperty(name, value);
  }

  /// Waits until `count` more passes than now have ended (each pass ends
  /// with the next wait).
  bool waitForMorePasses(int count) {
    int target = countLines(log, Supervisor, EnteringWait) + count;
    return waitForLine(log, Supervisor, EnteringWait, target, std::chrono::seconds(20 * count));
  }

  void writeLimitFile(const std::string &text) {
    testsupport::writeFile(PingChildProcess::FailedPingLimitFileName, text);
  }

  /// Replaces the limit file, while the supervisor may read it, by one with
  /// `text` and the modification time `time`, in one step.
  void replaceLimitFile(const std::string &text, std::filesystem::file_time_type time) {
    testsupport::writeFile("limit.tmp", text);
    std::filesystem::last_write_time("limit.tmp", time);
    std::filesystem::rename("limit.tmp", PingChildProcess::FailedPingLimitFileName);
  }

  /// The supervisor's lines that begin with `prefix`, in order.
  std::vector<std::string> linesStartingWith(const std::string &prefix) const {
    std::vector<std::string> result;
    for (const std::string &line : supervisorLines())
      if (line.compare(0, prefix.size(), prefix) == 0)
        result.push_back(line);
    return result;
  }

  /// Adds a pinged test child `name` serving on a fresh port with `extra`
  /// options and a socket stop command "STOP".
  void addServerChild(const std::string &name, const std::vector<std::string> &extra) {
    int port = freePort();
    std::vector<std::string> options = extra;
    options.push_back("--stop-command=STOP");
    addChild(processXml(name, serverOptions(name, port, options), socketStopXml(port), pingXml(port)));
  }
};

/// A second fixture for the cases that run in a process of their own.
class PingChildProcessIsolated : public PingChildProcessSlowTest {};

} // namespace

TEST_F(PingChildProcessSlowTest, AChildWithoutPingThatDiesIsStartedAgain) {
  std::string recordFile = record("short.rec");
  addChild(processXml("short", {"--record=" + recordFile, "--exit=0", "--after=200"}, socketStopXml(1)));
  configureSupervisor(PollOneSecond);
  startChildren();
  int first = 0;
  ASSERT_TRUE(testsupport::waitUntil([&] { return (first = recordedPid(recordFile)) != 0; }));
  supervisor().start();
  ASSERT_TRUE(waitForLine(log, Supervisor, "DEBUG Process short is not alive. Resuscitating."));
  EXPECT_NE(waitForNewPid(recordFile, first), 0);
  ASSERT_TRUE(waitForMorePasses(1));
  // Restarting a child that nobody pings does not count against readiness.
  EXPECT_EQ(supervisor().getAllChildrenHealthy(), 1);
  EXPECT_EQ(supervisor().getNoPingFailures(), 1);
  EXPECT_EQ(supervisor().getFatalError(), 0);
  ASSERT_TRUE(stopSupervisor());
  EXPECT_TRUE(warnings(log, Supervisor).size() <= 1); // at most the final stop's status
}

TEST_F(PingChildProcessSlowTest, APingedChildThatDiesIsRestarted) {
  addServerChild("d", {"--reply=OK", "--exit=0", "--after=2500"});
  configureSupervisor(PollOneSecond);
  startChildren();
  ASSERT_TRUE(waitForPort("d"));
  int first = recordedPid(recordOf("d"));
  supervisor().start();
  ASSERT_TRUE(waitForLine(log, Supervisor, "DEBUG process d pinged successfully."));
  ASSERT_TRUE(waitForLine(log, Supervisor, "ERROR ping loop: process \"d\" is not active, so restarting it."));
  EXPECT_NE(waitForNewPid(recordOf("d"), first), 0);
  ASSERT_TRUE(stopSupervisor());
  std::vector<std::string> counters = linesStartingWith("DEBUG Pinging process d.");
  ASSERT_GE(counters.size(), 2u);
  EXPECT_EQ(counters[0], "DEBUG Pinging process d. Ping counter: -10");
  EXPECT_EQ(counters[1], "DEBUG Pinging process d. Ping counter: 0");
  EXPECT_EQ(countLines(log, Supervisor, "ERROR ping loop: DOLV_NORESTART is set, do not restart."), 0);
}

TEST_F(PingChildProcessSlowTest, WithNoRestartADeadPingedChildStaysDead) {
  setProperty("DOLV_NORESTART", "true");
  addServerChild("d", {"--reply=OK", "--exit=0", "--after=1500"});
  std::string shortRecord = record("short.rec");
  addChild(processXml("short", {"--record=" + shortRecord, "--exit=0", "--after=200"}, socketStopXml(1)));
  configureSupervisor(PollOneSecond);
  EXPECT_EQ(supervisor().getRestartAllowed(), 0);
  startChildren();
  ASSERT_TRUE(waitForPort("d"));
  int first = recordedPid(recordOf("d"));
  supervisor().start();
  ASSERT_TRUE(waitForLine(log, Supervisor, "ERROR ping loop: DOLV_NORESTART is set, do not restart.", 2));
  ASSERT_TRUE(waitForMorePasses(1));
  EXPECT_EQ(supervisor().getAllChildrenHealthy(), 0);
  ASSERT_TRUE(stopSupervisor());
  EXPECT_GE(countLines(log, Supervisor, "ERROR ping loop: process \"d\" is not active, so restarting it."), 2);
  // The dead pinged child is never started again; the one nobody pings is.
  EXPECT_EQ(countLines(log, "TRQChildProcess", "DEBUG starting process \"d\""), 1);
  EXPECT_EQ(recordedPid(recordOf("d")), first);
  EXPECT_GE(countLines(log, Supervisor, "DEBUG Process short is not alive. Resuscitating."), 1);
}

TEST_F(PingChildProcessSlowTest, AnUnansweringChildGoesThroughTheWholeRestartSequence) {
  writeLimitFile("-9\n");
  addServerChild("u", {"--silent", "--ignore-stop"});
  configureSupervisor(PollOneSecond);
  startChildren();
  ASSERT_TRUE(waitForPort("u"));
  int first = recordedPid(recordOf("u"));
  supervisor().start();
  ASSERT_TRUE(waitForLine(log, Supervisor, "WARN restarting process u.", 1, std::chrono::seconds(60)));
  int second = waitForNewPid(recordOf("u"), first);
  EXPECT_NE(second, 0);
  ASSERT_TRUE(stopSupervisor());

  std::vector<std::string> warned = warnings(log, Supervisor);
  auto restart = std::find(warned.begin(), warned.end(), "WARN restarting process u.");
  ASSERT_NE(restart, warned.end());
  EXPECT_EQ(std::vector<std::string>(warned.begin(), restart + 1),
            (std::vector<std::string>{
                "WARN process u hit ping failure limit, will restart, but first make sure it is really dead.",
                "WARN process u appears to still be alive, so stop it.", "WARN stopAction->execute() return status = 1",
                "WARN unresponsive process u hasn't yet finished stopping.",
                "WARN unresponsive process u hasn't yet finished stopping.", "WARN restarting process u."}));

  // Stopped in the first pass, seen alive in the next two, killed and
  // started again in the second of them without waiting in between.
  std::vector<std::string> counters = linesStartingWith("DEBUG Pinging process u.");
  ASSERT_GE(counters.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(counters.begin(), counters.begin() + 3),
            (std::vector<std::string>{"DEBUG Pinging process u. Ping counter: -10",
                                      "DEBUG Pinging process u. Ping counter: 0",
                                      "DEBUG Pinging process u. Ping counter: 1"}));
  std::vector<std::string> all = supervisorLines();
  auto kill = std::find(all.begin(), all.end(),
                        "DEBUG unresponsive process u still hasn't stopped after two polls intervals, so kill it");
  ASSERT_TRUE(kill != all.end() && all.end() - kill >= 3);
  EXPECT_EQ(*(kill + 1), "WARN unresponsive process u hasn't yet finished stopping.");
  EXPECT_EQ(*(kill + 2), "WARN restarting process u.");
  EXPECT_EQ(
      countLines(log, Supervisor, "DEBUG Found new trq.failedPingLimit file, overwriting failed ping limit to -9"), 1);

  EXPECT_TRUE(hasEvent(childLog("u"), "received STOP"));
  EXPECT_TRUE(testsupport::waitUntil([&] { return processGone(first) && processGone(second); }));
}

TEST_F(PingChildProcessSlowTest, BadAnswersNeverRestart) {
  writeLimitFile("-9\n");
  addServerChild("busy", {"--reply=busy"});
  addServerChild("nope", {"--reply=nope"});
  configureSupervisor(PollOneSecond);
  startChildren();
  ASSERT_TRUE(waitForPort("busy") && waitForPort("nope"));
  supervisor().start();
  ASSERT_TRUE(waitForLine(log, Supervisor, "DEBUG ping of process nope failed. Will not begin restart sequence.", 3));
  EXPECT_EQ(supervisor().getAllChildrenHealthy(), 1);
  EXPECT_EQ(supervisor().getNoPingFailures(), 0);
  EXPECT_EQ(supervisor().getFatalError(), 0);
  ASSERT_TRUE(stopSupervisor());
  EXPECT_GE(countLines(log, Supervisor, "DEBUG ping of process busy failed. Will not begin restart sequence."), 3);
  // The counter neither grows nor resets.
  for (const std::string &line : linesStartingWith("DEBUG Pinging process "))
    EXPECT_TRUE(line.size() > 5 && line.compare(line.size() - 5, 5, ": -10") == 0) << line;
  EXPECT_EQ(countLines(log, "TRQChildProcess", "DEBUG starting process \"busy\""), 1);
  EXPECT_EQ(countLines(log, "TRQChildProcess", "DEBUG starting process \"nope\""), 1);
  EXPECT_EQ(countLines(log, Supervisor, "DEBUG PingChildProcess::run() - Detected a fatal error."), 0);
  // Only the final stop's status lines are warnings.
  for (const std::string &line : warnings(log, Supervisor))
    EXPECT_EQ(line, "WARN stopAction->execute() return status = 1");
}

TEST_F(PingChildProcessSlowTest, AFatalAnswerSetsTheFatalFlagForThatPassOnly) {
  writeLimitFile("-9\n");
  addServerChild("f", {"--busy-reply=FATAL", "--reply-after=3000", "--reply=OK"});
  configureSupervisor(PollOneSecond);
  startChildren();
  ASSERT_TRUE(waitForPort("f"));
  supervisor().start();
  ASSERT_TRUE(testsupport::waitUntil([&] { return supervisor().getFatalError() == 1; }, std::chrono::seconds(30)));
  EXPECT_EQ(supervisor().getNoPingFailures(), 0);
  EXPECT_EQ(supervisor().getAllChildrenHealthy(), 1);
  ASSERT_TRUE(waitForLine(log, Supervisor, "DEBUG process f pinged successfully."));
  ASSERT_TRUE(waitForMorePasses(1));
  EXPECT_EQ(supervisor().getFatalError(), 0);
  EXPECT_EQ(supervisor().getNoPingFailures(), 1);
  ASSERT_TRUE(stopSupervisor());
  EXPECT_GE(countLines(log, Supervisor, "DEBUG PingChildProcess::run() - Detected a fatal error."), 1);
  EXPECT_EQ(countLines(log, "TRQChildProcess", "DEBUG starting process \"f\""), 1);
  EXPECT_EQ(supervisor().getFatalError(), 1); // set again once stopped
}

TEST_F(PingChildProcessSlowTest, ASuccessResetsTheCounter) {
  addServerChild("s", {"--reply-after=2500", "--reply=OK"});
  configureSupervisor(PollOneSecond);
  startChildren();
  ASSERT_TRUE(waitForPort("s"));
  supervisor().start();
  ASSERT_TRUE(waitForLine(log, Supervisor, "DEBUG process s pinged successfully."));
  ASSERT_TRUE(waitForLine(log, Supervisor, "DEBUG Pinging process s. Ping counter: 0"));
  ASSERT_TRUE(waitForMorePasses(1));
  EXPECT_EQ(supervisor().getAllChildrenHealthy(), 1);
  EXPECT_EQ(supervisor().getNoPingFailures(), 1);
  EXPECT_EQ(supervisor().getFatalError(), 0);
  ASSERT_TRUE(stopSupervisor());
  std::vector<std::string> counters = linesStartingWith("DEBUG Pinging process s.");
  EXPECT_EQ(counters.front(), "DEBUG Pinging process s. Ping counter: -10");
  EXPECT_EQ(counters.back(), "DEBUG Pinging process s. Ping counter: 0");
}

TEST_F(PingChildProcessSlowTest, TheLimitFileChangesTheLimitWhileRunning) {
  writeLimitFile("100\n");
  addServerChild("u", {"--silent"});
  configureSupervisor(PollOneSecond);
  startChildren();
  ASSERT_TRUE(waitForPort("u"));
  supervisor().start();
  ASSERT_TRUE(waitForLine(log, Supervisor, "DEBUG ping of process u failed. Will begin restart sequence.", 2));
  EXPECT_EQ(countLines(log, Supervisor,
                       "WARN process u hit ping failure limit, will restart, but first make sure it is "
                       "really dead."),
            0);
  std::filesystem::file_time_type before = std::filesystem::last_write_time(PingChildProcess::FailedPingLimitFileName);
  replaceLimitFile("-20\n", before + std::chrono::seconds(5));
  ASSERT_TRUE(waitForLine(
      log, Supervisor, "WARN process u hit ping failure limit, will restart, but first make sure it is really dead."));
  ASSERT_TRUE(waitForMorePasses(2));
  ASSERT_TRUE(stopSupervisor());
  EXPECT_EQ(
      linesStartingWith("DEBUG Found new trq.failedPingLimit file"),
      (std::vector<std::string>{"DEBUG Found new trq.failedPingLimit file, overwriting failed ping limit to 100",
                                "DEBUG Found new trq.failedPingLimit file, overwriting failed ping limit to -20"}));
  EXPECT_EQ(supervisor().getFailedPingLimit(), -20);
}

TEST_F(PingChildProcessSlowTest, ALimitThatIsNotANumberIsZeroAndAnUnreadableFileIsTriedAgain) {
  // An empty file has no first line: nothing is taken, and its time is not
  // remembered, so the same time is read again once the file has content.
  writeLimitFile("");
  std::filesystem::file_time_type written = std::filesystem::last_write_time(PingChildProcess::FailedPingLimitFileName);
  addChild(processXml("idle", {}, socketStopXml(1)));
  configureSupervisor(PollOneSecond);
  supervisor().start();
  ASSERT_TRUE(waitForMorePasses(2));
  EXPECT_TRUE(linesStartingWith("DEBUG Found new").empty());
  EXPECT_EQ(supervisor().getFailedPingLimit(), 60);
  replaceLimitFile("many\n", written);
  ASSERT_TRUE(
      waitForLine(log, Supervisor, "DEBUG Found new trq.failedPingLimit file, overwriting failed ping limit to 0"));
  // Removing the file keeps the limit it gave.
  std::filesystem::remove(PingChildProcess::FailedPingLimitFileName);
  ASSERT_TRUE(waitForMorePasses(2));
  ASSERT_TRUE(stopSupervisor());
  EXPECT_EQ(supervisor().getFailedPingLimit(), 0);
}

TEST(PingChildProcessSlow, WaitIndefinitelyNeverStartsTheRestartSequence) {
  // The property cannot be removed again, so the case has a process of its own.
  EXPECT_EQ(runIsolatedCase("PingChildProcessIsolated.DISABLED_WaitIndefinitelyNeverStartsTheRestartSequence"), 0);
}

TEST_F(PingChildProcessIsolated, DISABLED_WaitIndefinitelyNeverStartsTheRestartSequence) {
  setProperty("daemonWaitIndefinitely", "");
  writeLimitFile("-9\n");
  addServerChild("silent", {"--silent"});
  addServerChild("d", {"--reply=OK", "--exit=0", "--after=1500"});
  configureSupervisor(PollOneSecond);
  startChildren();
  ASSERT_TRUE(waitForPort("silent") && waitForPort("d"));
  int silent = recordedPid(recordOf("silent"));
  int first = recordedPid(recordOf("d"));
  supervisor().start();
  ASSERT_TRUE(waitForLine(log, Supervisor, "DEBUG waitIndefinitely is set. Skip the restart sequence.", 3));
  ASSERT_TRUE(waitForLine(log, Supervisor, "ERROR ping loop: process \"d\" is not active, so restarting it."));
  EXPECT_NE(waitForNewPid(recordOf("d"), first), 0);
  EXPECT_FALSE(processGone(silent));
  ASSERT_TRUE(stopSupervisor());
  EXPECT_TRUE(linesStartingWith("DEBUG ping of process silent failed. Will begin").empty());
  EXPECT_TRUE(linesStartingWith("WARN process silent hit ping failure limit").empty());
  EXPECT_EQ(recordedPid(recordOf("silent")), silent);
  for (const std::string &line : linesStartingWith("DEBUG Pinging process silent."))
    EXPECT_EQ(line, "DEBUG Pinging process silent. Ping counter: -10");
}
