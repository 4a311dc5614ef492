//===- servicemanager-posix.cpp - systemd as the service manager ----------===//
//
// The service entries are systemd units: a service is the unit file
// /etc/systemd/system/<escaped name>.service, written by createService and
// driven by `systemctl` (started without a shell, its output captured, ended
// when it takes too long). Start and stop only queue their job (--no-block):
// the callers wait for the state themselves, within their own time limits.
// The registry values map onto the unit: "Start" is what `systemctl
// is-enabled` says (enabled 2, masked 4, anything else 3), and the
// "Parameters" values are the unit's environment variables, which
// readServiceParameters reads back in the service. A service started by
// systemd runs under it here (status reports as sd_notify messages, SIGTERM
// as the stop control). The client library that sends them is loaded the
// first time there is something to send to systemd: a service that runs
// outside systemd never maps it (with what it brings: compression and
// cryptography libraries, most of a megabyte of resident memory).
//
// Failures of the system carry errno; a `systemctl` that fails carries its
// exit code, and what it said goes to standard error.
//
//===----------------------------------------------------------------------===//
#include "servicemanager.h"
#include "dynlib.h"
#include "systemdunit.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-daemon.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace platform {

namespace {
thread_local int t_lastError = 0;

template <typename T> T failWith(int code, T result) {
  t_lastError = code;
  errno = code;
  return result;
}

const char *const UnitFolder = "/etc/systemd/system";
// Long enough for a daemon-reload on a busy machine; systemctl itself never
// waits for a job here.
constexpr int SystemctlLimitSec = 90;

// What an opened manager, service or registry key stands for.
struct Entry {
  bool manager = false;
  std::string serviceName;
  std::string unit;
  std::string path;
};

Entry *entryOf(void *handle) { return static_cast<Entry *>(handle); }

Entry *newServiceEntry(const char *name) {
  auto *entry = new Entry;
  entry->serviceName = name ? name : "";
  entry->unit = systemdServiceUnitName(entry->serviceName);
  entry->path = std::string(UnitFolder) + "/" + entry->unit;
  return entry;
}

struct Output {
  int exitCode = -1;
  std::string out;
  std::string err;
};

// Runs systemctl with `args`; false (errno in t_lastError) when it could not
// be run or did not end in time, true with its exit code and output
// otherwise.
bool systemctl(const std::vector<std::string> &args, Output &result) {
  int outPipe[2], errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0)
    return failWith(errno, false);
  if (pipe2(errPipe, O_CLOEXEC) != 0) {
    int code = errno;
    close(outPipe[0]);
    close(outPipe[1]);
    return failWith(code, false);
  }
  std::vector<std::string> words = {"systemctl", "--no-pager", "--no-ask-password"};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (std::string &word : words)
    argv.push_back(word.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
  // The service blocks SIGTERM for its control thread; systemctl must not
  // inherit that.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, "systemctl", &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(outPipe[1]);
  close(errPipe[1]);
  if (spawned != 0) {
    close(outPipe[0]);
    close(errPipe[0]);
    return failWith(spawned, false);
  }

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(SystemctlLimitSec);
  struct pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string *targets[2] = {&result.out, &result.err};
  int open = 2;
  bool late = false;
  while (open > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      late = true;
      break;
    }
    int ready = poll(fds, 2, static_cast<int>(left.count()));
    if (ready < 0 && errno != EINTR)
      break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
        continue;
      char buffer[4096];
      ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        targets[i]->append(buffer, static_cast<size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  for (struct pollfd &fd : fds)
    if (fd.fd >= 0)
      close(fd.fd);

  if (late)
    kill(pid, SIGKILL);
  int status = 0;
  for (;;) {
    pid_t done = waitpid(pid, &status, late ? 0 : WNOHANG);
    if (done == pid)
      break;
    if (done < 0) {
      if (errno == EINTR)
        continue;
      return failWith(errno, false);
    }
    // Its output has ended, but not the program.
    if (std::chrono::steady_clock::now() >= deadline) {
      late = true;
      kill(pid, SIGKILL);
      continue;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (late)
    return failWith(ETIMEDOUT, false);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return true;
}

// Runs systemctl for an action; false with its exit code (what it said on
// standard error is passed on) when it fails.
bool systemctlAction(const std::vector<std::string> &args) {
  Output result;
  if (!systemctl(args, result))
    return false;
  if (result.exitCode == 0)
    return true;
  if (!result.err.empty()) {
    std::fputs(result.err.c_str(), stderr);
    std::fflush(stderr);
  }
  return failWith(result.exitCode, false);
}

bool daemonReload() { return systemctlAction({"daemon-reload"}); }

bool unitFileExists(const std::string &path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

bool readLines(const std::string &path, std::vector<std::string> &lines) {
  FILE *file = std::fopen(path.c_str(), "re");
  if (!file)
    return failWith(errno, false);
  lines.clear();
  std::string line;
  for (int c; (c = std::fgetc(file)) != EOF;) {
    if (c == '\n') {
      lines.push_back(line);
      line.clear();
    } else {
      line += static_cast<char>(c);
    }
  }
  if (!line.empty())
    lines.push_back(line);
  const bool failed = std::ferror(file) != 0;
  const int code = errno;
  std::fclose(file);
  return failed ? failWith(code, false) : true;
}

// Replaces the file at `path` by `text` at once: systemd never reads half a
// unit.
bool writeFileAtomically(const std::string &path, const std::string &text) {
  const std::string temporary = path + ".tmp-" + std::to_string(getpid());
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0)
    return failWith(errno, false);
  size_t written = 0;
  while (written < text.size()) {
    ssize_t n = write(fd, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0) {
      int code = n < 0 ? errno : EIO;
      close(fd);
      unlink(temporary.c_str());
      return failWith(code, false);
    }
    written += static_cast<size_t>(n);
  }
  if (fsync(fd) != 0 || close(fd) != 0) {
    int code = errno;
    unlink(temporary.c_str());
    return failWith(code, false);
  }
  if (rename(temporary.c_str(), path.c_str()) != 0) {
    int code = errno;
    unlink(temporary.c_str());
    return failWith(code, false);
  }
  return true;
}

bool writeLines(const std::string &path, const std::vector<std::string> &lines) {
  std::string text;
  for (const std::string &line : lines)
    text += line + "\n";
  return writeFileAtomically(path, text) && daemonReload();
}

bool startsWith(const std::string &text, const std::string &prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

// One "Key=value" of `systemctl show` output; "" when absent.
std::string shownValue(const std::string &output, const std::string &key) {
  size_t at = 0;
  const std::string prefix = key + "=";
  while (at < output.size()) {
    size_t end = output.find('\n', at);
    if (end == std::string::npos)
      end = output.size();
    if (output.compare(at, prefix.size(), prefix) == 0)
      return output.substr(at + prefix.size(), end - at - prefix.size());
    at = end + 1;
  }
  return std::string();
}

// The type of the job queued for `unit` ("start", "stop", ...); "" when none.
std::string jobType(const std::string &unit) {
  Output result;
  if (!systemctl({"list-jobs", "--no-legend", "--full", unit}, result) || result.exitCode != 0)
    return std::string();
  // "<id> <unit> <type> <state>"
  std::vector<std::string> words;
  std::string word;
  for (char c : result.out + " ") {
    if (c == ' ' || c == '\t' || c == '\n') {
      if (!word.empty())
        words.push_back(word);
      word.clear();
    } else {
      word += c;
    }
  }
  for (size_t i = 1; i + 1 < words.size(); ++i)
    if (words[i] == unit)
      return words[i + 1];
  return std::string();
}

bool queryStatus(const Entry &entry, ServiceStatus &status) {
  Output result;
  if (!systemctl({"show", "--property=ActiveState,Job,ExecMainStatus", entry.unit}, result))
    return false;
  if (result.exitCode != 0)
    return failWith(result.exitCode, false);
  const std::string active = shownValue(result.out, "ActiveState");
  std::string job;
  if (!shownValue(result.out, "Job").empty())
    job = jobType(entry.unit);
  status = ServiceStatus();
  uint32_t state = ServiceState::Stopped;
  if (active == "activating")
    state = job == "stop" ? ServiceState::StopPending : ServiceState::StartPending;
  else if (active == "deactivating")
    state = ServiceState::StopPending;
  else if (active == "active" || active == "reloading")
    state = job == "stop" || job == "restart" ? ServiceState::StopPending : ServiceState::Running;
  else if (job == "start" || job == "restart" || job == "verify-active")
    // A queued start that systemd has not begun yet.
    state = ServiceState::StartPending;
  status.dwCurrentState = state;
  if (state == ServiceState::StartPending || state == ServiceState::StopPending)
    status.dwWaitHint = 1000;
  if (active == "failed")
    status.dwWin32ExitCode = static_cast<uint32_t>(std::atoi(shownValue(result.out, "ExecMainStatus").c_str()));
  return true;
}

// The "Parameters" values as the unit's environment variables.
const char *environmentVariableOf(const char *valueName) {
  if (std::strcmp(valueName, "CurrentWorkingDir") == 0)
    return "TSL_SERVICE_DIR";
  if (std::strcmp(valueName, "ServiceClass") == 0)
    return "TSL_SERVICE_CLASS";
  return nullptr;
}

/// Sends `message` to systemd with Debian's client library: > 0 sent, 0 when
/// NOTIFY_SOCKET is not set (nothing is loaded then), -errno on failure. The
/// library is loaded once, by the first report that has somewhere to go, and
/// stays for the life of the process; when it cannot be loaded the report
/// fails with ELIBACC and the loader's reason on standard error, once.
int notifyServiceManager(const std::string &message) {
  const char *name = std::getenv("NOTIFY_SOCKET");
  if (!name || !*name)
    return 0;
  using NotifyFunction = decltype(&sd_notify);
  static const NotifyFunction notify = []() -> NotifyFunction {
    static DynamicLibrary library;
    NotifyFunction function = nullptr;
    if (library.open("libsystemd.so.0"))
      function = reinterpret_cast<NotifyFunction>(library.symbol("sd_notify"));
    if (!function)
      std::fprintf(stderr, "The systemd client library cannot be used: %s\n", library.errorText().c_str());
    return function;
  }();
  return notify ? notify(0, message.c_str()) : -ELIBACC;
}
} // namespace

ServiceHandle &ServiceHandle::operator=(ServiceHandle &&other) noexcept {
  if (this != &other) {
    close();
    m_handle = other.m_handle;
    other.m_handle = nullptr;
  }
  return *this;
}
void ServiceHandle::close() {
  delete entryOf(m_handle);
  m_handle = nullptr;
}

RegistryKey &RegistryKey::operator=(RegistryKey &&other) noexcept {
  if (this != &other) {
    close();
    m_key = other.m_key;
    other.m_key = nullptr;
  }
  return *this;
}
void RegistryKey::close() {
  delete entryOf(m_key);
  m_key = nullptr;
}

int lastServiceError() { return t_lastError; }
void setLastServiceError(int code) {
  t_lastError = code;
  errno = code;
}

int lastSystemError() { return errno; }

//===--- Service entries --------------------------------------------------===//

ServiceHandle openServiceManager() {
  // As the Service Control Manager opened with every right: systemd must run
  // as the system's manager, and its unit folder must be ours to write.
  // systemd's own test (sd_booted): the folder that only a running systemd
  // makes; asked here so that commands never load the client library.
  struct stat runFolder;
  if (lstat("/run/systemd/system/", &runFolder) != 0 || !S_ISDIR(runFolder.st_mode))
    return failWith(ENOTCONN, ServiceHandle());
  if (access(UnitFolder, W_OK) != 0)
    return failWith(errno, ServiceHandle());
  auto *entry = new Entry;
  entry->manager = true;
  return ServiceHandle(entry);
}

ServiceHandle openService(const ServiceHandle &manager, const char *name, uint32_t) {
  if (!manager || !name)
    return failWith(EINVAL, ServiceHandle());
  ServiceHandle service(newServiceEntry(name));
  if (!unitFileExists(entryOf(service.get())->path))
    return failWith(ENOENT, ServiceHandle());
  return service;
}

ServiceHandle createService(const ServiceHandle &manager, const char *name, const char *binaryPath, bool autoStart) {
  if (!manager || !name || !binaryPath)
    return failWith(EINVAL, ServiceHandle());
  ServiceHandle service(newServiceEntry(name));
  const Entry &entry = *entryOf(service.get());
  if (entry.unit.size() > SystemdUnitNameMax)
    return failWith(ENAMETOOLONG, ServiceHandle());
  if (unitFileExists(entry.path))
    return failWith(EEXIST, ServiceHandle());

  std::string program = binaryPath;
  if (program.size() >= 2 && program.front() == '"' && program.back() == '"')
    program = program.substr(1, program.size() - 2);
  if (!systemdProgramAllowed(program) || !systemdValueAllowed(entry.serviceName))
    return failWith(EINVAL, ServiceHandle());
  SystemdUnit unit;
  unit.description = entry.serviceName;
  unit.program = program;
  std::string drive, directory;
  splitPath(program, drive, directory);
  unit.workingDirectory = directory.size() > 1 ? directory.substr(0, directory.size() - 1) : directory;
  unit.environment.emplace_back("TSL_SERVICE_NAME", entry.serviceName);
  if (!writeFileAtomically(entry.path, systemdUnitText(unit)))
    return ServiceHandle();
  if (!daemonReload() || (autoStart && !systemctlAction({"enable", "--quiet", entry.unit}))) {
    const int code = t_lastError;
    unlink(entry.path.c_str());
    Output ignored;
    systemctl({"daemon-reload"}, ignored);
    return failWith(code, ServiceHandle());
  }
  return service;
}

bool setServiceDescription(const ServiceHandle &service, const char *description) {
  if (!service || !description)
    return failWith(EINVAL, false);
  const Entry &entry = *entryOf(service.get());
  std::vector<std::string> lines;
  if (!readLines(entry.path, lines))
    return false;
  for (std::string &line : lines)
    if (startsWith(line, "Description=")) {
      line = systemdDescriptionLine(description);
      return writeLines(entry.path, lines);
    }
  return failWith(ENOENT, false);
}

bool deleteService(const ServiceHandle &service) {
  if (!service)
    return failWith(EINVAL, false);
  const Entry &entry = *entryOf(service.get());
  // A mask (the unit file replaced by a link to /dev/null) is the "disabled"
  // start mode, and goes with the service as the start mode does on Windows.
  Output enabled;
  if (!systemctl({"is-enabled", entry.unit}, enabled))
    return false;
  const bool masked = startsWith(enabled.out, "masked");
  if (!systemctlAction({"disable", "--quiet", entry.unit}) && !masked)
    return false;
  if (masked && !systemctlAction(startsWith(enabled.out, "masked-runtime")
                                     ? std::vector<std::string>{"unmask", "--runtime", "--quiet", entry.unit}
                                     : std::vector<std::string>{"unmask", "--quiet", entry.unit}))
    return false;
  if (unlink(entry.path.c_str()) != 0 && errno != ENOENT)
    return failWith(errno, false);
  return daemonReload();
}

bool queryServiceBinaryPath(const ServiceHandle &service, std::string &binaryPath) {
  if (!service)
    return failWith(EINVAL, false);
  std::vector<std::string> lines;
  if (!readLines(entryOf(service.get())->path, lines))
    return false;
  for (const std::string &line : lines)
    if (systemdProgramOfExecStart(line, binaryPath))
      return true;
  return failWith(ENOENT, false);
}

bool queryServiceStatus(const ServiceHandle &service, ServiceStatus &status) {
  if (!service)
    return failWith(EINVAL, false);
  return queryStatus(*entryOf(service.get()), status);
}

bool startService(const ServiceHandle &service) {
  if (!service)
    return failWith(EINVAL, false);
  const Entry &entry = *entryOf(service.get());
  ServiceStatus status;
  if (!queryStatus(entry, status))
    return false;
  if (status.dwCurrentState == ServiceState::Running || status.dwCurrentState == ServiceState::StartPending)
    return failWith(ServiceError::AlreadyRunning, false);
  return systemctlAction({"start", "--no-block", entry.unit});
}

bool stopService(const ServiceHandle &service, ServiceStatus &status) {
  if (!service)
    return failWith(EINVAL, false);
  const Entry &entry = *entryOf(service.get());
  if (!queryStatus(entry, status))
    return false;
  if (status.dwCurrentState == ServiceState::Stopped)
    return failWith(ServiceError::NotActive, false);
  if (status.dwCurrentState == ServiceState::StopPending)
    return true;
  return systemctlAction({"stop", "--no-block", entry.unit}) && queryStatus(entry, status);
}

//===--- The service's registry key ---------------------------------------===//

RegistryKey openServiceKey(const char *name) {
  if (!name)
    return failWith(EINVAL, RegistryKey());
  RegistryKey key(newServiceEntry(name));
  if (!unitFileExists(entryOf(key.get())->path))
    return failWith(ENOENT, RegistryKey());
  return key;
}

bool readRegistryDword(const RegistryKey &key, const char *valueName, uint32_t &value) {
  if (!key || !valueName)
    return failWith(EINVAL, false);
  if (std::strcmp(valueName, "Start") != 0)
    return failWith(ENOENT, false);
  Output result;
  if (!systemctl({"is-enabled", entryOf(key.get())->unit}, result))
    return false;
  // is-enabled fails for every state but the enabled ones, and says which.
  if (startsWith(result.out, "enabled"))
    value = ServiceStartMode::Auto;
  else if (startsWith(result.out, "masked"))
    value = ServiceStartMode::Disabled;
  else if (!result.out.empty())
    value = ServiceStartMode::Manual;
  else
    return failWith(result.exitCode != 0 ? result.exitCode : EIO, false);
  return true;
}

RegistryKey createServiceParametersKey(const char *name) { return openServiceKey(name); }

bool writeRegistryString(const RegistryKey &key, const char *valueName, const char *value) {
  if (!key || !valueName || !value)
    return failWith(EINVAL, false);
  const char *variable = environmentVariableOf(valueName);
  if (!variable)
    return failWith(EINVAL, false);
  if (!systemdValueAllowed(value))
    return failWith(EINVAL, false);
  const Entry &entry = *entryOf(key.get());
  std::vector<std::string> lines;
  if (!readLines(entry.path, lines))
    return false;
  const std::string line = systemdEnvironmentLine(variable, value);
  const std::string prefix = "Environment=\"" + std::string(variable) + "=";
  size_t insertAt = lines.size();
  for (size_t i = 0; i < lines.size(); ++i) {
    if (startsWith(lines[i], prefix)) {
      lines[i] = line;
      return writeLines(entry.path, lines);
    }
    if (startsWith(lines[i], "Environment=") || (insertAt == lines.size() && lines[i] == "[Service]"))
      insertAt = i + 1;
  }
  lines.insert(lines.begin() + static_cast<long>(insertAt), line);
  return writeLines(entry.path, lines);
}

//===--- The program itself -----------------------------------------------===//

std::string modulePath() {
  std::vector<char> buffer(4096);
  ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
  if (length < 0)
    return failWith(errno, std::string());
  if (static_cast<size_t>(length) >= buffer.size())
    return failWith(ENAMETOOLONG, std::string());
  return std::string(buffer.data(), static_cast<size_t>(length));
}

void splitPath(const std::string &path, std::string &drive, std::string &directory) {
  drive.clear();
  size_t slash = path.rfind('/');
  directory = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

//===--- Running under systemd --------------------------------------------===//
//
// systemd starts a Type=notify unit with NOTIFY_SOCKET set: that is how a run
// without options knows that a service manager is there. Status reports
// become sd_notify messages, and SIGTERM, systemd's stop request, is the stop
// control: it is blocked in every thread and taken by one thread of its own
// with sigwait, so that the control handler runs on an ordinary thread (as
// the Service Control Manager's dispatcher thread runs it on Windows).

namespace {
std::atomic<ServiceControlFunction> g_controlHandler{nullptr};
// The status handle: its address, which is never null.
char g_statusHandle;
std::atomic<bool> g_dispatcherDone{false};

const char *stateText(uint32_t state) {
  switch (state) {
  case ServiceState::Stopped:
    return "stopped";
  case ServiceState::StartPending:
    return "start pending";
  case ServiceState::StopPending:
    return "stop pending";
  case ServiceState::Running:
    return "running";
  default:
    return "unknown";
  }
}
} // namespace

bool startServiceDispatcher(const char *name, ServiceMainFunction serviceMain) {
  const char *notifySocket = std::getenv("NOTIFY_SOCKET");
  if (!notifySocket || !*notifySocket)
    return failWith(ENOTCONN, false);

  sigset_t stopSignal;
  sigemptyset(&stopSignal);
  sigaddset(&stopSignal, SIGTERM);
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &stopSignal, &previous);
  g_dispatcherDone.store(false);
  std::thread controls;
  try {
    controls = std::thread([stopSignal] {
      for (;;) {
        int signal = 0;
        if (sigwait(&stopSignal, &signal) != 0)
          continue;
        if (g_dispatcherDone.load())
          return;
        if (ServiceControlFunction handler = g_controlHandler.load())
          handler(1); // stop
      }
    });
  } catch (const std::system_error &e) {
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return failWith(e.code().value(), false);
  }

  // The unit names its service, as the Service Control Manager hands the
  // service main the name that it was started by.
  const char *unitService = std::getenv("TSL_SERVICE_NAME");
  std::string serviceName = unitService && *unitService ? unitService : name ? name : "";
  char *argv[] = {serviceName.data(), nullptr};
  serviceMain(1, argv);

  g_dispatcherDone.store(true);
  pthread_kill(controls.native_handle(), SIGTERM);
  controls.join();
  g_controlHandler.store(nullptr);
  // A SIGTERM that came after the service stopped is not left pending.
  sigset_t pending;
  sigpending(&pending);
  if (sigismember(&pending, SIGTERM)) {
    const struct timespec none = {0, 0};
    sigtimedwait(&stopSignal, nullptr, &none);
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return true;
}

void *registerServiceControlHandler(const char *, ServiceControlFunction handler) {
  if (!handler)
    return failWith(EINVAL, static_cast<void *>(nullptr));
  g_controlHandler.store(handler);
  return &g_statusHandle;
}

bool setServiceStatus(void *statusHandle, const ServiceStatus &status) {
  if (statusHandle != &g_statusHandle)
    return false;
  std::string message;
  switch (status.dwCurrentState) {
  case ServiceState::Running:
    message = "READY=1\n";
    break;
  case ServiceState::StopPending:
    message = "STOPPING=1\n";
    break;
  default:
    break;
  }
  message += std::string("STATUS=") + stateText(status.dwCurrentState);
  const bool pending =
      status.dwCurrentState == ServiceState::StartPending || status.dwCurrentState == ServiceState::StopPending;
  // The wait hint, in milliseconds, is how much longer the pending state may
  // last: systemd extends its own start or stop timeout by as much.
  if (pending && status.dwWaitHint > 0)
    message += "\nEXTEND_TIMEOUT_USEC=" + std::to_string(static_cast<unsigned long long>(status.dwWaitHint) * 1000);
  const int result = notifyServiceManager(message);
  if (result > 0)
    return true;
  t_lastError = result < 0 ? -result : ENOTCONN;
  return false;
}

//===--- Parameters recorded at installation -----------------------------===//

bool readServiceParameters(const char *serviceName, ServiceParameters &out) {
  // Variables of a unit made for another service are not ours.
  const char *recordedName = std::getenv("TSL_SERVICE_NAME");
  if (recordedName && std::strcmp(recordedName, serviceName ? serviceName : "") != 0)
    return false;
  const char *directory = std::getenv("TSL_SERVICE_DIR");
  const char *serviceClass = std::getenv("TSL_SERVICE_CLASS");
  std::string unitDirectory, unitClass;
  if (!recordedName && !directory && !serviceClass) {
    // Not run by the unit (a command such as -u): what its file records.
    std::unique_ptr<Entry> entry(newServiceEntry(serviceName));
    std::vector<std::string> lines;
    if (!readLines(entry->path, lines))
      return false;
    bool hasDirectory = false, hasClass = false;
    std::string name, value;
    for (const std::string &line : lines) {
      if (!systemdEnvironmentOfLine(line, name, value))
        continue;
      if (name == "TSL_SERVICE_DIR") {
        unitDirectory = value;
        hasDirectory = true;
      } else if (name == "TSL_SERVICE_CLASS") {
        unitClass = value;
        hasClass = true;
      }
    }
    if (hasDirectory)
      directory = unitDirectory.c_str();
    if (hasClass)
      serviceClass = unitClass.c_str();
  }
  if (!directory && !serviceClass)
    return false;
  if (directory) {
    out.workingDirectoryRead = true;
    out.workingDirectory = directory;
  }
  if (serviceClass && std::strlen(serviceClass) < ServiceClassBufferSize) {
    out.serviceClassRead = true;
    out.serviceClass = serviceClass;
  }
  return true;
}

} // namespace platform
