//===- rklcore-win32.cpp - Core library: threads, semaphores and files ----===//
//
// Windows threads with the requested stack reservation, kernel semaphores,
// and file calls whose handles are never inherited by child processes.
//
//===----------------------------------------------------------------------===//
#include "rklcore.h"
#include "rklcore_native.h"

#include <windows.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <process.h>
#include <sys/stat.h>

//===----------------------------------------------------------------------===//
// Threads
//===----------------------------------------------------------------------===//

struct RKLThread::Native {
  RKLThread *owner = nullptr;
  HANDLE thread = nullptr;
  DWORD id = 0;
  bool joined = false;
  std::atomic<bool> alive{false};

  ~Native() {
    if (thread)
      CloseHandle(thread);
  }
};

namespace {
// The thread's first function: runs the body, keeps an escaping exception
// from ending the process, and clears the alive flag when the body is done.
unsigned __stdcall threadEntry(void *argument) {
  auto *native = static_cast<RKLThread::Native *>(argument);
  try {
    native->owner->run();
  } catch (const RKLThrowable &e) {
    RKLDiagnostics::report(0, "RKLThread", ("thread ended by an exception: " + e.describe()).c_str());
  } catch (const std::exception &e) {
    RKLDiagnostics::report(0, "RKLThread", (std::string("thread ended by an exception: ") + e.what()).c_str());
  } catch (...) {
    RKLDiagnostics::report(0, "RKLThread", "thread ended by an unknown exception");
  }
  native->alive.store(false);
  return 0;
}
} // namespace

RKLThread::RKLThread(RKLRunnable *target, size_t stackSize)
    : m_target(target), m_stackSize(stackSize), m_native(std::make_unique<Native>()) {
  m_native->owner = this;
}

RKLThread::~RKLThread() {
  if (m_native->thread && !m_native->joined && m_native->id != GetCurrentThreadId())
    WaitForSingleObject(m_native->thread, INFINITE);
}

void RKLThread::run() {
  if (m_target)
    m_target->run();
}

void RKLThread::start() {
  if (m_native->thread) {
    if (m_native->alive.load())
      throw RKLThreadResourceError("RKLThread::start (still running)", ERROR_BUSY);
    join();
    CloseHandle(m_native->thread);
    m_native->thread = nullptr;
    m_native->joined = false;
  }
  m_native->alive.store(true);
  unsigned id = 0;
  // No security attributes: the thread handle is not inheritable.
  uintptr_t handle = _beginthreadex(nullptr, static_cast<unsigned>(m_stackSize), &threadEntry, m_native.get(),
                                    m_stackSize ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0, &id);
  if (handle == 0) {
    m_native->alive.store(false);
    throw RKLThreadResourceError("_beginthreadex", static_cast<int>(GetLastError()));
  }
  m_native->thread = reinterpret_cast<HANDLE>(handle);
  m_native->id = id;
}

void RKLThread::join() {
  if (!m_native->thread || m_native->joined)
    return;
  if (m_native->id == GetCurrentThreadId())
    throw RKLThreadResourceError("RKLThread::join (the thread itself)", ERROR_POSSIBLE_DEADLOCK);
  if (WaitForSingleObject(m_native->thread, INFINITE) == WAIT_FAILED)
    throw RKLThreadResourceError("WaitForSingleObject", static_cast<int>(GetLastError()));
  m_native->joined = true;
}

bool RKLThread::isAlive() const { return m_native->alive.load(); }

void RKLThread::sleep(long milliseconds) {
  if (milliseconds > 0)
    Sleep(static_cast<DWORD>(milliseconds));
}

uint64_t RKLThread::currentThreadId() { return GetCurrentThreadId(); }

//===----------------------------------------------------------------------===//
// Semaphores
//===----------------------------------------------------------------------===//

struct RKLThreadSemaphore::Native {
  HANDLE semaphore = nullptr;
  ~Native() {
    if (semaphore)
      CloseHandle(semaphore);
  }
};

RKLThreadSemaphore::RKLThreadSemaphore(int initialCount) : m_native(std::make_unique<Native>()) {
  m_native->semaphore = CreateSemaphoreA(nullptr, initialCount < 0 ? 0 : initialCount, LONG_MAX, nullptr);
  if (!m_native->semaphore)
    throw RKLThreadResourceError("CreateSemaphore", static_cast<int>(GetLastError()));
}

RKLThreadSemaphore::~RKLThreadSemaphore() = default;

void RKLThreadSemaphore::post(int count) {
  if (!ReleaseSemaphore(m_native->semaphore, count < 1 ? 1 : count, nullptr))
    throw RKLThreadResourceError("ReleaseSemaphore", static_cast<int>(GetLastError()));
}

void RKLThreadSemaphore::wait() {
  if (WaitForSingleObject(m_native->semaphore, INFINITE) != WAIT_OBJECT_0)
    throw RKLThreadResourceError("WaitForSingleObject", static_cast<int>(GetLastError()));
}

int RKLThreadSemaphore::timedWait(long milliseconds) {
  DWORD rc = WaitForSingleObject(m_native->semaphore, milliseconds < 0 ? 0 : static_cast<DWORD>(milliseconds));
  if (rc == WAIT_OBJECT_0)
    return 1;
  if (rc == WAIT_TIMEOUT)
    return 0;
  throw RKLThreadResourceError("WaitForSingleObject", static_cast<int>(GetLastError()));
}

//===----------------------------------------------------------------------===//
// Files and directories
//===----------------------------------------------------------------------===//

namespace rklnative {
bool statMode(const char *path, int &mode) {
  struct _stat64 info;
  if (_stat64(path, &info) != 0)
    return false;
  mode = static_cast<int>(info.st_mode);
  return true;
}

bool makeDirectory(const char *path) {
  if (CreateDirectoryA(path, nullptr))
    return true;
  int mode = 0;
  return GetLastError() == ERROR_ALREADY_EXISTS && statMode(path, mode) && (mode & 0xF000) == 0x4000;
}

const char *noInheritModeFlag() { return "N"; }
} // namespace rklnative

int RKLFmDir::removeFile(const char *path) { return path && DeleteFileA(path) ? 1 : 0; }

std::string RKLFmDir::currentDirectory() {
  DWORD needed = GetCurrentDirectoryA(0, nullptr);
  if (needed == 0)
    return std::string();
  std::string buffer(needed, '\0');
  DWORD length = GetCurrentDirectoryA(needed, buffer.data());
  if (length == 0 || length >= needed)
    return std::string();
  buffer.resize(length);
  return buffer;
}

int RKLFmDir::changeDirectory(const char *path) { return path && SetCurrentDirectoryA(path) ? 1 : 0; }

std::string RKLFmDir::enteredDirectory(const char *path) {
  // Windows names a directory best by entering it: the current directory is
  // changed for a moment and put back.
  if (!path || !*path)
    return std::string();
  std::string saved = currentDirectory();
  if (saved.empty())
    return std::string();
  std::string result;
  if (SetCurrentDirectoryA(path))
    result = currentDirectory();
  SetCurrentDirectoryA(saved.c_str());
  return result;
}

std::string RKLFmDir::executablePath() {
  std::string buffer(MAX_PATH, '\0');
  for (;;) {
    DWORD length = GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0)
      return std::string();
    if (length < buffer.size()) {
      buffer.resize(length);
      return buffer;
    }
    buffer.resize(buffer.size() * 2);
  }
}

char RKLFmDir::separator() { return '\\'; }

struct RKLFmFile::Native {
  HANDLE file = INVALID_HANDLE_VALUE;
};

RKLFmFile::RKLFmFile() : m_native(std::make_unique<Native>()) {}
RKLFmFile::~RKLFmFile() { close(); }

int RKLFmFile::open(const char *path, int createMode) {
  close();
  DWORD access = GENERIC_WRITE;
  DWORD disposition = 0;
  switch (createMode) {
  case OpenExisting:
    access = GENERIC_READ;
    disposition = OPEN_EXISTING;
    break;
  case OpenAppend:
    access = FILE_APPEND_DATA;
    disposition = OPEN_ALWAYS;
    break;
  case CreateTruncate:
    disposition = CREATE_ALWAYS;
    break;
  case CreateNew:
    disposition = CREATE_NEW;
    break;
  default:
    m_lastError = ERROR_INVALID_PARAMETER;
    return 0;
  }
  if (!path) {
    m_lastError = ERROR_INVALID_PARAMETER;
    return 0;
  }
  // No security attributes: the handle is not inheritable.
  m_native->file = CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (m_native->file == INVALID_HANDLE_VALUE) {
    m_lastError = static_cast<int>(GetLastError());
    return 0;
  }
  return 1;
}

long RKLFmFile::write(const void *data, size_t length) {
  if (m_native->file == INVALID_HANDLE_VALUE) {
    m_lastError = ERROR_INVALID_HANDLE;
    return -1;
  }
  const char *bytes = static_cast<const char *>(data);
  size_t done = 0;
  while (done < length) {
    DWORD chunk = length - done > 0x40000000 ? 0x40000000 : static_cast<DWORD>(length - done);
    DWORD written = 0;
    if (!WriteFile(m_native->file, bytes + done, chunk, &written, nullptr)) {
      m_lastError = static_cast<int>(GetLastError());
      return -1;
    }
    done += written;
  }
  return static_cast<long>(done);
}

long RKLFmFile::read(void *data, size_t length) {
  if (m_native->file == INVALID_HANDLE_VALUE) {
    m_lastError = ERROR_INVALID_HANDLE;
    return -1;
  }
  DWORD chunk = length > 0x40000000 ? 0x40000000 : static_cast<DWORD>(length);
  DWORD got = 0;
  if (!ReadFile(m_native->file, data, chunk, &got, nullptr)) {
    m_lastError = static_cast<int>(GetLastError());
    return -1;
  }
  return static_cast<long>(got);
}

void RKLFmFile::close() {
  if (m_native->file != INVALID_HANDLE_VALUE) {
    CloseHandle(m_native->file);
    m_native->file = INVALID_HANDLE_VALUE;
  }
}

bool RKLFmFile::isOpen() const { return m_native->file != INVALID_HANDLE_VALUE; }

int rklLastSystemError() { return static_cast<int>(GetLastError()); }

// The C run-time's _putenv updates both its own table (getenv) and the
// process environment block that CreateProcess hands to children, and keeps
// a copy of the text.
int rklPutenv(const char *assignment) { return assignment && _putenv(assignment) == 0 ? 1 : 0; }

const char *rklPlatformName() { return "winx64"; }
