//===- TestChildTest.cpp - The test child does what other suites rely on --===//
//
// trqtestchild stands in for the supervised servers in many suites; these
// checks keep its record, exit codes, replies and stop behaviour honest.
//
//===----------------------------------------------------------------------===//
#include "JovTestSupport.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#endif

using namespace jovtest;
using namespace std::chrono_literals;

namespace {

class TestChildTest : public ::testing::Test {
protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(jov.load("JOV_Crypto_Interface", error)) << error;
  }

  /// One plain exchange with the child on `port`; the reply as received.
  std::string ask(int port, const std::string &command) {
    JOV_HANDLE handle = 0;
    if (jov.Socket(&handle, sessionDocument("IPv4").c_str(), 0, nullptr) != JOV_OK)
      return "<no handle>";
    std::string data;
    if (jov.Connect_Url(handle, ("tcp://127.0.0.1:" + std::to_string(port)).c_str(), nullptr) == JOV_OK &&
        jov.Send(handle, command.data(), static_cast<uint32_t>(command.size()), 0, nullptr, nullptr) == JOV_OK) {
      for (;;) {
        JOV_POLLFD entry{handle, JOV_POLL_READABLE, 0};
        if (jov.Poll(&entry, 1, 10000, 0, nullptr) < 0 || !(entry.revents & JOV_POLL_READABLE))
          break;
        char buffer[256];
        uint32_t count = 0;
        if (jov.Recv(handle, buffer, sizeof(buffer), 0, &count, nullptr) != JOV_OK || count == 0)
          break;
        data.append(buffer, count);
      }
    } else {
      data = "<" + jov.lastError(handle) + ">";
    }
    jov.CloseHandle(&handle, 0, nullptr);
    return data;
  }

  JovLibrary jov;
  testsupport::TempDir dir;
};

} // namespace

TEST_F(TestChildTest, TheRecordDescribesHowTheChildWasStarted) {
  setEnvironment("TSL_JOV_CHILD_SET", std::string("some value"));
  setEnvironment("TSL_JOV_CHILD_UNSET", std::nullopt);
  const std::string record = dir.file("record.txt");
  const std::vector<std::string> args = {"--record=" + record, "plain", "two words", "with=equals",
                                         "--env=TSL_JOV_CHILD_SET", "--env=TSL_JOV_CHILD_UNSET", "-Xmx64m",
                                         "--exit=3"};
#ifndef _WIN32
  // A descriptor that may be inherited is listed; one closed on exec is not.
  int inherited = ::open("/dev/null", O_RDONLY);
  int private_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
#endif
  ChildProcess child;
  std::string error;
  ASSERT_TRUE(startTestChild(child, args, error)) << error;
  std::optional<int> code = child.wait(20s);
#ifndef _WIN32
  ::close(inherited);
  ::close(private_);
#endif
  ASSERT_TRUE(code.has_value());
  EXPECT_EQ(*code, 3);

  std::string text = testsupport::readFile(record);
  EXPECT_EQ(recordValue(text, "pid"), std::to_string(child.pid())) << text;
  EXPECT_EQ(recordValue(text, "argc"), "8") << text;
  for (std::size_t i = 0; i < args.size(); ++i)
    EXPECT_EQ(recordValue(text, "arg" + std::to_string(i + 1)), args[i]) << text;
  EXPECT_TRUE(hasLine(text, "env.TSL_JOV_CHILD_SET=some value")) << text;
  EXPECT_TRUE(hasLine(text, "env.TSL_JOV_CHILD_UNSET")) << text;
  ASSERT_TRUE(recordValue(text, "cwd").has_value());
  EXPECT_NE(*recordValue(text, "cwd"), "");
  EXPECT_FALSE(std::filesystem::exists(record + ".tmp"));
#ifdef _WIN32
  EXPECT_FALSE(recordValue(text, "pgid").has_value());
#else
  EXPECT_EQ(recordValue(text, "pgid"), std::to_string(::getpgrp())) << text;
  EXPECT_EQ(recordValue(text, "sigmask"), "0000000000000000") << text;
  EXPECT_EQ(recordValue(text, "sigignored"), "0000000000000000") << text;
  std::optional<std::string> fds = recordValue(text, "fds");
  ASSERT_TRUE(fds.has_value()) << text;
  std::string list = "," + *fds + ",";
  EXPECT_NE(list.find("," + std::to_string(inherited) + ","), std::string::npos) << *fds;
  EXPECT_EQ(list.find("," + std::to_string(private_) + ","), std::string::npos) << *fds;
#endif
  setEnvironment("TSL_JOV_CHILD_SET", std::nullopt);
}

TEST_F(TestChildTest, ExitsWithTheRequestedCodeAfterTheDelayAndLogsIt) {
  ChildProcess child;
  std::string error;
  const std::string log = dir.file("child.log");
  ASSERT_TRUE(startTestChild(child, {"--exit=42", "--after=100", "--log=" + log}, error)) << error;
  std::optional<int> code = child.wait(20s);
  ASSERT_TRUE(code.has_value());
  EXPECT_EQ(*code, 42);
  EXPECT_EQ(testsupport::readFile(log), "started\nexit 42\n");
}

TEST_F(TestChildTest, CrashesWithinTheGivenTimeWithCode3AndLogsIt) {
  ChildProcess child;
  std::string error;
  const std::string log = dir.file("child.log");
  ASSERT_TRUE(startTestChild(child, {"--crash-within=200", "--log=" + log}, error)) << error;
  std::optional<int> code = child.wait(20s);
  ASSERT_TRUE(code.has_value());
  EXPECT_EQ(*code, 3);
  EXPECT_EQ(testsupport::readFile(log), "started\ncrash\n");
}

TEST_F(TestChildTest, StopsAnsweringAfterTheSilentTime) {
  ChildProcess child;
  std::string error;
  const std::string log = dir.file("child.log");
  int port = startServer(child, dir, {"--silent-after=1000", "--reply=READY", "--log=" + log}, error);
  ASSERT_NE(port, 0) << error;
  std::string reply;
  EXPECT_TRUE(testsupport::waitUntil(
      [&] {
        reply = ask(port, "ping");
        return reply.empty();
      },
      60s))
      << reply;
  EXPECT_TRUE(hasLine(testsupport::readFile(log), "received ping"));
}

TEST_F(TestChildTest, UnknownOptionsAndMissingValuesEndWith64) {
  for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
           {"--no-such-option"}, {"--exit"}, {"--exit=soon"}, {"--stay=yes"}, {"--tls-cert=a.pem"},
           {"--crash-within=0"}, {"--silent-after=-1"}}) {
    ChildProcess child;
    std::string error;
    ASSERT_TRUE(startTestChild(child, args, error)) << error;
    std::optional<int> code = child.wait(20s);
    ASSERT_TRUE(code.has_value()) << args[0];
    EXPECT_EQ(*code, 64) << args[0];
  }
}

TEST_F(TestChildTest, ARecordThatCannotBeWrittenEndsWith70) {
  ChildProcess child;
  std::string error;
  ASSERT_TRUE(startTestChild(child, {"--record=" + dir.file("no/such/folder/record.txt"), "--exit=0"}, error));
  std::optional<int> code = child.wait(20s);
  ASSERT_TRUE(code.has_value());
  EXPECT_EQ(*code, 70);
}

TEST_F(TestChildTest, AnswersBusyBeforeTheReplyTimeAndTheReplyAfterIt) {
  ChildProcess child;
  std::string error;
  int port = startServer(child, dir, {"--reply-after=4000", "--reply=READY", "--busy-reply=WAIT"}, error);
  ASSERT_NE(port, 0) << error;
  EXPECT_EQ(ask(port, "ping"), "WAIT");
  std::string reply;
  EXPECT_TRUE(testsupport::waitUntil(
      [&] {
        reply = ask(port, "ping");
        return reply == "READY";
      },
      20s))
      << reply;
}

TEST_F(TestChildTest, TheDefaultBusyReplyIsBusy) {
  ChildProcess child;
  std::string error;
  int port = startServer(child, dir, {"--reply-after=600000", "--reply=READY"}, error);
  ASSERT_NE(port, 0) << error;
  EXPECT_EQ(ask(port, "ping"), "busy");
}

TEST_F(TestChildTest, RepliesOnlyOnceTheCommandHasArrived) {
  ChildProcess child;
  std::string error;
  const std::string log = dir.file("child.log");
  int port = startServer(child, dir, {"--command=PING\\r\\n", "--reply=PONG", "--log=" + log}, error);
  ASSERT_NE(port, 0) << error;
  EXPECT_EQ(ask(port, "PING\r\n"), "PONG");
  std::string text = testsupport::readFile(log);
  EXPECT_TRUE(hasLine(text, "received PING\\r\\n")) << text;
  EXPECT_TRUE(hasLine(text, "replied PONG")) << text;
}

TEST_F(TestChildTest, TheStopCommandRepliesAndEndsWithTheStopCode) {
  ChildProcess child;
  std::string error;
  const std::string log = dir.file("child.log");
  int port = startServer(child, dir,
                         {"--reply=PONG", "--stop-command=SHUTDOWN", "--stop-reply=BYE", "--stop-exit=7",
                          "--log=" + log},
                         error);
  ASSERT_NE(port, 0) << error;
  EXPECT_EQ(ask(port, "PING"), "PONG");
  EXPECT_EQ(ask(port, "SHUTDOWN"), "BYE");
  std::optional<int> code = child.wait(20s);
  ASSERT_TRUE(code.has_value());
  EXPECT_EQ(*code, 7);
  std::string text = testsupport::readFile(log);
  EXPECT_TRUE(hasLine(text, "received SHUTDOWN")) << text;
  EXPECT_TRUE(hasLine(text, "replied BYE")) << text;
  EXPECT_TRUE(hasLine(text, "stopping")) << text;
  EXPECT_TRUE(hasLine(text, "exit 7")) << text;
}

#ifndef _WIN32

TEST_F(TestChildTest, SigtermStopsWithTheStopCodeAfterTheDelay) {
  ChildProcess child;
  std::string error;
  const std::string log = dir.file("child.log");
  const std::string record = dir.file("record.txt");
  ASSERT_TRUE(startTestChild(child, {"--record=" + record, "--log=" + log, "--stop-exit=5", "--stop-delay=50"},
                             error));
  ASSERT_TRUE(testsupport::waitUntil([&] { return hasLine(testsupport::readFile(log), "started"); }));
  child.signal(SIGTERM);
  std::optional<int> code = child.wait(20s);
  ASSERT_TRUE(code.has_value());
  EXPECT_EQ(*code, 5);
  EXPECT_EQ(testsupport::readFile(log), "started\nevent SIGTERM\nstopping\nexit 5\n");
}

TEST_F(TestChildTest, IgnoreStopLogsTheEventAndKeepsRunning) {
  ChildProcess child;
  std::string error;
  const std::string log = dir.file("child.log");
  ASSERT_TRUE(startTestChild(child, {"--log=" + log, "--ignore-stop", "--stay"}, error));
  ASSERT_TRUE(testsupport::waitUntil([&] { return hasLine(testsupport::readFile(log), "started"); }));
  child.signal(SIGINT);
  ASSERT_TRUE(testsupport::waitUntil([&] { return hasLine(testsupport::readFile(log), "event SIGINT"); }));
  EXPECT_FALSE(child.wait(200ms).has_value());
  child.kill();
  EXPECT_FALSE(hasLine(testsupport::readFile(log), "stopping"));
}

TEST_F(TestChildTest, TheGrandchildSharesTheChildsProcessGroup) {
  ChildProcess child;
  std::string error;
  const std::string record = dir.file("child.txt");
  const std::string grandRecord = dir.file("grandchild.txt");
  ASSERT_TRUE(startTestChild(child, {"--record=" + record, "--grandchild=" + grandRecord}, error, true));
  std::string grand;
  ASSERT_TRUE(testsupport::waitUntil([&] {
    grand = testsupport::readFile(grandRecord);
    return !grand.empty();
  }));
  std::string own = testsupport::readFile(record);
  EXPECT_EQ(recordValue(own, "pgid"), std::to_string(child.pid())) << own;
  EXPECT_EQ(recordValue(grand, "pgid"), std::to_string(child.pid())) << grand;
  EXPECT_EQ(recordValue(grand, "arg1"), "--record=" + grandRecord);
  EXPECT_EQ(recordValue(grand, "arg2"), "--stay");
  // Nothing of the child's leaks into the grandchild.
  EXPECT_EQ(recordValue(grand, "fds"), recordValue(own, "fds")) << own << grand;
  EXPECT_EQ(recordValue(grand, "sigmask"), "0000000000000000");
  EXPECT_EQ(recordValue(grand, "sigignored"), "0000000000000000");

  const pid_t grandPid = static_cast<pid_t>(std::stol(recordValue(grand, "pid").value_or("0")));
  ASSERT_GT(grandPid, 0);
  ::kill(-static_cast<pid_t>(child.pid()), SIGKILL);
  ASSERT_TRUE(child.wait(20s).has_value());
  // Ended means gone or a zombie waiting for its new parent.
  EXPECT_TRUE(testsupport::waitUntil([&] {
    if (::kill(grandPid, 0) != 0)
      return true;
    std::string stat = testsupport::readFile("/proc/" + std::to_string(grandPid) + "/stat");
    std::size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z';
  }));
}

#endif

#ifdef _WIN32

TEST_F(TestChildTest, CtrlBreakStopsAChildInItsOwnProcessGroup) {
  // Control events travel through a console that both processes share.
  AllocConsole();
  ChildProcess child;
  std::string error;
  const std::string log = dir.file("child.log");
  ASSERT_TRUE(startTestChild(child, {"--log=" + log, "--stop-exit=6"}, error, true)) << error;
  ASSERT_TRUE(testsupport::waitUntil([&] { return hasLine(testsupport::readFile(log), "started"); }));
  if (!GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, static_cast<DWORD>(child.pid())))
    GTEST_SKIP() << "this system cannot send console control events here (error " << GetLastError() << ")";
  std::optional<int> code = child.wait(20s);
  ASSERT_TRUE(code.has_value());
  EXPECT_EQ(*code, 6);
  EXPECT_EQ(testsupport::readFile(log), "started\nevent CTRL_BREAK\nstopping\nexit 6\n");
}

#endif
