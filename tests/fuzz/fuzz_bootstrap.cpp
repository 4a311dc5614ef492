//===- fuzz_bootstrap.cpp - Fuzz target: the bootstrap file ---------------===//
//
// The input is the bootstrap file of a temporary installation, read as the
// service's initialisation reads it: through a file stream into the parser,
// then loadBootstrapConfig on a new service. A configuration error must come
// out as the messages and the result of that call; any exception that
// passes it is a finding (it would end the service).
//
//===----------------------------------------------------------------------===//
#include "FuzzSupport.h"
#include "rklidom.h"
#include "service/TRQBootstrapService.h"
#include "support/TRQFileInputStream.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const std::string file = fuzzsupport::path("bin/bootstrap_fuzz.xml");
  fuzzsupport::writeFile(file, data, size);
  TRQFileInputStream input(file.c_str());
  if (!input.isOpen())
    fuzzsupport::finding("cannot open " + file);
  RKLIDOM_Parser parser(0);
  RKLIDOM_Document document;
  if (parser.parse(input, document) != 1)
    return 0;
  input.close();
  TRQBootstrapService service;
  int loaded = service.loadBootstrapConfig(document.getDocumentElement());
  if (loaded != 0 && loaded != 1)
    fuzzsupport::finding("loadBootstrapConfig answered " + std::to_string(loaded));
  if (loaded == 1 && !service.getDaemonSpawnAction())
    fuzzsupport::finding("a bootstrap file was accepted without its daemon spawn action");
  return 0;
}
