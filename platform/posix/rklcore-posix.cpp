//===- rklcore-posix.cpp - Core library: threads, semaphores and files ----===//
//
// POSIX threads with the requested stack size, semaphores that time out on
// the monotonic clock, and file calls that open everything close-on-exec.
//
//===----------------------------------------------------------------------===//
#include "rklcore.h"
#include "rklcore_native.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/stat.h>
#include <unistd.h>

//===----------------------------------------------------------------------===//
// Threads
//===----------------------------------------------------------------------===//

struct RKLThread::Native {
  RKLThread *owner = nullptr;
  pthread_t thread{};
  bool started = false;
  bool joined = false;
  std::atomic<bool> alive{false};
};

namespace {
// The thread's first function: runs the body, keeps an escaping exception
// from ending the process, and clears the alive flag when the body is done.
void *threadEntry(void *argument) {
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
  return nullptr;
}
} // namespace

RKLThread::RKLThread(RKLRunnable *target, size_t stackSize)
    : m_target(target), m_stackSize(stackSize), m_native(std::make_unique<Native>()) {
  m_native->owner = this;
}

RKLThread::~RKLThread() {
  if (m_native->started && !m_native->joined && !pthread_equal(m_native->thread, pthread_self()))
    pthread_join(m_native->thread, nullptr);
}

void RKLThread::run() {
  if (m_target)
    m_target->run();
}

void RKLThread::start() {
  if (m_native->started) {
    if (m_native->alive.load())
      throw RKLThreadResourceError("RKLThread::start (still running)", EBUSY);
    join();
    m_native->started = false;
    m_native->joined = false;
  }
  pthread_attr_t attributes;
  int rc = pthread_attr_init(&attributes);
  if (rc != 0)
    throw RKLThreadResourceError("pthread_attr_init", rc);
  if (m_stackSize > 0) {
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size_t size = m_stackSize < static_cast<size_t>(PTHREAD_STACK_MIN) ? PTHREAD_STACK_MIN : m_stackSize;
    size = (size + page - 1) / page * page;
    rc = pthread_attr_setstacksize(&attributes, size);
    if (rc != 0) {
      pthread_attr_destroy(&attributes);
      throw RKLThreadResourceError("pthread_attr_setstacksize", rc);
    }
  }
  m_native->alive.store(true);
  rc = pthread_create(&m_native->thread, &attributes, &threadEntry, m_native.get());
  pthread_attr_destroy(&attributes);
  if (rc != 0) {
    m_native->alive.store(false);
    throw RKLThreadResourceError("pthread_create", rc);
  }
  m_native->started = true;
}

void RKLThread::join() {
  if (!m_native->started || m_native->joined)
    return;
  if (pthread_equal(m_native->thread, pthread_self()))
    throw RKLThreadResourceError("RKLThread::join (the thread itself)", EDEADLK);
  int rc = pthread_join(m_native->thread, nullptr);
  if (rc != 0)
    throw RKLThreadResourceError("pthread_join", rc);
  m_native->joined = true;
}

bool RKLThread::isAlive() const { return m_native->alive.load(); }

void RKLThread::sleep(long milliseconds) {
  if (milliseconds <= 0)
    return;
  timespec rest{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
  while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
  }
}

uint64_t RKLThread::currentThreadId() { return static_cast<uint64_t>(gettid()); }

//===----------------------------------------------------------------------===//
// Semaphores
//===----------------------------------------------------------------------===//

struct RKLThreadSemaphore::Native {
  sem_t semaphore;
};

RKLThreadSemaphore::RKLThreadSemaphore(int initialCount) : m_native(std::make_unique<Native>()) {
  if (sem_init(&m_native->semaphore, 0, static_cast<unsigned>(initialCount < 0 ? 0 : initialCount)) != 0)
    throw RKLThreadResourceError("sem_init", errno);
}

RKLThreadSemaphore::~RKLThreadSemaphore() { sem_destroy(&m_native->semaphore); }

void RKLThreadSemaphore::post(int count) {
  for (int i = 0; i < (count < 1 ? 1 : count); ++i)
    if (sem_post(&m_native->semaphore) != 0)
      throw RKLThreadResourceError("sem_post", errno);
}

void RKLThreadSemaphore::wait() {
  while (sem_wait(&m_native->semaphore) != 0) {
    if (errno != EINTR)
      throw RKLThreadResourceError("sem_wait", errno);
  }
}

int RKLThreadSemaphore::timedWait(long milliseconds) {
  // The monotonic clock, so that a change of the wall clock neither cuts a
  // wait short nor stretches it.
  timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  long ms = milliseconds < 0 ? 0 : milliseconds;
  deadline.tv_sec += ms / 1000;
  deadline.tv_nsec += (ms % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  for (;;) {
    if (sem_clockwait(&m_native->semaphore, CLOCK_MONOTONIC, &deadline) == 0)
      return 1;
    if (errno == ETIMEDOUT)
      return 0;
    if (errno != EINTR)
      throw RKLThreadResourceError("sem_clockwait", errno);
  }
}

//===----------------------------------------------------------------------===//
// Files and directories
//===----------------------------------------------------------------------===//

namespace rklnative {
bool statMode(const char *path, int &mode) {
  struct stat info;
  if (stat(path, &info) != 0)
    return false;
  mode = static_cast<int>(info.st_mode);
  return true;
}

bool makeDirectory(const char *path) {
  if (mkdir(path, 0777) == 0)
    return true;
  int mode = 0;
  return errno == EEXIST && statMode(path, mode) && (mode & 0xF000) == 0x4000;
}

const char *noInheritModeFlag() { return "e"; }
} // namespace rklnative

int RKLFmDir::removeFile(const char *path) { return path && unlink(path) == 0 ? 1 : 0; }

std::string RKLFmDir::currentDirectory() {
  std::string buffer(PATH_MAX, '\0');
  for (;;) {
    if (getcwd(buffer.data(), buffer.size()))
      return std::string(buffer.c_str());
    if (errno != ERANGE)
      return std::string();
    buffer.resize(buffer.size() * 2);
  }
}

int RKLFmDir::changeDirectory(const char *path) { return path && chdir(path) == 0 ? 1 : 0; }

std::string RKLFmDir::enteredDirectory(const char *path) {
  // realpath names the directory as getcwd would after a chdir into it,
  // without moving the whole process there; X_OK is what chdir requires.
  if (!path || !*path)
    return std::string();
  char *resolved = realpath(path, nullptr);
  if (!resolved)
    return std::string();
  std::string result(resolved);
  std::free(resolved);
  struct stat info;
  if (stat(result.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || access(result.c_str(), X_OK) != 0)
    return std::string();
  return result;
}

std::string RKLFmDir::executablePath() {
  std::string buffer(PATH_MAX, '\0');
  for (;;) {
    ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0)
      return std::string();
    if (static_cast<size_t>(length) < buffer.size())
      return buffer.substr(0, static_cast<size_t>(length));
    buffer.resize(buffer.size() * 2);
  }
}

char RKLFmDir::separator() { return '/'; }

struct RKLFmFile::Native {
  int fd = -1;
};

RKLFmFile::RKLFmFile() : m_native(std::make_unique<Native>()) {}
RKLFmFile::~RKLFmFile() { close(); }

int RKLFmFile::open(const char *path, int createMode) {
  close();
  int flags = O_CLOEXEC;
  switch (createMode) {
  case OpenExisting:
    flags |= O_RDONLY;
    break;
  case OpenAppend:
    flags |= O_WRONLY | O_APPEND | O_CREAT;
    break;
  case CreateTruncate:
    flags |= O_WRONLY | O_CREAT | O_TRUNC;
    break;
  case CreateNew:
    flags |= O_WRONLY | O_CREAT | O_EXCL;
    break;
  default:
    m_lastError = EINVAL;
    return 0;
  }
  if (!path) {
    m_lastError = EINVAL;
    return 0;
  }
  m_native->fd = ::open(path, flags, 0666);
  if (m_native->fd < 0) {
    m_lastError = errno;
    return 0;
  }
  return 1;
}

long RKLFmFile::write(const void *data, size_t length) {
  if (m_native->fd < 0) {
    m_lastError = EBADF;
    return -1;
  }
  const char *bytes = static_cast<const char *>(data);
  size_t done = 0;
  while (done < length) {
    ssize_t n = ::write(m_native->fd, bytes + done, length - done);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      m_lastError = errno;
      return -1;
    }
    done += static_cast<size_t>(n);
  }
  return static_cast<long>(done);
}

long RKLFmFile::read(void *data, size_t length) {
  if (m_native->fd < 0) {
    m_lastError = EBADF;
    return -1;
  }
  for (;;) {
    ssize_t n = ::read(m_native->fd, data, length);
    if (n >= 0)
      return static_cast<long>(n);
    if (errno != EINTR) {
      m_lastError = errno;
      return -1;
    }
  }
}

void RKLFmFile::close() {
  if (m_native->fd >= 0) {
    ::close(m_native->fd);
    m_native->fd = -1;
  }
}

bool RKLFmFile::isOpen() const { return m_native->fd >= 0; }

int rklLastSystemError() { return errno; }

int rklPutenv(const char *assignment) {
  if (!assignment)
    return 0;
  const char *equals = std::strchr(assignment, '=');
  if (!equals || equals == assignment)
    return 0;
  // putenv keeps the very text it is given, so it gets a copy of its own,
  // held here by name until the name is set again or removed: then the
  // environment no longer refers to it and it is freed.
  static std::mutex lock;
  static std::map<std::string, char *> *copies = new std::map<std::string, char *>;
  std::string name(assignment, static_cast<size_t>(equals - assignment));
  std::lock_guard<std::mutex> guard(lock);
  char *copy = nullptr;
  if (equals[1] == '\0') {
    // putenv would keep NAME with an empty value; the assignment removes it.
    if (unsetenv(name.c_str()) != 0)
      return 0;
  } else {
    copy = strdup(assignment);
    if (!copy)
      return 0;
    if (putenv(copy) != 0) {
      std::free(copy);
      return 0;
    }
  }
  char *&held = (*copies)[name];
  std::free(held);
  held = copy;
  return 1;
}

const char *rklPlatformName() {
#if defined(__x86_64__)
  return "linuxx64";
#elif defined(__aarch64__)
  return "linuxarm64";
#else
  return "linux";
#endif
}
