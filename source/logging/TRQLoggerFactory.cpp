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

#include "config/TRQPropertyInserter.h"
#include "entry/TRQConsole.h"
#include "rklidom.h"
#include "rkltime.h"
#include "support/TRQFileInputStream.h"

#include <cstdint>
#include <cstring>
#include <new>
#include <string>

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

// The level number of `name`, or -1 when it is none of the level names.
int findLevel(const char *name, bool ignoreCase) {
  if (!name)
    return -1;
  for (int candidate = TRQLogLevel::Fatal; candidate <= TRQLogLevel::Debug; ++candidate) {
    if (ignoreCase ? equalsIgnoringCase(name, levelNames[candidate]) : std::strcmp(name, levelNames[candidate]) == 0)
      return candidate;
  }
  return -1;
}

// The factory's own reports go through a logger of its name, made for the
// occasion, to whatever sinks are in place at that moment.
TRQLogger &factoryLogger() {
  static TRQLogger *const logger = TRQLoggerFactory::getInstance()->getLogger("TRQLoggerFactory");
  return *logger;
}

// An unknown level name lets everything through; say so, or the sudden
// flood of DEBUG lines would have no explanation.
void warnUnknownLevel(const char *name) {
  factoryLogger().log(TRQLogLevel::Warn,
                      "log level \"%s\" is not recognised, so DEBUG is used; the level names are FATAL, ERROR, "
                      "WARN, INFO and DEBUG.",
                      name);
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
  // A reconfiguration may have raised the threshold after the test above;
  // it is changed only under this lock, so this second test is exact.
  if (!isEnabled(level))
    return;
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
  dropSinks();
}

void TRQLoggerFactory::dropSinks() {
  RKLThreadGuard guard(m_mutex);
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
  if (!name || !*name) {
    setLevel(TRQLogLevel::Info);
    return;
  }
  int level = findLevel(name, true);
  setLevel(level < 0 ? static_cast<int>(TRQLogLevel::Debug) : level);
  if (level < 0)
    warnUnknownLevel(name);
}

int TRQLoggerFactory::levelFromName(const char *name) {
  int level = findLevel(name, false);
  return level < 0 ? static_cast<int>(TRQLogLevel::Debug) : level;
}

namespace {

// One entry of a section's `logFiles`, read before the sinks are replaced.
struct PlannedSink {
  enum Kind { File, Stdout, Stderr } kind;
  std::string path;
  bool append;
};

} // namespace

int TRQLoggerFactory::configure(const RKLIDOM_Element &section) {
  RKLIDOM_Element logging = RKLIDOM_Helper::findFirstElementWithName(section, "logging");
  if (logging.isNull()) {
    TRQConsole::getInstance()->write("no logger element in config, so LoggerFactory is not reconfigured.\n");
    return 0;
  }

  I18NString levelText = logging.getAttribute("level");
  // Without a level only FATAL lines pass.
  int level = levelText.empty() ? static_cast<int>(TRQLogLevel::Fatal) : levelFromName(levelText.c_str());

  // The whole section is read, and its file names completed, before the
  // sinks change: the property table logs its substitutions, and those
  // lines belong to the sinks in place, not to a half-built list.
  RKLIDOM_Element logFiles = RKLIDOM_Helper::findFirstElementWithName(logging, "logFiles");
  const bool hasEntries = !logFiles.isNull() && logFiles.hasChildNodes();
  std::vector<PlannedSink> planned;
  if (hasEntries) {
    for (int index = 0; index < logFiles.getChildNodes().getLength(); ++index) {
      RKLIDOM_Node child = logFiles.getChildNodes().item(index);
      if (child.getNodeType() != RKLIDOM_Node::ELEMENT_NODE)
        continue;
      RKLIDOM_Element entry(child);
      I18NString tag = entry.getTagName();
      if (tag == "file") {
        std::string path = entry.getAttribute("name").c_str();
        TRQPropertyInserter::getInstance()->insertProperties(path);
        planned.push_back(PlannedSink{PlannedSink::File, path, entry.getAttribute("append") == "true"});
      } else if (tag == "stdout") {
        planned.push_back(PlannedSink{PlannedSink::Stdout, std::string(), false});
      } else if (tag == "stderr") {
        planned.push_back(PlannedSink{PlannedSink::Stderr, std::string(), false});
      }
    }
  }

  {
    // Lines written on other threads wait here, then go to the new sinks
    // under the new threshold: none is cut, none is written to a closed file.
    RKLThreadGuard guard(m_mutex);
    dropSinks();
    for (const PlannedSink &sink : planned) {
      if (sink.kind == PlannedSink::File)
        addFile(sink.path.c_str(), sink.append ? 1 : 0);
      else
        addStream(sink.kind == PlannedSink::Stdout ? stdout : stderr, 0);
    }
    m_threshold.store(level, std::memory_order_relaxed);
  }

  if (!hasEntries)
    TRQConsole::getInstance()->write("no log file elements in config, so no log files added.\n");
  if (!levelText.empty() && findLevel(levelText.c_str(), false) < 0)
    warnUnknownLevel(levelText.c_str());
  return 1;
}

int TRQLoggerFactory::loadConfig(const char *path, const char *section) {
  TRQFileInputStream stream(path);
  if (!stream.isOpen()) {
    factoryLogger().log(TRQLogLevel::Fatal, "cannot open logging config file \"%s\".", path ? path : "");
    return 0;
  }
  RKLIDOM_Parser parser;
  RKLIDOM_Document document;
  if (parser.parse(stream, document) != 1) {
    factoryLogger().log(TRQLogLevel::Fatal, "Error parsing logging config file = %s, error string = %s", path,
                        parser.errorString());
    return 0;
  }
  stream.close();
  RKLIDOM_Element element = RKLIDOM_Helper::findFirstElementWithName(document.getDocumentElement(), section);
  if (element.isNull()) {
    factoryLogger().log(TRQLogLevel::Fatal, "logging config element \"%s\" is missing.", section ? section : "");
    return 0;
  }
  return configure(element);
}
