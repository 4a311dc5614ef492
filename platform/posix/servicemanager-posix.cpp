//===- servicemanager-posix.cpp - No service manager on this system -------===//
//
// There is no Service Control Manager here: status reports go nowhere, every
// operation on service entries fails with ENOSYS (nothing is ever opened, so
// the owners have nothing to close), and what the installation records for
// the service comes from the environment that its systemd unit sets.
//
//===----------------------------------------------------------------------===//
#include "servicemanager.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace platform {

namespace {
thread_local int t_lastError = 0;

template <typename T> T unsupported(T result) {
  t_lastError = ENOSYS;
  errno = ENOSYS;
  return result;
}
} // namespace

ServiceHandle &ServiceHandle::operator=(ServiceHandle &&other) noexcept {
  if (this != &other) {
    m_handle = other.m_handle;
    other.m_handle = nullptr;
  }
  return *this;
}
void ServiceHandle::close() { m_handle = nullptr; }

RegistryKey &RegistryKey::operator=(RegistryKey &&other) noexcept {
  if (this != &other) {
    m_key = other.m_key;
    other.m_key = nullptr;
  }
  return *this;
}
void RegistryKey::close() { m_key = nullptr; }

int lastServiceError() { return t_lastError; }
void setLastServiceError(int code) {
  t_lastError = code;
  errno = code;
}

int lastSystemError() { return errno; }

ServiceHandle openServiceManager() { return unsupported(ServiceHandle()); }
ServiceHandle openService(const ServiceHandle &, const char *, uint32_t) { return unsupported(ServiceHandle()); }
ServiceHandle createService(const ServiceHandle &, const char *, const char *, bool) {
  return unsupported(ServiceHandle());
}
bool setServiceDescription(const ServiceHandle &, const char *) { return unsupported(false); }
bool deleteService(const ServiceHandle &) { return unsupported(false); }
bool queryServiceBinaryPath(const ServiceHandle &, std::string &) { return unsupported(false); }
bool queryServiceStatus(const ServiceHandle &, ServiceStatus &) { return unsupported(false); }
bool startService(const ServiceHandle &) { return unsupported(false); }
bool stopService(const ServiceHandle &, ServiceStatus &) { return unsupported(false); }

RegistryKey openServiceKey(const char *) { return unsupported(RegistryKey()); }
bool readRegistryDword(const RegistryKey &, const char *, uint32_t &) { return unsupported(false); }
RegistryKey createServiceParametersKey(const char *) { return unsupported(RegistryKey()); }
bool writeRegistryString(const RegistryKey &, const char *, const char *) { return unsupported(false); }

std::string modulePath() { return unsupported(std::string()); }

void splitPath(const std::string &path, std::string &drive, std::string &directory) {
  drive.clear();
  size_t slash = path.rfind('/');
  directory = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

bool startServiceDispatcher(const char *, ServiceMainFunction) { return unsupported(false); }
void *registerServiceControlHandler(const char *, ServiceControlFunction) {
  return unsupported(static_cast<void *>(nullptr));
}

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
