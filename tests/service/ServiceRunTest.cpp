//===- ServiceRunTest.cpp - The whole bootstrap in the console (-d) -------===//
//
// Runs the built service with -d in temporary installation trees whose bin
// folder holds copies of the service, the security library and the test
// child, and checks what a person at the console would see: children
// started in order, the readiness report, the process-id file, and the stop
// sequence on Ctrl-C (SIGINT).
//
//===----------------------------------------------------------------------===//
#include "LogTestSupport.h"
#include "TestProcess.h"
#include "TestSupport.h"
#include "TlsTestSupport.h"
#include "rklcore.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testsupport::binDir;
using testsupport::exeName;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::TestProcess;
using testsupport::waitUntil;
using testsupport::writeFile;

namespace {

/// A port that nothing listens on right now: the test child takes a free one
/// and gives it back.
int freePort() {
  TempDir dir("tslport");
  std::string portFile = dir.file("port");
  TestProcess child({(binDir() / exeName("trqtestchild")).string(), "--listen=0", "--port-file=" + portFile},
                    dir.path());
  if (!waitUntil([&] { return !readFile(portFile).empty(); }, 20s))
    return 0;
  int port = std::stoi(readFile(portFile));
  child.kill();
  return port;
}

bool processAlive(int pid) {
#ifdef _WIN32
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
  if (!process)
    return false;
  DWORD code = 0;
  bool alive = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
  CloseHandle(process);
  return alive;
#else
  if (kill(pid, 0) != 0)
    return errno != ESRCH;
  // A zombie waiting for its parent has ended all the same.
  std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  size_t close = stat.rfind(')');
  return close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] != 'Z';
#endif
}

void killProcess(int pid) {
#ifdef _WIN32
  if (HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(pid))) {
    TerminateProcess(process, 1);
    CloseHandle(process);
  }
#else
  kill(pid, SIGKILL);
#endif
}

/// One installation tree with the built programs in its bin folder.
class Installation {
public:
  Installation() {
    for (const char *folder : {"bin", "logs", "temp", "configuration"})
      fs::create_directories(m_root.path() / folder);
    for (const std::string &name :
         {exeName("tslbootstrapservice"), exeName("trqtestchild"),
          std::string("JOV_Crypto_Interface") + (testsupport::isWindows() ? ".dll" : ".so")})
      fs::copy_file(binDir() / name, bin() / name, fs::copy_options::overwrite_existing);
  }
  ~Installation() {
    for (int pid : m_childPids)
      if (processAlive(pid))
        killProcess(pid);
  }

  fs::path root() const { return m_root.path(); }
  fs::path bin() const { return m_root.path() / "bin"; }
  fs::path logs() const { return m_root.path() / "logs"; }
  std::string service() const { return (bin() / exeName("tslbootstrapservice")).string(); }
  std::string child() const { return (bin() / exeName("trqtestchild")).string(); }

  /// Writes a bootstrap file into the bin folder and gives its path.
  std::string bootstrap(const std::string &name, const std::string &xml) const {
    writeFile(bin() / name, xml);
    return (bin() / name).string();
  }

  /// Starts the service with `args` in the bin folder.
  std::unique_ptr<TestProcess> start(std::vector<std::string> args) {
    args.insert(args.begin(), service());
    return std::make_unique<TestProcess>(args, bin());
  }

  /// The initial log file (DEBUG with -stdoutLog=DEBUG), "\r\n" made "\n".
  std::string log(const std::string &file = "trq_init.log") const {
    return logtest::readLog((logs() / file).string());
  }
  bool logHas(const std::string &text, const std::string &file = "trq_init.log") const {
    return log(file).find(text) != std::string::npos;
  }
  bool waitForLog(const std::string &text, std::chrono::milliseconds timeout = 60s,
                  const std::string &file = "trq_init.log") const {
    return waitUntil([&] { return logHas(text, file); }, timeout);
  }

  /// The record the test child wrote; its pid is remembered for clean-up.
  std::string record(const std::string &name) {
    std::string text = readFile(root() / (name + ".record"));
    std::smatch match;
    if (std::regex_search(text, match, std::regex("pid=([0-9]+)")))
      m_childPids.push_back(std::stoi(match[1]));
    return text;
  }
  int childPid(const std::string &name) {
    std::smatch match;
    std::string text = record(name);
    return std::regex_search(text, match, std::regex("pid=([0-9]+)")) ? std::stoi(match[1]) : 0;
  }
  /// Waits for the child's record; its pid is then remembered for clean-up.
  bool waitForRecord(const std::string &name, std::chrono::milliseconds timeout = 30s) {
    if (!waitUntil([&] { return fs::exists(root() / (name + ".record")); }, timeout))
      return false;
    record(name);
    return true;
  }

  /// A <process> element running the test child as a server on `port`,
  /// answering PING with `reply`, recording itself as `name`.
  std::string process(const std::string &name, int port, const std::string &stop,
                      const std::vector<std::string> &extra = {}, const std::string &reply = "READY") const {
    std::string params;
    for (const std::string &option :
         {"--listen=" + std::to_string(port), std::string("--command=PING"), "--reply=" + reply,
          "--record=" + (root() / (name + ".record")).string(), "--log=" + (root() / (name + ".events")).string()})
      params += "        <param>" + option + "</param>\n";
    for (const std::string &option : extra)
      params += "        <param>" + option + "</param>\n";
    return "  <process name=\"" + name + "\">\n    <start>\n      <spawn>\n        <path>" + child() + "</path>\n" +
           params + "      </spawn>\n    </start>\n" + stop +
           "    <ping>\n      <socketSend URI=\"tcp://127.0.0.1:" + std::to_string(port) +
           "\" commandString=\"PING\" sockIOTimeoutSec=\"5\" responseSize=\"32\" responseOK=\"READY\" "
           "responseFatal=\"FATAL\" responseRetry=\"busy\"/>\n    </ping>\n  </process>\n";
  }

  std::string socketStop(int port) const {
    return "    <stop type=\"socketSend\">\n      <socketSend URI=\"tcp://127.0.0.1:" + std::to_string(port) +
           "\" commandString=\"SHUTDOWN\" sockIOTimeoutSec=\"5\"/>\n    </stop>\n";
  }

  std::string daemonSpawn() const {
    return "  <daemonSpawn>\n    <path>" + child() + "</path>\n    <param>--exit=0</param>\n  </daemonSpawn>\n";
  }

private:
  TempDir m_root{"tslinstall"};
  std::vector<int> m_childPids;
};

void interrupt(TestProcess &process) {
#ifdef _WIN32
  (void)process;
#else
  kill(process.pid(), SIGINT);
#endif
}

#ifdef _WIN32
#define SKIP_WITHOUT_CONSOLE_EVENTS()                                                                            \
  GTEST_SKIP() << "Wine cannot deliver console control events to a program"
#else
#define SKIP_WITHOUT_CONSOLE_EVENTS()
#endif

const char *const Fast = "startupDelaySec=\"0\" pcpRetries=\"40\" pcpRetryIntervalSec=\"1\"";
const char *const Manager = "  <processManager pollIntervalsec=\"1\" checkForShutdownIntervalms=\"200\"/>\n";

} // namespace

namespace {

TEST(ServiceRunSlow, TwoChildrenStartInOrderGetReadyAndStopOnCtrlC) {
  SKIP_WITHOUT_CONSOLE_EVENTS();
  Installation install;
  int firstPort = freePort(), secondPort = freePort();
  ASSERT_NE(firstPort, 0);
  ASSERT_NE(secondPort, 0);
  std::string file = install.bootstrap(
      "two.xml", std::string("<bootstrap ") + Fast + ">\n" + Manager +
                     install.process("first", firstPort, install.socketStop(firstPort), {"--stop-command=SHUTDOWN"}) +
                     install.process("second", secondPort,
                                     "    <stop type=\"signal\"><signal signal=\"1\"/></stop>\n") +
                     install.daemonSpawn() + "</bootstrap>\n");
  auto service = install.start({"-d", "-config=" + file, "-stdoutLog=DEBUG"});
  ASSERT_TRUE(service->started());

  ASSERT_TRUE(install.waitForLog("TRQBootstrapService::Run() - child process(es) is/are ready.", 90s))
      << install.log();
  std::string log = install.log();
  size_t first = log.find("TRQBootstrapService::Run() - starting \"first\"");
  size_t second = log.find("TRQBootstrapService::Run() - starting \"second\"");
  ASSERT_NE(first, std::string::npos);
  ASSERT_NE(second, std::string::npos);
  EXPECT_LT(first, second);

  // The process-id file: "trq_cnfgtest_" and the service's process id, one line.
  fs::path pidFile = install.logs() / ("trq_cnfgtest_" + std::to_string(service->pid()));
  ASSERT_TRUE(fs::exists(pidFile));
  EXPECT_EQ(logtest::readLog(pidFile.string()), std::to_string(service->pid()) + "\n");

  ASSERT_TRUE(install.waitForRecord("first"));
  ASSERT_TRUE(install.waitForRecord("second"));
  int firstPid = install.childPid("first"), secondPid = install.childPid("second");
  EXPECT_TRUE(processAlive(firstPid));
  EXPECT_TRUE(processAlive(secondPid));

  interrupt(*service);
  EXPECT_EQ(service->wait(120s), 0) << install.log();
  EXPECT_TRUE(waitUntil([&] { return !processAlive(firstPid) && !processAlive(secondPid); }, 20s));

  log = install.log();
  EXPECT_NE(log.find("Waiting for processes to stop."), std::string::npos);
  EXPECT_NE(log.find("stopping child process(es)."), std::string::npos);
  EXPECT_NE(log.find("no processes are alive."), std::string::npos);
  EXPECT_NE(log.find("Done wait for processes to stop."), std::string::npos);
  EXPECT_NE(log.find("TRQBootstrapService::Run() - returned from m_semaMainThreadWait->wait()"), std::string::npos);
  // The socket stop command reached the first child; the control event the second.
  EXPECT_NE(readFile(install.root() / "first.events").find("SHUTDOWN"), std::string::npos);
  EXPECT_NE(readFile(install.root() / "second.events").find("event SIGTERM"), std::string::npos);
}

TEST(ServiceRunSlow, AChildPingedOverTlsGetsReadyAndStops) {
  if (!tlstest::cannotServeTls().empty())
    GTEST_SKIP() << tlstest::cannotServeTls();
  tlstest::Certificates &certificates = tlstest::Certificates::get();
  ASSERT_EQ(certificates.failure, "");
  // The service inherits the trusted authority, for this test only.
  struct TrustedAuthority {
    explicit TrustedAuthority(const std::string &file) { set(file.c_str()); }
    ~TrustedAuthority() { set(nullptr); }
    static void set(const char *file) {
#ifdef _WIN32
      SetEnvironmentVariableA("JOV_CA_FILE", file);
#else
      file ? setenv("JOV_CA_FILE", file, 1) : unsetenv("JOV_CA_FILE");
#endif
    }
  } authority(certificates.caFile);
  Installation install;
  const std::string tlsOptions = "<param>--tls-cert=" + certificates.serverCert + "</param><param>--tls-key=" +
                                 certificates.serverKey + "</param>";
  // On Linux the child serves TLS itself and is stopped over it. The Windows
  // test child has no TLS server side, so under Wine the secured endpoint is
  // the Linux test child, and the child the service runs stays put.
  tlstest::TlsServer endpoint;
  int port = 0;
  std::string params = "<param>--record=" + (install.root() / "secure.record").string() + "</param>";
  if (testsupport::isWindows()) {
    std::string error;
    port = endpoint.startTls(certificates.serverCert, certificates.serverKey, {"--command=PING", "--reply=READY"},
                             error);
    ASSERT_NE(port, 0) << error;
    params += "<param>--stay</param>";
  } else {
    port = freePort();
    ASSERT_NE(port, 0);
    params += "<param>--listen=" + std::to_string(port) + "</param><param>--command=PING</param>" +
              "<param>--reply=READY</param><param>--stop-command=SHUTDOWN</param>" + tlsOptions;
  }
  const std::string uri = "tls://localhost:" + std::to_string(port);
  std::string file = install.bootstrap(
      "secure.xml",
      std::string("<bootstrap ") + Fast + ">\n" + Manager + "  <process name=\"secure\">\n    <start><spawn><path>" +
          install.child() + "</path>" + params + "</spawn></start>\n" +
          "    <stop type=\"socketSend\"><socketSend URI=\"" + uri +
          "\" commandString=\"SHUTDOWN\" sockIOTimeoutSec=\"5\"/></stop>\n"
          "    <ping><socketSend URI=\"" + uri + "\" commandString=\"PING\" sockIOTimeoutSec=\"5\" "
          "responseSize=\"32\" responseOK=\"READY\"/></ping>\n  </process>\n" +
          install.daemonSpawn() + "</bootstrap>\n");
  auto service = install.start({"-d", "-config=" + file, "-stdoutLog=DEBUG"});
  ASSERT_TRUE(service->started());
  ASSERT_TRUE(install.waitForLog("child process(es) is/are ready.", 90s)) << install.log();
  ASSERT_TRUE(install.waitForRecord("secure"));
  // The handshake's steps are no errors.
  std::istringstream lines(install.log());
  for (std::string line; std::getline(lines, line);)
    EXPECT_FALSE(line.find("ERROR") != std::string::npos && line.find("TRQSocketCommand") != std::string::npos)
        << line;
  if (testsupport::isWindows()) {
    // Wine cannot deliver the console's Ctrl-C; the stop over TLS runs on Linux.
    service->kill();
    return;
  }
  int pid = install.childPid("secure");
  interrupt(*service);
  EXPECT_EQ(service->wait(120s), 0) << install.log();
  EXPECT_TRUE(waitUntil([&] { return !processAlive(pid); }, 20s));
  EXPECT_TRUE(install.logHas("Done wait for processes to stop.")) << install.log();
}

TEST(ServiceRun, MissingBootstrapFileEndsPromptly) {
  Installation install;
  std::string missing = (install.bin() / "nowhere.xml").string();
  auto service = install.start({"-d", "-config=" + missing, "-stdoutLog=DEBUG"});
  EXPECT_EQ(service->wait(60s), 0);
  EXPECT_TRUE(install.logHas("cannot open bootstrap config file \"" + missing + "\".")) << install.log();
}

TEST(ServiceRun, MalformedBootstrapFileGivesTheParseError) {
  Installation install;
  std::string file = install.bootstrap("bad.xml", "<bootstrap>\n  <process name=\"x\">\n</bootstrap>\n");
  auto service = install.start({"-d", "-config=" + file, "-stdoutLog=DEBUG"});
  EXPECT_EQ(service->wait(60s), 0);
  EXPECT_TRUE(install.logHas("Error parsing bootstrap.xml file = \"" + file + "\", error string = \"line 3, column"))
      << install.log();
}

TEST(ServiceRun, BootstrapFileWithoutProcessOrDaemonSpawnIsRefused) {
  Installation install;
  std::string none = install.bootstrap("none.xml", "<bootstrap>" + install.daemonSpawn() + "</bootstrap>");
  auto first = install.start({"-d", "-config=" + none, "-stdoutLog=DEBUG"});
  EXPECT_EQ(first->wait(60s), 0);
  EXPECT_TRUE(install.logHas("no process elements.")) << install.log();
  EXPECT_TRUE(install.logHas("Error processing bootstrap.xml file = \"" + none + "\""));

  int port = freePort();
  std::string noDaemon = install.bootstrap(
      "nodaemon.xml", std::string("<bootstrap>") + install.process("lonely", port, install.socketStop(port)) +
                          "</bootstrap>");
  auto second = install.start({"-d", "-config=" + noDaemon, "-stdoutLog=DEBUG"});
  EXPECT_EQ(second->wait(60s), 0);
  EXPECT_TRUE(install.logHas("required element \"daemonSpawn\" is missing.")) << install.log();
  // Nothing was started.
  EXPECT_FALSE(fs::exists(install.root() / "lonely.record"));
}

TEST(ServiceRun, BadProcessIsDroppedAndTheOthersRun) {
  Installation install;
  int port = freePort();
  std::string file = install.bootstrap(
      "mixed.xml", std::string("<bootstrap pcpRetries=\"0\">\n") + Manager +
                       "  <process name=\"broken\"><stop type=\"signal\"><signal signal=\"1\"/></stop></process>\n" +
                       install.process("good", port, install.socketStop(port), {"--stop-command=SHUTDOWN"}) +
                       install.daemonSpawn() + "</bootstrap>\n");
  auto service = install.start({"-d", "-config=" + file, "-stdoutLog=DEBUG"});
  EXPECT_EQ(service->wait(60s), 0);
  EXPECT_TRUE(install.logHas("exception while processing configuration: \"required element \"start\" is missing.\""))
      << install.log();
  EXPECT_TRUE(install.waitForRecord("good"));
  EXPECT_FALSE(install.logHas("starting \"broken\""));
}

TEST(ServiceRun, NoReadinessWaitEndsTheProgramWhileTheChildrenGoOn) {
  Installation install;
  int port = freePort();
  std::string file = install.bootstrap(
      "nowait.xml", std::string("<bootstrap pcpRetries=\"0\">\n") + Manager +
                        install.process("keeper", port, install.socketStop(port), {"--stop-command=SHUTDOWN"}) +
                        install.daemonSpawn() + "</bootstrap>\n");
  auto service = install.start({"-d", "-config=" + file, "-stdoutLog=DEBUG"});
  EXPECT_EQ(service->wait(60s), 0) << install.log();
  EXPECT_TRUE(install.logHas("TRQBootstrapService Done.")) << install.log();
  ASSERT_TRUE(install.waitForRecord("keeper"));
  int pid = install.childPid("keeper");
  EXPECT_TRUE(processAlive(pid));
}

TEST(ServiceRunSlow, ARetryIntervalBelowOneSecondWaitsOneSecondBetweenTries) {
  SKIP_WITHOUT_CONSOLE_EVENTS();
  Installation install;
  int port = freePort();
  std::string file = install.bootstrap(
      "zero.xml", std::string("<bootstrap startupDelaySec=\"0\" pcpRetries=\"3\" pcpRetryIntervalSec=\"0\">\n") +
                      Manager +
                      install.process("late", port, install.socketStop(port), {"--stop-command=SHUTDOWN"}, "busy") +
                      install.daemonSpawn() + "</bootstrap>\n");
  auto service = install.start({"-d", "-config=" + file, "-stdoutLog=DEBUG"});
  ASSERT_TRUE(install.waitForLog("child processes not yet ready, giving up.", 60s)) << install.log();
  // The tries were not used up before the supervisor had pinged the child.
  std::string log = install.log();
  EXPECT_LT(log.find("Pinging process late."), log.find("child processes not yet ready, giving up.")) << log;
  interrupt(*service);
  EXPECT_EQ(service->wait(60s), 0) << install.log();
}

TEST(ServiceRunSlow, AStopDuringTheStartupDelayDoesNotWaitItOut) {
  SKIP_WITHOUT_CONSOLE_EVENTS();
  Installation install;
  int first = freePort(), second = freePort();
  // Without a poll interval the stop runs on the stop request's own thread.
  std::string file = install.bootstrap(
      "delay.xml",
      std::string("<bootstrap startupDelaySec=\"600\" pcpRetries=\"3\" pcpRetryIntervalSec=\"1\">\n") +
          "  <processManager pollIntervalsec=\"0\" checkForShutdownIntervalms=\"200\"/>\n" +
          install.process("one", first, install.socketStop(first), {"--stop-command=SHUTDOWN"}) +
          install.process("two", second, install.socketStop(second), {"--stop-command=SHUTDOWN"}) +
          install.daemonSpawn() + "</bootstrap>\n");
  auto service = install.start({"-d", "-config=" + file, "-stdoutLog=DEBUG"});
  ASSERT_TRUE(install.waitForRecord("one") && install.waitForRecord("two")) << install.log();
  int pid1 = install.childPid("one"), pid2 = install.childPid("two");
  interrupt(*service);
  EXPECT_EQ(service->wait(120s), 0) << install.log();
  EXPECT_TRUE(waitUntil([&] { return !processAlive(pid1) && !processAlive(pid2); }, 20s));
  EXPECT_EQ(install.log().find("is/are ready."), std::string::npos);
}

TEST(ServiceRun, SynchronousStartWithExitCodeStopsTheStartSequence) {
  Installation install;
  int port = freePort();
  std::string failing = "  <process name=\"failing\">\n    <start><spawn sync=\"1\"><path>" + install.child() +
                        "</path><param>--exit=3</param><param>--record=" +
                        (install.root() / "failing.record").string() +
                        "</param></spawn></start>\n    <stop type=\"signal\"><signal signal=\"1\"/></stop>\n"
                        "  </process>\n";
  std::string file = install.bootstrap(
      "sync.xml", std::string("<bootstrap pcpRetries=\"0\">\n") + Manager +
                      install.process("first", port, install.socketStop(port), {"--stop-command=SHUTDOWN"}) +
                      failing + install.process("third", freePort(), install.socketStop(port)) +
                      install.daemonSpawn() + "</bootstrap>\n");
  auto service = install.start({"-d", "-config=" + file, "-stdoutLog=DEBUG"});
  EXPECT_EQ(service->wait(60s), 3) << install.log();
  EXPECT_TRUE(install.logHas("TRQBootstrapService::Run() - exit code is 3")) << install.log();
  ASSERT_TRUE(install.waitForRecord("first"));
  EXPECT_TRUE(processAlive(install.childPid("first")));
  EXPECT_TRUE(fs::exists(install.root() / "failing.record"));
  EXPECT_FALSE(install.logHas("starting \"third\""));
  EXPECT_FALSE(fs::exists(install.root() / "third.record"));
}

TEST(ServiceRunSlow, SynchronousStartExitCodeIsTheExitCodeAfterTheStop) {
  SKIP_WITHOUT_CONSOLE_EVENTS();
  Installation install;
  int port = freePort();
  std::string failing = "  <process name=\"failing\">\n    <start><spawn sync=\"1\"><path>" + install.child() +
                        "</path><param>--exit=3</param></spawn></start>\n"
                        "    <stop type=\"signal\"><signal signal=\"1\"/></stop>\n  </process>\n";
  std::string file = install.bootstrap(
      "sync.xml", std::string("<bootstrap ") + Fast + ">\n" + Manager +
                      install.process("first", port, install.socketStop(port), {"--stop-command=SHUTDOWN"}) +
                      failing + install.daemonSpawn() + "</bootstrap>\n");
  auto service = install.start({"-d", "-config=" + file, "-stdoutLog=DEBUG"});
  ASSERT_TRUE(install.waitForLog("child process(es) is/are ready.", 90s)) << install.log();
  interrupt(*service);
  EXPECT_EQ(service->wait(120s), 3) << install.log();
  ASSERT_TRUE(install.waitForRecord("first"));
  EXPECT_TRUE(waitUntil([&] { return !processAlive(install.childPid("first")); }, 20s));
}

TEST(ServiceRunSlow, AStopEndsASynchronousStartThatHangs) {
  SKIP_WITHOUT_CONSOLE_EVENTS();
  Installation install;
  int port = freePort();
  std::string hanging = "  <process name=\"hanging\">\n    <start><spawn sync=\"1\"><path>" + install.child() +
                        "</path><param>--stay</param><param>--record=" +
                        (install.root() / "hanging.record").string() +
                        "</param></spawn></start>\n    <stop type=\"signal\"><signal signal=\"1\"/></stop>\n"
                        "  </process>\n";
  std::string file = install.bootstrap(
      "hang.xml", std::string("<bootstrap ") + Fast + ">\n" + Manager +
                      install.process("first", port, install.socketStop(port), {"--stop-command=SHUTDOWN"}) +
                      hanging + install.daemonSpawn() + "</bootstrap>\n");
  auto service = install.start({"-d", "-config=" + file, "-stdoutLog=DEBUG"});
  ASSERT_TRUE(install.waitForRecord("first") && install.waitForRecord("hanging")) << install.log();
  int first = install.childPid("first"), hangingPid = install.childPid("hanging");
  interrupt(*service);
  // The start ended by force is the run's result, as any failed start.
  EXPECT_EQ(service->wait(60s), 255) << install.log();
  EXPECT_TRUE(install.logHas(" has not ended and the service is stopping, ending it by force")) << install.log();
  EXPECT_TRUE(waitUntil([&] { return !processAlive(first) && !processAlive(hangingPid); }, 20s));
}

TEST(ServiceRunSlow, FatalErrorDuringReadinessStopsEverything) {
  Installation install;
  int port = freePort();
  std::string file = install.bootstrap(
      "fatal.xml", std::string("<bootstrap ") + Fast + ">\n" + Manager +
                       install.process("doomed", port, install.socketStop(port), {"--stop-command=SHUTDOWN"},
                                       "FATAL") +
                       install.daemonSpawn() + "</bootstrap>\n");
  auto service = install.start({"-d", "-config=" + file, "-stdoutLog=DEBUG"});
  EXPECT_EQ(service->wait(120s), 0) << install.log();
  std::string log = install.log();
  EXPECT_NE(log.find("askPCPifReady() - some child processes got fatal errors, stop all processes."),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("is/are ready."), std::string::npos);
  ASSERT_TRUE(install.waitForRecord("doomed"));
  EXPECT_TRUE(waitUntil([&] { return !processAlive(install.childPid("doomed")); }, 20s));
}

TEST(ServiceRunSlow, ThirdCtrlCEndsTheProcessAtOnce) {
  SKIP_WITHOUT_CONSOLE_EVENTS();
  Installation install;
  int port = freePort();
  // A child that ignores its stop keeps OnStop waiting for a minute.
  std::string file = install.bootstrap(
      "stubborn.xml", std::string("<bootstrap ") + Fast + ">\n" + Manager +
                          install.process("stubborn", port,
                                          "    <stop type=\"signal\"><signal signal=\"1\"/></stop>\n",
                                          {"--ignore-stop"}) +
                          install.daemonSpawn() + "</bootstrap>\n");
  auto service = install.start({"-d", "-config=" + file, "-stdoutLog=DEBUG"});
  ASSERT_TRUE(install.waitForLog("child process(es) is/are ready.", 90s)) << install.log();
  interrupt(*service);
  ASSERT_TRUE(install.waitForLog("Waiting for processes to stop."));
  interrupt(*service);
  RKLThread::sleep(500);
  interrupt(*service);
  EXPECT_EQ(service->wait(20s), 0) << install.log();
  EXPECT_EQ(install.log().find("Done wait for processes to stop."), std::string::npos);
  ASSERT_TRUE(install.waitForRecord("stubborn"));
}

#ifndef _WIN32
/// True when a thread of process `pid` sleeps in a write to a full pipe.
bool writingToAFullPipe(int pid) {
  std::error_code error;
  for (const fs::directory_entry &task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error))
    if (readFile(task.path() / "wchan").find("pipe_write") != std::string::npos)
      return true;
  return false;
}

/// Sends SIGINT and waits until the process has taken it: a second one sent
/// while the first is pending would be lost in it.
bool interruptAndWaitUntilTaken(TestProcess &process) {
  if (kill(process.pid(), SIGINT) != 0)
    return false;
  const std::string status = "/proc/" + std::to_string(process.pid()) + "/status";
  return waitUntil(
      [&] {
        std::smatch pending;
        std::string text = readFile(status);
        if (!std::regex_search(text, pending, std::regex("ShdPnd:\\s*([0-9a-f]+)")))
          return true; // gone
        return (std::stoull(pending[1], nullptr, 16) & (1ull << (SIGINT - 1))) == 0;
      },
      10s);
}

// Every line the service writes to standard output goes to a pipe that
// nobody reads; once it is full, whatever logs is stuck in the write, and
// the way out must not wait for it.
TEST(ServiceRunSlow, ThirdCtrlCEndsTheProcessWhileTheLogIsStuckOnAFullPipe) {
  Installation install;
  int port = freePort();
  ASSERT_NE(port, 0);
  std::string file = install.bootstrap(
      "stuck.xml", std::string("<bootstrap ") + Fast + ">\n" + Manager +
                       install.process("quiet", port, install.socketStop(port), {"--stop-command=SHUTDOWN"}) +
                       install.daemonSpawn() + "</bootstrap>\n");
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  // The smallest pipe fills soonest.
  fcntl(fds[1], F_SETPIPE_SZ, 4096);
  std::fflush(stdout);
  int saved = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  ASSERT_GE(saved, 0);
  dup2(fds[1], STDOUT_FILENO);
  close(fds[1]);
  auto service = install.start({"-d", "-config=" + file, "-stdoutLog=DEBUG"});
  dup2(saved, STDOUT_FILENO);
  close(saved);
  ASSERT_TRUE(service->started());
  EXPECT_TRUE(waitUntil([&] { return writingToAFullPipe(service->pid()); }, 90s)) << install.log();
  for (int i = 0; i < 3; ++i)
    EXPECT_TRUE(interruptAndWaitUntilTaken(*service)) << i;
  EXPECT_EQ(service->wait(20s), 0);
  close(fds[0]);
  // The output may have been stuck before the child was started; a child
  // that was started is ended with the installation.
  install.waitForRecord("quiet", 5s);
}
#endif

TEST(ServiceRun, BootstrapFileChosenByServiceClassAndStandaloneSetting) {
  Installation install;
  std::string platformName = rklPlatformName();
  // tomcat in lower case is not Tomcat: the default prefix.
  auto lower = install.start({"-d", "-serviceClass=tomcat", "-stdoutLog=DEBUG"});
  EXPECT_EQ(lower->wait(60s), 0);
  // "${bin_path}/bootstrap_" with a slash on every system.
  std::string expected =
      "attempt to load config from \"" + install.bin().string() + "/bootstrap_hbl_" + platformName + ".xml\"";
  EXPECT_TRUE(install.logHas(expected, "trq_init_tomcat.log")) << install.log("trq_init_tomcat.log");

  auto tomcat = install.start({"-d", "-serviceClass=Tomcat", "-stdoutLog=DEBUG"});
  EXPECT_EQ(tomcat->wait(60s), 0);
  EXPECT_TRUE(install.logHas("bootstrap_" + platformName + ".xml\"", "trq_init_Tomcat.log"));

  auto gateway = install.start({"-d", "-serviceClass=VazavedIdivozo", "-stdoutLog=DEBUG"});
  EXPECT_EQ(gateway->wait(60s), 0);
  EXPECT_TRUE(install.logHas("bootstrap_sg_" + platformName + ".xml\"", "trq_init_VazavedIdivozo.log"));

  // With the standalone component installed, "standalone_" follows the prefix.
  writeFile(install.root() / "configuration" / "tslstartup.xml",
            "<startupConfiguration><components><component name=\"STANDALONECOMMON\" version=\"2.1\"/>"
            "</components></startupConfiguration>");
  auto standalone = install.start({"-d", "-serviceClass=Tomcat", "-stdoutLog=DEBUG"});
  EXPECT_EQ(standalone->wait(60s), 0);
  EXPECT_TRUE(install.logHas("bootstrap_standalone_" + platformName + ".xml\"", "trq_init_Tomcat.log"));

  // A startup configuration that cannot be read: the lookup's ERROR, then the
  // prefix as it was.
  writeFile(install.root() / "configuration" / "tslstartup.xml", "<startupConfiguration>");
  auto broken = install.start({"-d", "-stdoutLog=DEBUG"});
  EXPECT_EQ(broken->wait(60s), 0);
  EXPECT_TRUE(install.logHas("exception while checking for the dependent component version: \"")) << install.log();
  EXPECT_TRUE(install.logHas("bootstrap_hbl_" + platformName + ".xml\""));
}

TEST(ServiceRunSlow, DaemonWaitFileMakesTheReadinessWaitIndefinite) {
  SKIP_WITHOUT_CONSOLE_EVENTS();
  Installation install;
  int port = freePort();
  fs::path temp = install.root() / "temp";
  writeFile(temp / "trqdaemonwait", "");
  // A child that is never ready; with two tries of one second the wait would
  // give up within seconds, but the marker file keeps it waiting.
  std::string file = install.bootstrap(
      "bootstrap_hbl_" + std::string(rklPlatformName()) + ".xml",
      std::string("<bootstrap pcpRetries=\"2\" pcpRetryIntervalSec=\"1\">\n") + Manager +
          install.process("sleepy", port, install.socketStop(port), {"--stop-command=SHUTDOWN"}, "busy") +
          install.daemonSpawn() + "</bootstrap>\n");
  (void)file;
  auto service = install.start({"-d", "$$temp=" + temp.string(), "-stdoutLog=DEBUG"});
  ASSERT_TRUE(install.waitForLog("askPCPifReady() - waiting indefinitely", 60s)) << install.log();
  RKLThread::sleep(4000);
  EXPECT_FALSE(install.logHas("giving up"));
  interrupt(*service);
  EXPECT_EQ(service->wait(120s), 0) << install.log();
}

TEST(ServiceRun, StartupSettingsEnvironmentFileAndJavaPropertiesReachTheChildren) {
  Installation install;
  int port = freePort();
  ASSERT_NE(port, 0);
  writeFile(install.root() / "configuration" / "tslstartup.xml",
            "<startupConfiguration xmlns:vtn=\"urn:t\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">\n"
            "  <temp>../temp</temp>\n"
            "  <internalDispatcher>tls://localhost:9301/dispatcher</internalDispatcher>\n"
            "  <TRQ>\n"
            "    <vtn:instances name=\"trq\"><vtn:instance name=\"E2E\" class=\"Tomcat\"/></vtn:instances>\n"
            "    <vtn:parameter name=\"dispatcherMaxMemory\"><vtn:value xsi:type=\"xsd:unsignedInt\">900</vtn:value>"
            "</vtn:parameter>\n"
            "  </TRQ>\n"
            "</startupConfiguration>\n");
  writeFile(install.root() / "configuration" / "trqEnvironmentVars.ini",
            "# for the children\r\nTSL_E2E_VAR=from the file\r\nTSL_E2E_GONE=\r\n");
  fs::create_directories(install.root() / "jre");
  writeFile(install.root() / "temp" / "trq.prefs", "java_home=../jre\njava_vendor=Acme Systems\njava_version=17\n");
  std::string file = install.bootstrap(
      "props.xml", std::string("<bootstrap pcpRetries=\"0\">\n") + Manager +
                       install.process("props", port, install.socketStop(port),
                                       {"--stop-command=SHUTDOWN", "port=${dispatcherPort}", "name=${serviceName}",
                                        "memory=${dispatcherMaxMemoryBy3}", "vendor=${java_vendor}",
                                        "--env=TSL_E2E_VAR", "--env=TSL_E2E_GONE"}) +
                       install.daemonSpawn() + "</bootstrap>\n");
  auto service = install.start({"-d", "-config=" + file, "-stdoutLog=DEBUG"});
  EXPECT_EQ(service->wait(60s), 0) << install.log();
  ASSERT_TRUE(install.waitForRecord("props")) << install.log();
  std::string record = install.record("props");
  EXPECT_NE(record.find("=port=9301\n"), std::string::npos) << record;
  EXPECT_NE(record.find("=name=E2E:9301\n"), std::string::npos) << record;
  EXPECT_NE(record.find("=memory=300\n"), std::string::npos) << record;
  EXPECT_NE(record.find("=vendor=Acme\n"), std::string::npos) << record;
  EXPECT_NE(record.find("env.TSL_E2E_VAR=from the file\n"), std::string::npos) << record;
  EXPECT_NE(record.find("env.TSL_E2E_GONE\n"), std::string::npos) << record;
  // The dispatcher listed what the file applied.
  EXPECT_TRUE(install.logHas("m_envp is...")) << install.log();
  EXPECT_TRUE(install.logHas("endidx=2"));
}

} // namespace

//===----------------------------------------------------------------------===//
// The daemon flavour: the service in the background, found again through its
// process-id file
//===----------------------------------------------------------------------===//

namespace {

TEST(ServiceRunSlow, DaemonStartsOnceReportsRunningAndStopsWithItsChildren) {
#ifdef _WIN32
  GTEST_SKIP() << "the daemon flavour runs the service in the background on Linux only; Windows has the service";
#else
  Installation install;
  int port = freePort();
  ASSERT_NE(port, 0);
  // The standard bootstrap file of an installation without a service class.
  install.bootstrap(std::string("bootstrap_hbl_") + rklPlatformName() + ".xml",
                    std::string("<bootstrap ") + Fast + ">\n" + Manager +
                        install.process("first", port, install.socketStop(port), {"--stop-command=SHUTDOWN"}) +
                        install.daemonSpawn() + "</bootstrap>\n");
  const fs::path pidFile = install.logs() / "hbl_tslbootstrap_service.pid";
  auto daemonPid = [&] { return fs::exists(pidFile) ? std::atoi(readFile(pidFile).c_str()) : 0; };
  // Whatever happens below, no background service outlives the test.
  struct Reaper {
    std::function<int()> pid;
    ~Reaper() {
      if (int p = pid(); p > 0 && processAlive(p))
        killProcess(p);
    }
  } reaper{daemonPid};
  auto command = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {install.service(), "-fakeUnix"});
    return testsupport::runProgram(args, install.bin(), 120s);
  };
  const std::vector<std::string> start = {"-start", "-java_home=" + install.root().string(), "-testReadyTries=60",
                                          "-testReadyInterval=1"};
  const std::vector<std::string> stop = {"-stop", "-testDeadTries=60", "-testDeadInterval=1"};

  EXPECT_EQ(command({"-isRunning"}), 1);
  ASSERT_EQ(command(start), 0) << install.log();
  const int pid = daemonPid();
  ASSERT_GT(pid, 0);
  EXPECT_TRUE(processAlive(pid));
  ASSERT_TRUE(install.waitForRecord("first"));
  const int childPid = install.childPid("first");
  EXPECT_TRUE(processAlive(childPid));
  EXPECT_EQ(command({"-isRunning"}), 0);
  // A second start finds the first running and refuses.
  EXPECT_NE(command(start), 0);
  EXPECT_EQ(daemonPid(), pid);

  EXPECT_EQ(command(stop), 0) << install.log();
  EXPECT_TRUE(waitUntil([&] { return !processAlive(pid) && !processAlive(childPid); }, 20s));
  EXPECT_NE(readFile(install.root() / "first.events").find("SHUTDOWN"), std::string::npos);
  EXPECT_EQ(command({"-isRunning"}), 1);
  // Stopping what is not running succeeds.
  EXPECT_EQ(command(stop), 0);

  // A stale file that names another live program: never signalled.
  TestProcess other({"/bin/sleep", "60"}, install.root());
  ASSERT_TRUE(other.started());
  writeFile(pidFile, std::to_string(other.pid()) + "\n");
  EXPECT_EQ(command({"-isRunning"}), 1);
  EXPECT_EQ(command(stop), 0);
  EXPECT_TRUE(other.running());

  // -restart over that stale file starts a new service, which -restart then
  // replaces again.
  std::vector<std::string> restart(start);
  restart[0] = "-restart";
  restart.insert(restart.end(), stop.begin() + 1, stop.end());
  ASSERT_EQ(command(restart), 0) << install.log();
  const int first = daemonPid();
  EXPECT_NE(first, other.pid());
  EXPECT_TRUE(processAlive(first));
  ASSERT_EQ(command(restart), 0) << install.log();
  const int second = daemonPid();
  EXPECT_NE(second, first);
  EXPECT_TRUE(waitUntil([&] { return !processAlive(first); }, 20s));
  EXPECT_EQ(command(stop), 0);
  EXPECT_TRUE(waitUntil([&] { return !processAlive(second); }, 20s));
#endif
}

} // namespace

//===----------------------------------------------------------------------===//
// Under systemd: a run without options, started with NOTIFY_SOCKET
//===----------------------------------------------------------------------===//

#ifndef _WIN32
namespace {

/// A datagram socket that stands in for systemd's notification socket.
class NotifySocket {
public:
  explicit NotifySocket(const fs::path &path) : m_path(path.string()) {
    m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (m_fd < 0 || m_path.size() >= sizeof(address.sun_path))
      return;
    std::memcpy(address.sun_path, m_path.c_str(), m_path.size() + 1);
    m_bound = bind(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0;
  }
  ~NotifySocket() {
    if (m_fd >= 0)
      close(m_fd);
  }
  bool bound() const { return m_bound; }
  const std::string &path() const { return m_path; }
  /// Collects messages until one holds `text` or `timeout` passes; true when
  /// it came.
  bool receiveUntil(const std::string &text, std::chrono::milliseconds timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
      pollfd entry{m_fd, POLLIN, 0};
      if (poll(&entry, 1, 200) <= 0)
        continue;
      char buffer[4096];
      ssize_t length = recv(m_fd, buffer, sizeof(buffer), 0);
      if (length <= 0)
        continue;
      messages.emplace_back(buffer, static_cast<size_t>(length));
      if (messages.back().find(text) != std::string::npos)
        return true;
    }
    return false;
  }
  std::string all() const {
    std::string text;
    for (const std::string &message : messages)
      text += "[" + message + "]\n";
    return text;
  }
  std::vector<std::string> messages;

private:
  std::string m_path;
  int m_fd = -1;
  bool m_bound = false;
};

// Sets environment variables for the programs started in its lifetime.
struct ScopedEnvironment {
  std::vector<std::string> names;
  ScopedEnvironment(std::initializer_list<std::pair<std::string, std::string>> values) {
    for (const auto &[name, value] : values) {
      setenv(name.c_str(), value.c_str(), 1);
      names.push_back(name);
    }
  }
  ~ScopedEnvironment() {
    for (const std::string &name : names)
      unsetenv(name.c_str());
  }
};

TEST(ServiceRunSlow, UnderSystemdTheStatesAreNotifiedAndSigtermStopsTheChildren) {
  Installation install;
  int port = freePort();
  ASSERT_NE(port, 0);
  install.bootstrap(std::string("bootstrap_hbl_") + rklPlatformName() + ".xml",
                    std::string("<bootstrap ") + Fast + ">\n" + Manager +
                        install.process("first", port, install.socketStop(port), {"--stop-command=SHUTDOWN"}) +
                        install.daemonSpawn() + "</bootstrap>\n");
  // A service run needs its section of the startup configuration.
  writeFile(install.root() / "configuration" / "tslstartup.xml",
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<startupConfiguration xmlns:vtn=\"urn:t\" "
            "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">\n<TRQ/>\n</startupConfiguration>\n");
  NotifySocket notify(install.root() / "notify");
  ASSERT_TRUE(notify.bound());
  std::unique_ptr<TestProcess> service;
  {
    // The unit's environment: the notification socket and the bin folder,
    // into which the service changes from the root it is started in.
    ScopedEnvironment unit{{"NOTIFY_SOCKET", notify.path()}, {"TSL_SERVICE_DIR", install.bin().string()}};
    service = std::make_unique<TestProcess>(std::vector<std::string>{install.service()}, install.root());
  }
  ASSERT_TRUE(service->started());
  ASSERT_TRUE(notify.receiveUntil("READY=1", 90s)) << notify.all() << install.log();
  const std::string starting = notify.all();
  EXPECT_NE(starting.find("[STATUS=start pending\nEXTEND_TIMEOUT_USEC="), std::string::npos) << starting;
  EXPECT_NE(starting.find("[READY=1\nSTATUS=running]"), std::string::npos) << starting;
  ASSERT_TRUE(install.waitForRecord("first"));
  const int childPid = install.childPid("first");

  // systemd's stop request.
  ASSERT_EQ(kill(service->pid(), SIGTERM), 0);
  ASSERT_TRUE(notify.receiveUntil("STATUS=stopped", 90s)) << notify.all() << install.log();
  EXPECT_NE(notify.all().find("[STOPPING=1\nSTATUS=stop pending"), std::string::npos) << notify.all();
  EXPECT_EQ(service->wait(60s), 0);
  EXPECT_TRUE(waitUntil([&] { return !processAlive(childPid); }, 20s));
  EXPECT_NE(readFile(install.root() / "first.events").find("SHUTDOWN"), std::string::npos);
}

TEST(ServiceRun, WithoutOptionsOutsideTheServiceManagerTheRunFailsPlainly) {
  Installation install;
  const fs::path errors = install.root() / "stderr.txt";
  ASSERT_EQ(unsetenv("NOTIFY_SOCKET"), 0);
  const int code =
      testsupport::runProgram({"/bin/sh", "-c", "exec '" + install.service() + "' 2>'" + errors.string() + "'"},
                              install.bin(), 30s);
  EXPECT_NE(code, 0);
  EXPECT_NE(code, -1);
  EXPECT_NE(readFile(errors).find("was not started by the service manager"), std::string::npos) << readFile(errors);
}

} // namespace
#endif
