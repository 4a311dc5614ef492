//===- TRQLoggerFactory.h - The process-wide logging hub ------------------===//
//
// Holds the single threshold, the ordered list of sinks and the mutex that
// keeps lines whole. Each accepted message becomes exactly one line on every
// sink, in the same order on all of them:
//
//   <asctime, its newline replaced by a blank> <LEVEL padded/cut to 5> t[<thread id, hex>] <logger> <message>\n
//
// and every sink is flushed after the line, so that nothing is lost when the
// process is killed. A message below the threshold costs one comparison: no
// lock, no clock, no formatting.
//
//===----------------------------------------------------------------------===//
#ifndef TRQLOGGERFACTORY_H
#define TRQLOGGERFACTORY_H

#include "logging/TRQLogSink.h"
#include "logging/TRQLogger.h"
#include "rklcore.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <vector>

class RKLIDOM_Element;

class TRQLoggerFactory {
public:
  /// The factory, created on the first call (during static initialisation)
  /// with threshold DEBUG and no sinks; never destroyed.
  static TRQLoggerFactory *getInstance();

  /// A new logger bound to this factory; loggers are not shared by name.
  TRQLogger *getLogger(const char *name);

  /// Writes one line when `level` is at most the threshold. A null format
  /// gives the header followed directly by the newline.
  void write(int level, const TRQLogger *logger, const char *format, ...) RKL_PRINTF_FORMAT(4, 5);
  void vwrite(int level, const TRQLogger *logger, const char *format, va_list args) RKL_PRINTF_FORMAT(4, 0);
  /// Writes one line whose message is `text` exactly (never a format).
  void writeText(int level, const TRQLogger *logger, const char *text);

  /// closeAll(), then threshold = `level`, then, when `path` is not null, the
  /// file opened for appending ("at") as an owned sink; a file that cannot be
  /// opened is skipped silently.
  void reset(int level, const char *path);
  void addStream(FILE *stream, int owned);
  /// Opens `path` for appending ("at") when `append` is nonzero, else
  /// truncated ("wt"), as an owned sink; a failed open is ignored.
  void addFile(const char *path, int append);
  /// Threshold FATAL; owned streams closed; no sinks.
  void closeAll();

  void setLevel(int level);
  /// By name, ignoring case: "FATAL".."DEBUG" give 0..4; a null or empty
  /// name gives INFO (3); any other name DEBUG (4).
  void setLevel(const char *name);
  int getLevel() const { return m_threshold.load(std::memory_order_relaxed); }
  bool isEnabled(int level) const { return level <= m_threshold.load(std::memory_order_relaxed); }
  /// The threshold itself, which the loggers test inline.
  const std::atomic<int> &thresholdVariable() const { return m_threshold; }

  /// By name, exactly as written: "FATAL".."DEBUG" give 0..4; a null or
  /// unknown name gives DEBUG (4), so that nothing is hidden by a typing
  /// mistake.
  static int levelFromName(const char *name);

  /// Applies one section of the logging configuration file: the first
  /// `logging` element below `section` replaces the threshold and the sinks.
  /// 1 when a `logging` element was found and applied; 0 when there is none,
  /// and then nothing changes.
  virtual int configure(const RKLIDOM_Element &section);

  /// Applies the section named `section` of the logging configuration file
  /// `path`. 0 when the file cannot be opened or parsed or has no such
  /// section (each reported at FATAL to the sinks in place, which stay);
  /// otherwise the result of configure().
  int loadConfig(const char *path, const char *section);

  /// The level names, "FATAL" to "DEBUG"; null outside 0..4.
  static const char *levelName(int level);

private:
  TRQLoggerFactory();
  /// Writes one accepted line to every sink under the lock. The message is
  /// `text` verbatim when it is set, else `format` with `args`, else nothing.
  void writeLine(int level, const TRQLogger *logger, const char *format, va_list *args, const char *text);
  /// Closes the owned sinks and empties the list, leaving the threshold.
  void dropSinks();

  std::atomic<int> m_threshold{TRQLogLevel::Debug};
  std::vector<TRQLogSink> m_sinks;
  RKLThreadMutex m_mutex{0};
};

#endif // TRQLOGGERFACTORY_H
