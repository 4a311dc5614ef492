//===- servicemanager-posix.cpp - The service under systemd ---------------===//
//
// There is no Service Control Manager here: status reports go nowhere, and
// what the installation records for the service comes from the environment
// that its systemd unit sets.
//
//===----------------------------------------------------------------------===//
#include "servicemanager.h"

#include <cstdlib>
#include <cstring>

namespace platform {

bool setServiceStatus(void *, const ServiceStatus &) { return false; }

//===--- Parameters recorded at installation -----------------------------===//

bool readServiceParameters(const char *serviceName, ServiceParameters &out) {
  // Variables of a unit made for another service are not ours.
  const char *recordedName = std::getenv("TSL_SERVICE_NAME");
  if (recordedName && std::strcmp(recordedName, serviceName ? serviceName : "") != 0)
    return false;
  const char *directory = std::getenv("TSL_SERVICE_DIR");
  const char *serviceClass = std::getenv("TSL_SERVICE_CLASS");
  if (!directory && !serviceClass)
    return false;
  if (directory) {
    out.workingDirectoryRead = true;
    out.workingDirectory = directory;
  }
  if (serviceClass && std::strlen(serviceClass) < ServiceClassBufferSize) {
    out.serviceClassRead = true;
    out.serviceClass = serviceClass;
  }
  return true;
}

} // namespace platform
