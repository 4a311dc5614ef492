//===- CryptoTestSupport.h - Log capture, test servers and settings for the exchange suites ===//
//
// Shared by the suites of the crypto binding, the socket command and the
// socket send action (each folder is a process of its own, because the
// binding is process-wide): a log file sink read back into messages, the test
// child started for real as a loopback server (plain or TLS), a startup
// configuration of the test's own, certificates made with the openssl
// command, and environment changes. Header-only so that every suite folder
// can include it.
//
//===----------------------------------------------------------------------===//
#ifndef CRYPTOTESTSUPPORT_H
#define CRYPTOTESTSUPPORT_H

#include "TestSupport.h"
#include "crypto/TRQSocketCommand.h"
#include "logging/TRQLoggerFactory.h"
#include "processes.h"
#include "rklcfgapi.h"
#include "rklidom.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

namespace cryptotest {

/// Every exchange of the suites starts without the connection pause.
inline const bool ConnectPauseOff = (TRQSocketCommand::setConnectPauseMsForTesting(0), true);

//===--- Log capture ------------------------------------------------------===//

struct LogEntry {
  std::string level; ///< "FATAL", "ERROR", "WARN", "INFO", "DEBUG"
  std::string logger;
  std::string message; ///< exactly as written, trailing blanks included
};

/// Sends the whole log at DEBUG to a fresh file for the lifetime of the
/// object, then leaves the factory without sinks.
class LogCapture {
public:
  LogCapture() : m_file(m_dir.file("capture.log")) {
    TRQLoggerFactory *factory = TRQLoggerFactory::getInstance();
    factory->closeAll();
    factory->addFile(m_file.c_str(), 0);
    factory->setLevel(TRQLogLevel::Debug);
  }
  ~LogCapture() { TRQLoggerFactory::getInstance()->closeAll(); }
  LogCapture(const LogCapture &) = delete;
  LogCapture &operator=(const LogCapture &) = delete;

  /// The log's lines taken apart: "<asctime>  <LEVEL> t[<id>] <logger> <message>".
  std::vector<LogEntry> entries() const {
    std::vector<LogEntry> result;
    std::istringstream in(testsupport::readFile(m_file));
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r')
        line.pop_back(); // text-mode files of the Windows build
      if (line.size() < 36 || line.compare(24, 2, "  ") != 0 || line.compare(32, 2, "t[") != 0) {
        if (!result.empty())
          result.back().message += "\n" + line;
        continue;
      }
      LogEntry entry;
      entry.level = line.substr(26, 5);
      while (!entry.level.empty() && entry.level.back() == ' ')
        entry.level.pop_back();
      std::size_t close = line.find("] ", 34);
      std::size_t nameEnd = close == std::string::npos ? std::string::npos : line.find(' ', close + 2);
      if (nameEnd == std::string::npos)
        continue;
      entry.logger = line.substr(close + 2, nameEnd - close - 2);
      entry.message = line.substr(nameEnd + 1);
      result.push_back(entry);
    }
    return result;
  }

  /// "LEVEL message" of every line of `logger`, in order.
  std::vector<std::string> lines(const std::string &logger) const {
    std::vector<std::string> result;
    for (const LogEntry &entry : entries())
      if (entry.logger == logger)
        result.push_back(entry.level + " " + entry.message);
    return result;
  }

  /// "LEVEL message" of the lines of `logger` at `level` or more severe.
  std::vector<std::string> lines(const std::string &logger, int level) const {
    static const char *const names[] = {"FATAL", "ERROR", "WARN", "INFO", "DEBUG"};
    std::vector<std::string> result;
    for (const LogEntry &entry : entries()) {
      if (entry.logger != logger)
        continue;
      for (int i = 0; i <= level && i < 5; ++i)
        if (entry.level == names[i])
          result.push_back(entry.level + " " + entry.message);
    }
    return result;
  }

  /// How many lines of `logger` are exactly `levelAndMessage` ("ERROR text").
  int count(const std::string &logger, const std::string &levelAndMessage) const {
    int n = 0;
    for (const std::string &line : lines(logger))
      if (line == levelAndMessage)
        ++n;
    return n;
  }

  std::string text() const { return testsupport::readFile(m_file); }

private:
  testsupport::TempDir m_dir{"tslcrylog"};
  std::string m_file;
};

//===--- Environment ------------------------------------------------------===//

/// Sets or removes a variable of the test process, where both the C library
/// and the system see it.
inline void setEnvironment(const std::string &name, const std::optional<std::string> &value) {
#ifdef _WIN32
  SetEnvironmentVariableA(name.c_str(), value ? value->c_str() : nullptr);
  _putenv((name + "=" + (value ? *value : std::string())).c_str());
#else
  if (value)
    setenv(name.c_str(), value->c_str(), 1);
  else
    unsetenv(name.c_str());
#endif
}

/// Restores a variable's value when it goes.
class EnvironmentGuard {
public:
  explicit EnvironmentGuard(const std::string &name) : m_name(name) {
    const char *old = std::getenv(name.c_str());
    if (old)
      m_old = old;
  }
  ~EnvironmentGuard() { setEnvironment(m_name, m_old); }
  EnvironmentGuard(const EnvironmentGuard &) = delete;
  EnvironmentGuard &operator=(const EnvironmentGuard &) = delete;

private:
  std::string m_name;
  std::optional<std::string> m_old;
};

//===--- Startup configuration --------------------------------------------===//

/// A startup configuration with the test's values, counting getValue calls.
class TestConfiguration : public IRKLConfiguration {
public:
  I18NString getValue(const char *name, int) override {
    ++getValueCalls;
    lastName = name ? name : "";
    auto found = values.find(lastName);
    return found == values.end() ? I18NString() : I18NString(found->second);
  }
  RKLIDOM_Element getElement(const char *, int) override { return RKLIDOM_Element(); }
  void resolvePath(I18NString &) override {}
  using IRKLConfiguration::resolvePath;
  I18NString getComponentVersion(const char *) override { return I18NString(); }

  std::map<std::string, std::string> values;
  int getValueCalls = 0;
  std::string lastName;
};

/// Puts a TestConfiguration in place of the installation's for its lifetime.
class ConfigurationOverride {
public:
  ConfigurationOverride() { RKLConfigurationFactory::setInstanceForTesting(&configuration); }
  ~ConfigurationOverride() { RKLConfigurationFactory::setInstanceForTesting(nullptr); }
  ConfigurationOverride(const ConfigurationOverride &) = delete;
  ConfigurationOverride &operator=(const ConfigurationOverride &) = delete;

  TestConfiguration configuration;
};

//===--- XML --------------------------------------------------------------===//

/// The root element of `xml`; the document lives as long as the handle.
inline RKLIDOM_Element parseElement(const std::string &xml) {
  RKLIDOM_Parser parser(0);
  RKLIDOM_Document document;
  EXPECT_EQ(parser.parseBuffer(xml.data(), xml.size(), document), 1) << parser.errorString() << "\n" << xml;
  return document.getDocumentElement();
}

//===--- The test child as a server ---------------------------------------===//

inline std::string testChildPath() { return (testsupport::binDir() / testsupport::exeName("trqtestchild")).string(); }

/// `arg` as one word of a Windows command line.
inline std::string quoteArgument(const std::string &arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos)
    return arg;
  std::string out = "\"";
  std::size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, '\\');
  return out + "\"";
}

/// trqtestchild serving loopback connections; killed when the object goes.
class TestServer {
public:
  TestServer() = default;
  ~TestServer() { stop(); }
  TestServer(const TestServer &) = delete;
  TestServer &operator=(const TestServer &) = delete;

  /// Starts the child with "--listen=0 --port-file=... --log=..." and
  /// `options`; the port once the child has written it, or 0 (`error` set).
  int start(const std::vector<std::string> &options, std::string &error) {
    static int counter = 0;
    ++counter;
    m_portFile = m_dir.file("port" + std::to_string(counter) + ".txt");
    m_logFile = m_dir.file("child" + std::to_string(counter) + ".log");
    std::vector<std::string> argv = {testChildPath(), "--listen=0", "--port-file=" + m_portFile, "--log=" + m_logFile};
    argv.insert(argv.end(), options.begin(), options.end());
    std::string commandLine;
    for (const std::string &word : argv)
      commandLine += (commandLine.empty() ? "" : " ") + quoteArgument(word);
    int pid = 0;
    int rc = platform::startProcess(commandLine, argv, m_handle, pid);
    if (rc != 0) {
      error = "cannot start the test child, error " + std::to_string(rc);
      return 0;
    }
    std::string text;
    bool written = testsupport::waitUntil([&] {
      text = testsupport::readFile(m_portFile);
      return !text.empty() && text.back() == '\n';
    });
    if (!written) {
      error = "the test child wrote no port file";
      return 0;
    }
    m_port = std::atoi(text.c_str());
    return m_port;
  }

  /// Kills the child (also before the object goes, to free its port).
  void stop() {
    if (m_handle == platform::NoProcess)
      return;
    platform::terminateProcess(m_handle, 1);
    platform::waitForExit(m_handle);
    platform::closeProcessHandle(m_handle);
    m_handle = platform::NoProcess;
  }

  int port() const { return m_port; }
  /// The child's event log ("received ...", "replied ...").
  std::string log() const { return testsupport::readFile(m_logFile); }
  /// Waits until the child's log holds `line` as a whole line.
  bool waitForLogLine(const std::string &line) const {
    return testsupport::waitUntil([&] {
      std::istringstream in(log());
      std::string current;
      while (std::getline(in, current)) {
        if (!current.empty() && current.back() == '\r')
          current.pop_back();
        if (current == line)
          return true;
      }
      return false;
    });
  }

private:
  testsupport::TempDir m_dir{"tslcrysrv"};
  std::string m_portFile;
  std::string m_logFile;
  platform::ProcessHandle m_handle = platform::NoProcess;
  int m_port = 0;
};

/// A loopback port on which nothing listens (a server's, after it was killed).
inline int closedPort() {
  TestServer server;
  std::string error;
  int port = server.start({}, error);
  server.stop();
  return port;
}

} // namespace cryptotest

#endif // CRYPTOTESTSUPPORT_H
