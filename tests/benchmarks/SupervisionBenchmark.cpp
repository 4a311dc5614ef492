//===- SupervisionBenchmark.cpp - Costs of the supervisor's repeated work --===//
//
// What the service does again and again for every child: `${name}`
// substitution of configured texts, building a spawn's argument vector from
// its `param` elements, and judging a ping's reply by its markers. Logging
// stays at INFO, as a service runs, so that DEBUG lines cost only their test.
//
//===----------------------------------------------------------------------===//
#include "config/TRQPropertyInserter.h"
#include "logging/TRQLoggerFactory.h"
#include "rklidom.h"
#include "supervision/TRQArgVector.h"
#include "supervision/TRQSockSendAction.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void quietLogging() {
  TRQLoggerFactory::getInstance()->closeAll();
  TRQLoggerFactory::getInstance()->setLevel(TRQLogLevel::Info);
}

RKLIDOM_Element parse(const std::string &xml, RKLIDOM_Document &document) {
  RKLIDOM_Parser parser;
  if (parser.parseBuffer(xml.data(), xml.size(), document) != 1) {
    std::fprintf(stderr, "cannot parse: %s\n", parser.errorString());
    std::abort();
  }
  return document.getDocumentElement();
}

void BM_PropertySubstitution(benchmark::State &state) {
  quietLogging();
  TRQPropertyInserter *properties = TRQPropertyInserter::getInstance();
  properties->addProperty("install_path", "/opt/tessel");
  properties->addProperty("bin_path", "/opt/tessel/bin");
  properties->addProperty("java_home", "/usr/lib/jvm/java-17");
  properties->addProperty("dispatcherMaxMemoryBy2", "1024");
  const std::string pattern = "-Djava.home=${java_home} -Xmx${dispatcherMaxMemoryBy2}m "
                              "--record=${install_path}/logs/tomcat.record ${bin_path}/trqtestchild";
  for (auto _ : state) {
    std::string text = pattern;
    properties->insertProperties(text);
    benchmark::DoNotOptimize(text.data());
  }
}
BENCHMARK(BM_PropertySubstitution);

void BM_ArgumentVector(benchmark::State &state) {
  quietLogging();
  TRQPropertyInserter *properties = TRQPropertyInserter::getInstance();
  properties->addProperty("install_path", "/opt/tessel");
  properties->addProperty("java_home", "/usr/lib/jvm/java-17");
  properties->addProperty("ip_protocol", "IPv4");
  RKLIDOM_Document document;
  RKLIDOM_Element spawn = parse("<spawn><path>${install_path}/bin/trqtestchild</path>"
                                "<param>--listen=19311</param>"
                                "<param>-Djava.home=${java_home}</param>"
                                "<param condName=\"${ip_protocol}\" condValue=\"IPv6\">-Djava.net.preferIPv6=true</param>"
                                "<param condName=\"${ip_protocol}\" condOp=\"eq\" condValue=\"IPv4\">"
                                "-Djava.net.preferIPv4Stack=true</param>"
                                "<param>--record=${install_path}/logs/tomcat.record</param>"
                                "<param>--stop-command=SHUTDOWN</param></spawn>",
                                document);
  TRQArgVector args;
  for (auto _ : state) {
    args.clear();
    args.addArg("/opt/tessel/bin/trqtestchild");
    args.addParams(spawn);
    args.addTerminator();
    benchmark::DoNotOptimize(args.data());
  }
}
BENCHMARK(BM_ArgumentVector);

/// The worst case that still answers: the not-ready marker, found after the
/// success and fatal markers were looked for in vain.
void BM_ReplyClassification(benchmark::State &state) {
  quietLogging();
  RKLIDOM_Document document;
  RKLIDOM_Element element = parse("<socketSend URI=\"tcp://127.0.0.1:19311\" commandString=\"PING\" "
                                  "responseSize=\"64\" responseOK=\"READY\" responseFatal=\"FATAL\" "
                                  "responseRetry=\"STARTING\"/>",
                                  document);
  TRQSockSendAction action;
  action.configure(element);
  const char *reply = "server 4711 is STARTING, please wait";
  const int length = static_cast<int>(std::strlen(reply));
  for (auto _ : state)
    benchmark::DoNotOptimize(action.classifyReply(reply, length));
}
BENCHMARK(BM_ReplyClassification);

} // namespace

BENCHMARK_MAIN();
