//===- ServiceControlTest.cpp - The service under the service manager -----===//
//
// Drives the built service's own commands (-ia, -im, -u, -start, -stop,
// -restart, -isRunning, -isRegistered, -v) in temporary installation trees,
// as a person would from a command prompt, against the system's real
// Service Control Manager (Wine runs one), or on Linux against a real systemd
// booted for this program in namespaces of its own (scripts/systemd-sandbox),
// inside which the commands run. Each test installs a service of its own name
// and removes it again, also when it fails.
//
//===----------------------------------------------------------------------===//
#include "LogTestSupport.h"
#include "TestProcess.h"
#include "TestSupport.h"
#include "servicemanager.h"
#include "systemdunit.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <regex>
#include <sstream>
#include <string>

#ifdef _WIN32
#include <windows.h>
// (after windows.h)
#include <tlhelp32.h>
#else
#include <cstdio>
#include <unistd.h>
#endif

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testsupport::binDir;
using testsupport::exeName;
using testsupport::readFile;
using testsupport::runProgram;
using testsupport::TempDir;
using testsupport::TestProcess;
using testsupport::waitUntil;
using testsupport::writeFile;

namespace {

/// The exit code of a command that returns -1, as the system hands it on.
#ifdef _WIN32
constexpr int Failed = -1;
#else
constexpr int Failed = 255;
#endif

#ifdef _WIN32
#define SKIP_WITHOUT_SERVICE_MANAGER()
#else
/// A real systemd, booted on first use for this program and ended with it.
class Sandbox {
public:
  static Sandbox &instance() {
    static Sandbox sandbox;
    return sandbox;
  }
  ~Sandbox() {
    if (!m_pid.empty())
      runProgram({script(), "stop", m_pid}, fs::current_path(), 60s);
  }
  bool booted() const { return !m_pid.empty(); }
  const std::string &reason() const { return m_reason; }

  /// `args` as a command that runs inside the sandbox.
  std::vector<std::string> inside(const std::vector<std::string> &args) const {
    std::vector<std::string> command = {script(), "run", m_pid};
    command.insert(command.end(), args.begin(), args.end());
    return command;
  }
  int run(const std::vector<std::string> &args, std::chrono::milliseconds timeout = 60s) const {
    return runProgram(inside(args), fs::current_path(), timeout);
  }
  /// What the command `args` writes to standard output (one line without its
  /// line break).
  std::string output(const std::vector<std::string> &args) const {
    std::string command = "timeout 60 " + script() + " run " + m_pid;
    for (const std::string &arg : args)
      command += " '" + arg + "'";
    std::string text;
    if (FILE *pipe = popen((command + " 2>/dev/null").c_str(), "r")) {
      char buffer[4096];
      for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        text.append(buffer, got);
      pclose(pipe);
    }
    while (!text.empty() && text.back() == '\n')
      text.pop_back();
    return text;
  }

private:
  Sandbox() {
    // The script gives up booting after 30 seconds itself.
    std::string command = "timeout 120 " + script() + " start --owner=" + std::to_string(getpid()) + " 2>&1";
    std::string text;
    int status = -1;
    if (FILE *pipe = popen(command.c_str(), "r")) {
      char buffer[512];
      for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        text.append(buffer, got);
      status = pclose(pipe);
    }
    while (!text.empty() && text.back() == '\n')
      text.pop_back();
    if (status == 0 && !text.empty() && text.find_first_not_of("0123456789") == std::string::npos)
      m_pid = text;
    else
      m_reason = text.empty() ? "scripts/systemd-sandbox could not be run" : text;
  }
  static std::string script() {
    return (fs::path(__FILE__).parent_path().parent_path().parent_path() / "scripts" / "systemd-sandbox").string();
  }

  std::string m_pid;
  std::string m_reason;
};

#define SKIP_WITHOUT_SERVICE_MANAGER()                                                                          \
  if (!Sandbox::instance().booted())                                                                            \
  GTEST_SKIP() << "no systemd could be booted here: " << Sandbox::instance().reason()

std::string unitOf(const std::string &name) { return platform::systemdServiceUnitName(name); }
/// A property of the unit, as `systemctl show` gives it.
std::string unitProperty(const std::string &name, const std::string &property) {
  return Sandbox::instance().output({"systemctl", "show", "--value", "--property=" + property, unitOf(name)});
}
/// The processes in the unit's cgroup (in systemd's own hierarchy).
std::vector<std::string> unitProcesses(const std::string &name) {
  std::string group = unitProperty(name, "ControlGroup");
  std::vector<std::string> pids;
  if (group.empty())
    return pids;
  for (const char *hierarchy : {"/sys/fs/cgroup/systemd", "/sys/fs/cgroup/unified", "/sys/fs/cgroup"}) {
    fs::path procs = fs::path(hierarchy + group) / "cgroup.procs";
    if (!fs::exists(fs::path(hierarchy) / "cgroup.procs"))
      continue;
    std::istringstream lines(readFile(procs));
    for (std::string pid; std::getline(lines, pid);)
      if (!pid.empty())
        pids.push_back(pid);
    break;
  }
  return pids;
}
#endif

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
  // The children's process ids are those of the sandbox.
  return pid > 0 && Sandbox::instance().run({"sh", "-c", "kill -0 " + std::to_string(pid) + " 2>/dev/null"}) == 0;
#endif
}

void killProcess(int pid) {
#ifdef _WIN32
  if (HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(pid))) {
    TerminateProcess(process, 1);
    CloseHandle(process);
  }
#else
  if (pid > 0)
    Sandbox::instance().run({"sh", "-c", "kill -KILL " + std::to_string(pid) + " 2>/dev/null"});
#endif
}

/// How many service manager processes run. Wine starts its services.exe on
/// demand; two started at once (a busy machine, the first clients of a new
/// session) would each keep a service list of their own, and commands would
/// see them in turn.
#ifdef _WIN32
int serviceManagerProcesses() {
  int count = 0;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE)
    return -1;
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
    if (lstrcmpiA(entry.szExeFile, "services.exe") == 0)
      ++count;
  CloseHandle(snapshot);
  return count;
}
#endif

/// Waits until the service manager is up, once, so that the tests' first
/// commands do not each start one.
void awaitOneServiceManager() {
#ifdef _WIN32
  static const bool ready = [] {
    if (SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT))
      CloseServiceHandle(manager);
    return waitUntil([] { return serviceManagerProcesses() == 1; }, 30s);
  }();
  ASSERT_TRUE(ready) << "the service manager runs " << serviceManagerProcesses() << " times";
#endif
}

/// The service manager's state of the service `name`; 0 when unknown.
unsigned serviceState(const std::string &name) {
#ifdef _WIN32
  unsigned state = 0;
  if (SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT)) {
    if (SC_HANDLE service = OpenServiceA(manager, name.c_str(), SERVICE_QUERY_STATUS)) {
      SERVICE_STATUS status{};
      if (QueryServiceStatus(service, &status))
        state = status.dwCurrentState;
      CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
  }
  return state;
#else
  const std::string state = unitProperty(name, "ActiveState");
  if (state == "inactive" || state == "failed")
    return 1;
  if (state == "activating")
    return 2;
  if (state == "deactivating")
    return 3;
  return state == "active" ? 4 : 0;
#endif
}

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

const char *const LogConfig = R"(<?xml version="1.0" encoding="UTF-8"?>
<trqlogconfig>
  <run><logging level="DEBUG"><logFiles><file name="${install_path}/logs/trq_run.log" append="true"/></logFiles></logging></run>
  <start><logging level="DEBUG"><logFiles><file name="${install_path}/logs/trq_start.log" append="true"/></logFiles></logging></start>
  <stop><logging level="DEBUG"><logFiles><file name="${install_path}/logs/trq_stop.log" append="true"/></logFiles></logging></stop>
  <isrunning><logging level="DEBUG"><logFiles><file name="${install_path}/logs/trq_isrunning.log" append="true"/></logFiles></logging></isrunning>
  <default><logging level="DEBUG"><logFiles><file name="${install_path}/logs/trq_default.log" append="true"/></logFiles></logging></default>
</trqlogconfig>
)";

/// An installation tree (bin, configuration, logs, temp) with the built
/// programs, and a service of a name of its own that is removed again with
/// the object: stopped, uninstalled, and whatever child is left killed.
class ServiceInstallation {
public:
  explicit ServiceInstallation(const std::string &test) {
    awaitOneServiceManager();
    static std::atomic<int> serial{0};
    // Process ids come round again (quickly under Wine), and a service that
    // an interrupted run left behind must never be taken for this one.
    const auto stamp = std::chrono::system_clock::now().time_since_epoch() / std::chrono::milliseconds(1);
    m_name = "tsltest_" + test + "_" + std::to_string(platform_pid()) + "_" + std::to_string(stamp % 100000000) + "_" +
             std::to_string(serial++);
    for (const char *folder : {"bin", "logs", "temp", "configuration"})
      fs::create_directories(root() / folder);
    for (const std::string &name : {exeName("tslbootstrapservice"), exeName("trqtestchild"),
                                    std::string("JOV_Crypto_Interface") + (testsupport::isWindows() ? ".dll" : ".so")})
      fs::copy_file(binDir() / name, bin() / name, fs::copy_options::overwrite_existing);
    writeFile(root() / "configuration" / "tslstartup.xml",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<startupConfiguration xmlns:vtn=\"urn:t\" "
              "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">\n<TRQ/>\n</startupConfiguration>\n");
    writeFile(bin() / "trqlogconfig.xml", LogConfig);
  }
  ~ServiceInstallation() {
    if (m_installed) {
      command({"-stop", "-timeLimitSec=60"});
      command({"-u"});
    }
    for (int pid : m_childPids)
      if (processAlive(pid))
        killProcess(pid);
  }

  const std::string &name() const { return m_name; }
  fs::path root() const { return m_root->path(); }
  fs::path bin() const { return root() / "bin"; }
  std::string child() const { return (bin() / exeName("trqtestchild")).string(); }

  /// Runs a command of the service in the bin folder with this service's
  /// name and class; its exit code.
  int command(std::vector<std::string> args, std::chrono::milliseconds timeout = 240s) {
    if (!args.empty() && args[0].compare(0, 2, "-i") == 0 && args[0] != "-isRunning" && args[0] != "-isRegistered")
      m_installed = true;
    args.insert(args.begin(), (bin() / exeName("tslbootstrapservice")).string());
    args.push_back("-name=" + m_name);
    args.push_back("-serviceClass=Tomcat");
#ifndef _WIN32
    args = Sandbox::instance().inside(args);
#endif
    return runProgram(args, bin(), timeout);
  }

  std::string log(const std::string &section) const {
    return logtest::readLog((root() / "logs" / ("trq_" + section + ".log")).string());
  }

  /// The bootstrap file that the service class Tomcat chooses.
  void bootstrap(const std::string &body) {
    writeFile(bin() / (testsupport::isWindows() ? "bootstrap_winx64.xml" : "bootstrap_linuxx64.xml"),
              "<bootstrap startupDelaySec=\"0\" pcpRetries=\"15\" pcpRetryIntervalSec=\"1\" pingRetries=\"10\" "
              "pingRetryIntervalSec=\"1\">\n  <processManager pollIntervalsec=\"1\" "
              "checkForShutdownIntervalms=\"200\"/>\n" +
                  body + "  <daemonSpawn><path>" + child() +
                  "</path><param>--exit=0</param></daemonSpawn>\n</bootstrap>\n");
  }

  /// A test child serving PING on `port`, stopped by the socket command
  /// SHUTDOWN; `extra` are further options of the child.
  std::string process(const std::string &name, int port, const std::string &reply = "READY",
                      const std::vector<std::string> &extra = {}) const {
    std::string params;
    for (const std::string &option :
         {"--listen=" + std::to_string(port), std::string("--command=PING"), "--reply=" + reply,
          std::string("--stop-command=SHUTDOWN"), "--record=" + (root() / (name + ".record")).string(),
          "--log=" + (root() / (name + ".events")).string()})
      params += "      <param>" + option + "</param>\n";
    for (const std::string &option : extra)
      params += "      <param>" + option + "</param>\n";
    std::string uri = "tcp://127.0.0.1:" + std::to_string(port);
    return "  <process name=\"" + name + "\">\n    <start><spawn><path>" + child() + "</path>\n" + params +
           "    </spawn></start>\n    <stop type=\"socketSend\"><socketSend URI=\"" + uri +
           "\" commandString=\"SHUTDOWN\" sockIOTimeoutSec=\"5\"/></stop>\n    <ping><socketSend URI=\"" + uri +
           "\" commandString=\"PING\" sockIOTimeoutSec=\"5\" responseSize=\"32\" responseOK=\"READY\" "
           "responseFatal=\"FATAL\" responseRetry=\"busy\"/></ping>\n  </process>\n";
  }

  /// The child's process id from its record (remembered for the clean-up);
  /// 0 when it has not written one.
  int childPid(const std::string &name) {
    std::string text = readFile(root() / (name + ".record"));
    std::smatch match;
    if (!std::regex_search(text, match, std::regex("pid=([0-9]+)")))
      return 0;
    int pid = std::stoi(match[1]);
    m_childPids.push_back(pid);
    return pid;
  }

private:
  static int platform_pid() { return platform::currentProcessId(); }

  static std::unique_ptr<TempDir> makeRoot() {
#ifdef _WIN32
    return std::make_unique<TempDir>("tslsvc");
#else
    // Where the sandbox's systemd sees it too: not under its private /tmp.
    fs::create_directories(binDir() / "service-installations");
    return std::make_unique<TempDir>("tslsvc", binDir() / "service-installations");
#endif
  }

  std::unique_ptr<TempDir> m_root = makeRoot();
  std::string m_name;
  bool m_installed = false;
  std::vector<int> m_childPids;
};

size_t find(const std::string &text, const std::string &what, size_t from = 0) { return text.find(what, from); }

TEST(ServiceControl, InstallReinstallKeepsTheStartModeAndUninstallRemovesEverything) {
  SKIP_WITHOUT_SERVICE_MANAGER();
  ServiceInstallation service("install");
  EXPECT_EQ(service.command({"-isRegistered"}), 0);
  EXPECT_EQ(service.command({"-v"}), 1);
  EXPECT_EQ(service.command({"-u"}), 0); // "is not installed"
  EXPECT_NE(service.log("default").find("\"" + service.name() + "\" is not installed"), std::string::npos);

  ASSERT_EQ(service.command({"-ia", "-description=Tessel 100% sure"}), 0) << service.log("default");
  EXPECT_EQ(service.command({"-isRegistered"}), 2);
  EXPECT_EQ(service.command({"-v"}), 0);
  EXPECT_NE(service.log("default").find("Service \"" + service.name() + "\" is registered, start mode is 2 = \"auto\""),
            std::string::npos);

  // What the service reads back when the service manager starts it.
#ifdef _WIN32
  platform::ServiceParameters parameters;
  ASSERT_TRUE(platform::readServiceParameters(service.name().c_str(), parameters));
  EXPECT_TRUE(parameters.workingDirectoryRead);
  EXPECT_EQ(fs::path(parameters.workingDirectory), service.bin());
  EXPECT_EQ(parameters.serviceClass, "Tomcat");
#else
  const std::string program = (service.bin() / "tslbootstrapservice").string();
  EXPECT_EQ(unitProperty(service.name(), "Environment"), "TSL_SERVICE_NAME=" + service.name() +
                                                              " TSL_SERVICE_DIR=" + service.bin().string() +
                                                              " TSL_SERVICE_CLASS=Tomcat");
  EXPECT_EQ(unitProperty(service.name(), "WorkingDirectory"), service.bin().string());
  EXPECT_NE(unitProperty(service.name(), "ExecStart").find("path=" + program + " ; argv[]=" + program + " ;"),
            std::string::npos);
  EXPECT_EQ(unitProperty(service.name(), "Description"), "Tessel 100% sure");
  EXPECT_EQ(unitProperty(service.name(), "Type"), "notify");
  EXPECT_EQ(unitProperty(service.name(), "KillMode"), "mixed");
  EXPECT_EQ(Sandbox::instance().run({"systemctl", "is-enabled", "--quiet", unitOf(service.name())}), 0);
  EXPECT_EQ(Sandbox::instance().run({"systemd-analyze", "verify", "/etc/systemd/system/" + unitOf(service.name())}),
            0);
#endif
  fs::path serviceFile = service.root() / "logs" / "Tomcat_trq.service";
  EXPECT_EQ(readFile(serviceFile), service.name());

  // -im over an automatic service keeps it automatic.
  EXPECT_EQ(service.command({"-im"}), 0);
  EXPECT_EQ(service.command({"-isRegistered"}), 2);
  EXPECT_NE(service.log("default").find("is already installed, will un-install and re-install, preserving start mode."),
            std::string::npos);

  EXPECT_EQ(service.command({"-u"}), 0);
  EXPECT_EQ(service.command({"-isRegistered"}), 0);
  EXPECT_FALSE(fs::exists(serviceFile));

  EXPECT_EQ(service.command({"-im"}), 0);
  EXPECT_EQ(service.command({"-isRegistered"}), 3);
  EXPECT_TRUE(fs::exists(serviceFile));

#ifdef _WIN32
  // A disabled service comes back manual.
  {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(manager, nullptr);
    SC_HANDLE handle = OpenServiceA(manager, service.name().c_str(), SERVICE_CHANGE_CONFIG);
    ASSERT_NE(handle, nullptr);
    EXPECT_TRUE(ChangeServiceConfigA(handle, SERVICE_NO_CHANGE, SERVICE_DISABLED, SERVICE_NO_CHANGE, nullptr,
                                     nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    CloseServiceHandle(handle);
    CloseServiceHandle(manager);
  }
  EXPECT_EQ(service.command({"-isRegistered"}), 4);
  EXPECT_EQ(service.command({"-ia"}), 0);
  EXPECT_EQ(service.command({"-isRegistered"}), 3);
#else
  // A masked unit (its file replaced by a link to /dev/null, as `systemctl
  // mask` leaves it) is a disabled service, and comes back manual.
  ASSERT_EQ(Sandbox::instance().run({"sh", "-c",
                                     "ln -sf /dev/null /etc/systemd/system/'" + unitOf(service.name()) +
                                         "' && systemctl daemon-reload"}),
            0);
  EXPECT_EQ(unitProperty(service.name(), "LoadState"), "masked");
  EXPECT_EQ(service.command({"-isRegistered"}), 4);
  EXPECT_EQ(service.command({"-ia"}), 0);
  EXPECT_EQ(service.command({"-isRegistered"}), 3);
  EXPECT_EQ(unitProperty(service.name(), "UnitFileState"), "disabled");
#endif

  EXPECT_EQ(service.command({"-u"}), 0);
  EXPECT_EQ(service.command({"-isRegistered"}), 0);
  EXPECT_FALSE(fs::exists(serviceFile));
#ifndef _WIN32
  EXPECT_EQ(unitProperty(service.name(), "LoadState"), "not-found");
#endif
}

TEST(ServiceControlSlow, StartRunsTheChildrenAndStopEndsThemInOrder) {
  SKIP_WITHOUT_SERVICE_MANAGER();
  ServiceInstallation service("run");
  int firstPort = freePort(), secondPort = freePort();
  ASSERT_NE(firstPort, 0);
  ASSERT_NE(secondPort, 0);
  service.bootstrap(service.process("first", firstPort) + service.process("second", secondPort));
  ASSERT_EQ(service.command({"-im"}), 0);

  EXPECT_EQ(service.command({"-start"}), 0) << service.log("start") << service.log("run");
  EXPECT_EQ(service.command({"-isRunning"}), 0);
  int first = service.childPid("first"), second = service.childPid("second");
  EXPECT_TRUE(processAlive(first));
  EXPECT_TRUE(processAlive(second));
  std::string run = service.log("run");
  // Start pending, refreshed, then running once the children answer.
  size_t pending = find(run, "refresh status 2");
  size_t running = find(run, "ending, final status is 4");
  EXPECT_NE(pending, std::string::npos) << run;
  EXPECT_NE(running, std::string::npos) << run;
  EXPECT_LT(pending, running);
  EXPECT_NE(service.log("start").find("testReadyByPingingWin - pinged all children successfully."), std::string::npos);
#ifndef _WIN32
  // Ready by its own report, and the service with its two children in the unit.
  EXPECT_EQ(Sandbox::instance().run({"systemctl", "is-active", "--quiet", unitOf(service.name())}), 0);
  EXPECT_EQ(unitProperty(service.name(), "StatusText"), "running");
  EXPECT_EQ(unitProcesses(service.name()).size(), 3u);
#endif

  EXPECT_EQ(service.command({"-stop"}), 0) << service.log("stop") << service.log("run");
  EXPECT_TRUE(waitUntil([&] { return !processAlive(first) && !processAlive(second); }, 20s));
  EXPECT_NE(readFile(service.root() / "first.events").find("SHUTDOWN"), std::string::npos);
  EXPECT_NE(readFile(service.root() / "second.events").find("SHUTDOWN"), std::string::npos);
  run = service.log("run");
  EXPECT_NE(run.find("Done wait for processes to stop."), std::string::npos) << run;
  EXPECT_NE(run.find("ending, final status is 3"), std::string::npos);
  EXPECT_EQ(service.command({"-isRunning"}), Failed);
#ifndef _WIN32
  EXPECT_EQ(unitProperty(service.name(), "ActiveState"), "inactive");
  EXPECT_TRUE(unitProcesses(service.name()).empty());
#endif

  EXPECT_EQ(service.command({"-stop"}), 0);
  EXPECT_NE(service.log("stop").find("Service \"" + service.name() + "\" is already stopped."), std::string::npos);

  // -restart of a stopped service: the stop finds it stopped, the start follows.
  fs::remove(service.root() / "first.record");
  EXPECT_EQ(service.command({"-restart"}), 0) << service.log("start");
  EXPECT_EQ(service.command({"-isRunning"}), 0);
  EXPECT_TRUE(processAlive(service.childPid("first")));
  EXPECT_EQ(service.command({"-stop"}), 0);
}

TEST(ServiceControlSlow, TimeLimitsAndChildrenThatNeverAnswer) {
  SKIP_WITHOUT_SERVICE_MANAGER();
  ServiceInstallation service("limits");
  int port = freePort();
  ASSERT_NE(port, 0);
  // A child that takes five seconds to stop.
  service.bootstrap(service.process("slow", port, "READY", {"--stop-delay=5000"}));
  ASSERT_EQ(service.command({"-im"}), 0);
  ASSERT_EQ(service.command({"-start"}), 0) << service.log("start");
  int slow = service.childPid("slow");
  EXPECT_EQ(service.command({"-stop", "-timeLimitSec=0"}), Failed) << service.log("run");
  EXPECT_NE(service.log("stop").find("Failed to stop service \"" + service.name() + "\", within specified time limit."),
            std::string::npos)
      << service.log("stop");
  // The stop goes on without the command and ends.
  EXPECT_TRUE(waitUntil([&] { return serviceState(service.name()) == 1 && !processAlive(slow); }, 90s));
  service.childPid("slow"); // a child started again meanwhile is cleaned up too
  EXPECT_TRUE(waitUntil([&] { return service.log("run").find("ending, final status is 3") != std::string::npos; }, 30s));

  // Children that are never ready: the start command's readiness test fails.
  fs::remove(service.root() / "slow.record");
  int busyPort = freePort();
  ASSERT_NE(busyPort, 0);
  service.bootstrap(service.process("sleepy", busyPort, "still busy"));
  EXPECT_EQ(service.command({"-start"}), Failed);
  EXPECT_NE(service.log("start").find("testReadyByPingingWin - child processes are not ready, stop trying."),
            std::string::npos)
      << service.log("start");
  service.childPid("sleepy");
  EXPECT_EQ(service.command({"-stop"}), 0);
}

} // namespace
