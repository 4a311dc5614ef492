//===- rklcore.h - Core library: texts, buffers, threads, files, errors ---===//
//
// The core library that every part of the service stands on. Narrow text is
// UTF-8 on both systems (the Windows program's manifest makes UTF-8 its active
// code page). Everything here that opens an operating-system resource opens it
// close-on-exec (POSIX) or non-inheritable (Windows), so that no child process
// inherits it.
//
//===----------------------------------------------------------------------===//
#ifndef RKLCORE_H
#define RKLCORE_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

// printf-style format checking for the compiler. MinGW builds use the C99
// printf of the MinGW run-time (__USE_MINGW_ANSI_STDIO), whose archetype is
// gnu_printf.
#if defined(__MINGW32__)
#define RKL_PRINTF_FORMAT(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#elif defined(__GNUC__)
#define RKL_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define RKL_PRINTF_FORMAT(fmt, args)
#endif

// Whether an always-inline variadic function can pass its own arguments on
// to another variadic one (GCC's __builtin_va_arg_pack); clang cannot.
#if defined(__GNUC__) && !defined(__clang__)
#define RKL_HAS_VA_ARG_PACK 1
#else
#define RKL_HAS_VA_ARG_PACK 0
#endif

//===----------------------------------------------------------------------===//
// Texts
//===----------------------------------------------------------------------===//

/// The text type of values read from XML and the startup configuration.
/// Construction from a null pointer gives the empty text; c_str() is never
/// null. Equality compares the whole text byte by byte (case-sensitive).
class I18NString {
public:
  I18NString() = default;
  I18NString(const char *text) : m_text(text ? text : "") {}
  I18NString(const char *text, size_t length) : m_text(text ? std::string(text, length) : std::string()) {}
  I18NString(std::string text) : m_text(std::move(text)) {}

  const char *c_str() const { return m_text.c_str(); }
  bool empty() const { return m_text.empty(); }
  size_t length() const { return m_text.length(); }
  size_t size() const { return m_text.size(); }
  const std::string &str() const { return m_text; }

  I18NString &operator=(const char *text) {
    m_text = text ? text : "";
    return *this;
  }
  I18NString &operator+=(const char *text) {
    if (text)
      m_text += text;
    return *this;
  }
  I18NString &operator+=(const I18NString &other) {
    m_text += other.m_text;
    return *this;
  }
  bool operator==(const char *text) const { return m_text == (text ? text : ""); }
  bool operator==(const I18NString &other) const { return m_text == other.m_text; }

private:
  std::string m_text;
};

/// A growable byte buffer that always keeps a NUL after its content, so that
/// str() can be used as a C string. It grows by at least `growth` bytes at a
/// time; neither size limits what it can hold.
class RKLByteBuffer {
public:
  RKLByteBuffer(size_t initialSize = 256, size_t growth = 256);

  /// Appends text formatted with printf rules.
  RKLByteBuffer &printf(const char *format, ...) RKL_PRINTF_FORMAT(2, 3);
  RKLByteBuffer &vprintf(const char *format, va_list args) RKL_PRINTF_FORMAT(2, 0);
  /// Appends `length` raw bytes (NULs included).
  RKLByteBuffer &append(const char *data, size_t length);

  RKLByteBuffer &operator<<(const char *text); ///< a null text appends nothing
  RKLByteBuffer &operator<<(const std::string &text);
  RKLByteBuffer &operator<<(const I18NString &text);
  RKLByteBuffer &operator<<(char c);
  RKLByteBuffer &operator<<(int value);
  RKLByteBuffer &operator<<(unsigned value);
  RKLByteBuffer &operator<<(long value);
  RKLByteBuffer &operator<<(unsigned long value);
  RKLByteBuffer &operator<<(long long value);
  RKLByteBuffer &operator<<(unsigned long long value);

  /// The content, NUL-terminated. Valid until the buffer next changes.
  char *str() { return m_data.data(); }
  const char *str() const { return m_data.data(); }
  /// Number of content bytes (without the terminating NUL).
  size_t pcount() const { return m_count; }
  /// Empties the buffer; the storage is kept.
  void reset();

  /// Makes room for `count` more bytes after the content and returns where
  /// they go; commit() then adds the bytes actually written there.
  char *reserve(size_t count);
  void commit(size_t count);

private:
  void ensure(size_t extra);

  std::vector<char> m_data;
  size_t m_count = 0;
  size_t m_growth;
};

//===----------------------------------------------------------------------===//
// Exceptions
//===----------------------------------------------------------------------===//

/// The root of the core library's exceptions. Each carries a message and a
/// back trace: one entry (location, line, tag) per place that raised or passed
/// it on, tag "RKL_THROW" where it was raised and "RKL_RETHROW" where it was
/// passed on.
class RKLThrowable {
public:
  struct BackTraceEntry {
    std::string location;
    int line;
    std::string tag;
  };

  explicit RKLThrowable(const char *message = "");
  virtual ~RKLThrowable();

  /// The exception's class name, as in "RKLOutOfMemoryError".
  virtual const char *getName() const;
  const char *getMessage() const { return m_message.c_str(); }
  void addBackTrace(const char *location, int line, const char *tag);
  const std::vector<BackTraceEntry> &getBackTrace() const { return m_backTrace; }
  /// "<name>: <message>" and then one line per entry, most recent last:
  /// "\n    at <location>:<line> (<tag>)".
  std::string describe() const;

private:
  std::string m_message;
  std::vector<BackTraceEntry> m_backTrace;
};

/// Recoverable conditions.
class RKLException : public RKLThrowable {
public:
  using RKLThrowable::RKLThrowable;
  const char *getName() const override;
};

/// Conditions that the program is not expected to recover from.
class RKLError : public RKLThrowable {
public:
  using RKLThrowable::RKLThrowable;
  const char *getName() const override;
};

class RKLOutOfMemoryError : public RKLError {
public:
  explicit RKLOutOfMemoryError(const char *message = "out of memory") : RKLError(message) {}
  const char *getName() const override;
};

/// A standard exception caught and carried on; the message is its what().
class RKLStdExceptionError : public RKLError {
public:
  explicit RKLStdExceptionError(const std::exception &cause);
  const char *getName() const override;
};

/// A thread, semaphore or lock could not be created or used; `nativeCode` is
/// errno (POSIX) or GetLastError() (Windows).
class RKLThreadResourceError : public RKLError {
public:
  RKLThreadResourceError(const char *operation, int nativeCode);
  const char *getName() const override;
  int getNativeCode() const { return m_nativeCode; }

private:
  int m_nativeCode;
};

class RKLConfigurationException : public RKLException {
public:
  using RKLException::RKLException;
  const char *getName() const override;
};

/// Raises `exception` with a back-trace entry (location, line, "RKL_THROW").
template <class E> [[noreturn]] void rklThrow(E exception, const char *location, int line) {
  exception.addBackTrace(location, line, "RKL_THROW");
  throw exception;
}

/// Passes on the exception being handled; call it only inside a catch block.
/// A core library exception gets the entry (location, line, "RKL_RETHROW") and
/// is raised again; std::bad_alloc becomes RKLOutOfMemoryError and any other
/// std::exception becomes RKLStdExceptionError, both raised with
/// (location, line, "RKL_THROW"). Anything else is rethrown unchanged.
[[noreturn]] void rklRethrow(const char *location, int line);

//===----------------------------------------------------------------------===//
// Threads and synchronisation
//===----------------------------------------------------------------------===//

class RKLRunnable {
public:
  virtual ~RKLRunnable();
  virtual void run() = 0;
};

/// A thread of the operating system. Built with a runnable, the thread runs
/// that runnable; built without one, it runs the object's own run(), which a
/// derived class overrides. A stack size of 0 takes the system's default;
/// any other size is rounded up to what the system accepts.
///
/// A thread may be started again once its body has returned (start() then
/// joins the earlier run first); starting it while the body still runs is
/// refused. The destructor joins a thread that was started and not yet
/// joined, so a derived class whose run() may still be going must stop it
/// (or join) in its own destructor.
class RKLThread : public RKLRunnable {
public:
  explicit RKLThread(RKLRunnable *target = nullptr, size_t stackSize = 0);
  ~RKLThread() override;
  RKLThread(const RKLThread &) = delete;
  RKLThread &operator=(const RKLThread &) = delete;

  /// The thread body: the runnable's run(), or nothing.
  void run() override;

  /// Starts the thread; raises RKLThreadResourceError when it cannot be
  /// created or is still running.
  void start();
  /// Waits for the thread's body to return; does nothing when the thread was
  /// never started or was joined before. A thread cannot join itself
  /// (RKLThreadResourceError).
  void join();
  /// True from start() until the thread's body has returned.
  bool isAlive() const;

  static void sleep(long milliseconds);
  /// The operating system's id of the calling thread (gettid() on Linux,
  /// GetCurrentThreadId() on Windows).
  static uint64_t currentThreadId();

  struct Native; // the operating-system thread, in the -posix/-win32 file

private:
  RKLRunnable *m_target;
  size_t m_stackSize;
  std::unique_ptr<Native> m_native;
};

/// A counting semaphore. Failures of the system calls raise
/// RKLThreadResourceError with the native error code.
class RKLThreadSemaphore {
public:
  explicit RKLThreadSemaphore(int initialCount = 0);
  ~RKLThreadSemaphore();
  RKLThreadSemaphore(const RKLThreadSemaphore &) = delete;
  RKLThreadSemaphore &operator=(const RKLThreadSemaphore &) = delete;

  /// Adds `count` (at least 1) to the semaphore.
  void post(int count = 1);
  /// Waits until the semaphore can be taken.
  void wait();
  /// Waits at most `milliseconds` (0 only tests): 1 when the semaphore was
  /// taken within the time, 0 when the time ran out.
  int timedWait(long milliseconds);

  struct Native;

private:
  std::unique_ptr<Native> m_native;
};

/// A lock that RKLThreadGuard can hold. Locks are recursive: the thread that
/// holds one may take it again and must release it as often.
class RKLThreadLockable {
public:
  virtual ~RKLThreadLockable();
  virtual void lock() = 0;
  virtual void unlock() = 0;
};

/// A mutual-exclusion lock; the argument is kept for the library's interface
/// and ignored.
class RKLThreadMutex : public RKLThreadLockable {
public:
  explicit RKLThreadMutex(int flags = 0);
  ~RKLThreadMutex() override;
  void lock() override;
  void unlock() override;

  struct Native;

private:
  std::unique_ptr<Native> m_native;
};

/// A lock for short sections; behaves as RKLThreadMutex.
class RKLThreadCriticalSection : public RKLThreadMutex {
public:
  explicit RKLThreadCriticalSection(int flags = 0) : RKLThreadMutex(flags) {}
};

/// Holds a lock for the lifetime of the guard.
class RKLThreadGuard {
public:
  explicit RKLThreadGuard(RKLThreadLockable &lock) : m_lock(lock) { m_lock.lock(); }
  ~RKLThreadGuard() { m_lock.unlock(); }
  RKLThreadGuard(const RKLThreadGuard &) = delete;
  RKLThreadGuard &operator=(const RKLThreadGuard &) = delete;

private:
  RKLThreadLockable &m_lock;
};

/// Process-wide threading set-up, alive for the whole entry function. The
/// library needs no set-up of its own on these systems; the object marks the
/// span in which threads may be used.
class RKLThreadInit {
public:
  RKLThreadInit();
  ~RKLThreadInit();
  RKLThreadInit(const RKLThreadInit &) = delete;
  RKLThreadInit &operator=(const RKLThreadInit &) = delete;
};

//===----------------------------------------------------------------------===//
// Files and directories
//===----------------------------------------------------------------------===//

class RKLFmDir {
public:
  /// Mode bits as the C run-time's stat reports them.
  enum : int {
    TypeMask = 0xF000,
    Directory = 0x4000,
    RegularFile = 0x8000,
    Readable = 0x0100,
    Writable = 0x0080,
  };

  /// 1 when `path` exists and matches `mode`: the type bits of `mode`
  /// (0xF000), when given, must equal the file's type, and every permission
  /// bit of `mode` (0x0FFF) must be set for the file. A mode of 0 asks only
  /// whether the path exists. 0 otherwise.
  static int exists(const char *path, int mode);
  /// Creates `path` and every missing parent; 1 when the directory exists
  /// afterwards, 0 otherwise.
  static int createRecursiveDir(const char *path);
  /// `directory` and `name` joined by the system's separator, which is left
  /// out when `directory` is empty or already ends in a separator. Nothing is
  /// normalised: "." and ".." stay as written.
  static std::string joinPath(const char *directory, const char *name);
  /// Removes a file; 1 on success, 0 otherwise.
  static int removeFile(const char *path);
  /// Rewrites `path` in place into the effective absolute path: a relative
  /// path is taken against the current directory, then "." and ".." parts
  /// and repeated separators are resolved lexically. Separators become the
  /// system's. An empty path becomes the current directory.
  static void resolveEffectivePath(std::string &path);
  static void resolveEffectivePath(I18NString &path);
  /// The process's current directory, or "" when it cannot be read.
  static std::string currentDirectory();
  /// Makes `path` the process's current directory; 1 on success, 0 on
  /// failure (rklLastSystemError() then holds the native code).
  static int changeDirectory(const char *path);
  /// The absolute path that the process's current directory would have
  /// after entering the directory `path` (relative paths taken against the
  /// current directory), or "" when `path` is not a directory that can be
  /// entered. The current directory itself is left as it is.
  static std::string enteredDirectory(const char *path);
  /// The full path of the running executable and the folder that holds it.
  static std::string executablePath();
  static std::string executableDirectory();
  /// True when `path` is absolute on this system.
  static bool isAbsolute(const char *path);
  /// The system's path separator: '/' or '\\'.
  static char separator();
};

/// A file opened by name for raw writes (or reads), never inherited.
class RKLFmFile {
public:
  /// How open() treats the file.
  enum CreateMode : int {
    OpenExisting = 0,   ///< read an existing file
    OpenAppend = 1,     ///< write at the end of an existing file, or create it
    CreateTruncate = 2, ///< create the file, or empty an existing one, and write
    CreateNew = 3,      ///< create a file that must not exist yet, and write
  };

  RKLFmFile();
  ~RKLFmFile();
  RKLFmFile(const RKLFmFile &) = delete;
  RKLFmFile &operator=(const RKLFmFile &) = delete;

  /// Opens `path`; a file already open is closed first. 1 on success, 0 on
  /// failure (lastError() then holds the native code).
  int open(const char *path, int createMode);
  /// Writes all `length` bytes; the count written, or -1 on failure.
  long write(const void *data, size_t length);
  /// Reads up to `length` bytes; the count read (0 at the end), or -1.
  long read(void *data, size_t length);
  void close();
  bool isOpen() const;
  int lastError() const { return m_lastError; }

  /// fopen() that never lets a child inherit the stream: the mode is
  /// completed with the system's close-on-exec or no-inherit flag.
  static FILE *openStream(const char *path, const char *mode);

  struct Native;

private:
  std::unique_ptr<Native> m_native;
  int m_lastError = 0;
};

//===----------------------------------------------------------------------===//
// Diagnostics of the outside components
//===----------------------------------------------------------------------===//

/// The outside components (XML library, startup configuration service)
/// report problems through this hook, which the service's logging installs
/// at start-up. Without a handler reports are dropped.
class RKLDiagnostics {
public:
  /// `level` uses the service's levels: 0 FATAL, 1 ERROR, 2 WARN, 3 INFO,
  /// 4 DEBUG. `source` names the component.
  using Handler = void (*)(int level, const char *source, const char *text);
  static void setHandler(Handler handler);
  static void report(int level, const char *source, const char *text);
};

/// The last system error code of the calling thread: errno or GetLastError().
int rklLastSystemError();

/// Applies one environment assignment to the process, as the Windows C
/// run-time's _putenv does: "NAME=value" sets or replaces NAME, "NAME="
/// removes it, and a text without "=" (or with an empty name) changes
/// nothing. Child processes started later inherit the result. The library
/// keeps its own copy of the text for the rest of the process. 1 when the
/// assignment was applied, 0 when it was rejected.
int rklPutenv(const char *assignment);

/// The name of the platform the program was built for, as installations name
/// their bootstrap files: "winx64" for 64-bit Windows, "linuxx64" for Linux on
/// x86-64, "linux" followed by the processor's name elsewhere.
const char *rklPlatformName();

#endif // RKLCORE_H
