//===- LogTestSupport.h - Reading back what the logger factory wrote -----===//
//
// The factory is one per process, so every test that logs starts from a
// factory without sinks at DEBUG and leaves it without sinks. Log files are
// written in text mode, so the Windows build's lines end in "\r\n"; readers
// here turn them back into "\n" before comparing.
//
//===----------------------------------------------------------------------===//
#ifndef LOGTESTSUPPORT_H
#define LOGTESTSUPPORT_H

#include "TestSupport.h"
#include "logging/TRQLoggerFactory.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <regex>
#include <string>
#include <vector>

namespace logtest {

inline TRQLoggerFactory *factory() { return TRQLoggerFactory::getInstance(); }

/// A log file's text with "\r\n" turned into "\n".
inline std::string readLog(const std::string &path) {
  std::string raw = testsupport::readFile(path);
  std::string text;
  text.reserve(raw.size());
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n')
      continue;
    text += raw[i];
  }
  return text;
}

/// The lines of `text`, without their "\n"; a last line without one counts.
inline std::vector<std::string> splitLines(const std::string &text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

inline std::string regexEscape(const std::string &text) {
  static const std::string special = R"(\^$.|?*+()[]{})";
  std::string escaped;
  for (char c : text) {
    if (special.find(c) != std::string::npos)
      escaped += '\\';
    escaped += c;
  }
  return escaped;
}

/// asctime's layout: "Www Mmm dd hh:mm:ss yyyy"; the day of month is blank-
/// or zero-padded depending on the C library.
inline const char *asctimePattern() {
  return "(?:Sun|Mon|Tue|Wed|Thu|Fri|Sat) (?:Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
         "[ 0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}";
}

/// The header of a line at `levelField` (the level already padded to five)
/// from the logger `name`: time, two blanks, level, thread id, name, blank.
inline std::string headerPattern(const std::string &levelField, const std::string &name) {
  return std::string(asctimePattern()) + "  " + regexEscape(levelField) + R"( t\[[0-9a-f]+\] )" +
         regexEscape(name) + " ";
}

/// `text` with every header of `levelField`/`name` replaced by "<H>", so that
/// whole messages (also those of several lines) can be compared exactly.
inline std::string markHeaders(const std::string &text, const std::string &levelField, const std::string &name) {
  return std::regex_replace(text, std::regex(headerPattern(levelField, name)), "<H>");
}

/// One log line taken apart by position.
struct LogLine {
  std::string time;     ///< the 24 characters of asctime
  std::string level;    ///< the five-character level field
  std::string threadId; ///< the hex digits between "t[" and "]"
  std::string logger;
  std::string message;
};

/// Splits a line (without its "\n") into its fields; nothing when the
/// separators are not where the layout puts them. Logger names hold no blank.
inline std::optional<LogLine> parseLine(const std::string &line) {
  if (line.size() < 36 || line[24] != ' ' || line[25] != ' ' || line[31] != ' ' || line.compare(32, 2, "t[") != 0)
    return std::nullopt;
  LogLine parsed;
  parsed.time = line.substr(0, 24);
  parsed.level = line.substr(26, 5);
  size_t close = line.find(']', 34);
  if (close == std::string::npos || close + 1 >= line.size() || line[close + 1] != ' ')
    return std::nullopt;
  parsed.threadId = line.substr(34, close - 34);
  size_t nameEnd = line.find(' ', close + 2);
  if (nameEnd == std::string::npos)
    return std::nullopt;
  parsed.logger = line.substr(close + 2, nameEnd - (close + 2));
  parsed.message = line.substr(nameEnd + 1);
  return parsed;
}

/// Lower-case hex of the low 32 bits, as the log line shows thread ids.
inline std::string hexThreadId(uint64_t id) {
  char text[16];
  std::snprintf(text, sizeof text, "%x", static_cast<unsigned>(id & 0xFFFFFFFFu));
  return text;
}

/// Starts each test with a factory at DEBUG without sinks and a fresh
/// folder, and leaves the factory without sinks (before the folder goes, so
/// that no open file keeps it on Windows).
class LoggingTest : public ::testing::Test {
protected:
  void SetUp() override {
    factory()->closeAll();
    factory()->setLevel(TRQLogLevel::Debug);
  }
  void TearDown() override { factory()->closeAll(); }

  std::string file(const std::string &name) const { return m_dir.file(name); }

private:
  testsupport::TempDir m_dir{"tsllog"};
};

} // namespace logtest

#endif // LOGTESTSUPPORT_H
