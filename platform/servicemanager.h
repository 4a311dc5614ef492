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
#include <string>

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

//===--- Parameters recorded at installation -----------------------------===//

/// What the installation recorded for a service: the folder it runs in (its
/// bin folder) and its service class. Each value is only meaningful when its
/// `...Read` flag is set.
struct ServiceParameters {
  bool workingDirectoryRead = false;
  std::string workingDirectory;
  bool serviceClassRead = false;
  std::string serviceClass;
};

/// The longest service class that the installation can record, with its
/// terminating NUL: a longer value counts as not recorded.
constexpr unsigned ServiceClassBufferSize = 50;

/// Reads the parameters recorded for `serviceName` into `out`; fields whose
/// value is missing (or too long) keep their `...Read` flag false. Returns
/// false when the service has no recorded parameters at all.
///
/// Windows: the values "CurrentWorkingDir" (at most 260 bytes) and
/// "ServiceClass" of the key SYSTEM\CurrentControlSet\Services\<name>\Parameters
/// under HKEY_LOCAL_MACHINE. Linux, where the service runs as a systemd unit: the
/// unit's environment variables TSL_SERVICE_DIR and TSL_SERVICE_CLASS, which
/// belong to the service named in TSL_SERVICE_NAME (to any service when that
/// variable is not set); without either of the first two nothing is
/// recorded.
bool readServiceParameters(const char *serviceName, ServiceParameters &out);

} // namespace platform

#endif // SERVICEMANAGER_H
