//===- TRQLoggerFactory.cpp - Threshold, sinks and whole-line writing -----===//
//
// One mutex serialises every line and every change of the sink list, so lines
// from different threads never interleave and reach all sinks in the same
// order. The threshold lives outside the lock: a suppressed message costs a
// relaxed load and a comparison. Each line is flushed as soon as it is
// written, because the service may be killed at any moment and its log is
// what is left to explain why.
//
//===----------------------------------------------------------------------===//
#include "logging/TRQLoggerFactory.h"

#include "rkltime.h"

#include <cstdint>
#include <cstring>
#include <new>

namespace {

const char *const levelNames[] = {"FATAL", "ERROR", "WARN", "INFO", "DEBUG"};

// Where the factory's own exceptions say they come from.
const char *const factoryLocation = "source/TRQLogger";
const int factoryLine = 139;

char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsIgnoringCase(const char *left, const char *right) {
  for (; *left && *right; ++left, ++right) {
    if (asciiLower(*left) != asciiLower(*right))
      return false;
  }
  return *left == *right;
}

// Reports of the outside components (XML documents, startup configuration)
// are logged under the component's name, at the level the component chose.
// Their text comes from outside and is never read as a format.
void logDiagnostic(int level, const char *source, const char *text) {
  TRQLoggerFactory *factory = TRQLoggerFactory::getInstance();
  if (!factory->isEnabled(level))
    return;
  TRQLogger logger(factory, source);
  factory->writeText(level, &logger, text);
}

} // namespace

TRQLoggerFactory::TRQLoggerFactory() = default;

TRQLoggerFactory *TRQLoggerFactory::getInstance() {
  // The first call normally comes from the static initialisation of some
  // class's logger; a function-local static is ready whichever translation
  // unit asks first. The factory is never destroyed, so that loggers stay
  // usable while other statics are being torn down at exit.
  static TRQLoggerFactory *const instance = [] {
    TRQLoggerFactory *factory = nullptr;
    try {
      factory = new (std::nothrow) TRQLoggerFactory();
    } catch (...) {
      rklRethrow(factoryLocation, factoryLine);
    }
    if (!factory)
      rklThrow(RKLOutOfMemoryError(), factoryLocation, factoryLine);
    RKLDiagnostics::setHandler(&logDiagnostic);
    return factory;
  }();
  return instance;
}

TRQLogger *TRQLoggerFactory::getLogger(const char *name) { return new TRQLogger(this, name); }

const char *TRQLoggerFactory::levelName(int level) {
  if (level < TRQLogLevel::Fatal || level > TRQLogLevel::Debug)
    return nullptr;
  return levelNames[level];
}

void TRQLoggerFactory::write(int level, const TRQLogger *logger, const char *format, ...) {
  if (!isEnabled(level))
    return;
  va_list args;
  va_start(args, format);
  writeLine(level, logger, format, &args, nullptr);
  va_end(args);
}

void TRQLoggerFactory::vwrite(int level, const TRQLogger *logger, const char *format, va_list args) {
  if (!isEnabled(level))
    return;
  // A va_list parameter cannot be addressed portably; a local copy can.
  va_list local;
  va_copy(local, args);
  writeLine(level, logger, format, &local, nullptr);
  va_end(local);
}

void TRQLoggerFactory::writeText(int level, const TRQLogger *logger, const char *text) {
  if (!isEnabled(level))
    return;
  writeLine(level, logger, nullptr, nullptr, text);
}

void TRQLoggerFactory::writeLine(int level, const TRQLogger *logger, const char *format, va_list *args,
                                 const char *text) {
  const unsigned threadId = static_cast<unsigned>(RKLThread::currentThreadId() & 0xFFFFFFFFu);
  const char *loggerName = logger ? logger->name() : "";
  const char *levelText = levelName(level);
  // Only callers that bypass the five levels get here with another number;
  // the line then shows the number rather than nothing.
  char levelNumber[16];
  if (!levelText) {
    std::snprintf(levelNumber, sizeof levelNumber, "%d", level);
    levelText = levelNumber;
  }

  RKLThreadGuard guard(m_mutex);
  // Read the clock under the lock, so that the times in a file never go
  // backwards from one line to the next.
  char timeText[RKL_ASCTIME_SIZE];
  rklLocalAsctime(rklCurrentTime(), timeText);
  // asctime's text ends in a newline; the line goes on after a blank instead.
  if (size_t length = std::strlen(timeText))
    timeText[length - 1] = ' ';

  for (const TRQLogSink &sink : m_sinks) {
    if (!sink.stream)
      continue;
    std::fprintf(sink.stream, "%s %-5.5s t[%x] %s ", timeText, levelText, threadId, loggerName);
    if (text) {
      std::fputs(text, sink.stream);
    } else if (format) {
      // Every sink consumes the arguments afresh.
      va_list copy;
      va_copy(copy, *args);
      std::vfprintf(sink.stream, format, copy);
      va_end(copy);
    }
    std::fputs("\n", sink.stream);
    std::fflush(sink.stream);
  }
}

void TRQLoggerFactory::reset(int level, const char *path) {
  RKLThreadGuard guard(m_mutex);
  closeAll();
  setLevel(level);
  if (path)
    addFile(path, 1);
}

void TRQLoggerFactory::addStream(FILE *stream, int owned) {
  RKLThreadGuard guard(m_mutex);
  try {
    m_sinks.push_back(TRQLogSink{stream, owned});
  } catch (...) {
    if (owned && stream)
      std::fclose(stream);
    throw;
  }
}

void TRQLoggerFactory::addFile(const char *path, int append) {
  if (!path)
    return;
  FILE *stream = RKLFmFile::openStream(path, append ? "at" : "wt");
  if (stream)
    addStream(stream, 1);
}

void TRQLoggerFactory::closeAll() {
  RKLThreadGuard guard(m_mutex);
  m_threshold.store(TRQLogLevel::Fatal, std::memory_order_relaxed);
  for (const TRQLogSink &sink : m_sinks) {
    if (sink.owned && sink.stream)
      std::fclose(sink.stream);
  }
  m_sinks.clear();
}

void TRQLoggerFactory::setLevel(int level) {
  RKLThreadGuard guard(m_mutex);
  m_threshold.store(level, std::memory_order_relaxed);
}

void TRQLoggerFactory::setLevel(const char *name) {
  int level = TRQLogLevel::Info;
  if (name && *name) {
    level = TRQLogLevel::Debug;
    for (int candidate = TRQLogLevel::Fatal; candidate <= TRQLogLevel::Debug; ++candidate) {
      if (equalsIgnoringCase(name, levelNames[candidate])) {
        level = candidate;
        break;
      }
    }
  }
  setLevel(level);
}

int TRQLoggerFactory::loadConfig(const char *, const char *) { return 0; }
