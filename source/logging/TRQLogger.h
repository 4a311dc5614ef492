//===- TRQLogger.h - A named logger ---------------------------------------===//
//
// Every class that logs holds one static TRQLogger bearing the class's name,
// created during static initialisation. A logger only carries its name; the
// threshold, the sinks and the lock belong to the process-wide
// TRQLoggerFactory.
//
//===----------------------------------------------------------------------===//
#ifndef TRQLOGGER_H
#define TRQLOGGER_H

#include "rklcore.h"

#include <atomic>
#include <cstdarg>
#include <string>

class TRQLoggerFactory;

/// Log levels: a smaller number is more severe. A message is written when its
/// level is at most the factory's threshold.
struct TRQLogLevel {
  enum : int { Fatal = 0, Error = 1, Warn = 2, Info = 3, Debug = 4 };
};

class TRQLogger {
public:
  TRQLogger(TRQLoggerFactory *factory, const char *name);
  virtual ~TRQLogger();
  TRQLogger(const TRQLogger &) = delete;
  TRQLogger &operator=(const TRQLogger &) = delete;

  /// Writes one line at `level` with the message formatted by printf rules.
  /// The format must be a literal of the program: text from outside (files,
  /// options, replies) goes through a "%s" or through logText().
  /// Where the compiler allows it, the threshold is tested where the message
  /// is logged: a message below it costs a load and a comparison, not a call
  /// that first saves the argument registers of a variadic function.
#if RKL_HAS_VA_ARG_PACK
#pragma GCC diagnostic push
  // The format is checked at the caller's literal, by this function's attribute.
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  RKL_PRINTF_FORMAT(3, 4) __attribute__((always_inline)) void log(int level, const char *format, ...) const {
    if (level <= m_threshold->load(std::memory_order_relaxed))
      write(level, format, __builtin_va_arg_pack());
  }
#pragma GCC diagnostic pop
#else
  void log(int level, const char *format, ...) const RKL_PRINTF_FORMAT(3, 4);
#endif
  /// log() after the threshold test.
  void write(int level, const char *format, ...) const RKL_PRINTF_FORMAT(3, 4);
  void vlog(int level, const char *format, va_list args) const RKL_PRINTF_FORMAT(3, 0);
  /// Writes one line whose message is `text` exactly, never read as a format.
  void logText(int level, const char *text) const;
  /// True when a message of `level` would be written.
  bool isEnabled(int level) const;

  const char *name() const { return m_name.c_str(); }

private:
  TRQLoggerFactory *m_factory;
  /// The factory's threshold, which outlives every logger.
  const std::atomic<int> *m_threshold;
  std::string m_name;
};

#endif // TRQLOGGER_H
