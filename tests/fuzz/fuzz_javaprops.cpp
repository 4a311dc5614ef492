//===- fuzz_javaprops.cpp - Fuzz target: the Java properties file ---------===//
//
// The input is temp/trq.prefs of the temporary installation, read by
// readJavaProperties into the java_vendor and java_version properties.
//
//===----------------------------------------------------------------------===//
#include "FuzzSupport.h"
#include "config/TRQPropertyInserter.h"
#include "service/TRQBootstrapService.h"

#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static TRQBootstrapService *service = [] {
    TRQPropertyInserter::getInstance()->addProperty("temp", fuzzsupport::path("temp").c_str());
    return new TRQBootstrapService();
  }();
  TRQPropertyInserter *properties = TRQPropertyInserter::getInstance();
  properties->removeProperty("java_version");
  fuzzsupport::writeFile(fuzzsupport::path("temp/trq.prefs"), data, size);
  service->readJavaProperties();
  const char *vendor = properties->getProperty("java_vendor");
  if (!vendor)
    fuzzsupport::finding("no java_vendor property after reading the Java properties file");
  if (std::strchr(vendor, ' ') || std::strchr(vendor, '\n'))
    fuzzsupport::finding("java_vendor holds a blank or a line end");
  return 0;
}
