//===- processes-win32.cpp - Child processes through CreateProcessA ---------===//
//
// A ProcessHandle is the process HANDLE itself. Each started process is put
// into a job object of its own, remembered in a locked table next to the
// handle, so that terminateProcess ends the whole tree that the process
// started. The job's one limit lets its processes start others outside it
// when they ask to (CREATE_BREAKAWAY_FROM_JOB); it kills nothing when its
// handle is closed.
// Where a job cannot be made or assigned, the process goes without one and
// terminateProcess ends it alone.
//
//===----------------------------------------------------------------------===//
#include "processes.h"

#include <windows.h>

#include <map>
#include <memory>
#include <mutex>

namespace platform {

namespace {

thread_local int t_lastError = 0;

bool failWithLastError() {
  t_lastError = static_cast<int>(GetLastError());
  return false;
}

HANDLE toHandle(ProcessHandle handle) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle)); }

struct HandleCloser {
  void operator()(void *handle) const { CloseHandle(handle); }
};
/// A job object, closed when its owner goes.
using JobHandle = std::unique_ptr<void, HandleCloser>;

struct JobTable {
  std::mutex lock;
  std::map<ProcessHandle, JobHandle> jobs;
};

JobTable &jobTable() {
  // Never destroyed: processes may be ended while the service ends.
  static JobTable *instance = new JobTable();
  return *instance;
}

HANDLE jobOf(ProcessHandle handle) {
  JobTable &t = jobTable();
  std::lock_guard<std::mutex> guard(t.lock);
  auto it = t.jobs.find(handle);
  return it == t.jobs.end() ? nullptr : it->second.get();
}

} // namespace

int startProcess(const std::string &commandLine, const std::vector<std::string> &, ProcessHandle &handle, int &pid,
                 int *threadCloseError) {
  if (threadCloseError)
    *threadCloseError = 0;
  // CreateProcessA may write into the command line, so it gets a copy.
  std::vector<char> line(commandLine.begin(), commandLine.end());
  line.push_back('\0');
  STARTUPINFOA startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info;
  ZeroMemory(&info, sizeof info);
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NEW_PROCESS_GROUP, nullptr, nullptr,
                      &startup, &info)) {
    failWithLastError();
    if (t_lastError == 0)
      t_lastError = ERROR_GEN_FAILURE;
    return t_lastError;
  }

  JobHandle job(CreateJobObjectA(nullptr, nullptr)); // not inheritable
  if (job) {
    // A program that starts its own helpers outside its job (as Java's
    // launchers may) must still be able to: the job is only there to end
    // the tree by force.
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
    ZeroMemory(&limits, sizeof limits);
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_BREAKAWAY_OK;
    if (!SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits) ||
        !AssignProcessToJobObject(job.get(), info.hProcess))
      job.reset();
  }
  handle = static_cast<ProcessHandle>(reinterpret_cast<intptr_t>(info.hProcess));
  pid = static_cast<int>(info.dwProcessId);
  if (job) {
    JobTable &t = jobTable();
    std::lock_guard<std::mutex> guard(t.lock);
    t.jobs[handle] = std::move(job);
  }
  if (!CloseHandle(info.hThread) && threadCloseError)
    *threadCloseError = static_cast<int>(GetLastError());
  return 0;
}

int processId(ProcessHandle handle) {
  DWORD id = GetProcessId(toHandle(handle));
  if (id == 0)
    failWithLastError();
  return static_cast<int>(id);
}

bool exitCode(ProcessHandle handle, uint32_t &code) {
  DWORD value = 0;
  if (!GetExitCodeProcess(toHandle(handle), &value))
    return failWithLastError();
  code = value;
  return true;
}

bool waitForExit(ProcessHandle handle) {
  if (WaitForSingleObject(toHandle(handle), INFINITE) != WAIT_OBJECT_0)
    return failWithLastError();
  return true;
}

int waitForExitFor(ProcessHandle handle, int timeoutMs) {
  DWORD rc = WaitForSingleObject(toHandle(handle), timeoutMs < 0 ? 0 : static_cast<DWORD>(timeoutMs));
  if (rc == WAIT_OBJECT_0)
    return 1;
  if (rc == WAIT_TIMEOUT)
    return 0;
  failWithLastError();
  return -1;
}

bool terminateProcess(ProcessHandle handle, uint32_t code) {
  HANDLE job = jobOf(handle);
  if (job && TerminateJobObject(job, code))
    return true;
  if (!TerminateProcess(toHandle(handle), code))
    return failWithLastError();
  return true;
}

bool closeProcessHandle(ProcessHandle handle) {
  if (handle == NoProcess)
    return true;
  {
    // Closing the job ends nothing: it has no kill-on-close limit.
    JobTable &t = jobTable();
    std::lock_guard<std::mutex> guard(t.lock);
    t.jobs.erase(handle);
  }
  if (!CloseHandle(toHandle(handle)))
    return failWithLastError();
  return true;
}

int currentProcessId() { return static_cast<int>(GetCurrentProcessId()); }

int lastProcessError() { return t_lastError; }

} // namespace platform
