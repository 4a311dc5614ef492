//===- SupervisionTestSupport.h - Children, supervisors and their logs for the supervision suite ===//
//
// The supervision suite runs trqtestchild for real as the supervised
// processes: configured through `process` elements like those of a bootstrap
// file, started by their spawn actions, pinged and stopped over loopback
// sockets and with console control events. This header builds those
// elements, keeps a service with its children and supervisor per test, and
// checks that no process of a test outlives it.
//
//===----------------------------------------------------------------------===//
#ifndef SUPERVISIONTESTSUPPORT_H
#define SUPERVISIONTESTSUPPORT_H

#include "../actions/ActionTestSupport.h"
#include "../crypto/CryptoTestSupport.h"
#include "TestProcess.h"
#include "TestSupport.h"
#include "config/TRQPropertyInserter.h"
#include "crypto/TRQCryptoHelper.h"
#include "rklcrypto.h"
#include "service/TRQBootstrapService.h"
#include "supervision/PingChildProcess.h"
#include "supervision/TRQChildProcess.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#endif

namespace suptest {

using actiontest::LogCapture;
using actiontest::parseElement;
using actiontest::readRecord;
using actiontest::testChildPath;
using actiontest::xmlEscape;

//===--- Texts ------------------------------------------------------------===//

/// An argument that reaches the child as one word on either system: Windows
/// programs split their command line at blanks unless quoted, while Linux
/// hands over the argument vector itself.
inline std::string oneWord(const std::string &text) {
#ifdef _WIN32
  if (text.find(' ') != std::string::npos)
    return "\"" + text + "\"";
#endif
  return text;
}

/// A `spawn` element starting the test child with `options`.
inline std::string childSpawnXml(const std::vector<std::string> &options, const std::string &attributes = "") {
  std::string xml = "<spawn" + attributes + "><path>" + xmlEscape(testChildPath()) + "</path>";
  for (const std::string &option : options)
    xml += "<param>" + xmlEscape(oneWord(option)) + "</param>";
  return xml + "</spawn>";
}

/// A `socketSend` element for the loopback `port`.
inline std::string socketSendXml(int port, const std::string &command, const std::string &attributes = "") {
  return "<socketSend URI=\"tcp://127.0.0.1:" + std::to_string(port) + "\" commandString=\"" + command + "\"" +
         (attributes.empty() ? "" : " " + attributes) + "/>";
}

/// A ping that expects "OK", takes "FATAL" as a fatal error and "busy" as not
/// ready, and gives up after one second.
inline std::string pingXml(int port) {
  return "<ping>" +
         socketSendXml(port, "PING",
                       "sockIOTimeoutSec=\"1\" responseSize=\"64\" responseOK=\"OK\" responseFatal=\"FATAL\" "
                       "responseRetry=\"busy\"") +
         "</ping>";
}

inline std::string socketStopXml(int port, const std::string &command = "STOP") {
  return "<stop type=\"socketSend\">" + socketSendXml(port, command) + "</stop>";
}

inline std::string signalStopXml(int event) {
  return "<stop type=\"signal\"><signal signal=\"" + std::to_string(event) + "\"/></stop>";
}

/// A stop script: the test child run synchronously, ending at once.
inline std::string scriptStopXml() {
  return "<stop type=\"spawn\">" + childSpawnXml({"--exit=0"}, " sync=\"1\"") + "</stop>";
}

/// A whole `process` element.
inline std::string processXml(const std::string &name, const std::vector<std::string> &options, const std::string &stop,
                              const std::string &ping = "") {
  return "<process name=\"" + name + "\"><start>" + childSpawnXml(options) + "</start>" + stop + ping + "</process>";
}

//===--- Processes --------------------------------------------------------===//

/// True once the process with id `pid` has ended (a zombie counts as ended).
inline bool processGone(int pid) {
  if (pid <= 0)
    return true;
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
inline void killLeftover(int pid) {
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

/// The process id in a test child's record file, 0 while there is none.
inline int recordedPid(const std::string &recordFile) {
  std::map<std::string, std::string> record = readRecord(recordFile, std::chrono::milliseconds(0));
  auto found = record.find("pid");
  return found == record.end() ? 0 : std::atoi(found->second.c_str());
}

/// Waits until the record names a process other than `previous`; its id, or
/// 0 when none came.
inline int waitForNewPid(const std::string &recordFile, int previous,
                         std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
  int pid = 0;
  testsupport::waitUntil(
      [&] {
        pid = recordedPid(recordFile);
        return pid != 0 && pid != previous;
      },
      timeout);
  return pid != previous ? pid : 0;
}

/// The lines of a test child's event log ("started", "received ...").
inline std::vector<std::string> childEvents(const std::string &logFile) {
  std::vector<std::string> lines;
  std::istringstream in(testsupport::readFile(logFile));
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

inline bool hasEvent(const std::string &logFile, const std::string &event) {
  for (const std::string &line : childEvents(logFile))
    if (line == event)
      return true;
  return false;
}

/// Runs the DISABLED_ test `fullName` ("Suite.DISABLED_Case") of this
/// suite's program in a process of its own, for cases that change what the
/// whole process sees (signal handling, properties that cannot be removed);
/// the program's exit code, or -1 when it did not end in time.
inline int runIsolatedCase(const std::string &fullName, std::chrono::milliseconds timeout = std::chrono::seconds(120)) {
  testsupport::TempDir dir{"tsliso"};
  // The report goes to the case's own folder, never to where a test runner
  // told this suite (through GTEST_OUTPUT) to write its own.
  return testsupport::runProgram({(testsupport::binDir() / testsupport::exeName("tests_supervision")).string(),
                                  "--gtest_also_run_disabled_tests", "--gtest_filter=" + fullName,
                                  "--gtest_output=xml:" + dir.file("isolated.xml")},
                                 dir.path(), timeout);
}

/// A loopback port on which nothing listens now.
inline int freePort() { return cryptotest::closedPort(); }

//===--- Logs -------------------------------------------------------------===//

/// "LEVEL message" of every message of `logger`, in order.
inline std::vector<std::string> lines(const LogCapture &log, const std::string &logger) {
  std::vector<std::string> result;
  for (const actiontest::LogEntry &entry : log.entries(logger))
    result.push_back(entry.level + " " + entry.message);
  return result;
}

/// How many messages of `logger` are exactly `levelAndMessage`.
inline int countLines(const LogCapture &log, const std::string &logger, const std::string &levelAndMessage) {
  int n = 0;
  for (const std::string &line : lines(log, logger))
    if (line == levelAndMessage)
      ++n;
  return n;
}

/// Waits until `logger` has written `levelAndMessage` at least `times` times.
inline bool waitForLine(const LogCapture &log, const std::string &logger, const std::string &levelAndMessage,
                        int times = 1, std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
  return testsupport::waitUntil([&] { return countLines(log, logger, levelAndMessage) >= times; }, timeout);
}

/// The messages of `logger` at WARN or more severe.
inline std::vector<std::string> warnings(const LogCapture &log, const std::string &logger) {
  std::vector<std::string> result;
  for (const std::string &line : lines(log, logger))
    if (line.compare(0, 5, "FATAL") == 0 || line.compare(0, 5, "ERROR") == 0 || line.compare(0, 4, "WARN") == 0)
      result.push_back(line);
  return result;
}

//===--- A test's service -------------------------------------------------===//

/// Changes the working directory for its lifetime.
class WorkingDirectory {
public:
  explicit WorkingDirectory(const std::filesystem::path &directory) : m_before(std::filesystem::current_path()) {
    std::filesystem::current_path(directory);
  }
  ~WorkingDirectory() {
    std::error_code ignored;
    std::filesystem::current_path(m_before, ignored);
  }
  WorkingDirectory(const WorkingDirectory &) = delete;
  WorkingDirectory &operator=(const WorkingDirectory &) = delete;

private:
  std::filesystem::path m_before;
};

/// Gives every test a log capture, a fresh working directory (where the
/// supervisor looks for its failed-ping-limit file), a service with its
/// supervisor, exchanges without the connection pause, and no properties
/// of an earlier test that the supervisor reads. Children that the test
/// leaves running are killed, with every process that a record names.
class SupervisionTest : public ::testing::Test {
protected:
  void SetUp() override {
    TRQSocketCommand::setConnectPauseMsForTesting(0);
    TRQCryptoHelper::initialize();
    ASSERT_NE(TRQCryptoHelper::getCrypto(), nullptr);
    ASSERT_EQ(TRQCryptoHelper::getCrypto()->isLoaded(), 1) << RKLCrypto::lastLoadFailure();
    TRQPropertyInserter *properties = TRQPropertyInserter::getInstance();
    properties->addProperty("dispatcherPingTimeout", "");
    properties->addProperty("dispatcherStopWaitTime", "");
    properties->addProperty("DOLV_NORESTART", "");
    service = std::make_unique<TRQBootstrapService>();
  }

  void TearDown() override {
    if (service) {
      service->getSupervisor().shutdown();
      for (TRQChildProcess *child : service->getChildren())
        child->kill();
      service.reset();
    }
    for (const std::string &record : m_records)
      killLeftover(recordedPid(record));
  }

  /// A file of the test's folder; files named here as records are checked
  /// for leftover processes at the end.
  std::string file(const std::string &name) const { return dir.file(name); }
  std::string record(const std::string &name) {
    std::string path = dir.file(name);
    m_records.insert(path);
    return path;
  }

  /// Configures a child from `xml` and appends it to the service.
  TRQChildProcess *addChild(const std::string &xml) {
    auto child = std::make_unique<TRQChildProcess>();
    child->configure(parseElement(xml));
    service->addChild(child.get());
    return child.release();
  }

  /// Configures the supervisor from `<bootstrap>` + `inner` + `</bootstrap>`.
  void configureSupervisor(const std::string &inner) {
    supervisor().configure(parseElement("<bootstrap>" + inner + "</bootstrap>"));
  }

  void startChildren() {
    for (TRQChildProcess *child : service->getChildren())
      child->start();
  }

  PingChildProcess &supervisor() { return service->getSupervisor(); }

  /// The test child's options for a loopback server on `port` named `name`:
  /// its port file, event log and record live in the test's folder.
  std::vector<std::string> serverOptions(const std::string &name, int port, const std::vector<std::string> &extra) {
    std::vector<std::string> options = {"--listen=" + std::to_string(port), "--port-file=" + portFile(name),
                                        "--log=" + childLog(name), "--record=" + record(name + ".rec")};
    options.insert(options.end(), extra.begin(), extra.end());
    return options;
  }
  std::string portFile(const std::string &name) const { return dir.file(name + ".port"); }
  std::string childLog(const std::string &name) const { return dir.file(name + ".log"); }
  std::string recordOf(const std::string &name) const { return dir.file(name + ".rec"); }

  /// Waits until the server child `name` listens.
  bool waitForPort(const std::string &name) {
    return testsupport::waitUntil([&] {
      std::string text = testsupport::readFile(portFile(name));
      return !text.empty() && text.back() == '\n';
    });
  }

  /// Asks the supervisor to stop and waits (bounded) until it has.
  bool stopSupervisor(std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
    supervisor().stop(&stopDone);
    bool posted = stopDone.timedWait(static_cast<long>(timeout.count())) == 1;
    if (posted)
      supervisor().join(); // the thread only sets the fatal flag after posting
    return posted;
  }

  std::vector<std::string> supervisorLines() const { return lines(log, "PingChildProcess"); }

  LogCapture log;
  /// Posted by the supervisor when it has stopped; outlives the service.
  RKLThreadSemaphore stopDone{0};
  testsupport::TempDir dir{"tslsup"};
  WorkingDirectory cwd{dir.path()};
  std::unique_ptr<TRQBootstrapService> service;

private:
  std::set<std::string> m_records;
};

} // namespace suptest

#endif // SUPERVISIONTESTSUPPORT_H
