//===- fuzz_jovurl.cpp - Fuzz target: the security library's URL parsing --===//
//
// The input, up to its first NUL (URLs reach the library as C strings), is
// the URL of a connection, parsed as JOV_Connect_Url parses it before
// connecting. An accepted URL must have a host and a port from 1 to 65535.
//
//===----------------------------------------------------------------------===//
#include "FuzzSupport.h"
#include "jovinternal.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string text(reinterpret_cast<const char *>(data), size);
  jov::Url url;
  std::string why;
  if (jov::parseUrl(text.c_str(), url, why)) {
    if (url.host.empty())
      fuzzsupport::finding("an accepted URL without a host");
    long port = std::strtol(url.port.c_str(), nullptr, 10);
    if (port < 1 || port > 65535 || std::to_string(port) != url.port)
      fuzzsupport::finding("an accepted URL with the port " + url.port);
    (void)url.endpoint();
  } else if (why.empty()) {
    fuzzsupport::finding("a refused URL without a reason");
  }
  (void)jov::parseUrl(nullptr, url, why);
  return 0;
}
