//===- LoggerFactoryTest.cpp - The log line, thresholds, sinks and names --===//
#include "LogTestSupport.h"
#include "TestSupport.h"
#include "logging/TRQLogger.h"
#include "logging/TRQLoggerFactory.h"
#include "rklcore.h"
#include "rkltime.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

using namespace logtest;
using testsupport::writeFile;

namespace {

// Taken during static initialisation, before any test touches the factory:
// the state in which the program finds it at entry.
const int levelAtStart = TRQLoggerFactory::getInstance()->getLevel();

std::unique_ptr<TRQLogger> makeLogger(const char *name) {
  return std::unique_ptr<TRQLogger>(factory()->getLogger(name));
}

// Whether this process holds `path` open: on Linux through its descriptor
// table, on Windows by asking for the file without sharing, which fails
// while any other handle has it open.
bool isOpenInProcess(const std::string &path) {
#ifdef _WIN32
  std::wstring wide = std::filesystem::path(path).wstring();
  HANDLE handle = CreateFileW(wide.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE)
    return GetLastError() == ERROR_SHARING_VIOLATION;
  CloseHandle(handle);
  return false;
#else
  std::error_code ec;
  std::filesystem::path wanted = std::filesystem::canonical(path, ec);
  for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
    std::error_code linkError;
    std::filesystem::path target = std::filesystem::read_symlink(entry.path(), linkError);
    if (!linkError && target == wanted)
      return true;
  }
  return false;
#endif
}

void vlogThrough(const TRQLogger &logger, int level, const char *format, ...) RKL_PRINTF_FORMAT(3, 4);
void vlogThrough(const TRQLogger &logger, int level, const char *format, ...) {
  va_list args;
  va_start(args, format);
  logger.vlog(level, format, args);
  va_end(args);
}

void vwriteThrough(const TRQLogger &logger, int level, const char *format, ...) RKL_PRINTF_FORMAT(3, 4);
void vwriteThrough(const TRQLogger &logger, int level, const char *format, ...) {
  va_list args;
  va_start(args, format);
  factory()->vwrite(level, &logger, format, args);
  va_end(args);
}

TEST(TRQLoggerFactory, OneFactoryStartingAtDebug) {
  EXPECT_EQ(levelAtStart, TRQLogLevel::Debug);
  EXPECT_NE(TRQLoggerFactory::getInstance(), nullptr);
  EXPECT_EQ(TRQLoggerFactory::getInstance(), TRQLoggerFactory::getInstance());
}

TEST(TRQLoggerFactory, LevelNames) {
  EXPECT_STREQ(TRQLoggerFactory::levelName(0), "FATAL");
  EXPECT_STREQ(TRQLoggerFactory::levelName(1), "ERROR");
  EXPECT_STREQ(TRQLoggerFactory::levelName(2), "WARN");
  EXPECT_STREQ(TRQLoggerFactory::levelName(3), "INFO");
  EXPECT_STREQ(TRQLoggerFactory::levelName(4), "DEBUG");
  EXPECT_EQ(TRQLoggerFactory::levelName(-1), nullptr);
  EXPECT_EQ(TRQLoggerFactory::levelName(5), nullptr);
}

TEST(TRQLoggerFactory, EveryLoggerIsNewAndOwnsItsName) {
  char name[] = "TRQChildProcess";
  std::unique_ptr<TRQLogger> first = makeLogger(name);
  std::unique_ptr<TRQLogger> second = makeLogger(name);
  std::memcpy(name, "XXX", 3);
  EXPECT_NE(first.get(), second.get());
  EXPECT_STREQ(first->name(), "TRQChildProcess");
  EXPECT_STREQ(second->name(), "TRQChildProcess");
  EXPECT_STREQ(makeLogger(nullptr)->name(), "");
}

TEST_F(LoggingTest, LineLayoutFieldByField) {
  std::string path = file("line.log");
  factory()->addFile(path.c_str(), 0);
  std::unique_ptr<TRQLogger> logger = makeLogger("TRQBootstrapService");

  int64_t before = rklCurrentTime();
  logger->log(TRQLogLevel::Warn, "value %d and %s", 42, "text");
  int64_t after = rklCurrentTime();
  factory()->closeAll();

  std::string text = readLog(path);
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  std::vector<std::string> lines = splitLines(text);
  ASSERT_EQ(lines.size(), 1u);
  const std::string &line = lines[0];

  // Time (24 characters of asctime), the replaced newline and the format's
  // blank, the level padded to five, the blank, the thread id, the name, the
  // blank before the message.
  std::optional<LogLine> parsed = parseLine(line);
  ASSERT_TRUE(parsed) << line;
  EXPECT_TRUE(std::regex_match(parsed->time, std::regex(asctimePattern()))) << parsed->time;
  EXPECT_EQ(parsed->level, "WARN ");
  EXPECT_EQ(line.substr(24, 2), "  ");
  EXPECT_EQ(line.substr(26, 7), "WARN  t");
  EXPECT_EQ(parsed->threadId, hexThreadId(RKLThread::currentThreadId()));
  EXPECT_EQ(parsed->logger, "TRQBootstrapService");
  EXPECT_EQ(parsed->message, "value 42 and text");
  EXPECT_TRUE(std::regex_match(line, std::regex(headerPattern("WARN ", "TRQBootstrapService") + "value 42 and text")))
      << line;

  // The time is the local time of a second during the call, in asctime's
  // words and numbers.
  bool found = false;
  for (int64_t second = before; second <= after && !found; ++second) {
    time_t value = static_cast<time_t>(second);
    const std::tm *local = std::localtime(&value);
    ASSERT_NE(local, nullptr);
    static const char *const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char *const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char expected[64];
    std::snprintf(expected, sizeof expected, "%s %s %2d %02d:%02d:%02d %d", days[local->tm_wday],
                  months[local->tm_mon], local->tm_mday, local->tm_hour, local->tm_min, local->tm_sec,
                  local->tm_year + 1900);
    std::string actual = parsed->time;
    if (actual[8] == '0') // the Windows run-time pads the day with a zero
      actual[8] = ' ';
    found = actual == expected;
  }
  EXPECT_TRUE(found) << parsed->time;
}

TEST_F(LoggingTest, LevelFieldIsPaddedToFive) {
  std::string path = file("levels.log");
  factory()->addFile(path.c_str(), 0);
  std::unique_ptr<TRQLogger> logger = makeLogger("TRQAction");
  for (int level = TRQLogLevel::Fatal; level <= TRQLogLevel::Debug; ++level)
    logger->log(level, "level %d", level);

  std::vector<std::string> lines = splitLines(readLog(path));
  ASSERT_EQ(lines.size(), 5u);
  const char *const fields[] = {"FATAL", "ERROR", "WARN ", "INFO ", "DEBUG"};
  for (int level = 0; level < 5; ++level) {
    std::optional<LogLine> parsed = parseLine(lines[static_cast<size_t>(level)]);
    ASSERT_TRUE(parsed) << lines[static_cast<size_t>(level)];
    EXPECT_EQ(parsed->level, fields[level]);
    EXPECT_EQ(parsed->message, "level " + std::to_string(level));
  }
}

TEST_F(LoggingTest, ThresholdLetsTheLevelAndMoreSevereThrough) {
  std::string first = file("first.log");
  std::string second = file("second.log");
  factory()->addFile(first.c_str(), 0);
  factory()->addFile(second.c_str(), 0);
  std::unique_ptr<TRQLogger> logger = makeLogger("PingChildProcess");

  factory()->setLevel(TRQLogLevel::Warn);
  EXPECT_EQ(factory()->getLevel(), TRQLogLevel::Warn);
  EXPECT_TRUE(logger->isEnabled(TRQLogLevel::Warn));
  EXPECT_FALSE(logger->isEnabled(TRQLogLevel::Info));
  logger->log(TRQLogLevel::Info, "info %d", 1);
  logger->log(TRQLogLevel::Debug, "debug %d", 1);
  logger->logText(TRQLogLevel::Info, "info text");
  logger->log(TRQLogLevel::Warn, "warn %d", 1);
  logger->log(TRQLogLevel::Error, "error %d", 1);
  logger->log(TRQLogLevel::Fatal, "fatal %d", 1);

  factory()->setLevel(TRQLogLevel::Fatal);
  logger->log(TRQLogLevel::Error, "error %d", 2);
  logger->log(TRQLogLevel::Fatal, "fatal %d", 2);

  factory()->setLevel(TRQLogLevel::Debug);
  logger->log(TRQLogLevel::Debug, "debug %d", 3);

  const std::string expected = "<H>warn 1\n<H>error 1\n<H>fatal 1\n<H>fatal 2\n<H>debug 3\n";
  for (const std::string &path : {first, second}) {
    std::string marked = readLog(path);
    for (const char *level : {"FATAL", "ERROR", "WARN ", "INFO ", "DEBUG"})
      marked = markHeaders(marked, level, "PingChildProcess");
    EXPECT_EQ(marked, expected) << path;
  }
}

TEST_F(LoggingTest, NullFormatGivesTheHeaderAlone) {
  std::string path = file("null.log");
  factory()->addFile(path.c_str(), 0);
  std::unique_ptr<TRQLogger> logger = makeLogger("TRQConsole");
  const char *noFormat = nullptr;
  // A null format on purpose: the compiler's check of formats is right
  // everywhere else.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  logger->log(TRQLogLevel::Info, noFormat);
  factory()->write(TRQLogLevel::Info, logger.get(), noFormat);
#pragma GCC diagnostic pop
  logger->logText(TRQLogLevel::Info, nullptr);

  std::string text = readLog(path);
  EXPECT_EQ(markHeaders(text, "INFO ", "TRQConsole"), "<H>\n<H>\n<H>\n");
  for (const std::string &line : splitLines(text)) {
    std::optional<LogLine> parsed = parseLine(line);
    ASSERT_TRUE(parsed) << line;
    EXPECT_EQ(parsed->logger, "TRQConsole");
    EXPECT_EQ(parsed->message, "");
  }
}

TEST_F(LoggingTest, TextIsWrittenAsDataAndFormatsByPrintfRules) {
  std::string path = file("text.log");
  factory()->addFile(path.c_str(), 0);
  std::unique_ptr<TRQLogger> logger = makeLogger("TRQArgVector");
  logger->logText(TRQLogLevel::Error, "100% %s %d %n literal");
  factory()->writeText(TRQLogLevel::Error, logger.get(), "%x from the factory");
  logger->log(TRQLogLevel::Error, "%s|%5d|%-3s|%x|%lld|%%", "a", 42, "b", 255u, -9000000000LL);
  vlogThrough(*logger, TRQLogLevel::Error, "through vlog %s %d", "x", 7);
  vwriteThrough(*logger, TRQLogLevel::Error, "through vwrite %s %d", "y", 8);

  EXPECT_EQ(markHeaders(readLog(path), "ERROR", "TRQArgVector"),
            "<H>100% %s %d %n literal\n"
            "<H>%x from the factory\n"
            "<H>a|   42|b  |ff|-9000000000|%\n"
            "<H>through vlog x 7\n"
            "<H>through vwrite y 8\n");
}

TEST_F(LoggingTest, ResetAppendsToTheFileAndSetsTheThreshold) {
  std::string path = file("init.log");
  writeFile(path, "earlier run\n");
  std::unique_ptr<TRQLogger> logger = makeLogger("TRQNTService");

  factory()->reset(TRQLogLevel::Warn, path.c_str());
  EXPECT_EQ(factory()->getLevel(), TRQLogLevel::Warn);
  logger->log(TRQLogLevel::Info, "not written %d", 1);
  logger->log(TRQLogLevel::Warn, "written %d", 1);
  factory()->closeAll();

  EXPECT_EQ(markHeaders(readLog(path), "WARN ", "TRQNTService"), "earlier run\n<H>written 1\n");
}

TEST_F(LoggingTest, ResetReplacesTheSinks) {
  std::string first = file("first.log");
  std::string second = file("second.log");
  std::unique_ptr<TRQLogger> logger = makeLogger("TRQConsole");

  factory()->addFile(first.c_str(), 0);
  logger->log(TRQLogLevel::Error, "to the first %d", 1);
  factory()->reset(TRQLogLevel::Error, second.c_str());
  EXPECT_FALSE(isOpenInProcess(first));
  EXPECT_TRUE(isOpenInProcess(second));
  logger->log(TRQLogLevel::Error, "to the second %d", 2);

  // Without a path: no sinks at all, the threshold still set.
  factory()->reset(TRQLogLevel::Info, nullptr);
  EXPECT_EQ(factory()->getLevel(), TRQLogLevel::Info);
  EXPECT_FALSE(isOpenInProcess(second));
  logger->log(TRQLogLevel::Error, "to nowhere %d", 3);

  // A file that cannot be opened is skipped without complaint.
  std::string unreachable = file("missing-folder/init.log");
  factory()->reset(TRQLogLevel::Debug, unreachable.c_str());
  EXPECT_EQ(factory()->getLevel(), TRQLogLevel::Debug);
  logger->log(TRQLogLevel::Error, "to nowhere %d", 4);
  EXPECT_FALSE(std::filesystem::exists(unreachable));

  EXPECT_EQ(markHeaders(readLog(first), "ERROR", "TRQConsole"), "<H>to the first 1\n");
  EXPECT_EQ(markHeaders(readLog(second), "ERROR", "TRQConsole"), "<H>to the second 2\n");
}

TEST_F(LoggingTest, AddFileTruncatesOrAppends) {
  std::string truncated = file("truncated.log");
  std::string appended = file("appended.log");
  writeFile(truncated, "old content\n");
  writeFile(appended, "old content\n");
  std::unique_ptr<TRQLogger> logger = makeLogger("TRQSpawnAction");

  factory()->addFile(truncated.c_str(), 0);
  factory()->addFile(appended.c_str(), 1);
  factory()->addFile(nullptr, 1);
  factory()->addFile(file("missing-folder/x.log").c_str(), 0);
  logger->log(TRQLogLevel::Info, "line %d", 1);
  factory()->closeAll();

  EXPECT_EQ(markHeaders(readLog(truncated), "INFO ", "TRQSpawnAction"), "<H>line 1\n");
  EXPECT_EQ(markHeaders(readLog(appended), "INFO ", "TRQSpawnAction"), "old content\n<H>line 1\n");
}

TEST_F(LoggingTest, SameFileTwiceWritesEachLineTwice) {
  std::string path = file("twice.log");
  factory()->addFile(path.c_str(), 1);
  factory()->addFile(path.c_str(), 1);
  std::unique_ptr<TRQLogger> logger = makeLogger("TRQSignalAction");
  logger->log(TRQLogLevel::Info, "first");
  logger->log(TRQLogLevel::Info, "second");
  factory()->closeAll();

  EXPECT_EQ(markHeaders(readLog(path), "INFO ", "TRQSignalAction"), "<H>first\n<H>first\n<H>second\n<H>second\n");
}

TEST_F(LoggingTest, CloseAllLeavesFatalAndClosesOnlyOwnedStreams) {
  std::string owned = file("owned.log");
  std::string borrowed = file("borrowed.log");
  FILE *borrowedStream = RKLFmFile::openStream(borrowed.c_str(), "wt");
  ASSERT_NE(borrowedStream, nullptr);
  factory()->addFile(owned.c_str(), 0);
  factory()->addStream(borrowedStream, 0);
  factory()->addStream(nullptr, 1); // an empty entry is skipped and never closed
  std::unique_ptr<TRQLogger> logger = makeLogger("TRQCryptoHelper");
  logger->log(TRQLogLevel::Debug, "before %d", 1);
  EXPECT_TRUE(isOpenInProcess(owned));

  factory()->closeAll();
  EXPECT_EQ(factory()->getLevel(), TRQLogLevel::Fatal);
  EXPECT_FALSE(isOpenInProcess(owned));
  logger->log(TRQLogLevel::Fatal, "after %d", 2); // no sinks left

  // The stream that the factory did not open is still usable, and is ours
  // to close.
  EXPECT_GE(std::fputs("still open\n", borrowedStream), 0);
  EXPECT_EQ(std::fflush(borrowedStream), 0);
  EXPECT_EQ(std::fclose(borrowedStream), 0);

  EXPECT_EQ(markHeaders(readLog(owned), "DEBUG", "TRQCryptoHelper"), "<H>before 1\n");
  EXPECT_EQ(markHeaders(readLog(borrowed), "DEBUG", "TRQCryptoHelper"), "<H>before 1\nstill open\n");
}

// 1 when the process holds `path` open only through descriptors or handles
// that child processes do not inherit, 0 when one of them is inherited, -1
// when it does not hold the file open at all.
int notInherited(const std::string &path) {
  int result = -1;
#ifdef _WIN32
  // Walk the handle values and look at the disk files among them.
  std::wstring name = std::filesystem::path(path).filename().wstring();
  for (uintptr_t value = 4; value < 0x10000; value += 4) {
    HANDLE handle = reinterpret_cast<HANDLE>(value);
    DWORD flags = 0;
    if (!GetHandleInformation(handle, &flags) || GetFileType(handle) != FILE_TYPE_DISK)
      continue;
    wchar_t target[1024];
    DWORD length = GetFinalPathNameByHandleW(handle, target, 1024, 0);
    if (length == 0 || length >= 1024)
      continue;
    std::wstring found(target, length);
    if (found.size() < name.size() + 1 || found.compare(found.size() - name.size(), name.size(), name) != 0 ||
        found[found.size() - name.size() - 1] != L'\\')
      continue;
    if (flags & HANDLE_FLAG_INHERIT)
      return 0;
    result = 1;
  }
#else
  std::filesystem::path wanted = std::filesystem::canonical(path);
  for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    std::filesystem::path target = std::filesystem::read_symlink(entry.path(), ec);
    if (ec || target != wanted)
      continue;
    std::string info = testsupport::readFile("/proc/self/fdinfo/" + entry.path().filename().string());
    size_t flags = info.find("flags:");
    if (flags == std::string::npos)
      return 0;
    unsigned long value = std::stoul(info.substr(flags + 6), nullptr, 8);
    if (!(value & 02000000UL)) // O_CLOEXEC
      return 0;
    result = 1;
  }
#endif
  return result;
}

TEST_F(LoggingTest, LogFilesAreNotInheritedByChildren) {
  // The children that the service starts must not hold its log files open.
  std::string appended = file("appended-uninherited.log");
  std::string truncated = file("truncated-uninherited.log");
  factory()->reset(TRQLogLevel::Warn, appended.c_str());
  factory()->addFile(truncated.c_str(), 0);
  EXPECT_EQ(notInherited(appended), 1);
  EXPECT_EQ(notInherited(truncated), 1);
  factory()->closeAll();
  EXPECT_EQ(notInherited(appended), -1);
}

TEST_F(LoggingTest, SetLevelByNameIgnoresCase) {
  struct Case {
    const char *name;
    int level;
  };
  const Case cases[] = {
      {"FATAL", 0}, {"fatal", 0}, {"Error", 1}, {"error", 1}, {"WARN", 2},  {"warn", 2},    {"wArN", 2},
      {"INFO", 3},  {"info", 3},  {"DEBUG", 4}, {"DeBuG", 4}, {"", 3},      {nullptr, 3},   {"bogus", 4},
      {"WARNING", 4}, {"WAR", 4}, {" WARN", 4}, {"WARN ", 4}, {"0", 4},    {"\xC9RROR", 4},
  };
  for (const Case &c : cases) {
    factory()->setLevel(TRQLogLevel::Fatal);
    factory()->setLevel(c.name);
    EXPECT_EQ(factory()->getLevel(), c.level) << (c.name ? c.name : "(null)");
  }
}

TEST_F(LoggingTest, OutsideComponentsReportThroughTheirOwnName) {
  std::string path = file("diagnostics.log");
  factory()->addFile(path.c_str(), 0);
  factory()->setLevel(TRQLogLevel::Warn);

  RKLDiagnostics::report(TRQLogLevel::Warn, "RKLConfiguration", "bad value %s in \"key\"");
  RKLDiagnostics::report(TRQLogLevel::Info, "RKLIDOM", "below the threshold");
  RKLDiagnostics::report(TRQLogLevel::Error, "RKLIDOM", "parse failed: 100%");
  factory()->closeAll();

  std::vector<std::string> lines = splitLines(readLog(path));
  ASSERT_EQ(lines.size(), 2u);
  std::optional<LogLine> first = parseLine(lines[0]);
  std::optional<LogLine> second = parseLine(lines[1]);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->level, "WARN ");
  EXPECT_EQ(first->logger, "RKLConfiguration");
  EXPECT_EQ(first->message, "bad value %s in \"key\"");
  EXPECT_EQ(second->level, "ERROR");
  EXPECT_EQ(second->logger, "RKLIDOM");
  EXPECT_EQ(second->message, "parse failed: 100%");
}

} // namespace
