//===- processes-posix.cpp - Child processes through posix_spawn and waitpid ===//
//
// Every process started here is entered in a table under its process id.
// Its exit status is collected (waitpid) only while the table's lock is
// held, and the entry remembers it, so no process id is signalled once it
// has been collected. The blocking wait watches the process with
// waitid(WNOWAIT), which leaves it uncollected, and collects it under the
// lock afterwards.
//
// Entries whose handle was closed while the process still ran stay in the
// table as reapers: each call of this layer collects those that have ended
// and drops them.
//
//===----------------------------------------------------------------------===//
#include "processes.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <map>
#include <mutex>
#include <spawn.h>
#include <thread>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace platform {

namespace {

thread_local int t_lastError = 0;

struct ChildRecord {
  bool collected = false; ///< waitpid has returned its status (or it is lost)
  bool statusKnown = false;
  int status = 0;
  bool closed = false; ///< the handle was closed; kept only to be collected
};

struct ChildTable {
  std::mutex lock;
  std::map<pid_t, ChildRecord> records;
};

ChildTable &table() {
  // Never destroyed: children may be watched while the process ends.
  static ChildTable *instance = new ChildTable();
  return *instance;
}

bool fail(int code) {
  t_lastError = code;
  return false;
}

/// Collects `pid` when it has ended; the table's lock must be held. False
/// (errno) when waitpid fails; a process that is no longer this process's
/// child (collected elsewhere) is marked collected with its status lost.
bool collectIfEnded(pid_t pid, ChildRecord &record) {
  if (record.collected)
    return true;
  int status = 0;
  pid_t got;
  do {
    got = waitpid(pid, &status, WNOHANG);
  } while (got == -1 && errno == EINTR);
  if (got == pid) {
    record.collected = true;
    record.statusKnown = true;
    record.status = status;
    return true;
  }
  if (got == 0)
    return true;
  int error = errno;
  if (error == ECHILD)
    record.collected = true;
  return fail(error);
}

/// Collects the ended processes whose handles were closed; lock held.
void sweep(ChildTable &t) {
  for (auto it = t.records.begin(); it != t.records.end();) {
    if (it->second.closed) {
      collectIfEnded(it->first, it->second);
      if (it->second.collected) {
        it = t.records.erase(it);
        continue;
      }
    }
    ++it;
  }
}

/// The open record of `handle`, or null (EBADF); lock held.
ChildRecord *find(ChildTable &t, ProcessHandle handle) {
  auto it = t.records.find(static_cast<pid_t>(handle));
  if (handle <= 0 || it == t.records.end() || it->second.closed) {
    fail(EBADF);
    return nullptr;
  }
  return &it->second;
}

uint32_t encodeStatus(int status) {
  if (WIFEXITED(status))
    return static_cast<uint32_t>(WEXITSTATUS(status));
  if (WIFSIGNALED(status))
    return 128u + static_cast<uint32_t>(WTERMSIG(status));
  return static_cast<uint32_t>(status);
}

/// Owns one posix_spawn object from its init to its destroy.
template <class T, int (*Init)(T *), int (*Destroy)(T *)> class SpawnObject {
public:
  SpawnObject() { m_error = Init(&m_object); }
  ~SpawnObject() {
    if (m_error == 0)
      Destroy(&m_object);
  }
  SpawnObject(const SpawnObject &) = delete;
  SpawnObject &operator=(const SpawnObject &) = delete;
  int error() const { return m_error; }
  T *get() { return &m_object; }

private:
  T m_object;
  int m_error;
};

using SpawnAttributes = SpawnObject<posix_spawnattr_t, posix_spawnattr_init, posix_spawnattr_destroy>;
using SpawnFileActions =
    SpawnObject<posix_spawn_file_actions_t, posix_spawn_file_actions_init, posix_spawn_file_actions_destroy>;

/// Blocked signals, ignored signals and open descriptors are what a child
/// inherits through exec; each is reset here for the new program.
int prepare(SpawnAttributes &attributes, SpawnFileActions &fileActions) {
  if (attributes.error() != 0)
    return attributes.error();
  if (fileActions.error() != 0)
    return fileActions.error();
  sigset_t defaults;
  sigfillset(&defaults);
  sigdelset(&defaults, SIGKILL);
  sigdelset(&defaults, SIGSTOP);
  sigset_t none;
  sigemptyset(&none);
  int rc = posix_spawnattr_setflags(attributes.get(),
                                    POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  if (rc == 0)
    rc = posix_spawnattr_setpgroup(attributes.get(), 0);
  if (rc == 0)
    rc = posix_spawnattr_setsigdefault(attributes.get(), &defaults);
  if (rc == 0)
    rc = posix_spawnattr_setsigmask(attributes.get(), &none);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  // Everything is opened close-on-exec already; this also covers
  // descriptors that a library opened without the flag.
  if (rc == 0)
    rc = posix_spawn_file_actions_addclosefrom_np(fileActions.get(), 3);
#endif
  return rc;
}

} // namespace

int startProcess(const std::string &, const std::vector<std::string> &argv, ProcessHandle &handle, int &pid,
                 int *threadCloseError) {
  if (threadCloseError)
    *threadCloseError = 0;
  if (argv.empty()) {
    fail(EINVAL);
    return EINVAL;
  }
  std::vector<char *> arguments;
  arguments.reserve(argv.size() + 1);
  for (const std::string &argument : argv)
    arguments.push_back(const_cast<char *>(argument.c_str()));
  arguments.push_back(nullptr);

  SpawnAttributes attributes;
  SpawnFileActions fileActions;
  int rc = prepare(attributes, fileActions);
  if (rc != 0) {
    fail(rc);
    return rc;
  }

  // Nothing collects a process that is not in the table yet, so the start
  // itself needs no lock.
  pid_t child = 0;
  if (argv[0].find('/') == std::string::npos)
    rc = posix_spawnp(&child, arguments[0], fileActions.get(), attributes.get(), arguments.data(), environ);
  else
    rc = posix_spawn(&child, arguments[0], fileActions.get(), attributes.get(), arguments.data(), environ);
  if (rc != 0) {
    fail(rc);
    return rc;
  }
  ChildTable &t = table();
  std::lock_guard<std::mutex> guard(t.lock);
  sweep(t);
  t.records[child] = ChildRecord();
  handle = child;
  pid = child;
  return 0;
}

int processId(ProcessHandle handle) {
  ChildTable &t = table();
  std::lock_guard<std::mutex> guard(t.lock);
  sweep(t);
  return find(t, handle) ? static_cast<int>(handle) : 0;
}

bool exitCode(ProcessHandle handle, uint32_t &code) {
  ChildTable &t = table();
  std::lock_guard<std::mutex> guard(t.lock);
  sweep(t);
  ChildRecord *record = find(t, handle);
  if (!record)
    return false;
  if (!collectIfEnded(static_cast<pid_t>(handle), *record))
    return false;
  if (!record->collected) {
    code = StillActive;
    return true;
  }
  if (!record->statusKnown)
    return fail(ECHILD);
  code = encodeStatus(record->status);
  return true;
}

bool waitForExit(ProcessHandle handle) {
  ChildTable &t = table();
  {
    std::lock_guard<std::mutex> guard(t.lock);
    sweep(t);
    ChildRecord *record = find(t, handle);
    if (!record)
      return false;
    if (record->collected)
      return true;
  }
  siginfo_t info{};
  int rc;
  do {
    rc = waitid(P_PID, static_cast<id_t>(handle), &info, WEXITED | WNOWAIT);
  } while (rc == -1 && errno == EINTR);
  int error = rc == -1 ? errno : 0;

  std::lock_guard<std::mutex> guard(t.lock);
  auto it = t.records.find(static_cast<pid_t>(handle));
  if (it == t.records.end())
    return true; // closed and collected by another thread meanwhile
  // Another thread of this layer may have collected it first (ECHILD).
  collectIfEnded(it->first, it->second);
  if (it->second.collected)
    return true;
  return fail(error != 0 ? error : ECHILD);
}

int waitForExitFor(ProcessHandle handle, int timeoutMs) {
  // No wait call takes both a process and a time limit, so the process is
  // looked at in short steps; each look collects it once it has ended.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    {
      ChildTable &t = table();
      std::lock_guard<std::mutex> guard(t.lock);
      sweep(t);
      ChildRecord *record = find(t, handle);
      if (!record)
        return -1;
      if (!collectIfEnded(static_cast<pid_t>(handle), *record) && !record->collected)
        return -1;
      if (record->collected)
        return 1;
    }
    if (std::chrono::steady_clock::now() >= deadline)
      return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool terminateProcess(ProcessHandle handle, uint32_t) {
  ChildTable &t = table();
  std::lock_guard<std::mutex> guard(t.lock);
  sweep(t);
  ChildRecord *record = find(t, handle);
  if (!record)
    return false;
  collectIfEnded(static_cast<pid_t>(handle), *record);
  if (record->collected)
    return fail(ESRCH);
  // The group takes the processes that the child started; the process
  // itself is signalled too in case it left its group. It is not collected
  // yet, so its id still names it.
  pid_t pid = static_cast<pid_t>(handle);
  bool groupKilled = kill(-pid, SIGKILL) == 0;
  int groupError = errno;
  bool processKilled = kill(pid, SIGKILL) == 0;
  if (groupKilled || processKilled)
    return true;
  return fail(groupError);
}

bool closeProcessHandle(ProcessHandle handle) {
  if (handle == NoProcess)
    return true;
  ChildTable &t = table();
  std::lock_guard<std::mutex> guard(t.lock);
  sweep(t);
  ChildRecord *record = find(t, handle);
  if (!record)
    return false;
  collectIfEnded(static_cast<pid_t>(handle), *record);
  if (record->collected)
    t.records.erase(static_cast<pid_t>(handle));
  else
    record->closed = true;
  return true;
}

int currentProcessId() { return static_cast<int>(getpid()); }

int lastProcessError() { return t_lastError; }

} // namespace platform
