//===- servicemanager.h - The Service Control Manager and the registry ----===//
//
// The operating system's service manager as the service sees it: the status
// record it reports, the call that reports it, the service control
// dispatcher, the service entries (create, delete, start, stop, query) and
// the registry key that holds each service's settings. On Windows these are
// the Service Control Manager's and the registry's. On Linux they are
// systemd's: a service is a unit file in /etc/systemd/system driven by
// `systemctl`, its "Start" value is the unit's enablement and its
// "Parameters" are the unit's environment variables; the dispatcher runs the
// service main when NOTIFY_SOCKET is set (and fails with ENOTCONN otherwise),
// reports are sd_notify messages and SIGTERM is the stop control.
//
// Handles of the manager, of services and of registry keys are held by
// owners that close them when they go. Failures are results; the native code
// (GetLastError() / errno) of the calling thread's last failure here is
// lastServiceError().
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

/// Access rights and results, with the Service Control Manager's values.
namespace ServiceAccess {
constexpr uint32_t ManagerAllAccess = 0xF003F;  ///< SC_MANAGER_ALL_ACCESS
constexpr uint32_t QueryConfig = 0x0001;        ///< SERVICE_QUERY_CONFIG
constexpr uint32_t QueryStatus = 0x0004;        ///< SERVICE_QUERY_STATUS
constexpr uint32_t Start = 0x0010;              ///< SERVICE_START
constexpr uint32_t Stop = 0x0020;               ///< SERVICE_STOP
constexpr uint32_t Delete = 0x00010000;         ///< DELETE
constexpr uint32_t AllAccess = 0xF01FF;         ///< SERVICE_ALL_ACCESS
} // namespace ServiceAccess

namespace ServiceError {
constexpr int InsufficientBuffer = 122;  ///< ERROR_INSUFFICIENT_BUFFER
constexpr int AlreadyRunning = 1056;     ///< ERROR_SERVICE_ALREADY_RUNNING
constexpr int NotActive = 1062;          ///< ERROR_SERVICE_NOT_ACTIVE
constexpr int MarkedForDelete = 1072;    ///< ERROR_SERVICE_MARKED_FOR_DELETE
} // namespace ServiceError

/// Start modes, as the "Start" value of a service's registry key holds them.
struct ServiceStartMode {
  enum : uint32_t { Auto = 2, Manual = 3, Disabled = 4 };
};

/// Owns a handle of the service manager or of one service; closes it when
/// it goes.
class ServiceHandle {
public:
  ServiceHandle() = default;
  explicit ServiceHandle(void *handle) : m_handle(handle) {}
  ~ServiceHandle() { close(); }
  ServiceHandle(ServiceHandle &&other) noexcept : m_handle(other.m_handle) { other.m_handle = nullptr; }
  ServiceHandle &operator=(ServiceHandle &&other) noexcept;
  ServiceHandle(const ServiceHandle &) = delete;
  ServiceHandle &operator=(const ServiceHandle &) = delete;

  void *get() const { return m_handle; }
  explicit operator bool() const { return m_handle != nullptr; }
  void close();

private:
  void *m_handle = nullptr;
};

/// Owns an open registry key; closes it when it goes.
class RegistryKey {
public:
  RegistryKey() = default;
  explicit RegistryKey(void *key) : m_key(key) {}
  ~RegistryKey() { close(); }
  RegistryKey(RegistryKey &&other) noexcept : m_key(other.m_key) { other.m_key = nullptr; }
  RegistryKey &operator=(RegistryKey &&other) noexcept;
  RegistryKey(const RegistryKey &) = delete;
  RegistryKey &operator=(const RegistryKey &) = delete;

  void *get() const { return m_key; }
  explicit operator bool() const { return m_key != nullptr; }
  void close();

private:
  void *m_key = nullptr;
};

/// The native code of the calling thread's last failure in this component.
int lastServiceError();
/// Sets that code again, for callers that must report it after other work.
void setLastServiceError(int code);
/// The calling thread's last system error (GetLastError() / errno),
/// whatever set it.
int lastSystemError();

//===--- Service entries --------------------------------------------------===//

/// Opens the local service manager with every right.
ServiceHandle openServiceManager();
/// Opens the service `name` with `access` (ServiceAccess).
ServiceHandle openService(const ServiceHandle &manager, const char *name, uint32_t access);
/// Creates a service of its own process, named and displayed as `name`,
/// started automatically or on demand, run as the local system account by
/// `binaryPath` (quoted by the caller).
ServiceHandle createService(const ServiceHandle &manager, const char *name, const char *binaryPath, bool autoStart);
/// Sets the description shown with the service.
bool setServiceDescription(const ServiceHandle &service, const char *description);
/// Marks the service for deletion.
bool deleteService(const ServiceHandle &service);
/// The command that runs the service, as the manager keeps it.
bool queryServiceBinaryPath(const ServiceHandle &service, std::string &binaryPath);
bool queryServiceStatus(const ServiceHandle &service, ServiceStatus &status);
/// Starts the service without arguments.
bool startService(const ServiceHandle &service);
/// Sends the stop control; `status` receives the state that the service
/// reported in answer.
bool stopService(const ServiceHandle &service, ServiceStatus &status);

//===--- The service's registry key ---------------------------------------===//

/// Opens the key of the service `name` (SYSTEM\CurrentControlSet\Services)
/// for reading.
RegistryKey openServiceKey(const char *name);
/// Reads a 32-bit value of an open key.
bool readRegistryDword(const RegistryKey &key, const char *valueName, uint32_t &value);
/// Creates (or opens) the "Parameters" key of the service `name` for writing.
RegistryKey createServiceParametersKey(const char *name);
/// Writes a text value of an open key.
bool writeRegistryString(const RegistryKey &key, const char *valueName, const char *value);

//===--- The program itself -----------------------------------------------===//

/// The full path of the running program; "" when it cannot be read.
std::string modulePath();
/// Splits `path` into its drive ("C:" or "") and its folder with the
/// trailing separator ("\\dir\\" or ""), as the run-time library does.
void splitPath(const std::string &path, std::string &drive, std::string &directory);

//===--- Running under the service manager --------------------------------===//

/// The service's main function (argument count, argument vector) and its
/// control handler (control code).
using ServiceMainFunction = void (*)(int argc, char **argv);
using ServiceControlFunction = void (*)(unsigned control);

/// Hands the calling thread to the service manager, which runs `serviceMain`
/// for the service `name` on a thread of its own; returns when the service
/// has stopped. False when the program was not started by the manager.
bool startServiceDispatcher(const char *name, ServiceMainFunction serviceMain);
/// Registers `handler` for the service `name`; the status handle, or null.
void *registerServiceControlHandler(const char *name, ServiceControlFunction handler);

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
/// recorded. A program that the unit did not start (none of the three is
/// set), such as the -u command, reads them from the unit file.
bool readServiceParameters(const char *serviceName, ServiceParameters &out);

} // namespace platform

#endif // SERVICEMANAGER_H
