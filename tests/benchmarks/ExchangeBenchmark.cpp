//===- ExchangeBenchmark.cpp - Processor time of one ping exchange ---------===//
//
// One exchange of the socket send action (connection, TLS handshake where
// the URI asks for it, command, reply, close) against a test child that
// scripts/bench starts and names in TSL_BENCH_TCP_PORT and
// TSL_BENCH_TLS_PORT (JOV_CA_FILE trusting its certificate). The fixed pause
// before each connection is left out: it costs time, not processor. The
// process's processor time counts, so that threads that the exchange starts
// count too.
//
//===----------------------------------------------------------------------===//
#include "crypto/TRQCryptoHelper.h"
#include "crypto/TRQSocketCommand.h"
#include "logging/TRQLoggerFactory.h"
#include "rklidom.h"
#include "supervision/TRQSockSendAction.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

namespace {

void exchange(benchmark::State &state, const char *portVariable, const char *scheme, const char *host) {
  const char *port = std::getenv(portVariable);
  if (!port) {
    state.SkipWithError((std::string(portVariable) + " is not set (run scripts/bench)").c_str());
    return;
  }
  TRQLoggerFactory::getInstance()->closeAll();
  TRQLoggerFactory::getInstance()->setLevel(TRQLogLevel::Info);
  TRQSocketCommand::setConnectPauseMsForTesting(0);
  if (TRQCryptoHelper::initialize() != 1) {
    state.SkipWithError("the JOV library does not load");
    return;
  }
  const std::string xml = std::string("<socketSend URI=\"") + scheme + "://" + host + ":" + port +
                          "\" commandString=\"PING\" sockIOTimeoutSec=\"5\" responseSize=\"32\" responseOK=\"READY\"/>";
  RKLIDOM_Parser parser;
  RKLIDOM_Document document;
  if (parser.parseBuffer(xml.data(), xml.size(), document) != 1) {
    state.SkipWithError(parser.errorString());
    return;
  }
  TRQSockSendAction action;
  action.configure(document.getDocumentElement());
  for (auto _ : state) {
    if (action.execute() < 0) {
      state.SkipWithError("the exchange failed");
      break;
    }
  }
}

void BM_PingExchangeTcp(benchmark::State &state) { exchange(state, "TSL_BENCH_TCP_PORT", "tcp", "127.0.0.1"); }
BENCHMARK(BM_PingExchangeTcp)->MeasureProcessCPUTime()->Unit(benchmark::kMicrosecond);

void BM_PingExchangeTls(benchmark::State &state) { exchange(state, "TSL_BENCH_TLS_PORT", "tls", "localhost"); }
BENCHMARK(BM_PingExchangeTls)->MeasureProcessCPUTime()->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
