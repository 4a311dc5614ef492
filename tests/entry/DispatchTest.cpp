//===- DispatchTest.cpp - The dispatcher and the console control handler --===//
#include "LogTestSupport.h"
#include "TestProcess.h"
#include "TestSupport.h"
#include "config/TRQPropertyInserter.h"
#include "entry/TRQCmdLine.h"
#include "entry/TRQMain.h"
#include "processexit.h"
#include "service/TRQBootstrapService.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace {

using logtest::factory;

TRQPropertyInserter *properties() { return TRQPropertyInserter::getInstance(); }

std::string property(const char *name) {
  const char *value = properties()->getProperty(name);
  return value ? value : "<absent>";
}

class DispatchTest : public logtest::LoggingTest {};

TEST_F(DispatchTest, EmptyCommandLineIsLeftToTheServiceManager) {
  TRQBootstrapService service;
  TRQCmdLine cmdLine("");
  EXPECT_EQ(TRQMain::dispatch(service, cmdLine), 0);
  TRQCmdLine none(static_cast<const char *>(nullptr));
  EXPECT_EQ(TRQMain::dispatch(service, none), 0);
}

TEST_F(DispatchTest, CommandLineValuesBecomeProperties) {
  TRQBootstrapService service;
  TRQCmdLine cmdLine("-serviceClass=DispatchClass -java_home=/opt/jre -config=/tmp/mine.xml -unknownCommand");
  EXPECT_EQ(TRQMain::dispatch(service, cmdLine), 1);
  EXPECT_EQ(property("serviceClass"), "DispatchClass");
  EXPECT_EQ(property("java_home"), "/opt/jre");
  EXPECT_EQ(property("configfile"), "/tmp/mine.xml");
  EXPECT_EQ(property("platform"), rklPlatformName());
}

TEST_F(DispatchTest, PlatformGivenAsPropertyOptionIsKept) {
  TRQBootstrapService service;
  TRQCmdLine first("$$platform=sparc64 -x");
  TRQMain::dispatch(service, first);
  EXPECT_EQ(property("platform"), "sparc64");
  TRQCmdLine second("-x");
  TRQMain::dispatch(service, second);
  EXPECT_EQ(property("platform"), "sparc64");
}

TEST_F(DispatchTest, PropertyOptionsWithAndWithoutValues) {
  TRQBootstrapService service;
  TRQCmdLine cmdLine("$$dispatchTestMemory=1024 $$dispatchTestNoValue $$dispatchTestEmpty= -x");
  TRQMain::dispatch(service, cmdLine);
  EXPECT_EQ(property("dispatchTestMemory"), "1024");
  EXPECT_EQ(property("dispatchTestNoValue"), "<absent>");
  EXPECT_EQ(property("dispatchTestEmpty"), "");
}

TEST_F(DispatchTest, PropertyOptionsRecomputeTheMemoryFractions) {
  TRQBootstrapService service;
  TRQCmdLine withValue("$$dispatcherMaxMemory=1000 -x");
  TRQMain::dispatch(service, withValue);
  EXPECT_EQ(property("dispatcherMaxMemoryBy2"), "500");
  EXPECT_EQ(property("dispatcherMaxMemoryBy3"), "333");
  EXPECT_EQ(property("dispatcherMaxMemoryBy4"), "250");
  // An option without a value sets nothing, so nothing is recomputed.
  properties()->addProperty("dispatcherMaxMemory", "7");
  TRQCmdLine withoutValue("$$dispatcherMaxMemory -x");
  TRQMain::dispatch(service, withoutValue);
  EXPECT_EQ(property("dispatcherMaxMemoryBy2"), "500");
  TRQCmdLine other("$$dispatchTestOther=1 -x");
  TRQMain::dispatch(service, other);
  EXPECT_EQ(property("dispatcherMaxMemoryBy2"), "3");
  EXPECT_EQ(property("dispatcherMaxMemoryBy3"), "2");
  EXPECT_EQ(property("dispatcherMaxMemoryBy4"), "1");
}

TEST_F(DispatchTest, DollarOptionAloneSetsThePropertyWithTheEmptyName) {
  TRQBootstrapService service;
  TRQCmdLine cmdLine("$$=nameless -x");
  TRQMain::dispatch(service, cmdLine);
  EXPECT_EQ(property(""), "nameless");
}

TEST_F(DispatchTest, OverlongPropertyNameIsRefusedWithAnError) {
  std::string log = file("dispatch.log");
  factory()->addFile(log.c_str(), 0);
  TRQBootstrapService service;
  std::string name(1024, 'p');
  std::string fits(1023, 'q');
  TRQCmdLine cmdLine(("$$" + name + "=1 $$" + fits + "=2 -x").c_str());
  TRQMain::dispatch(service, cmdLine);
  EXPECT_EQ(properties()->getProperty(name.c_str()), nullptr);
  EXPECT_EQ(property(fits.c_str()), "2");
  std::string text = logtest::readLog(log);
  EXPECT_NE(text.find("ERROR t["), std::string::npos);
  EXPECT_NE(text.find("TRQBootstrapService property option \"$$" + std::string(40, 'p') +
                      "...\" ignored: its name is longer than 1023 characters."),
            std::string::npos)
      << text;
}

TEST_F(DispatchTest, StdoutLogAddsTheStreamAndSetsTheLevelByName) {
  TRQBootstrapService service;
  factory()->setLevel(TRQLogLevel::Fatal);
  TRQCmdLine warn("-stdoutLog=warn -x");
  TRQMain::dispatch(service, warn);
  EXPECT_EQ(factory()->getLevel(), TRQLogLevel::Warn);
  factory()->closeAll();

  TRQCmdLine empty("-stdoutLog= -x");
  TRQMain::dispatch(service, empty);
  EXPECT_EQ(factory()->getLevel(), TRQLogLevel::Info);
  factory()->closeAll();

  TRQCmdLine unknown("-stdoutLog=LOUD -x");
  TRQMain::dispatch(service, unknown);
  EXPECT_EQ(factory()->getLevel(), TRQLogLevel::Debug);
  factory()->closeAll();

  // Without a value the option changes nothing.
  TRQCmdLine bare("-stdoutLog -x");
  TRQMain::dispatch(service, bare);
  EXPECT_EQ(factory()->getLevel(), TRQLogLevel::Fatal);
}

TEST_F(DispatchTest, DaemonFlavourAcceptsItsCommandsAndTakesTheInstallRoot) {
  TRQBootstrapService service;
  TRQCmdLine stop("-fakeUnix -stop");
  EXPECT_EQ(TRQMain::handleUnixCommand(service, stop), 1);
  EXPECT_EQ(TRQMain::dispatch(service, stop), 1);
  EXPECT_EQ(service.getExitCode(), 0u);

  TRQCmdLine root("-fakeUnix -install_root=/srv/tessel");
  EXPECT_EQ(TRQMain::handleUnixCommand(service, root), 0);
  EXPECT_EQ(service.getInstallPath(), "/srv/tessel");
  EXPECT_EQ(service.getBinPath(), "/srv/tessel/bin");
}

//===----------------------------------------------------------------------===//
// The console control handler
//===----------------------------------------------------------------------===//

class StopCounter : public TRQNTService {
public:
  StopCounter() : TRQNTService("counter") {}
  void OnStop() override { ++stops; }
  int stops = 0;
};

struct ExitRequested {
  int code;
};

void throwingExit(int code) { throw ExitRequested{code}; }

class ConsoleControlTest : public ::testing::Test {
protected:
  void SetUp() override {
    TRQMain::resetControlEventCounter();
    TRQMain::setExitFunction(&throwingExit);
  }
  void TearDown() override {
    TRQMain::setExitFunction(nullptr);
    TRQMain::resetControlEventCounter();
  }
};

TEST_F(ConsoleControlTest, FirstAndSecondEventStopTheThirdEndsTheProcess) {
  StopCounter service;
  EXPECT_EQ(TRQMain::consoleControlHandler(0), 1);
  EXPECT_EQ(service.stops, 1);
  EXPECT_EQ(TRQMain::consoleControlHandler(2), 1);
  EXPECT_EQ(service.stops, 2);
  try {
    TRQMain::consoleControlHandler(0);
    FAIL() << "the third event did not end the process";
  } catch (const ExitRequested &exit) {
    EXPECT_EQ(exit.code, 0);
  }
  EXPECT_EQ(service.stops, 2);
}

TEST_F(ConsoleControlTest, OtherEventsArePassedOn) {
  StopCounter service;
  for (unsigned type : {1u, 5u, 6u, 3u})
    EXPECT_EQ(TRQMain::consoleControlHandler(type), 0) << type;
  EXPECT_EQ(service.stops, 0);
  // They do not count toward the third event either.
  EXPECT_EQ(TRQMain::consoleControlHandler(0), 1);
  EXPECT_EQ(TRQMain::consoleControlHandler(0), 1);
  EXPECT_EQ(service.stops, 2);
}

} // namespace

namespace {

// A service whose stop waits for the test's word, and which notes whether
// its stop had finished when its destruction went past retire().
class SlowStop : public TRQNTService {
public:
  SlowStop() : TRQNTService("slow") {}
  ~SlowStop() override {
    retire();
    stopFinishedBeforeDestruction = stopFinished.load();
  }
  void OnStop() override {
    entered.post();
    go.wait();
    stopFinished = true;
  }
  RKLThreadSemaphore entered{0}, go{0};
  std::atomic<bool> stopFinished{false};
  static std::atomic<bool> stopFinishedBeforeDestruction;
};
std::atomic<bool> SlowStop::stopFinishedBeforeDestruction{false};

class HandlerCall : public RKLRunnable {
public:
  void run() override { result = TRQMain::consoleControlHandler(0); }
  std::atomic<int> result{-1};
};

class Destruction : public RKLRunnable {
public:
  explicit Destruction(SlowStop *service) : m_service(service) {}
  void run() override { delete m_service; }

private:
  SlowStop *m_service;
};

TEST_F(ConsoleControlTest, ServiceIsNotDestroyedWhileItsStopRuns) {
  auto *service = new SlowStop();
  HandlerCall call;
  RKLThread handler(&call, 0);
  handler.start();
  ASSERT_EQ(service->entered.timedWait(10000), 1);

  Destruction destruction(service);
  RKLThread destroyer(&destruction, 0);
  destroyer.start();
  // Give a destruction that does not wait every chance to run ahead.
  RKLThread::sleep(200);
  service->go.post();
  destroyer.join();
  handler.join();
  EXPECT_TRUE(SlowStop::stopFinishedBeforeDestruction);
  EXPECT_EQ(call.result, 1);
  EXPECT_EQ(TRQNTService::getService(), nullptr);
  EXPECT_EQ(TRQNTService::stopService(), 0);
}

} // namespace

namespace {

/// Runs the DISABLED_ case `name` of ConsoleControlIsolated in a process of
/// its own; its exit code, or -1 when it did not end within `timeout`.
int runIsolated(const std::string &name, std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
  testsupport::TempDir dir{"tsliso"};
  return testsupport::runProgram({(testsupport::binDir() / testsupport::exeName("tests_entry")).string(),
                                  "--gtest_also_run_disabled_tests",
                                  "--gtest_filter=ConsoleControlIsolated.DISABLED_" + name,
                                  "--gtest_output=xml:" + dir.file("isolated.xml")},
                                 dir.path(), timeout);
}

constexpr int ThirdEventReturned = 99;

TEST(ConsoleControl, TheThirdEventEndsTheProcessWhileAWriterIsStuckOnAFullPipe) {
  EXPECT_EQ(runIsolated("TheThirdEventEndsTheProcessWhileAWriterIsStuckOnAFullPipe"), 0);
}

// Standard output becomes a pipe that nobody reads; a thread writes to it
// until the pipe is full and the thread is stuck in the write, holding the
// stream's lock. The third control event must end the process all the same.
TEST(ConsoleControlIsolated, DISABLED_TheThirdEventEndsTheProcessWhileAWriterIsStuckOnAFullPipe) {
  int fds[2];
#ifdef _WIN32
  ASSERT_EQ(_pipe(fds, 4096, _O_BINARY | _O_NOINHERIT), 0);
  std::fflush(stdout);
  ASSERT_EQ(_dup2(fds[1], 1), 0);
#else
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  std::fflush(stdout);
  ASSERT_EQ(dup2(fds[1], STDOUT_FILENO), STDOUT_FILENO);
#endif
  static std::atomic<long> lines{0};
#ifndef _WIN32
  static std::atomic<long> writerThread{0};
#endif
  std::thread([] {
#ifndef _WIN32
    writerThread.store(static_cast<long>(syscall(SYS_gettid)));
#endif
    const std::string line(200, 'x');
    for (;;) {
      std::fputs(line.c_str(), stdout);
      std::fputc('\n', stdout);
      lines.fetch_add(1);
    }
  }).detach();
  // Stuck: on Linux the kernel says where the thread sleeps; elsewhere its
  // count of lines no longer moves.
  auto stuck = [] {
#ifndef _WIN32
    long tid = writerThread.load();
    return tid != 0 && testsupport::readFile("/proc/self/task/" + std::to_string(tid) + "/wchan").find("pipe_write") !=
                           std::string::npos;
#else
    long before = lines.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return before > 0 && lines.load() == before;
#endif
  };
  if (!testsupport::waitUntil(stuck, std::chrono::seconds(30)))
    platform::endProcessNow(2);
  TRQMain::setExitFunction(nullptr);
  TRQMain::resetControlEventCounter();
  TRQMain::consoleControlHandler(0);
  TRQMain::consoleControlHandler(0);
  TRQMain::consoleControlHandler(0);
  // Nothing can be reported through the stuck output.
  platform::endProcessNow(ThirdEventReturned);
}

} // namespace
