//===- fuzz_prefs.cpp - Fuzz target: the product configuration tslconfig.prefs ===//
//
// The input is configuration/tslconfig.prefs of a temporary installation
// whose startup configuration names an internal dispatcher on a port other
// than 9300, read as the service reads its startup configuration: the
// service name gets the port unless the file allows custom service names.
//
//===----------------------------------------------------------------------===//
#include "FuzzSupport.h"
#include "config/TRQPropertyInserter.h"
#include "rklcfgapi.h"
#include "service/TRQBootstrapService.h"

#include <string>

namespace {

const char *const StartupConfiguration =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<startupConfiguration xmlns:vtn=\"urn:tessel:startup:1.0\">\n"
    "  <temp>../temp</temp>\n"
    "  <internalDispatcher>tls://localhost:9311/dispatcher</internalDispatcher>\n"
    "  <TRQ><vtn:instances name=\"trq\"><vtn:instance name=\"Fuzz\" class=\"HarborLite\"/></vtn:instances></TRQ>\n"
    "</startupConfiguration>\n";

TRQBootstrapService *prepare() {
  fuzzsupport::writeFile(fuzzsupport::path("configuration/tslstartup.xml"), StartupConfiguration);
  RKLConfigurationFactory::setInstanceForTesting(new RKLFileConfiguration(fuzzsupport::path("bin")));
  auto *service = new TRQBootstrapService();
  if (service->initTRQElement() != 1)
    fuzzsupport::finding("the fuzzer's startup configuration has no TRQ section");
  return service;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static TRQBootstrapService *service = prepare();
  fuzzsupport::writeFile(fuzzsupport::path("configuration/tslconfig.prefs"), data, size);
  service->readStartupConfig();
  const char *name = TRQPropertyInserter::getInstance()->getProperty("serviceName");
  std::string serviceName = name ? name : "(none)";
  if (serviceName != "Fuzz" && serviceName != "Fuzz:9311")
    fuzzsupport::finding("unexpected service name " + serviceName);
  return 0;
}
