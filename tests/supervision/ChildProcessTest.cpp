//===- ChildProcessTest.cpp - Configuring, starting, testing and killing one child ===//
//
// The `process` element with every way it can be incomplete, the decision
// whether a child is pinged (with a startup configuration of the test's own
// that knows some components and fails for one), and the life of a real
// test child: start, test for life, end, kill.
//
//===----------------------------------------------------------------------===//
#include "SupervisionTestSupport.h"
#include "supervision/TRQBadConfigException.h"
#include "supervision/TRQSignalAction.h"
#include "supervision/TRQSockSendAction.h"
#include "supervision/TRQSpawnAction.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

using namespace suptest;

namespace {

/// A startup configuration that knows the versions of a few components and
/// cannot be read for the component "broken".
class ComponentConfiguration : public IRKLConfiguration {
public:
  I18NString getValue(const char *, int) override { return I18NString(); }
  RKLIDOM_Element getElement(const char *, int) override { return RKLIDOM_Element(); }
  void resolvePath(I18NString &) override {}
  using IRKLConfiguration::resolvePath;
  I18NString getComponentVersion(const char *name) override {
    asked.push_back(name ? name : "");
    if (std::string(name ? name : "") == "broken")
      throw RKLConfigurationException("configuration/tslstartup.xml: not well-formed");
    auto found = versions.find(name ? name : "");
    return found == versions.end() ? I18NString() : I18NString(found->second);
  }

  std::map<std::string, std::string> versions;
  std::vector<std::string> asked;
};

class ChildProcessTest : public ::testing::Test {
protected:
  void SetUp() override { RKLConfigurationFactory::setInstanceForTesting(&configuration); }
  void TearDown() override { RKLConfigurationFactory::setInstanceForTesting(nullptr); }

  std::vector<std::string> childLines() const { return lines(log, "TRQChildProcess"); }

  /// Configuring `xml` fails with `message`.
  void expectConfigurationError(const std::string &xml, const std::string &message) {
    TRQChildProcess child;
    try {
      child.configure(parseElement(xml));
      ADD_FAILURE() << "no exception for " << xml;
    } catch (const TRQBadConfigException &e) {
      EXPECT_EQ(std::string(e.getMessage()), message) << xml;
    }
  }

  std::string start() const { return "<start>" + childSpawnXml({}) + "</start>"; }

  LogCapture log;
  ComponentConfiguration configuration;
  testsupport::TempDir dir{"tslchild"};
};

const std::string Socket = socketSendXml(1, "PING");

} // namespace

//===--- Configuration ----------------------------------------------------===//

TEST_F(ChildProcessTest, AWholeProcessElement) {
  configuration.versions["Dispatcher"] = "12.0";
  TRQChildProcess child;
  child.configure(parseElement("<process name=\"dispatcher\">" + start() + socketStopXml(8005) +
                               "<ping><socketSend URI=\"tcp://127.0.0.1:8006\" commandString=\"PING\" "
                               "dependency=\"Dispatcher\"/></ping></process>"));
  EXPECT_STREQ(child.getName(), "dispatcher");
  ASSERT_NE(child.getStartAction(), nullptr);
  EXPECT_EQ(child.getStartAction()->getPath(), testChildPath());
  ASSERT_NE(dynamic_cast<TRQSockSendAction *>(child.getStopAction()), nullptr);
  ASSERT_NE(child.getPingAction(), nullptr);
  EXPECT_EQ(child.getProcessHandle(), -1);
  EXPECT_EQ(child.getExitCode(), 0);
  EXPECT_EQ(child.getPingCounter(), 0);
  EXPECT_EQ(child.getRestartRequired(), 0);
  EXPECT_EQ(configuration.asked, (std::vector<std::string>{"Dispatcher"}));
  EXPECT_EQ(childLines(), (std::vector<std::string>{"DEBUG preparing process named dispatcher",
                                                    "DEBUG stop command type is \"socketSend\"",
                                                    "DEBUG processing stop command of type \"socketSend\"",
                                                    "DEBUG processing ping command of type \"socketSend\""}));
}

TEST_F(ChildProcessTest, EachStopTypeMakesItsAction) {
  TRQChildProcess spawnStop;
  spawnStop.configure(parseElement("<process name=\"a\">" + start() + scriptStopXml() + "</process>"));
  auto *spawn = dynamic_cast<TRQSpawnAction *>(spawnStop.getStopAction());
  ASSERT_NE(spawn, nullptr);
  EXPECT_EQ(spawn->getSync(), 1);
  EXPECT_EQ(spawnStop.getPingAction(), nullptr);

  TRQChildProcess signalStop;
  signalStop.configure(parseElement("<process name=\"b\">" + start() + signalStopXml(1) + "</process>"));
  auto *signal = dynamic_cast<TRQSignalAction *>(signalStop.getStopAction());
  ASSERT_NE(signal, nullptr);
  EXPECT_EQ(signal->getCtrlEvent(), 1);

  EXPECT_EQ(childLines(),
            (std::vector<std::string>{"DEBUG preparing process named a", "DEBUG stop command type is \"spawn\"",
                                      "DEBUG processing stop command of type \"spawn\"",
                                      "WARN no ping element in config.", "DEBUG preparing process named b",
                                      "DEBUG stop command type is \"signal\"", "WARN no ping element in config."}));
}

TEST_F(ChildProcessTest, TheFirstElementOfEachNameCounts) {
  TRQChildProcess child;
  child.configure(parseElement("<process name=\"p\"><start><spawn><path>first</path></spawn>"
                               "<spawn><path>second</path></spawn></start>"
                               "<stop type=\"signal\"><signal signal=\"1\"/><signal signal=\"0\"/></stop>"
                               "<stop type=\"spawn\"/></process>"));
  EXPECT_EQ(child.getStartAction()->getPath(), "first");
  EXPECT_EQ(child.getStopAction()->getCtrlEvent(), 1);
}

TEST_F(ChildProcessTest, AProcessWithoutStartFails) {
  expectConfigurationError("<process name=\"p\">" + socketStopXml(1) + "</process>",
                           "required element \"start\" is missing.");
  EXPECT_EQ(childLines(), (std::vector<std::string>{"DEBUG preparing process named p",
                                                    "FATAL required element \"start\" is missing."}));
}

TEST_F(ChildProcessTest, AStartWithoutSpawnFails) {
  expectConfigurationError("<process name=\"p\"><start><path>x</path></start>" + socketStopXml(1) + "</process>",
                           "required element \"spawn\" is missing.");
  EXPECT_EQ(childLines(), (std::vector<std::string>{"DEBUG preparing process named p",
                                                    "FATAL required element \"spawn\" is missing."}));
}

TEST_F(ChildProcessTest, ASpawnWithoutPathFailsWithTheSpawnActionsText) {
  expectConfigurationError("<process name=\"p\"><start><spawn/></start>" + socketStopXml(1) + "</process>",
                           "TRQSpawnAction required attribute \"path\" is missing");
}

TEST_F(ChildProcessTest, AProcessWithoutStopFails) {
  expectConfigurationError("<process name=\"p\">" + start() + "</process>", "required element \"stop\" is missing.");
  EXPECT_EQ(childLines(), (std::vector<std::string>{"DEBUG preparing process named p",
                                                    "FATAL required element \"stop\" is missing."}));
}

TEST_F(ChildProcessTest, TheStopTypeIsComparedExactly) {
  expectConfigurationError("<process name=\"p\">" + start() + "<stop type=\"Spawn\">" + childSpawnXml({}) +
                               "</stop></process>",
                           "unexpected type for stop command");
  expectConfigurationError("<process name=\"q\">" + start() + "<stop>" + Socket + "</stop></process>",
                           "unexpected type for stop command");
  EXPECT_EQ(childLines(), (std::vector<std::string>{
                              "DEBUG preparing process named p", "DEBUG stop command type is \"Spawn\"",
                              "FATAL unexpected type for stop command \"Spawn\"", "DEBUG preparing process named q",
                              "DEBUG stop command type is \"\"", "FATAL unexpected type for stop command \"\""}));
}

TEST_F(ChildProcessTest, AStopWithoutTheElementOfItsTypeFails) {
  expectConfigurationError("<process name=\"p\">" + start() + "<stop type=\"signal\">" + Socket + "</stop></process>",
                           "required element \"signal\" is missing below \"stop\".");
  expectConfigurationError("<process name=\"p\">" + start() + "<stop type=\"socketSend\"/></process>",
                           "required element \"socketSend\" is missing below \"stop\".");
  expectConfigurationError("<process name=\"p\">" + start() + "<stop type=\"spawn\"><signal signal=\"1\"/></stop>" +
                               "</process>",
                           "required element \"spawn\" is missing below \"stop\".");
  std::vector<std::string> all = childLines();
  ASSERT_EQ(all.size(), 11u);
  EXPECT_EQ(all[2], "FATAL required element \"signal\" is missing below \"stop\".");
  EXPECT_EQ(all[6], "FATAL required element \"socketSend\" is missing below \"stop\".");
  EXPECT_EQ(all[10], "FATAL required element \"spawn\" is missing below \"stop\".");
}

TEST_F(ChildProcessTest, TheStopActionsOwnErrorsPropagate) {
  expectConfigurationError("<process name=\"p\">" + start() + "<stop type=\"signal\"><signal/></stop></process>",
                           "required element \"signal\" is missing.");
  expectConfigurationError("<process name=\"p\">" + start() +
                               "<stop type=\"socketSend\"><socketSend commandString=\"x\"/></stop></process>",
                           "ping action must have URI");
}

//===--- Whether the child is pinged --------------------------------------===//

TEST_F(ChildProcessTest, WithoutPingElementTheChildIsNotPinged) {
  TRQChildProcess child;
  child.configure(parseElement("<process name=\"p\">" + start() + socketStopXml(1) + Socket + "</process>"));
  EXPECT_EQ(child.getPingAction(), nullptr);
  EXPECT_EQ(countLines(log, "TRQChildProcess", "WARN no ping element in config."), 1);
}

TEST_F(ChildProcessTest, APingWithoutSocketSendIsNotPinged) {
  TRQChildProcess child;
  child.configure(
      parseElement("<process name=\"p\">" + start() + socketStopXml(1) + "<ping><spawn/></ping></process>"));
  EXPECT_EQ(child.getPingAction(), nullptr);
  EXPECT_EQ(warnings(log, "TRQChildProcess"), (std::vector<std::string>{"WARN no socketSend element in config."}));
}

TEST_F(ChildProcessTest, APingWithoutDependencyIsPingedWithAWarning) {
  TRQChildProcess child;
  child.configure(
      parseElement("<process name=\"p\">" + start() + socketStopXml(1) + "<ping>" + Socket + "</ping></process>"));
  EXPECT_NE(child.getPingAction(), nullptr);
  EXPECT_TRUE(configuration.asked.empty());
  EXPECT_EQ(childLines(),
            (std::vector<std::string>{"DEBUG preparing process named p", "DEBUG stop command type is \"socketSend\"",
                                      "DEBUG processing stop command of type \"socketSend\"",
                                      "WARN The attribute \"dependency\" is missing.",
                                      "DEBUG processing ping command of type \"socketSend\""}));
}

TEST_F(ChildProcessTest, AComponentThatIsNotInstalledMeansNoPing) {
  configuration.versions["Other"] = "1.0";
  TRQChildProcess child;
  child.configure(parseElement("<process name=\"p\">" + start() + socketStopXml(1) +
                               "<ping><socketSend URI=\"tcp://127.0.0.1:1\" commandString=\"x\" "
                               "dependency=\"Missing\"/></ping></process>"));
  EXPECT_EQ(child.getPingAction(), nullptr);
  EXPECT_EQ(configuration.asked, (std::vector<std::string>{"Missing"}));
  EXPECT_TRUE(warnings(log, "TRQChildProcess").empty());
}

TEST_F(ChildProcessTest, AConfigurationThatCannotBeReadMeansNoPing) {
  TRQChildProcess child;
  child.configure(parseElement("<process name=\"p\">" + start() + socketStopXml(1) +
                               "<ping><socketSend URI=\"tcp://127.0.0.1:1\" commandString=\"x\" "
                               "dependency=\"broken\"/></ping></process>"));
  EXPECT_EQ(child.getPingAction(), nullptr);
  EXPECT_EQ(warnings(log, "TRQChildProcess"),
            (std::vector<std::string>{"ERROR exception while checking for the dependent component version: "
                                      "\"configuration/tslstartup.xml: not well-formed\""}));
}

TEST_F(ChildProcessTest, TheSocketSendBelowPingIsConfigured) {
  TRQChildProcess child;
  child.configure(parseElement("<process name=\"p\">" + start() + socketStopXml(1) + "<ping>" +
                               socketSendXml(4711, "HELLO", "responseSize=\"8\" responseOK=\"OK\"") +
                               "</ping></process>"));
  ASSERT_NE(child.getPingAction(), nullptr);
  EXPECT_EQ(child.getPingAction()->getResponseOK(), "OK");
  EXPECT_EQ(child.getPingAction()->getResponseSize(), 8);
}

//===--- Start, test for life, kill ---------------------------------------===//

TEST_F(ChildProcessTest, AnAsynchronousStart) {
  std::string recordFile = dir.file("record.txt");
  TRQChildProcess child;
  child.configure(parseElement(processXml("worker", {"--record=" + recordFile}, socketStopXml(1))));
  child.setPingCounter(5);
  child.setRestartRequired(1);
  child.start();
  int pid = recordedPid(recordFile);
  ASSERT_TRUE(testsupport::waitUntil([&] { return (pid = recordedPid(recordFile)) != 0; }));
  EXPECT_GE(child.getProcessHandle(), 1);
  EXPECT_EQ(child.getPingCounter(), -10);
  EXPECT_EQ(child.getRestartRequired(), 0);
  EXPECT_EQ(child.getExitCode(), 0);
  EXPECT_EQ(child.getProcessHandle(), child.getStartAction()->getProcessHandle());
  EXPECT_EQ(child.isActive(), 1);

  std::vector<std::string> all = childLines();
  std::vector<std::string> fromStart(all.end() - 5, all.end());
  EXPECT_EQ(fromStart, (std::vector<std::string>{"DEBUG starting process \"worker\"",
                                                 "DEBUG process handle is " + std::to_string(child.getProcessHandle()),
                                                 "DEBUG Testing if process \"worker\" is still active.",
                                                 "DEBUG handle is " + std::to_string(child.getProcessHandle()),
                                                 "DEBUG Process \"worker\" is still active."}));
  child.kill();
  EXPECT_TRUE(testsupport::waitUntil([&] { return processGone(pid); }));
  killLeftover(pid);
}

TEST_F(ChildProcessTest, ASynchronousStartLeavesTheExitCode) {
  TRQChildProcess child;
  child.configure(parseElement("<process name=\"setup\"><start>" + childSpawnXml({"--exit=3"}, " sync=\"1\"") +
                               "</start>" + socketStopXml(1) + "</process>"));
  child.start();
  EXPECT_EQ(child.getProcessHandle(), -1);
  EXPECT_EQ(child.getExitCode(), 3);
  EXPECT_EQ(child.isActive(), 0);
  EXPECT_EQ(countLines(log, "TRQChildProcess", "DEBUG process handle is -1"), 1);
}

TEST_F(ChildProcessTest, AStartThatFailsLeavesTheSpawnActionsExitCode) {
  TRQChildProcess child;
  child.configure(parseElement("<process name=\"none\"><start><spawn><path>" + xmlEscape(dir.file("missing-program")) +
                               "</path></spawn></start>" + socketStopXml(1) + "</process>"));
  child.start();
  EXPECT_EQ(child.getProcessHandle(), -1);
  EXPECT_EQ(child.getExitCode(), child.getStartAction()->getExitCode());
  EXPECT_EQ(child.getPingCounter(), -10);
}

TEST_F(ChildProcessTest, AnEndedChildIsForgottenAndItsHandleClosed) {
  TRQChildProcess child;
  child.configure(parseElement(processXml("short", {"--exit=7"}, socketStopXml(1))));
  child.start();
  ASSERT_GE(child.getProcessHandle(), 1);
  int64_t handle = child.getProcessHandle();
  ASSERT_TRUE(testsupport::waitUntil([&] { return child.isActive() == 0; }));
  EXPECT_EQ(child.getProcessHandle(), -1);
  EXPECT_EQ(child.getStartAction()->getProcessHandle(), -1);
  std::vector<std::string> all = childLines();
  std::vector<std::string> last(all.end() - 4, all.end());
  EXPECT_EQ(last, (std::vector<std::string>{"DEBUG Testing if process \"short\" is still active.",
                                            "DEBUG handle is " + std::to_string(handle),
                                            "DEBUG Process \"short\" has terminated.", "DEBUG dwExitCode was 7"}));
  // Without a handle nothing is asked of the system any more.
  EXPECT_EQ(child.isActive(), 0);
  all = childLines();
  EXPECT_EQ(std::vector<std::string>(all.end() - 2, all.end()),
            (std::vector<std::string>{"DEBUG Testing if process \"short\" is still active.", "DEBUG handle is -1"}));
}

TEST_F(ChildProcessTest, KillEndsTheChildAndWhatItStarted) {
  std::string recordFile = dir.file("record.txt");
  std::string grandchildFile = dir.file("grandchild.txt");
  TRQChildProcess child;
  child.configure(
      parseElement(processXml("tree", {"--record=" + recordFile, "--grandchild=" + grandchildFile}, socketStopXml(1))));
  child.start();
  int pid = 0, grandchild = 0;
  ASSERT_TRUE(testsupport::waitUntil([&] { return (pid = recordedPid(recordFile)) != 0; }));
  ASSERT_TRUE(testsupport::waitUntil([&] { return (grandchild = recordedPid(grandchildFile)) != 0; }));
  int64_t handle = child.getProcessHandle();
  EXPECT_EQ(child.kill(), 1);
  EXPECT_EQ(child.getProcessHandle(), -1);
  EXPECT_EQ(child.getStartAction()->getProcessHandle(), -1);
  // Ended, and collected, by the time kill returns: a new start cannot meet
  // the old process.
  EXPECT_TRUE(processGone(pid));
#ifndef _WIN32
  EXPECT_TRUE(testsupport::readFile("/proc/" + std::to_string(pid) + "/stat").empty());
#endif
  EXPECT_TRUE(testsupport::waitUntil([&] { return processGone(pid) && processGone(grandchild); }));
  std::vector<std::string> all = childLines();
  EXPECT_EQ(std::vector<std::string>(all.end() - 2, all.end()),
            (std::vector<std::string>{"DEBUG killing process \"tree\"",
                                      "DEBUG Process ID used is " + std::to_string(static_cast<long>(handle))}));
  killLeftover(pid);
  killLeftover(grandchild);
}

TEST_F(ChildProcessTest, AChildThatCannotBeLookedAtIsKeptAsRunning) {
  std::string recordFile = dir.file("record.txt");
  TRQChildProcess child;
  child.configure(parseElement(processXml("blind", {"--record=" + recordFile}, socketStopXml(1))));
  child.start();
  int pid = 0;
  ASSERT_TRUE(testsupport::waitUntil([&] { return (pid = recordedPid(recordFile)) != 0; }));
  int64_t handle = child.getProcessHandle();
  // The handle goes behind the record's back: the process runs on, but its
  // state can no longer be read, nor can it be ended through the handle.
  ASSERT_TRUE(platform::closeProcessHandle(handle));
  for (int pass = 0; pass < 2; ++pass) {
    EXPECT_EQ(child.isActive(), 1);
    EXPECT_EQ(child.getProcessHandle(), handle);
  }
  EXPECT_EQ(child.kill(), 0);
  EXPECT_EQ(child.getProcessHandle(), handle);
  EXPECT_FALSE(processGone(pid));
  killLeftover(pid);
  std::vector<std::string> errors;
  for (const std::string &line : warnings(log, "TRQChildProcess"))
    if (line.rfind("ERROR", 0) == 0)
      errors.push_back(line);
  ASSERT_EQ(errors.size(), 4u) << testing::PrintToString(errors);
  for (int i = 0; i < 2; ++i)
    EXPECT_EQ(errors[i].rfind("ERROR GetExitCodeProcess failed for process \"blind\", errno=", 0), 0u) << errors[i];
  EXPECT_EQ(errors[2].rfind("ERROR TerminateProcess failed for process \"blind\", errno=", 0), 0u) << errors[2];
  EXPECT_EQ(errors[3].rfind("ERROR process \"blind\" could not be ended, errno=", 0), 0u) << errors[3];
  EXPECT_NE(errors[0].find("; it is kept as running."), std::string::npos);
  EXPECT_TRUE(testsupport::waitUntil([&] { return processGone(pid); }));
}

TEST_F(ChildProcessTest, KillWithoutAProcessDoesNothing) {
  TRQChildProcess child;
  child.configure(parseElement(processXml("idle", {}, socketStopXml(1))));
  child.kill();
  EXPECT_EQ(child.getProcessHandle(), -1);
  std::vector<std::string> all = childLines();
  EXPECT_EQ(std::vector<std::string>(all.end() - 2, all.end()),
            (std::vector<std::string>{"DEBUG killing process \"idle\"", "DEBUG Process ID used is -1"}));
}

TEST_F(ChildProcessTest, DestroyingTheRecordLeavesTheProcessRunning) {
  std::string recordFile = dir.file("record.txt");
  int pid = 0;
  platform::ProcessHandle handle = platform::NoProcess;
  {
    TRQChildProcess child;
    child.configure(parseElement(processXml("stays", {"--record=" + recordFile}, socketStopXml(1))));
    child.start();
    handle = child.getProcessHandle();
    ASSERT_TRUE(testsupport::waitUntil([&] { return (pid = recordedPid(recordFile)) != 0; }));
  }
  actiontest::ProcessGuard guard(handle);
  EXPECT_FALSE(processGone(pid));
}
