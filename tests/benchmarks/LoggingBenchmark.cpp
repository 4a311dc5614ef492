//===- LoggingBenchmark.cpp - Cost of a suppressed and of a written line --===//
//
// A message below the threshold must cost a comparison (no lock, no clock,
// no formatting); an accepted one costs the formatting, the write and the
// flush of one line.
//
//===----------------------------------------------------------------------===//
#include "logging/TRQLogger.h"
#include "logging/TRQLoggerFactory.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include <unistd.h>

namespace {

TRQLoggerFactory *factory() { return TRQLoggerFactory::getInstance(); }

void BM_BelowThreshold(benchmark::State &state) {
  factory()->closeAll();
  factory()->setLevel(TRQLogLevel::Warn);
  std::unique_ptr<TRQLogger> logger(factory()->getLogger("TRQBootstrapService"));
  int value = 0;
  for (auto _ : state) {
    logger->log(TRQLogLevel::Debug, "suppressed %d %s", value++, "text");
    benchmark::ClobberMemory();
  }
  factory()->closeAll();
}
BENCHMARK(BM_BelowThreshold);

void BM_AcceptedLineToFile(benchmark::State &state) {
  std::filesystem::path path =
      std::filesystem::temp_directory_path() / ("tsl-logging-benchmark-" + std::to_string(::getpid()) + ".log");
  factory()->closeAll();
  factory()->addFile(path.string().c_str(), 0);
  factory()->setLevel(TRQLogLevel::Debug);
  std::unique_ptr<TRQLogger> logger(factory()->getLogger("TRQBootstrapService"));
  int value = 0;
  for (auto _ : state)
    logger->log(TRQLogLevel::Info, "accepted line %d with %s", value++, "a short text");
  factory()->closeAll();
  std::error_code ec;
  std::filesystem::remove(path, ec);
}
BENCHMARK(BM_AcceptedLineToFile);

} // namespace

BENCHMARK_MAIN();
