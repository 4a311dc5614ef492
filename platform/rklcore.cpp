//===- rklcore.cpp - Core library: the portable half ----------------------===//
//
// Byte buffers, exceptions, the diagnostics hook, locks and the path helpers
// that need no system call of their own. Threads, semaphores and the file
// system calls live in posix/rklcore-posix.cpp and win32/rklcore-win32.cpp.
//
//===----------------------------------------------------------------------===//
#include "rklcore.h"
#include "rklcore_native.h"

#include <atomic>
#include <cctype>
#include <cstring>
#include <mutex>
#include <new>
#include <stdexcept>

//===----------------------------------------------------------------------===//
// RKLByteBuffer
//===----------------------------------------------------------------------===//

RKLByteBuffer::RKLByteBuffer(size_t initialSize, size_t growth) : m_growth(growth ? growth : 256) {
  m_data.resize(initialSize ? initialSize : 1, '\0');
}

void RKLByteBuffer::ensure(size_t extra) {
  size_t needed = m_count + extra + 1; // the NUL after the content
  if (needed <= m_data.size())
    return;
  // Grow by whole steps of the growth size, or at least double, so that long
  // runs of appends stay linear.
  size_t steps = (needed - m_data.size() + m_growth - 1) / m_growth;
  size_t newSize = m_data.size() + steps * m_growth;
  if (newSize < m_data.size() * 2)
    newSize = m_data.size() * 2;
  m_data.resize(newSize, '\0');
}

RKLByteBuffer &RKLByteBuffer::append(const char *data, size_t length) {
  ensure(length);
  if (length)
    std::memcpy(m_data.data() + m_count, data, length);
  m_count += length;
  m_data[m_count] = '\0';
  return *this;
}

RKLByteBuffer &RKLByteBuffer::printf(const char *format, ...) {
  va_list args;
  va_start(args, format);
  vprintf(format, args);
  va_end(args);
  return *this;
}

RKLByteBuffer &RKLByteBuffer::vprintf(const char *format, va_list args) {
  if (!format)
    return *this;
  va_list probe;
  va_copy(probe, args);
  size_t room = m_data.size() - m_count;
  int written = std::vsnprintf(m_data.data() + m_count, room, format, probe);
  va_end(probe);
  if (written < 0) {
    m_data[m_count] = '\0';
    return *this;
  }
  if (static_cast<size_t>(written) >= room) {
    ensure(static_cast<size_t>(written));
    std::vsnprintf(m_data.data() + m_count, m_data.size() - m_count, format, args);
  }
  m_count += static_cast<size_t>(written);
  return *this;
}

RKLByteBuffer &RKLByteBuffer::operator<<(const char *text) { return text ? append(text, std::strlen(text)) : *this; }
RKLByteBuffer &RKLByteBuffer::operator<<(const std::string &text) { return append(text.data(), text.size()); }
RKLByteBuffer &RKLByteBuffer::operator<<(const I18NString &text) { return append(text.c_str(), text.size()); }
RKLByteBuffer &RKLByteBuffer::operator<<(char c) { return append(&c, 1); }
RKLByteBuffer &RKLByteBuffer::operator<<(int value) { return printf("%d", value); }
RKLByteBuffer &RKLByteBuffer::operator<<(unsigned value) { return printf("%u", value); }
RKLByteBuffer &RKLByteBuffer::operator<<(long value) { return printf("%ld", value); }
RKLByteBuffer &RKLByteBuffer::operator<<(unsigned long value) { return printf("%lu", value); }
RKLByteBuffer &RKLByteBuffer::operator<<(long long value) { return printf("%lld", value); }
RKLByteBuffer &RKLByteBuffer::operator<<(unsigned long long value) { return printf("%llu", value); }

void RKLByteBuffer::reset() {
  m_count = 0;
  m_data[0] = '\0';
}

char *RKLByteBuffer::reserve(size_t count) {
  ensure(count);
  return m_data.data() + m_count;
}

void RKLByteBuffer::commit(size_t count) {
  // Never past the room that reserve() made.
  if (m_count + count >= m_data.size())
    count = m_data.size() - m_count - 1;
  m_count += count;
  m_data[m_count] = '\0';
}

//===----------------------------------------------------------------------===//
// Exceptions
//===----------------------------------------------------------------------===//

RKLThrowable::RKLThrowable(const char *message) : m_message(message ? message : "") {}
RKLThrowable::~RKLThrowable() = default;
const char *RKLThrowable::getName() const { return "RKLThrowable"; }

void RKLThrowable::addBackTrace(const char *location, int line, const char *tag) {
  m_backTrace.push_back({location ? location : "", line, tag ? tag : ""});
}

std::string RKLThrowable::describe() const {
  std::string text = std::string(getName()) + ": " + m_message;
  for (const BackTraceEntry &entry : m_backTrace)
    text += "\n    at " + entry.location + ":" + std::to_string(entry.line) + " (" + entry.tag + ")";
  return text;
}

const char *RKLException::getName() const { return "RKLException"; }
const char *RKLError::getName() const { return "RKLError"; }
const char *RKLOutOfMemoryError::getName() const { return "RKLOutOfMemoryError"; }

RKLStdExceptionError::RKLStdExceptionError(const std::exception &cause) : RKLError(cause.what()) {}
const char *RKLStdExceptionError::getName() const { return "RKLStdExceptionError"; }

static std::string threadResourceMessage(const char *operation, int nativeCode) {
  return std::string(operation ? operation : "thread operation") + " failed, error code=" + std::to_string(nativeCode);
}

RKLThreadResourceError::RKLThreadResourceError(const char *operation, int nativeCode)
    : RKLError(threadResourceMessage(operation, nativeCode).c_str()), m_nativeCode(nativeCode) {}
const char *RKLThreadResourceError::getName() const { return "RKLThreadResourceError"; }

const char *RKLConfigurationException::getName() const { return "RKLConfigurationException"; }

void rklRethrow(const char *location, int line) {
  try {
    throw;
  } catch (RKLThrowable &passedOn) {
    passedOn.addBackTrace(location, line, "RKL_RETHROW");
    throw;
  } catch (const std::bad_alloc &) {
    rklThrow(RKLOutOfMemoryError(), location, line);
  } catch (const std::exception &cause) {
    rklThrow(RKLStdExceptionError(cause), location, line);
  }
}

//===----------------------------------------------------------------------===//
// Diagnostics hook
//===----------------------------------------------------------------------===//

static std::atomic<RKLDiagnostics::Handler> diagnosticsHandler{nullptr};

void RKLDiagnostics::setHandler(Handler handler) { diagnosticsHandler.store(handler); }

void RKLDiagnostics::report(int level, const char *source, const char *text) {
  if (Handler handler = diagnosticsHandler.load())
    handler(level, source ? source : "", text ? text : "");
}

//===----------------------------------------------------------------------===//
// Locks
//===----------------------------------------------------------------------===//

RKLRunnable::~RKLRunnable() = default;
RKLThreadLockable::~RKLThreadLockable() = default;

struct RKLThreadMutex::Native {
  std::recursive_mutex mutex;
};

RKLThreadMutex::RKLThreadMutex(int) : m_native(std::make_unique<Native>()) {}
RKLThreadMutex::~RKLThreadMutex() = default;
void RKLThreadMutex::lock() { m_native->mutex.lock(); }
void RKLThreadMutex::unlock() { m_native->mutex.unlock(); }

RKLThreadInit::RKLThreadInit() = default;
RKLThreadInit::~RKLThreadInit() = default;

//===----------------------------------------------------------------------===//
// Paths
//===----------------------------------------------------------------------===//

static bool isSeparator(char c) { return c == '/' || (RKLFmDir::separator() == '\\' && c == '\\'); }

int RKLFmDir::exists(const char *path, int mode) {
  if (!path || !*path)
    return 0;
  // The Windows run-time's stat refuses a trailing separator; a directory
  // named with one is still the same directory.
  std::string trimmed(path);
  while (trimmed.size() > 1 && isSeparator(trimmed.back()) && trimmed[trimmed.size() - 2] != ':')
    trimmed.pop_back();
  int actual = 0;
  if (!rklnative::statMode(trimmed.c_str(), actual))
    return 0;
  int type = mode & TypeMask;
  if (type && (actual & TypeMask) != type)
    return 0;
  int permissions = mode & 0x0FFF;
  return (actual & permissions) == permissions ? 1 : 0;
}

int RKLFmDir::createRecursiveDir(const char *path) {
  if (!path || !*path)
    return 0;
  std::string full(path);
  // Create each prefix that ends before a separator, then the whole path;
  // prefixes that exist already (the root, a drive) are passed over.
  for (size_t i = 1; i < full.size(); ++i) {
    if (isSeparator(full[i]) && !isSeparator(full[i - 1])) {
      std::string prefix = full.substr(0, i);
      if (prefix.size() == 2 && prefix[1] == ':')
        continue; // a drive name
      int mode = 0;
      if (!rklnative::statMode(prefix.c_str(), mode) && !rklnative::makeDirectory(prefix.c_str()))
        return 0;
    }
  }
  rklnative::makeDirectory(full.c_str());
  return exists(full.c_str(), Directory);
}

std::string RKLFmDir::joinPath(const char *directory, const char *name) {
  std::string joined(directory ? directory : "");
  if (!joined.empty() && !isSeparator(joined.back()))
    joined += separator();
  joined += name ? name : "";
  return joined;
}

void RKLFmDir::resolveEffectivePath(I18NString &path) {
  std::string text = path.str();
  resolveEffectivePath(text);
  path = I18NString(std::move(text));
}

void RKLFmDir::resolveEffectivePath(std::string &path) {
  const char sep = separator();
  std::string full = path;
  if (!isAbsolute(full.c_str())) {
    std::string base = currentDirectory();
    if (sep == '\\' && !full.empty() && isSeparator(full[0]))
      full = base.substr(0, 2) + full; // rooted on the current drive
    else
      full = joinPath(base.c_str(), full.c_str());
  }
  for (char &c : full)
    if (isSeparator(c))
      c = sep;

  // The root that ".." never climbs above: "/", "C:\" or "\\server\share\".
  std::string root;
  size_t rest = 0;
  if (sep == '/') {
    root = "/";
    rest = 1;
  } else if (full.size() >= 2 && full[1] == ':') {
    root = full.substr(0, 2) + "\\";
    rest = 2;
  } else if (full.size() >= 2 && full[0] == '\\' && full[1] == '\\') {
    size_t server = full.find('\\', 2);
    size_t share = server == std::string::npos ? std::string::npos : full.find('\\', server + 1);
    root = (share == std::string::npos ? full : full.substr(0, share)) + "\\";
    rest = share == std::string::npos ? full.size() : share;
  }

  std::vector<std::string> parts;
  size_t pos = rest;
  while (pos <= full.size()) {
    size_t next = full.find(sep, pos);
    if (next == std::string::npos)
      next = full.size();
    std::string part = full.substr(pos, next - pos);
    if (part == "..") {
      if (!parts.empty())
        parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    pos = next + 1;
  }
  std::string result = root;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i)
      result += sep;
    result += parts[i];
  }
  path = result;
}

bool RKLFmDir::isAbsolute(const char *path) {
  if (!path || !*path)
    return false;
  if (separator() == '/')
    return path[0] == '/';
  if (std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' && isSeparator(path[2]))
    return true;
  return isSeparator(path[0]) && isSeparator(path[1]);
}

std::string RKLFmDir::executableDirectory() {
  std::string path = executablePath();
  size_t last = path.find_last_of(separator() == '\\' ? "\\/" : "/");
  return last == std::string::npos ? std::string() : path.substr(0, last);
}

FILE *RKLFmFile::openStream(const char *path, const char *mode) {
  if (!path || !mode)
    return nullptr;
  std::string fullMode = std::string(mode) + rklnative::noInheritModeFlag();
  return std::fopen(path, fullMode.c_str());
}
