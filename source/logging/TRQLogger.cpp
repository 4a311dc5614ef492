//===- TRQLogger.cpp - A named logger that forwards to the factory --------===//
//
// A logger adds nothing but its name; the threshold test is made inline at
// every call (TRQLogger.h), so that a suppressed message does not even reach
// this file.
//
//===----------------------------------------------------------------------===//
#include "logging/TRQLogger.h"

#include "logging/TRQLoggerFactory.h"

TRQLogger::TRQLogger(TRQLoggerFactory *factory, const char *name)
    : m_factory(factory ? factory : TRQLoggerFactory::getInstance()), m_threshold(&m_factory->thresholdVariable()),
      m_name(name ? name : "") {}

TRQLogger::~TRQLogger() = default;

void TRQLogger::write(int level, const char *format, ...) const {
  va_list args;
  va_start(args, format);
  m_factory->vwrite(level, this, format, args);
  va_end(args);
}

#if !RKL_HAS_VA_ARG_PACK
void TRQLogger::log(int level, const char *format, ...) const {
  if (level > m_threshold->load(std::memory_order_relaxed))
    return;
  va_list args;
  va_start(args, format);
  m_factory->vwrite(level, this, format, args);
  va_end(args);
}
#endif

void TRQLogger::vlog(int level, const char *format, va_list args) const {
  m_factory->vwrite(level, this, format, args);
}

void TRQLogger::logText(int level, const char *text) const { m_factory->writeText(level, this, text); }

bool TRQLogger::isEnabled(int level) const { return m_factory->isEnabled(level); }
