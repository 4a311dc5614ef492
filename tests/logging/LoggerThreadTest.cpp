//===- LoggerThreadTest.cpp - Whole lines in one order from many threads --===//
#include "LogTestSupport.h"
#include "logging/TRQLogger.h"
#include "logging/TRQLoggerFactory.h"
#include "rklcore.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

using namespace logtest;

namespace {

// Waits at a gate so that all writers start together, then logs `lines`
// numbered lines.
class Writer : public RKLRunnable {
public:
  Writer(int index, int lines, TRQLogger *logger, RKLThreadSemaphore *gate)
      : m_index(index), m_lines(lines), m_logger(logger), m_gate(gate) {}
  void run() override {
    m_gate->wait();
    for (int line = 0; line < m_lines; ++line) {
      if (line % 2)
        m_logger->log(TRQLogLevel::Info, "worker %d line %d %s", m_index, line, "padding to make the line longer");
      else
        m_logger->log(TRQLogLevel::Warn, "worker %d line %d", m_index, line);
    }
  }

private:
  int m_index;
  int m_lines;
  TRQLogger *m_logger;
  RKLThreadSemaphore *m_gate;
};

// Every line whole, and each worker's lines complete, in its own order, from
// one thread.
void expectWholeLines(const std::vector<std::string> &lines, int workers, int perWorker) {
  const std::regex layout(std::string(asctimePattern()) +
                          R"(  (WARN |INFO ) t\[([0-9a-f]+)\] TRQChildProcess worker ([0-9]+) line ([0-9]+)( padding to make the line longer)?)");
  std::map<int, int> next;
  std::map<int, std::string> threadOf;
  for (const std::string &line : lines) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, layout)) << line;
    int worker = std::stoi(match[3].str());
    int number = std::stoi(match[4].str());
    ASSERT_EQ(number, next[worker]) << line;
    ++next[worker];
    EXPECT_EQ(match[1].str(), number % 2 ? "INFO " : "WARN ") << line;
    EXPECT_EQ(match[5].matched, number % 2 == 1) << line;
    if (threadOf.count(worker))
      EXPECT_EQ(threadOf[worker], match[2].str()) << line;
    else
      threadOf[worker] = match[2].str();
  }
  ASSERT_EQ(static_cast<int>(next.size()), workers);
  for (const auto &[worker, count] : next)
    EXPECT_EQ(count, perWorker) << "worker " << worker;
}

TEST_F(LoggingTest, ManyThreadsTwoSinksSameWholeLines) {
  const int workers = 8;
  const int perWorker = 2000;
  std::string first = file("first.log");
  std::string second = file("second.log");
  factory()->addFile(first.c_str(), 0);
  factory()->addFile(second.c_str(), 0);
  std::unique_ptr<TRQLogger> logger(factory()->getLogger("TRQChildProcess"));

  RKLThreadSemaphore gate(0);
  std::vector<std::unique_ptr<Writer>> writers;
  std::vector<std::unique_ptr<RKLThread>> threads;
  for (int i = 0; i < workers; ++i) {
    writers.push_back(std::make_unique<Writer>(i, perWorker, logger.get(), &gate));
    threads.push_back(std::make_unique<RKLThread>(writers.back().get(), 0));
    threads.back()->start();
  }
  gate.post(workers);
  for (auto &thread : threads)
    thread->join();
  factory()->closeAll();

  std::string firstText = readLog(first);
  std::string secondText = readLog(second);
  // The same lines in the same order on both sinks.
  EXPECT_TRUE(firstText == secondText) << "the two sinks differ";
  std::vector<std::string> lines = splitLines(firstText);
  ASSERT_EQ(lines.size(), static_cast<size_t>(workers * perWorker));
  expectWholeLines(lines, workers, perWorker);
}

// Sinks and threshold change while other threads write: no line is torn and
// no stream is used after it was closed.
TEST_F(LoggingTest, ReconfiguringWhileOthersWrite) {
  const int workers = 4;
  const int perWorker = 1000;
  std::string first = file("first.log");
  std::string second = file("second.log");
  std::unique_ptr<TRQLogger> logger(factory()->getLogger("TRQChildProcess"));
  factory()->reset(TRQLogLevel::Debug, first.c_str());

  RKLThreadSemaphore gate(0);
  std::vector<std::unique_ptr<Writer>> writers;
  std::vector<std::unique_ptr<RKLThread>> threads;
  for (int i = 0; i < workers; ++i) {
    writers.push_back(std::make_unique<Writer>(i, perWorker, logger.get(), &gate));
    threads.push_back(std::make_unique<RKLThread>(writers.back().get(), 0));
    threads.back()->start();
  }
  gate.post(workers);
  for (int round = 0; round < 200; ++round) {
    factory()->reset(TRQLogLevel::Debug, first.c_str());
    factory()->addFile(second.c_str(), 1);
    factory()->setLevel(round % 3 ? "debug" : "warn");
    factory()->setLevel(TRQLogLevel::Debug);
    if (round % 50 == 0)
      factory()->closeAll();
  }
  for (auto &thread : threads)
    thread->join();
  factory()->closeAll();

  const std::regex layout(std::string(asctimePattern()) +
                          R"(  (WARN |INFO ) t\[[0-9a-f]+\] TRQChildProcess worker [0-9]+ line [0-9]+( padding to make the line longer)?)");
  for (const std::string &path : {first, second}) {
    for (const std::string &line : splitLines(readLog(path)))
      ASSERT_TRUE(std::regex_match(line, layout)) << path << ": " << line;
  }
}

} // namespace
