//===- servicemanager-win32.cpp - Reports to the Service Control Manager --===//
#include "servicemanager.h"

#include <windows.h>

namespace platform {

bool setServiceStatus(void *statusHandle, const ServiceStatus &status) {
  if (!statusHandle)
    return false;
  SERVICE_STATUS record{status.dwServiceType,   status.dwCurrentState,
                        status.dwControlsAccepted, status.dwWin32ExitCode,
                        status.dwServiceSpecificExitCode, status.dwCheckPoint,
                        status.dwWaitHint};
  return SetServiceStatus(static_cast<SERVICE_STATUS_HANDLE>(statusHandle), &record) != FALSE;
}

} // namespace platform
