//===- ActionTestSupport.h - Log capture, XML snippets and child records ---===//
//
// Shared by the property, action and process suites: a file sink that
// catches the log at DEBUG and splits it back into messages, elements parsed
// from XML text, the test child's record file, and a guard that ends a child
// process that a test leaves running.
//
//===----------------------------------------------------------------------===//
#ifndef ACTIONTESTSUPPORT_H
#define ACTIONTESTSUPPORT_H

#include "TestSupport.h"
#include "logging/TRQLoggerFactory.h"
#include "processes.h"
#include "rklidom.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace actiontest {

struct LogEntry {
  std::string level; ///< "FATAL", "ERROR", "WARN", "INFO", "DEBUG"
  std::string logger;
  std::string message; ///< the message exactly, newlines included
};

/// Sends the whole log at DEBUG to a fresh file for the lifetime of the
/// object, then leaves the factory without sinks.
class LogCapture {
public:
  LogCapture() : m_file(m_dir.file("capture.log")) {
    TRQLoggerFactory *factory = TRQLoggerFactory::getInstance();
    factory->reset(TRQLogLevel::Debug, nullptr);
    factory->addFile(m_file.c_str(), 0);
    factory->setLevel(TRQLogLevel::Debug);
  }
  ~LogCapture() { TRQLoggerFactory::getInstance()->closeAll(); }
  LogCapture(const LogCapture &) = delete;
  LogCapture &operator=(const LogCapture &) = delete;

  /// The log file's text. Windows writes the file in text mode, so its line
  /// ends are turned back into the "\n" that the service wrote.
  std::string text() const {
    std::string text = testsupport::readFile(m_file);
    if (testsupport::isWindows()) {
      std::string::size_type at = 0;
      while ((at = text.find("\r\n", at)) != std::string::npos)
        text.erase(at, 1);
    }
    return text;
  }

  /// The log split into messages: a line that starts with a header begins a
  /// message, any other line continues the one before.
  std::vector<LogEntry> entries() const {
    static const std::regex header(R"(^\w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d+  (FATAL|ERROR|WARN |INFO |DEBUG) )"
                                   R"(t\[[0-9a-f]+\] (\S+) )");
    std::vector<LogEntry> result;
    std::istringstream in(text());
    std::string line;
    while (std::getline(in, line)) {
      std::smatch match;
      if (std::regex_search(line, match, header, std::regex_constants::match_continuous)) {
        std::string level = match[1].str();
        if (level.back() == ' ')
          level.pop_back();
        result.push_back({level, match[2].str(), match.suffix().str()});
      } else if (!result.empty()) {
        result.back().message += "\n" + line;
      }
    }
    return result;
  }

  /// The messages of one logger, in order.
  std::vector<LogEntry> entries(const std::string &logger) const {
    std::vector<LogEntry> result;
    for (const LogEntry &entry : entries())
      if (entry.logger == logger)
        result.push_back(entry);
    return result;
  }

  /// How many messages of `logger` at `level` are exactly `message`.
  int count(const std::string &level, const std::string &logger, const std::string &message) const {
    int n = 0;
    for (const LogEntry &entry : entries())
      if (entry.level == level && entry.logger == logger && entry.message == message)
        ++n;
    return n;
  }

  /// The first message of `logger` that begins with `prefix`, or "".
  std::string find(const std::string &logger, const std::string &prefix) const {
    for (const LogEntry &entry : entries())
      if (entry.logger == logger && entry.message.compare(0, prefix.size(), prefix) == 0)
        return entry.message;
    return "";
  }

private:
  testsupport::TempDir m_dir{"tslactlog"};
  std::string m_file;
};

/// The root element of `xml`; the document lives as long as the handle.
inline RKLIDOM_Element parseElement(const std::string &xml) {
  RKLIDOM_Parser parser(0);
  RKLIDOM_Document document;
  EXPECT_EQ(parser.parseBuffer(xml.data(), xml.size(), document), 1) << parser.errorString() << "\n" << xml;
  return document.getDocumentElement();
}

/// `text` with the five XML special characters escaped.
inline std::string xmlEscape(const std::string &text) {
  std::string out;
  for (char c : text) {
    switch (c) {
    case '&':
      out += "&amp;";
      break;
    case '<':
      out += "&lt;";
      break;
    case '>':
      out += "&gt;";
      break;
    case '"':
      out += "&quot;";
      break;
    case '\'':
      out += "&apos;";
      break;
    default:
      out += c;
    }
  }
  return out;
}

/// The full path of the test child program.
inline std::string testChildPath() { return (testsupport::binDir() / testsupport::exeName("trqtestchild")).string(); }

/// The record that the test child writes at start ("key=value" lines; a line
/// without '=' maps to "<unset>"), once it exists; empty when it did not
/// appear within the time.
inline std::map<std::string, std::string> readRecord(const std::string &path,
                                                     std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
  std::map<std::string, std::string> record;
  if (!testsupport::waitUntil([&] { return !testsupport::readFile(path).empty(); }, timeout))
    return record;
  std::istringstream in(testsupport::readFile(path));
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    auto equals = line.find('=');
    if (equals == std::string::npos)
      record[line] = "<unset>";
    else
      record[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return record;
}

/// Ends, collects and releases a process that a test leaves running.
class ProcessGuard {
public:
  explicit ProcessGuard(platform::ProcessHandle handle = platform::NoProcess) : m_handle(handle) {}
  ~ProcessGuard() { reset(); }
  ProcessGuard(const ProcessGuard &) = delete;
  ProcessGuard &operator=(const ProcessGuard &) = delete;

  void reset(platform::ProcessHandle handle = platform::NoProcess) {
    if (m_handle != platform::NoProcess && m_handle > 0) {
      uint32_t code = 0;
      if (platform::exitCode(m_handle, code) && code == platform::StillActive)
        platform::terminateProcess(m_handle, 1);
      platform::waitForExit(m_handle);
      platform::closeProcessHandle(m_handle);
    }
    m_handle = handle;
  }
  /// Gives up the handle without touching the process.
  platform::ProcessHandle release() {
    platform::ProcessHandle handle = m_handle;
    m_handle = platform::NoProcess;
    return handle;
  }
  platform::ProcessHandle get() const { return m_handle; }

private:
  platform::ProcessHandle m_handle;
};

} // namespace actiontest

#endif // ACTIONTESTSUPPORT_H
