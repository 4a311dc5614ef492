//===- servicemanager-posix.cpp - systemd as the service manager ----------===//
//
// A service started by systemd runs under it here (status reports as
// sd_notify messages, SIGTERM as the stop control). The operations on
// service entries have no counterpart yet and fail with ENOSYS (nothing is
// ever opened, so the owners have nothing to close); what the installation
// records for the service comes from the environment that its systemd unit
// sets. The notification protocol is one datagram to the socket that
// NOTIFY_SOCKET names, sent here directly: the client library would map half
// a dozen libraries (compression, cryptography) into a process that keeps
// running for months, for one sendto.
//
//===----------------------------------------------------------------------===//
#include "servicemanager.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace platform {

namespace {
thread_local int t_lastError = 0;

template <typename T> T unsupportedWith(int code, T result) {
  t_lastError = code;
  errno = code;
  return result;
}
template <typename T> T unsupported(T result) {
  t_lastError = ENOSYS;
  errno = ENOSYS;
  return result;
}

/// Sends `message` to the service manager's notification socket, as
/// sd_notify does: > 0 sent, 0 when NOTIFY_SOCKET is not set, -errno on
/// failure. A name that starts with '@' is in the abstract namespace.
int notifyServiceManager(const std::string &message) {
  const char *name = std::getenv("NOTIFY_SOCKET");
  if (!name || !*name)
    return 0;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::size_t length = std::strlen(name);
  if ((name[0] != '/' && name[0] != '@') || length > sizeof(address.sun_path))
    return -EAFNOSUPPORT;
  std::memcpy(address.sun_path, name, length);
  if (name[0] == '@')
    address.sun_path[0] = '\0';
  const socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return -errno;
  const ssize_t sent =
      ::sendto(fd, message.data(), message.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr *>(&address), size);
  const int error = errno;
  ::close(fd);
  return sent < 0 ? -error : 1;
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

//===--- Running under systemd --------------------------------------------===//
//
// systemd starts a Type=notify unit with NOTIFY_SOCKET set: that is how a run
// without options knows that a service manager is there. Status reports
// become sd_notify messages, and SIGTERM, systemd's stop request, is the stop
// control: it is blocked in every thread and taken by one thread of its own
// with sigwait, so that the control handler runs on an ordinary thread (as
// the Service Control Manager's dispatcher thread runs it on Windows).

namespace {
std::atomic<ServiceControlFunction> g_controlHandler{nullptr};
// The status handle: its address, which is never null.
char g_statusHandle;
std::atomic<bool> g_dispatcherDone{false};

const char *stateText(uint32_t state) {
  switch (state) {
  case ServiceState::Stopped:
    return "stopped";
  case ServiceState::StartPending:
    return "start pending";
  case ServiceState::StopPending:
    return "stop pending";
  case ServiceState::Running:
    return "running";
  default:
    return "unknown";
  }
}
} // namespace

bool startServiceDispatcher(const char *name, ServiceMainFunction serviceMain) {
  const char *notifySocket = std::getenv("NOTIFY_SOCKET");
  if (!notifySocket || !*notifySocket)
    return unsupportedWith(ENOTCONN, false);

  sigset_t stopSignal;
  sigemptyset(&stopSignal);
  sigaddset(&stopSignal, SIGTERM);
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &stopSignal, &previous);
  g_dispatcherDone.store(false);
  std::thread controls;
  try {
    controls = std::thread([stopSignal] {
      for (;;) {
        int signal = 0;
        if (sigwait(&stopSignal, &signal) != 0)
          continue;
        if (g_dispatcherDone.load())
          return;
        if (ServiceControlFunction handler = g_controlHandler.load())
          handler(1); // stop
      }
    });
  } catch (const std::system_error &e) {
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return unsupportedWith(e.code().value(), false);
  }

  std::string serviceName = name ? name : "";
  char *argv[] = {serviceName.data(), nullptr};
  serviceMain(1, argv);

  g_dispatcherDone.store(true);
  pthread_kill(controls.native_handle(), SIGTERM);
  controls.join();
  g_controlHandler.store(nullptr);
  // A SIGTERM that came after the service stopped is not left pending.
  sigset_t pending;
  sigpending(&pending);
  if (sigismember(&pending, SIGTERM)) {
    const struct timespec none = {0, 0};
    sigtimedwait(&stopSignal, nullptr, &none);
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return true;
}

void *registerServiceControlHandler(const char *, ServiceControlFunction handler) {
  if (!handler)
    return unsupportedWith(EINVAL, static_cast<void *>(nullptr));
  g_controlHandler.store(handler);
  return &g_statusHandle;
}

bool setServiceStatus(void *statusHandle, const ServiceStatus &status) {
  if (statusHandle != &g_statusHandle)
    return false;
  std::string message;
  switch (status.dwCurrentState) {
  case ServiceState::Running:
    message = "READY=1\n";
    break;
  case ServiceState::StopPending:
    message = "STOPPING=1\n";
    break;
  default:
    break;
  }
  message += std::string("STATUS=") + stateText(status.dwCurrentState);
  const bool pending =
      status.dwCurrentState == ServiceState::StartPending || status.dwCurrentState == ServiceState::StopPending;
  // The wait hint, in milliseconds, is how much longer the pending state may
  // last: systemd extends its own start or stop timeout by as much.
  if (pending && status.dwWaitHint > 0)
    message += "\nEXTEND_TIMEOUT_USEC=" + std::to_string(static_cast<unsigned long long>(status.dwWaitHint) * 1000);
  const int result = notifyServiceManager(message);
  if (result > 0)
    return true;
  t_lastError = result < 0 ? -result : ENOTCONN;
  return false;
}

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
