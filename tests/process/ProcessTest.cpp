//===- ProcessTest.cpp - Starting, watching and ending real processes -----===//
#include "../actions/ActionTestSupport.h"
#include "processes.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <csignal>
#include <unistd.h>
#endif

using actiontest::ProcessGuard;
using actiontest::readRecord;
using actiontest::testChildPath;
using testsupport::TempDir;

namespace {

/// Starts the test child with `args`: the command line for Windows, the
/// vector for Linux.
int start(const std::vector<std::string> &args, platform::ProcessHandle &handle, int &pid) {
  std::vector<std::string> argv{testChildPath()};
  std::string commandLine = "\"" + testChildPath() + "\"";
  for (const std::string &arg : args) {
    argv.push_back(arg);
    commandLine += " \"" + arg + "\"";
  }
  return platform::startProcess(commandLine, argv, handle, pid);
}

} // namespace

TEST(Process, AMissingProgramIsErrorTwo) {
  TempDir dir;
  std::string missing = (dir.path() / testsupport::exeName("missing")).string();
  platform::ProcessHandle handle = platform::NoProcess;
  int pid = 0;
  EXPECT_EQ(platform::startProcess(missing, {missing}, handle, pid), 2);
  EXPECT_EQ(platform::lastProcessError(), 2);
  EXPECT_EQ(handle, platform::NoProcess);
}

TEST(Process, StillActiveWhileRunningThenTheExitCode) {
  TempDir dir;
  std::string record = dir.file("record.txt");
  platform::ProcessHandle handle = platform::NoProcess;
  int pid = 0;
  ASSERT_EQ(start({"--record=" + record, "--exit=42", "--after=300"}, handle, pid), 0);
  ProcessGuard guard(handle);
  EXPECT_GT(pid, 0);
  EXPECT_EQ(platform::processId(handle), pid);
  auto values = readRecord(record);
  EXPECT_EQ(values["pid"], std::to_string(pid));
  uint32_t code = 0;
  ASSERT_TRUE(platform::exitCode(handle, code));
  // Only a very slow machine would have ended it already.
  if (code == platform::StillActive) {
    ASSERT_TRUE(platform::waitForExit(handle));
  }
  ASSERT_TRUE(platform::exitCode(handle, code));
  EXPECT_EQ(code, 42u);
  // The code stays readable until the handle is closed.
  ASSERT_TRUE(platform::exitCode(handle, code));
  EXPECT_EQ(code, 42u);
  EXPECT_TRUE(platform::waitForExit(handle));
  EXPECT_EQ(platform::processId(handle), pid);
  EXPECT_TRUE(platform::closeProcessHandle(guard.release()));
}

TEST(Process, AClosedHandleIsNoLongerUsable) {
  platform::ProcessHandle handle = platform::NoProcess;
  int pid = 0;
  ASSERT_EQ(start({"--exit=0"}, handle, pid), 0);
  ASSERT_TRUE(platform::waitForExit(handle));
  ASSERT_TRUE(platform::closeProcessHandle(handle));
  uint32_t code = 0;
  EXPECT_FALSE(platform::exitCode(handle, code));
  EXPECT_NE(platform::lastProcessError(), 0);
  EXPECT_FALSE(platform::closeProcessHandle(handle));
  EXPECT_NE(platform::lastProcessError(), 0);
  EXPECT_TRUE(platform::closeProcessHandle(platform::NoProcess));
}

TEST(Process, TerminationEndsTheProcess) {
  TempDir dir;
  std::string record = dir.file("record.txt");
  platform::ProcessHandle handle = platform::NoProcess;
  int pid = 0;
  ASSERT_EQ(start({"--record=" + record, "--stay"}, handle, pid), 0);
  ProcessGuard guard(handle);
  ASSERT_FALSE(readRecord(record).empty());
  uint32_t code = 0;
  ASSERT_TRUE(platform::exitCode(handle, code));
  EXPECT_EQ(code, platform::StillActive);
  ASSERT_TRUE(platform::terminateProcess(handle, 9));
  ASSERT_TRUE(platform::waitForExit(handle));
  ASSERT_TRUE(platform::exitCode(handle, code));
#ifdef _WIN32
  EXPECT_EQ(code, 9u);
#else
  EXPECT_EQ(code, 128u + SIGKILL);
#endif
}

TEST(Process, SeveralThreadsMayWaitForOneProcess) {
  platform::ProcessHandle handle = platform::NoProcess;
  int pid = 0;
  ASSERT_EQ(start({"--exit=3", "--after=200"}, handle, pid), 0);
  ProcessGuard guard(handle);
  std::atomic<int> ended{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i)
    waiters.emplace_back([&] {
      if (platform::waitForExit(handle))
        ++ended;
    });
  for (auto &waiter : waiters)
    waiter.join();
  EXPECT_EQ(ended.load(), 4);
  uint32_t code = 0;
  ASSERT_TRUE(platform::exitCode(handle, code));
  EXPECT_EQ(code, 3u);
}

#ifndef _WIN32

TEST(Process, TheArgumentVectorIsPassedAsItIs) {
  TempDir dir;
  std::string record = dir.file("record.txt");
  platform::ProcessHandle handle = platform::NoProcess;
  int pid = 0;
  // The command line is not what Linux starts.
  std::vector<std::string> argv{testChildPath(), "--record=" + record, "a b", "\"c\"", "", "--exit=0"};
  ASSERT_EQ(platform::startProcess("not a program at all", argv, handle, pid), 0);
  ProcessGuard guard(handle);
  ASSERT_TRUE(platform::waitForExit(handle));
  auto values = readRecord(record);
  EXPECT_EQ(values["argc"], "5");
  EXPECT_EQ(values["arg2"], "a b");
  EXPECT_EQ(values["arg3"], "\"c\"");
  EXPECT_EQ(values["arg4"], "");
  EXPECT_EQ(values["pgid"], std::to_string(pid));
}

TEST(Process, AnEmptyArgumentVectorIsRefused) {
  platform::ProcessHandle handle = platform::NoProcess;
  int pid = 0;
  EXPECT_NE(platform::startProcess("x", {}, handle, pid), 0);
  EXPECT_EQ(handle, platform::NoProcess);
}

TEST(Process, ACollectedProcessIsNeverSignalled) {
  platform::ProcessHandle handle = platform::NoProcess;
  int pid = 0;
  ASSERT_EQ(start({"--exit=0"}, handle, pid), 0);
  ProcessGuard guard(handle);
  ASSERT_TRUE(platform::waitForExit(handle));
  EXPECT_FALSE(platform::terminateProcess(handle, 0));
  EXPECT_EQ(platform::lastProcessError(), ESRCH);
  uint32_t code = 1;
  ASSERT_TRUE(platform::exitCode(handle, code));
  EXPECT_EQ(code, 0u);
}

TEST(Process, ClosingTheHandleOfARunningProcessLeavesNoZombie) {
  TempDir dir;
  std::string record = dir.file("record.txt");
  platform::ProcessHandle handle = platform::NoProcess;
  int pid = 0;
  ASSERT_EQ(start({"--record=" + record, "--exit=0", "--after=300"}, handle, pid), 0);
  ASSERT_FALSE(readRecord(record).empty());
  ASSERT_TRUE(platform::closeProcessHandle(handle));
  EXPECT_EQ(platform::processId(handle), 0);
  // Any later call of the layer collects it once it has ended.
  std::string stat = "/proc/" + std::to_string(pid) + "/stat";
  EXPECT_TRUE(testsupport::waitUntil([&] {
    platform::processId(platform::NoProcess);
    return testsupport::readFile(stat).empty();
  }));
}

TEST(Process, TheSignalMaskAndDispositionsStartClean) {
  TempDir dir;
  std::string record = dir.file("record.txt");
  sigset_t block, previousMask;
  sigemptyset(&block);
  sigaddset(&block, SIGTERM);
  sigaddset(&block, SIGINT);
  pthread_sigmask(SIG_BLOCK, &block, &previousMask);
  struct sigaction ignore {}, previousAction{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGHUP, &ignore, &previousAction);
  platform::ProcessHandle handle = platform::NoProcess;
  int pid = 0;
  int rc = start({"--record=" + record, "--exit=0"}, handle, pid);
  sigaction(SIGHUP, &previousAction, nullptr);
  pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
  ASSERT_EQ(rc, 0);
  ProcessGuard guard(handle);
  auto values = readRecord(record);
  EXPECT_EQ(std::strtoull(values["sigmask"].c_str(), nullptr, 16), 0u) << values["sigmask"];
  EXPECT_EQ(std::strtoull(values["sigignored"].c_str(), nullptr, 16), 0u) << values["sigignored"];
}

#endif
