//===- LogConfigTest.cpp - Sections of the logging configuration file -----===//
#include "LogTestSupport.h"
#include "TestSupport.h"
#include "config/TRQPropertyInserter.h"
#include "logging/TRQLogger.h"
#include "logging/TRQLoggerFactory.h"
#include "rklcore.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace logtest;
using testsupport::writeFile;

namespace {

class LogConfigTest : public LoggingTest {
protected:
  // A configuration file holding `sections`, with every "@" replaced by the
  // test's folder (forward slashes, which both systems accept).
  std::string config(const std::string &sections) {
    std::string dir = file("");
    std::replace(dir.begin(), dir.end(), '\\', '/');
    std::string text = "<?xml version=\"1.0\"?>\n<trqlogconfig>\n" + sections + "\n</trqlogconfig>\n";
    for (size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at + dir.size()))
      text.replace(at, 1, dir);
    std::string path = file("trqlogconfig.xml");
    writeFile(path, text);
    return path;
  }

  // The messages of `path`'s lines whose logger is `logger`.
  static std::vector<std::string> messages(const std::string &path, const std::string &logger) {
    std::vector<std::string> found;
    for (const std::string &line : splitLines(readLog(path))) {
      std::optional<LogLine> parsed = parseLine(line);
      if (parsed && parsed->logger == logger)
        found.push_back(parsed->level + "|" + parsed->message);
    }
    return found;
  }

  std::unique_ptr<TRQLogger> m_logger{factory()->getLogger("LogConfigTest")};
};

TEST_F(LogConfigTest, ConfigurationErrorsAreFatalLinesInTheSinksInPlace) {
  std::string initial = file("trq_init.log");
  factory()->reset(TRQLogLevel::Warn, initial.c_str());

  std::string missing = file("absent.xml");
  EXPECT_EQ(factory()->loadConfig(missing.c_str(), "run"), 0);

  writeFile(file("broken.xml"), "<trqlogconfig><run></trqlogconfig>");
  std::string broken = file("broken.xml");
  EXPECT_EQ(factory()->loadConfig(broken.c_str(), "run"), 0);

  std::string good = config("<start><logging level=\"DEBUG\"><logFiles/></logging></start>");
  EXPECT_EQ(factory()->loadConfig(good.c_str(), "run"), 0);

  // A section without a logging element says so on the console only.
  config("<run><logFiles><file name=\"@other.log\"/></logFiles></run>");
  EXPECT_EQ(factory()->loadConfig(good.c_str(), "run"), 0);

  // Nothing of all this changed the initial log or its threshold.
  EXPECT_EQ(factory()->getLevel(), TRQLogLevel::Warn);
  m_logger->log(TRQLogLevel::Warn, "still here");
  m_logger->log(TRQLogLevel::Info, "below the threshold");
  std::vector<std::string> lines = messages(initial, "TRQLoggerFactory");
  ASSERT_EQ(lines.size(), 3u) << readLog(initial);
  EXPECT_EQ(lines[0], "FATAL|cannot open logging config file \"" + missing + "\".");
  EXPECT_EQ(lines[1].rfind("FATAL|Error parsing logging config file = " + broken + ", error string = line ", 0), 0u)
      << lines[1];
  EXPECT_EQ(lines[2], "FATAL|logging config element \"run\" is missing.");
  EXPECT_EQ(messages(initial, "LogConfigTest"), std::vector<std::string>{"WARN |still here"});
  EXPECT_FALSE(std::filesystem::exists(file("other.log")));
}

TEST_F(LogConfigTest, LevelAttribute) {
  std::string path = config(R"(
    <none><logging><logFiles><file name="@none.log"/></logFiles></logging></none>
    <upper><logging level="WARN"><logFiles><file name="@upper.log"/></logFiles></logging></upper>
    <lower><logging level="warn"><logFiles><file name="@lower.log"/></logFiles></logging></lower>
    <empty><logging level=""><logFiles><file name="@empty.log"/></logFiles></logging></empty>)");

  // No level: only FATAL lines pass.
  EXPECT_EQ(factory()->loadConfig(path.c_str(), "none"), 1);
  EXPECT_EQ(factory()->getLevel(), TRQLogLevel::Fatal);
  EXPECT_EQ(factory()->loadConfig(path.c_str(), "empty"), 1);
  EXPECT_EQ(factory()->getLevel(), TRQLogLevel::Fatal);
  EXPECT_EQ(factory()->loadConfig(path.c_str(), "upper"), 1);
  EXPECT_EQ(factory()->getLevel(), TRQLogLevel::Warn);

  // The file's names are case-sensitive: "warn" is unknown, gives DEBUG and
  // is explained in the new log.
  EXPECT_EQ(factory()->loadConfig(path.c_str(), "lower"), 1);
  EXPECT_EQ(factory()->getLevel(), TRQLogLevel::Debug);
  factory()->closeAll();
  EXPECT_EQ(messages(file("lower.log"), "TRQLoggerFactory"),
            std::vector<std::string>{"WARN |log level \"warn\" is not recognised, so DEBUG is used; the level names "
                                     "are FATAL, ERROR, WARN, INFO and DEBUG."});

  EXPECT_EQ(TRQLoggerFactory::levelFromName("FATAL"), 0);
  EXPECT_EQ(TRQLoggerFactory::levelFromName("ERROR"), 1);
  EXPECT_EQ(TRQLoggerFactory::levelFromName("WARN"), 2);
  EXPECT_EQ(TRQLoggerFactory::levelFromName("INFO"), 3);
  EXPECT_EQ(TRQLoggerFactory::levelFromName("DEBUG"), 4);
  EXPECT_EQ(TRQLoggerFactory::levelFromName("Info"), 4);
  EXPECT_EQ(TRQLoggerFactory::levelFromName(""), 4);
  EXPECT_EQ(TRQLoggerFactory::levelFromName(nullptr), 4);

  // The case-insensitive rule of -stdoutLog explains an unknown name too.
  std::string stdoutLog = file("stdoutlog.log");
  factory()->addFile(stdoutLog.c_str(), 0);
  factory()->setLevel("WARNING");
  EXPECT_EQ(factory()->getLevel(), TRQLogLevel::Debug);
  factory()->setLevel("warn");
  factory()->setLevel("");
  EXPECT_EQ(factory()->getLevel(), TRQLogLevel::Info);
  EXPECT_EQ(messages(stdoutLog, "TRQLoggerFactory"),
            std::vector<std::string>{"WARN |log level \"WARNING\" is not recognised, so DEBUG is used; the level "
                                     "names are FATAL, ERROR, WARN, INFO and DEBUG."});
}

TEST_F(LogConfigTest, FileEntries) {
  TRQPropertyInserter::getInstance()->addProperty("logConfigTestDir", file("").c_str());
  writeFile(file("kept.log"), "old line\n");
  writeFile(file("upper.log"), "old line\n");
  writeFile(file("twice.log"), "");
  std::string path = config(R"(
    <run><logging level="INFO"><logFiles>
      text that is not an element
      <!-- a comment -->
      <file name="${logConfigTestDir}kept.log" append="true"/>
      <file name="@upper.log" append="TRUE"/>
      <file name="@twice.log" append="true"/>
      <file name="@twice.log" append="true"/>
      <file/>
      <socket name="@socket.log"/>
    </logFiles></logging></run>)");
  EXPECT_EQ(factory()->loadConfig(path.c_str(), "run"), 1);
  m_logger->log(TRQLogLevel::Info, "new line");
  m_logger->log(TRQLogLevel::Debug, "below the threshold");
  factory()->closeAll();

  EXPECT_EQ(markHeaders(readLog(file("kept.log")), "INFO ", "LogConfigTest"), "old line\n<H>new line\n");
  // Only the exact text "true" appends.
  EXPECT_EQ(markHeaders(readLog(file("upper.log")), "INFO ", "LogConfigTest"), "<H>new line\n");
  // A file named twice gets every line twice.
  EXPECT_EQ(markHeaders(readLog(file("twice.log")), "INFO ", "LogConfigTest"), "<H>new line\n<H>new line\n");
  EXPECT_FALSE(std::filesystem::exists(file("socket.log")));
}

TEST_F(LogConfigTest, SectionWithoutSinksLeavesNone) {
  std::string before = file("before.log");
  std::string path = config(R"(
    <empty><logging level="DEBUG"><logFiles/></logging></empty>
    <absent><logging level="DEBUG"/></absent>)");
  for (const char *section : {"empty", "absent"}) {
    factory()->reset(TRQLogLevel::Warn, before.c_str());
    EXPECT_EQ(factory()->loadConfig(path.c_str(), section), 1);
    EXPECT_EQ(factory()->getLevel(), TRQLogLevel::Debug);
    m_logger->log(TRQLogLevel::Fatal, "goes nowhere");
  }
  factory()->closeAll();
  EXPECT_EQ(readLog(before), "");
}

// Every section of the sample installation's file writes where it says.
TEST_F(LogConfigTest, SampleInstallationFile) {
  std::string sample =
      (std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() / "examples" / "bin" /
       "trqlogconfig.xml")
          .string();
  std::string root = file("");
  TRQPropertyInserter::getInstance()->addProperty("install_path", root.c_str());
  std::filesystem::create_directories(file("logs"));
  const struct {
    const char *section;
    int level;
  } sections[] = {{"start", 3}, {"stop", 3}, {"isrunning", 2}, {"run", 3}, {"default", 3}};
  for (const auto &s : sections) {
    EXPECT_EQ(factory()->loadConfig(sample.c_str(), s.section), 1) << s.section;
    EXPECT_EQ(factory()->getLevel(), s.level) << s.section;
    m_logger->log(TRQLogLevel::Warn, "into %s", s.section);
    factory()->closeAll();
    EXPECT_EQ(messages(file(std::string("logs/trq_") + s.section + ".log"), "LogConfigTest"),
              std::vector<std::string>{std::string("WARN |into ") + s.section})
        << s.section;
  }
}

// Lines written while the configuration changes are neither cut nor lost on
// a file that every configuration keeps.
TEST_F(LogConfigTest, ReconfigurationWhileOtherThreadsWrite) {
  std::string path = config(R"(
    <a><logging level="DEBUG"><logFiles><file name="@kept.log" append="true"/><file name="@a.log"/></logFiles></logging></a>
    <b><logging level="DEBUG"><logFiles><file name="@b.log"/><file name="@kept.log" append="true"/></logFiles></logging></b>)");
  ASSERT_EQ(factory()->loadConfig(path.c_str(), "a"), 1);

  constexpr int threads = 4;
  constexpr int linesPerThread = 300;
  std::vector<std::thread> writers;
  for (int t = 0; t < threads; ++t) {
    writers.emplace_back([this, t] {
      for (int i = 0; i < linesPerThread; ++i)
        m_logger->log(TRQLogLevel::Info, "writer %d line %d of a text long enough to be written in pieces", t, i);
    });
  }
  for (int round = 0; round < 40; ++round)
    factory()->loadConfig(path.c_str(), round % 2 ? "a" : "b");
  for (std::thread &writer : writers)
    writer.join();
  factory()->closeAll();

  std::set<std::string> seen;
  std::vector<std::string> lines = splitLines(readLog(file("kept.log")));
  for (const std::string &line : lines) {
    std::optional<LogLine> parsed = parseLine(line);
    ASSERT_TRUE(parsed) << line;
    EXPECT_EQ(parsed->logger, "LogConfigTest") << line;
    EXPECT_TRUE(seen.insert(parsed->message).second) << "twice: " << line;
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(threads * linesPerThread));
  for (int t = 0; t < threads; ++t) {
    for (int i = 0; i < linesPerThread; ++i) {
      std::string message = "writer " + std::to_string(t) + " line " + std::to_string(i) +
                            " of a text long enough to be written in pieces";
      EXPECT_EQ(seen.count(message), 1u) << message;
    }
  }
}

} // namespace
