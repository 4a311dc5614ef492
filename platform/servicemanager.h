//===- servicemanager.h - The Service Control Manager and the registry ----===//
//
// The operating system's service manager as the service sees it: the status
// record it reports, and the call that reports it. On Windows these are the
// Service Control Manager's; elsewhere there is no service manager, a status
// handle is never obtained, and reports go nowhere.
//
//===----------------------------------------------------------------------===//
#ifndef SERVICEMANAGER_H
#define SERVICEMANAGER_H

#include <cstdint>

namespace platform {

/// Service states as the Service Control Manager numbers them.
struct ServiceState {
  enum : uint32_t { Stopped = 1, StartPending = 2, StopPending = 3, Running = 4 };
};

/// The status record, field for field as the Service Control Manager takes
/// it (SERVICE_STATUS).
struct ServiceStatus {
  uint32_t dwServiceType = 16;     ///< a service in its own process
  uint32_t dwCurrentState = ServiceState::Stopped;
  uint32_t dwControlsAccepted = 1; ///< only stop
  uint32_t dwWin32ExitCode = 0;
  uint32_t dwServiceSpecificExitCode = 0;
  uint32_t dwCheckPoint = 0;
  uint32_t dwWaitHint = 0;
};

/// Reports `status` for the service registered under `statusHandle`. False
/// when the report failed or there is no handle.
bool setServiceStatus(void *statusHandle, const ServiceStatus &status);

} // namespace platform

#endif // SERVICEMANAGER_H
