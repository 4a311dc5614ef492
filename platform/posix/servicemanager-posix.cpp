//===- servicemanager-posix.cpp - No service manager on this system -------===//
#include "servicemanager.h"

namespace platform {

bool setServiceStatus(void *, const ServiceStatus &) { return false; }

} // namespace platform
