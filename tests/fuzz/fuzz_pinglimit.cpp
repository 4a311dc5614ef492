//===- fuzz_pinglimit.cpp - Fuzz target: the failed-ping limit file -------===//
//
// The input is trq.failedPingLimit in the current directory (the bin folder
// of the temporary installation), read by a new supervisor as at the start
// of a pass.
//
//===----------------------------------------------------------------------===//
#include "FuzzSupport.h"
#include "supervision/PingChildProcess.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const std::string file = fuzzsupport::path(std::string("bin/") + PingChildProcess::FailedPingLimitFileName);
  fuzzsupport::writeFile(file, data, size);
  PingChildProcess supervisor;
  supervisor.checkFailedPingLimitFile();
  (void)supervisor.getFailedPingLimit();
  // Read once per change of the file: the second look leaves it as it is.
  int limit = supervisor.getFailedPingLimit();
  supervisor.checkFailedPingLimitFile();
  if (supervisor.getFailedPingLimit() != limit)
    fuzzsupport::finding("an unchanged file was read again");
  return 0;
}
