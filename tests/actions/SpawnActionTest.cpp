//===- SpawnActionTest.cpp - Launching the test child for real ------------===//
//
// Every launch here starts trqtestchild, which records how it was started
// (arguments, environment, directory, group, descriptors, signals) in a file
// that the test then reads back.
//
//===----------------------------------------------------------------------===//
#include "ActionTestSupport.h"
#include "config/TRQPropertyInserter.h"
#include "processes.h"
#include "supervision/TRQBadConfigException.h"
#include "supervision/TRQSpawnAction.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <future>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;
using actiontest::LogCapture;
using actiontest::parseElement;
using actiontest::ProcessGuard;
using actiontest::readRecord;
using actiontest::testChildPath;
using actiontest::xmlEscape;
using testsupport::TempDir;

namespace {

/// An argument that reaches the child as one word on either system: Windows
/// programs split their command line at blanks unless quoted, while Linux
/// hands over the argument vector itself.
std::string oneWord(const std::string &text) {
#ifdef _WIN32
  if (text.find(' ') != std::string::npos)
    return "\"" + text + "\"";
#endif
  return text;
}

/// A `spawn` element: the path, then one `param` per text.
std::string spawnXml(const std::string &path, const std::vector<std::string> &params,
                     const std::string &spawnAttributes = "", const std::string &pathAttributes = "") {
  std::string xml = "<spawn" + spawnAttributes + "><path" + pathAttributes + ">" + xmlEscape(path) + "</path>";
  for (const std::string &param : params)
    xml += "<param>" + xmlEscape(param) + "</param>";
  return xml + "</spawn>";
}

void setEnvironment(const char *name, const char *value) {
#ifdef _WIN32
  _putenv_s(name, value ? value : "");
#else
  if (value)
    setenv(name, value, 1);
  else
    unsetenv(name);
#endif
}

/// True once the process with id `pid` has ended (a zombie counts as ended).
bool processGone(int pid) {
#ifdef _WIN32
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
  if (!process)
    return true;
  bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
  CloseHandle(process);
  return ended;
#else
  std::string stat = testsupport::readFile("/proc/" + std::to_string(pid) + "/stat");
  if (stat.empty())
    return true;
  auto close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && (stat[close + 2] == 'Z' || stat[close + 2] == 'X');
#endif
}

/// Ends a process that a failed test left behind, by its id.
void killLeftover(int pid) {
  if (processGone(pid))
    return;
#ifdef _WIN32
  HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(pid));
  if (process) {
    TerminateProcess(process, 1);
    CloseHandle(process);
  }
#else
  kill(pid, SIGKILL);
#endif
}

/// The describe() text for `path` and the argument entries.
std::string description(const std::string &path, const std::vector<std::string> &entries) {
  std::string text = "Spawning child process:\nPath: " + path + "\nParameters: \n";
  for (const std::string &entry : entries)
    text += "\t" + entry + "\n";
  return text;
}

std::vector<std::string> argsOf(const TRQSpawnAction &action) {
  std::vector<std::string> result;
  for (const char *entry : action.getArgs())
    result.push_back(entry ? entry : "<null>");
  return result;
}

class SpawnActionTest : public ::testing::Test {
protected:
  TempDir dir{"tslact"};
  std::string record = dir.file("record.txt");
};

} // namespace

//===--- Configuration ----------------------------------------------------===//

TEST_F(SpawnActionTest, ConfigurationBuildsTheArgumentList) {
  TRQPropertyInserter::getInstance()->addProperty("act_prog_dir", "/opt/prog");
  TRQPropertyInserter::getInstance()->addProperty("act_mode", "fast");
  LogCapture log;
  TRQSpawnAction action;
  action.configure(parseElement("<spawn wait_time=\"2\"><path>${act_prog_dir}/run</path>"
                                "<param>-mode=${act_mode}</param>"
                                "<param condName=\"${act_mode}\" condValue=\"slow\">-skipped</param>"
                                "<param>last</param></spawn>"));
  EXPECT_EQ(action.getPath(), "/opt/prog/run");
  EXPECT_EQ(argsOf(action), (std::vector<std::string>{"/opt/prog/run", "-mode=fast", "last", "<null>"}));
  EXPECT_EQ(action.getSync(), 0);
  EXPECT_EQ(action.getWaitTime(), 2000);
  EXPECT_EQ(action.getProcessHandle(), -1);
  EXPECT_EQ(action.getExitCode(), 0);

  std::vector<actiontest::LogEntry> entries = log.entries("TRQSpawnAction");
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].message, "preparing");
  EXPECT_EQ(entries[1].message, "sync is 0");
  EXPECT_EQ(log.count("DEBUG", "TRQAction", "configured wait_time is 2000 ms."), 1);
}

TEST_F(SpawnActionTest, SyncIsReadAsANumber) {
  LogCapture log;
  TRQSpawnAction one;
  one.configure(parseElement("<spawn sync=\"1\"><path>p</path></spawn>"));
  EXPECT_EQ(one.getSync(), 1);
  TRQSpawnAction word;
  word.configure(parseElement("<spawn sync=\"true\"><path>p</path></spawn>"));
  EXPECT_EQ(word.getSync(), 0);
  EXPECT_EQ(log.count("DEBUG", "TRQSpawnAction", "sync is 1"), 1);
  EXPECT_EQ(log.count("DEBUG", "TRQSpawnAction", "sync is 0"), 1);
}

TEST_F(SpawnActionTest, ConfiguringTwiceGivesTheSameList) {
  RKLIDOM_Element element = parseElement("<spawn><path>prog</path><param>a</param><param>b</param></spawn>");
  TRQSpawnAction action;
  action.configure(element);
  std::vector<std::string> first = argsOf(action);
  action.configure(element);
  EXPECT_EQ(argsOf(action), first);
  EXPECT_EQ(first, (std::vector<std::string>{"prog", "a", "b", "<null>"}));
}

TEST_F(SpawnActionTest, ThePathIsTheFirstPathElementAtAnyDepth) {
  TRQSpawnAction action;
  action.configure(parseElement("<spawn><group><path>first</path></group><path>second</path></spawn>"));
  EXPECT_EQ(action.getPath(), "first");
}

TEST_F(SpawnActionTest, AMissingPathIsAConfigurationError) {
  for (const char *xml : {"<spawn/>", "<spawn><path/></spawn>", "<spawn><path><!-- none --></path></spawn>",
                          "<spawn><param>x</param></spawn>"}) {
    LogCapture log;
    TRQSpawnAction action;
    bool thrown = false;
    try {
      action.configure(parseElement(xml));
    } catch (const TRQBadConfigException &e) {
      thrown = true;
      EXPECT_STREQ(e.getMessage(), "TRQSpawnAction required attribute \"path\" is missing");
    }
    EXPECT_TRUE(thrown) << xml;
    EXPECT_EQ(log.count("FATAL", "TRQSpawnAction", "required attribute \"path\" is missing"), 1) << xml;
  }
}

TEST_F(SpawnActionTest, QuoteAsParamQuotesOnlyTheFirstEntry) {
  TRQSpawnAction action;
  action.configure(parseElement("<spawn><path quoteAsParam=\"true\">/dir with blanks/prog</path>"
                                "<param>x</param></spawn>"));
  EXPECT_EQ(action.getPath(), "/dir with blanks/prog");
  EXPECT_EQ(argsOf(action), (std::vector<std::string>{"\"/dir with blanks/prog\"", "x", "<null>"}));
  TRQSpawnAction other;
  other.configure(parseElement("<spawn><path quoteAsParam=\"TRUE\">/p</path></spawn>"));
  EXPECT_EQ(argsOf(other), (std::vector<std::string>{"/p", "<null>"}));
}

TEST_F(SpawnActionTest, DescribeWritesOneLiteralMessage) {
  LogCapture log;
  TRQSpawnAction action;
  action.configure(parseElement("<spawn><path quoteAsParam=\"true\">/a b/%s%d</path><param>-x</param>"
                                "<param condName=\"a\" condValue=\"b\">-no</param><param/></spawn>"));
  action.describe(TRQLogLevel::Info);
  std::vector<actiontest::LogEntry> entries = log.entries("TRQSpawnAction");
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ(entries.back().level, "INFO");
  EXPECT_EQ(entries.back().message, description("/a b/%s%d", {"\"/a b/%s%d\"", "-x", ""}));
}

//===--- Launching --------------------------------------------------------===//

TEST_F(SpawnActionTest, TheChildGetsItsArgumentsEnvironmentAndDirectory) {
  TRQPropertyInserter::getInstance()->addProperty("act_word", "substituted");
  setEnvironment("TSL_ACT_SET", "some value");
  setEnvironment("TSL_ACT_UNSET", nullptr);
  TempDir work("tslactcwd");
  fs::path previous = fs::current_path();
  fs::current_path(work.path());

  TRQSpawnAction action;
  action.configure(parseElement(spawnXml(testChildPath(),
                                         {oneWord("--record=" + record), "plain", "${act_word}", "--env=TSL_ACT_SET",
                                          "--env=TSL_ACT_UNSET", "--exit=0"},
                                         " sync=\"1\"")));
  int64_t result = action.execute();
  fs::current_path(previous);

  EXPECT_EQ(result, -1);
  EXPECT_EQ(action.getExitCode(), 0);
  auto values = readRecord(record);
  ASSERT_FALSE(values.empty());
  EXPECT_EQ(values["argc"], "6");
  EXPECT_EQ(values["arg1"], "--record=" + record);
  EXPECT_EQ(values["arg2"], "plain");
  EXPECT_EQ(values["arg3"], "substituted");
  EXPECT_EQ(values["arg6"], "--exit=0");
  EXPECT_EQ(values["env.TSL_ACT_SET"], "some value");
  EXPECT_EQ(values["env.TSL_ACT_UNSET"], "<unset>");
  std::error_code ec;
  EXPECT_TRUE(fs::equivalent(values["cwd"], work.path(), ec)) << values["cwd"];
#ifndef _WIN32
  EXPECT_EQ(values["pgid"], values["pid"]);
  EXPECT_NE(values["pgid"], std::to_string(getpgrp()));
#endif
  setEnvironment("TSL_ACT_SET", nullptr);
}

TEST_F(SpawnActionTest, BlanksInArgumentsFollowEachSystemsRules) {
  TRQSpawnAction action;
  action.configure(parseElement(spawnXml(
      testChildPath(), {oneWord("--record=" + record), "two words", "\"quoted words\"", "--exit=0"}, " sync=\"1\"")));
  action.execute();
  auto values = readRecord(record);
  ASSERT_FALSE(values.empty());
#ifdef _WIN32
  // One command line, split again by the child.
  EXPECT_EQ(values["argc"], "5");
  EXPECT_EQ(values["arg2"], "two");
  EXPECT_EQ(values["arg3"], "words");
  EXPECT_EQ(values["arg4"], "quoted words");
#else
  // The argument vector itself: every entry is one argument, quotes included.
  EXPECT_EQ(values["argc"], "4");
  EXPECT_EQ(values["arg2"], "two words");
  EXPECT_EQ(values["arg3"], "\"quoted words\"");
#endif
}

TEST_F(SpawnActionTest, AQuotedPathWithBlanksStartsTheProgram) {
  fs::path folder = dir.path() / "dir with blanks";
  fs::create_directories(folder);
  fs::path copy = folder / testsupport::exeName("trq child");
  fs::copy_file(testChildPath(), copy);
  fs::permissions(copy, fs::perms::owner_exec | fs::perms::owner_read, fs::perm_options::add);

  LogCapture log;
  TRQSpawnAction action;
  action.configure(parseElement(spawnXml(copy.string(), {oneWord("--record=" + record), "--exit=0"}, " sync=\"1\"",
                                         " quoteAsParam=\"true\"")));
  EXPECT_EQ(action.getArgs()[0], "\"" + copy.string() + "\"");
  EXPECT_EQ(action.execute(), -1);
  EXPECT_EQ(action.getExitCode(), 0);

  // The description shows the quoted entry; the command line begins with the
  // path as it is.
  EXPECT_EQ(log.find("TRQSpawnAction", "Spawning child process:"),
            description(copy.string(), {"\"" + copy.string() + "\"", oneWord("--record=" + record), "--exit=0"}));
  EXPECT_EQ(log.find("TRQSpawnAction", "cmdLineWithParams = "),
            "cmdLineWithParams = " + copy.string() + " " + oneWord("--record=" + record) + " --exit=0");

  auto values = readRecord(record);
  ASSERT_FALSE(values.empty());
#ifdef _WIN32
  // The child splits its own unquoted path into words before the arguments.
  int argc = std::atoi(values["argc"].c_str());
  ASSERT_GE(argc, 2);
  EXPECT_EQ(values["arg" + std::to_string(argc - 1)], "--record=" + record);
  EXPECT_EQ(values["arg" + std::to_string(argc)], "--exit=0");
#else
  EXPECT_EQ(values["argc"], "2");
  EXPECT_EQ(values["arg1"], "--record=" + record);
  EXPECT_EQ(values["arg2"], "--exit=0");
#endif
}

TEST_F(SpawnActionTest, ASynchronousRunKeepsTheExitCode) {
  LogCapture log;
  TRQSpawnAction action;
  action.configure(parseElement(spawnXml(testChildPath(), {"--exit=7", "--after=50"}, " sync=\"1\" wait_time=\"0\"")));
  EXPECT_EQ(action.execute(), -1);
  EXPECT_EQ(action.getExitCode(), 7);
  EXPECT_EQ(action.getProcessHandle(), -1);
  EXPECT_EQ(log.count("DEBUG", "TRQSpawnAction", "Child process terminated with exitCode = 7\n"), 1);
  EXPECT_EQ(log.find("TRQSpawnAction", "Started child process"), "");
  EXPECT_EQ(log.find("TRQSpawnAction", "CloseHandle"), "");

  // The delay comes after the process has ended.
  std::vector<actiontest::LogEntry> entries = log.entries();
  ASSERT_GE(entries.size(), 2u);
  EXPECT_EQ(entries[entries.size() - 2].message, "Child process terminated with exitCode = 7\n");
  EXPECT_EQ(entries.back().logger, "TRQAction");
  EXPECT_EQ(entries.back().message, "delay for 0 ms.");

  // Running it again starts it again.
  EXPECT_EQ(action.execute(), -1);
  EXPECT_EQ(log.count("DEBUG", "TRQAction", "delay for 0 ms."), 2);
}

TEST_F(SpawnActionTest, TheLaunchLogsItsSteps) {
  LogCapture log;
  TRQSpawnAction action;
  std::string path = testChildPath();
  action.configure(parseElement(spawnXml(path, {"--exit=3"}, " sync=\"1\"")));
  EXPECT_EQ(action.execute(), -1);
  std::vector<std::string> messages;
  for (const auto &entry : log.entries("TRQSpawnAction"))
    messages.push_back(entry.level + " " + entry.message);
  EXPECT_EQ(messages, (std::vector<std::string>{"DEBUG preparing", "DEBUG sync is 1",
                                                "DEBUG " + description(path, {path, "--exit=3"}),
                                                "DEBUG cmdLineWithParams = " + path + " --exit=3",
                                                "DEBUG Child process terminated with exitCode = 3\n"}));
}

TEST_F(SpawnActionTest, SyncTrueIsAsynchronous) {
  LogCapture log;
  TRQSpawnAction action;
  action.configure(
      parseElement(spawnXml(testChildPath(), {oneWord("--record=" + record), "--stay"}, " sync=\"true\"")));
  int64_t handle = action.execute();
  ProcessGuard guard(handle);
  ASSERT_GT(handle, 0);
  EXPECT_EQ(action.getProcessHandle(), handle);

  auto values = readRecord(record);
  ASSERT_FALSE(values.empty());
  int pid = platform::processId(handle);
  EXPECT_EQ(values["pid"], std::to_string(pid));
  EXPECT_EQ(log.count("DEBUG", "TRQSpawnAction", "Started child process, pid = " + std::to_string(pid) + "\n"), 1);

  uint32_t code = 0;
  ASSERT_TRUE(platform::exitCode(handle, code));
  EXPECT_EQ(code, platform::StillActive);

  ASSERT_TRUE(platform::terminateProcess(handle, 5));
  ASSERT_TRUE(platform::waitForExit(handle));
  ASSERT_TRUE(platform::exitCode(handle, code));
#ifdef _WIN32
  EXPECT_EQ(code, 5u);
#else
  EXPECT_EQ(code, 128u + SIGKILL);
#endif
  action.closeProcessHandle();
  guard.release();
  EXPECT_EQ(action.getProcessHandle(), -1);
  EXPECT_EQ(log.find("TRQSpawnAction", "CloseHandle"), "");
}

TEST_F(SpawnActionTest, TerminationAlsoEndsAGrandchild) {
  std::string grandchildRecord = dir.file("grandchild.txt");
  TRQSpawnAction action;
  action.configure(parseElement(spawnXml(testChildPath(), {oneWord("--record=" + record),
                                                           oneWord("--grandchild=" + grandchildRecord), "--stay"})));
  int64_t handle = action.execute();
  ProcessGuard guard(handle);
  ASSERT_GT(handle, 0);
  auto child = readRecord(record);
  auto grandchild = readRecord(grandchildRecord);
  ASSERT_FALSE(grandchild.empty());
  int grandchildPid = std::atoi(grandchild["pid"].c_str());
  ASSERT_GT(grandchildPid, 0);
  EXPECT_FALSE(processGone(grandchildPid));
#ifndef _WIN32
  EXPECT_EQ(grandchild["pgid"], child["pid"]);
#endif

  ASSERT_TRUE(platform::terminateProcess(handle, 0));
  EXPECT_TRUE(platform::waitForExit(handle));
  EXPECT_TRUE(testsupport::waitUntil([&] { return processGone(grandchildPid); })) << grandchildPid;
  killLeftover(grandchildPid);
  action.closeProcessHandle();
  guard.release();
}

TEST_F(SpawnActionTest, AChildMayStartAProgramOutsideItsJob) {
  std::string grandchildRecord = dir.file("grandchild.txt");
  TRQSpawnAction action;
  action.configure(parseElement(spawnXml(testChildPath(), {oneWord("--record=" + record),
                                                           oneWord("--grandchild=" + grandchildRecord),
                                                           "--breakaway", "--stay"})));
  int64_t handle = action.execute();
  ProcessGuard guard(handle);
  ASSERT_GT(handle, 0);
  // The grandchild only exists when its parent was allowed to leave the job.
  auto grandchild = readRecord(grandchildRecord);
  ASSERT_FALSE(grandchild.empty());
  killLeftover(std::atoi(grandchild["pid"].c_str()));
}

TEST_F(SpawnActionTest, ASynchronousRunThatOutlivesItsLimitOrIsCancelledIsEndedWithWhatItStarted) {
  std::string grandchildRecord = dir.file("grandchild.txt");
  // The limit, then a cancel from another thread (a stop of the service)
  // while a run without limit waits.
  for (bool byCancel : {false, true}) {
    LogCapture log;
    std::filesystem::remove(record);
    std::filesystem::remove(grandchildRecord);
    TRQSpawnAction action;
    action.configure(parseElement(spawnXml(testChildPath(),
                                           {oneWord("--record=" + record), oneWord("--grandchild=" + grandchildRecord),
                                            "--stay"},
                                           " sync=\"1\"")));
    std::future<void> canceller;
    if (byCancel)
      canceller = std::async(std::launch::async, [&] {
        readRecord(grandchildRecord);
        action.cancel();
      });
    else
      action.setSyncWaitLimitMs(1000);
    EXPECT_EQ(action.execute(), -1);
    EXPECT_EQ(action.getExitCode(), -1);
    EXPECT_EQ(action.getProcessHandle(), -1);
    EXPECT_TRUE(action.getLastLaunchStarted());
    EXPECT_EQ(log.find("TRQSpawnAction", testChildPath() + " "),
              testChildPath() + (byCancel ? " has not ended and the service is stopping, ending it by force"
                                          : " did not end within 1000 ms, ending it by force"));
    int pid = std::atoi(readRecord(record)["pid"].c_str());
    int grandchildPid = std::atoi(readRecord(grandchildRecord)["pid"].c_str());
    EXPECT_TRUE(processGone(pid));
    EXPECT_TRUE(testsupport::waitUntil([&] { return processGone(grandchildPid); })) << grandchildPid;
    killLeftover(grandchildPid);
  }
}

TEST_F(SpawnActionTest, ACommandLineAsLongAsTheSystemAllowsStarts) {
  std::string path = testChildPath();
  std::string recordArg = oneWord("--record=" + record);
  std::string base = path + " " + recordArg + " --exit=0";
  // Exactly the capacity, then one character more: the first starts whole,
  // the second without its last argument.
  for (std::size_t extra : {0u, 1u}) {
    std::string filler(TRQSpawnAction::CommandLineCapacity - base.size() - 1 + extra, 'f');
    std::filesystem::remove(record);
    TRQSpawnAction action;
    action.configure(parseElement(spawnXml(path, {recordArg, "--exit=0", filler}, " sync=\"1\"")));
    EXPECT_EQ(action.execute(), -1);
    EXPECT_TRUE(action.getLastLaunchStarted()) << extra;
    auto values = readRecord(record);
    ASSERT_FALSE(values.empty()) << extra;
    EXPECT_EQ(values["argc"], extra == 0 ? "3" : "2");
  }
}

TEST_F(SpawnActionTest, AMissingProgramFailsWithErrorTwo) {
  for (std::string path : {(dir.path() / testsupport::exeName("no such program")).string(),
                           std::string("tsl-no-such-program-anywhere")}) {
    LogCapture log;
    TRQSpawnAction action;
    action.configure(parseElement(spawnXml(path, {"-a"})));
    EXPECT_EQ(action.execute(), -1) << path;
    EXPECT_EQ(action.getProcessHandle(), -1);
    std::vector<std::string> messages;
    for (const auto &entry : log.entries("TRQSpawnAction"))
      if (entry.level != "DEBUG")
        messages.push_back(entry.level + " " + entry.message);
    EXPECT_EQ(messages, (std::vector<std::string>{"FATAL CreateProcess failed, errno=2", "ERROR spawn failed, errno: 2",
                                                  "ERROR " + description(path, {path, "-a"})}))
        << path;
  }
}

TEST_F(SpawnActionTest, ALongCommandLineIsCutAtAnArgumentBoundary) {
  LogCapture log;
  std::string path = testChildPath();
  std::string recordArg = oneWord("--record=" + record);
  std::string base = path + " " + recordArg + " --exit=0";
  // A first filler sized so that the command line that fits ends at 32700
  // characters, below what every system accepts; the next big argument does
  // not fit, and neither does anything after it, small or not.
  const size_t target = 32700;
  const size_t bigSize = 1000;
  const size_t bigCount = 30;
  ASSERT_LT(base.size() + bigCount * (bigSize + 1) + 2, target);
  size_t padSize = target - base.size() - bigCount * (bigSize + 1) - 1;
  std::vector<std::string> params{recordArg, "--exit=0", std::string(padSize, 'p')};
  for (size_t i = 0; i < bigCount; ++i)
    params.push_back(std::string(bigSize, static_cast<char>('a' + i % 26)));
  params.push_back(std::string(bigSize, 'z')); // does not fit
  params.push_back("tail");                    // would fit, but comes after
  std::string expected = base + " " + params[2];
  for (size_t i = 0; i < bigCount; ++i)
    expected += " " + params[3 + i];
  ASSERT_EQ(expected.size(), target);
  ASSERT_GT(expected.size() + 1 + bigSize, TRQSpawnAction::CommandLineCapacity);

  TRQSpawnAction action;
  action.configure(parseElement(spawnXml(path, params, " sync=\"1\"")));
  EXPECT_EQ(action.execute(), -1);
  EXPECT_EQ(action.getExitCode(), 0);
  EXPECT_EQ(log.find("TRQSpawnAction", "cmdLineWithParams = "), "cmdLineWithParams = " + expected);
  auto values = readRecord(record);
  ASSERT_FALSE(values.empty());
  EXPECT_EQ(values["argc"], std::to_string(3 + bigCount));
  EXPECT_EQ(values["arg" + std::to_string(3 + bigCount)], params[2 + bigCount]);
}

TEST_F(SpawnActionTest, ARejectedParamLeavesNoTrailingBlank) {
  LogCapture log;
  std::string path = testChildPath();
  TRQSpawnAction action;
  action.configure(parseElement("<spawn sync=\"1\"><path>" + xmlEscape(path) +
                                "</path><param>--exit=0</param><param condName=\"a\" condValue=\"b\">x</param></spawn>"));
  action.execute();
  EXPECT_EQ(log.find("TRQSpawnAction", "cmdLineWithParams = "), "cmdLineWithParams = " + path + " --exit=0");
}

#ifndef _WIN32
TEST_F(SpawnActionTest, TheChildInheritsNoDescriptorNoBlockedAndNoIgnoredSignal) {
  LogCapture log; // an open log file of the service
  int leaky = ::open("/dev/null", O_RDONLY); // opened without close-on-exec
  ASSERT_GE(leaky, 3);
  sigset_t block, previousMask;
  sigemptyset(&block);
  sigaddset(&block, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &block, &previousMask);
  struct sigaction ignore {}, previousAction{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGUSR2, &ignore, &previousAction);

  TRQSpawnAction action;
  action.configure(parseElement(spawnXml(testChildPath(), {"--record=" + record, "--exit=0"}, " sync=\"1\"")));
  action.execute();

  sigaction(SIGUSR2, &previousAction, nullptr);
  pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
  ::close(leaky);

  auto values = readRecord(record);
  ASSERT_FALSE(values.empty());
  std::string standard;
  for (int fd = 0; fd <= 2; ++fd)
    if (fcntl(fd, F_GETFD) != -1)
      standard += (standard.empty() ? "" : ",") + std::to_string(fd);
  EXPECT_EQ(values["fds"], standard);
  EXPECT_EQ(std::strtoull(values["sigmask"].c_str(), nullptr, 16), 0u) << values["sigmask"];
  EXPECT_EQ(std::strtoull(values["sigignored"].c_str(), nullptr, 16), 0u) << values["sigignored"];
}
#endif
