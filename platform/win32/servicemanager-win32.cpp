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

//===--- Parameters recorded at installation -----------------------------===//

namespace {

/// An open registry key, closed when the owner goes.
class RegistryKey {
public:
  RegistryKey() = default;
  ~RegistryKey() {
    if (m_key)
      RegCloseKey(m_key);
  }
  RegistryKey(const RegistryKey &) = delete;
  RegistryKey &operator=(const RegistryKey &) = delete;
  HKEY *receive() { return &m_key; }
  HKEY get() const { return m_key; }

private:
  HKEY m_key = nullptr;
};

/// Reads the text value `name` into a buffer of `capacity` bytes. A value
/// that does not fit, with its terminating NUL, counts as not read.
bool readText(HKEY key, const char *name, DWORD capacity, std::string &out) {
  std::string buffer(capacity, '\0');
  DWORD size = capacity;
  DWORD type = 0;
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE *>(buffer.data()), &size) != ERROR_SUCCESS)
    return false;
  if (size > capacity)
    return false;
  // The stored bytes need not end in a NUL; the text ends at the first one.
  size_t length = buffer.find('\0');
  if (length == std::string::npos || length >= size) {
    if (size >= capacity)
      return false; // no room left for the terminating NUL
    length = size;
  }
  out.assign(buffer.data(), length);
  return true;
}

} // namespace

bool readServiceParameters(const char *serviceName, ServiceParameters &out) {
  std::string path = "SYSTEM\\CurrentControlSet\\Services\\";
  path += serviceName ? serviceName : "";
  path += "\\Parameters";
  RegistryKey key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, key.receive()) != ERROR_SUCCESS)
    return false;
  std::string value;
  if (readText(key.get(), "CurrentWorkingDir", 260, value)) {
    out.workingDirectoryRead = true;
    out.workingDirectory = value;
  }
  if (readText(key.get(), "ServiceClass", ServiceClassBufferSize, value)) {
    out.serviceClassRead = true;
    out.serviceClass = value;
  }
  return true;
}

} // namespace platform
