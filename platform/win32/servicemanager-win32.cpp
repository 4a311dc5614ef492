//===- servicemanager-win32.cpp - The Service Control Manager and registry ===//
#include "servicemanager.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace platform {

namespace {
thread_local int t_lastError = 0;

// Records the calling thread's error for lastServiceError(); gives `result`.
template <typename T> T failed(T result) {
  t_lastError = static_cast<int>(GetLastError());
  return result;
}

SC_HANDLE sc(const ServiceHandle &handle) { return static_cast<SC_HANDLE>(handle.get()); }
HKEY hkey(const RegistryKey &key) { return static_cast<HKEY>(key.get()); }

void copyStatus(const SERVICE_STATUS &from, ServiceStatus &to) {
  to.dwServiceType = from.dwServiceType;
  to.dwCurrentState = from.dwCurrentState;
  to.dwControlsAccepted = from.dwControlsAccepted;
  to.dwWin32ExitCode = from.dwWin32ExitCode;
  to.dwServiceSpecificExitCode = from.dwServiceSpecificExitCode;
  to.dwCheckPoint = from.dwCheckPoint;
  to.dwWaitHint = from.dwWaitHint;
}

std::string serviceKeyPath(const char *name) {
  return std::string("SYSTEM\\CurrentControlSet\\Services\\") + (name ? name : "");
}

// One service per process: the dispatcher's and the handler's entries reach
// the system's functions through these.
ServiceMainFunction s_serviceMain = nullptr;
ServiceControlFunction s_controlHandler = nullptr;

void WINAPI serviceMainEntry(DWORD argc, LPSTR *argv) {
  if (ServiceMainFunction main = s_serviceMain)
    main(static_cast<int>(argc), argv);
}

void WINAPI controlHandlerEntry(DWORD control) {
  if (ServiceControlFunction handler = s_controlHandler)
    handler(static_cast<unsigned>(control));
}
} // namespace

ServiceHandle &ServiceHandle::operator=(ServiceHandle &&other) noexcept {
  if (this != &other) {
    close();
    m_handle = other.m_handle;
    other.m_handle = nullptr;
  }
  return *this;
}

void ServiceHandle::close() {
  if (m_handle)
    CloseServiceHandle(static_cast<SC_HANDLE>(m_handle));
  m_handle = nullptr;
}

RegistryKey &RegistryKey::operator=(RegistryKey &&other) noexcept {
  if (this != &other) {
    close();
    m_key = other.m_key;
    other.m_key = nullptr;
  }
  return *this;
}

void RegistryKey::close() {
  if (m_key)
    RegCloseKey(static_cast<HKEY>(m_key));
  m_key = nullptr;
}

int lastServiceError() { return t_lastError; }
void setLastServiceError(int code) {
  t_lastError = code;
  SetLastError(static_cast<DWORD>(code));
}

int lastSystemError() { return static_cast<int>(GetLastError()); }

ServiceHandle openServiceManager() {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  return manager ? ServiceHandle(manager) : failed(ServiceHandle());
}

ServiceHandle openService(const ServiceHandle &manager, const char *name, uint32_t access) {
  SC_HANDLE service = OpenServiceA(sc(manager), name, access);
  return service ? ServiceHandle(service) : failed(ServiceHandle());
}

ServiceHandle createService(const ServiceHandle &manager, const char *name, const char *binaryPath, bool autoStart) {
  SC_HANDLE service =
      CreateServiceA(sc(manager), name, name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                     autoStart ? SERVICE_AUTO_START : SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, binaryPath,
                     nullptr, nullptr, nullptr, nullptr, nullptr);
  return service ? ServiceHandle(service) : failed(ServiceHandle());
}

bool setServiceDescription(const ServiceHandle &service, const char *description) {
  SERVICE_DESCRIPTIONA info{const_cast<char *>(description)};
  return ChangeServiceConfig2A(sc(service), SERVICE_CONFIG_DESCRIPTION, &info) ? true : failed(false);
}

bool deleteService(const ServiceHandle &service) { return DeleteService(sc(service)) ? true : failed(false); }

bool queryServiceBinaryPath(const ServiceHandle &service, std::string &binaryPath) {
  DWORD needed = 0;
  if (!QueryServiceConfigA(sc(service), nullptr, 0, &needed) && GetLastError() != ERROR_INSUFFICIENT_BUFFER)
    return failed(false);
  // QUERY_SERVICE_CONFIGA holds pointers: keep the buffer aligned for them.
  std::vector<QUERY_SERVICE_CONFIGA> buffer(needed / sizeof(QUERY_SERVICE_CONFIGA) + 1);
  if (!QueryServiceConfigA(sc(service), buffer.data(), static_cast<DWORD>(buffer.size() * sizeof buffer[0]), &needed))
    return failed(false);
  binaryPath = buffer[0].lpBinaryPathName ? buffer[0].lpBinaryPathName : "";
  return true;
}

bool queryServiceStatus(const ServiceHandle &service, ServiceStatus &status) {
  SERVICE_STATUS record{};
  if (!QueryServiceStatus(sc(service), &record))
    return failed(false);
  copyStatus(record, status);
  return true;
}

bool startService(const ServiceHandle &service) {
  return StartServiceA(sc(service), 0, nullptr) ? true : failed(false);
}

bool stopService(const ServiceHandle &service, ServiceStatus &status) {
  SERVICE_STATUS record{};
  if (!ControlService(sc(service), SERVICE_CONTROL_STOP, &record))
    return failed(false);
  copyStatus(record, status);
  return true;
}

RegistryKey openServiceKey(const char *name) {
  HKEY key = nullptr;
  LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, serviceKeyPath(name).c_str(), 0, KEY_QUERY_VALUE, &key);
  if (rc != ERROR_SUCCESS) {
    setLastServiceError(static_cast<int>(rc));
    return RegistryKey();
  }
  return RegistryKey(key);
}

bool readRegistryDword(const RegistryKey &key, const char *valueName, uint32_t &value) {
  DWORD type = 0;
  DWORD data = 0;
  DWORD size = sizeof data;
  LONG rc = RegQueryValueExA(hkey(key), valueName, nullptr, &type, reinterpret_cast<BYTE *>(&data), &size);
  if (rc == ERROR_SUCCESS && (type != REG_DWORD || size != sizeof data))
    rc = ERROR_INVALID_DATA;
  if (rc != ERROR_SUCCESS) {
    setLastServiceError(static_cast<int>(rc));
    return false;
  }
  value = data;
  return true;
}

RegistryKey createServiceParametersKey(const char *name) {
  HKEY key = nullptr;
  LONG rc = RegCreateKeyA(HKEY_LOCAL_MACHINE, (serviceKeyPath(name) + "\\Parameters").c_str(), &key);
  if (rc != ERROR_SUCCESS) {
    setLastServiceError(static_cast<int>(rc));
    return RegistryKey();
  }
  return RegistryKey(key);
}

bool writeRegistryString(const RegistryKey &key, const char *valueName, const char *value) {
  const char *text = value ? value : "";
  // With the terminator, as the registry asks of REG_SZ data: readers that
  // trust it would otherwise read past the value (and an empty value would
  // be no value at all).
  LONG rc = RegSetValueExA(hkey(key), valueName, 0, REG_SZ, reinterpret_cast<const BYTE *>(text),
                           static_cast<DWORD>(std::strlen(text) + 1));
  if (rc != ERROR_SUCCESS) {
    setLastServiceError(static_cast<int>(rc));
    return false;
  }
  return true;
}

std::string modulePath() {
  char buffer[MAX_PATH + 1] = {};
  DWORD length = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
  if (length == 0 || length >= MAX_PATH)
    return failed(std::string());
  return std::string(buffer, length);
}

void splitPath(const std::string &path, std::string &drive, std::string &directory) {
  char driveBuffer[_MAX_DRIVE] = {};
  char directoryBuffer[_MAX_DIR] = {};
  _splitpath(path.c_str(), driveBuffer, directoryBuffer, nullptr, nullptr);
  drive = driveBuffer;
  directory = directoryBuffer;
}

bool startServiceDispatcher(const char *name, ServiceMainFunction serviceMain) {
  s_serviceMain = serviceMain;
  SERVICE_TABLE_ENTRYA table[] = {{const_cast<char *>(name), &serviceMainEntry}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherA(table) ? true : failed(false);
}

void *registerServiceControlHandler(const char *name, ServiceControlFunction handler) {
  s_controlHandler = handler;
  SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerA(name, &controlHandlerEntry);
  return handle ? reinterpret_cast<void *>(handle) : failed(static_cast<void *>(nullptr));
}

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
  HKEY opened = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, &opened) != ERROR_SUCCESS)
    return false;
  RegistryKey key(opened);
  std::string value;
  if (readText(hkey(key), "CurrentWorkingDir", 260, value)) {
    out.workingDirectoryRead = true;
    out.workingDirectory = value;
  }
  if (readText(hkey(key), "ServiceClass", ServiceClassBufferSize, value)) {
    out.serviceClassRead = true;
    out.serviceClass = value;
  }
  return true;
}

} // namespace platform
