//===- TRQNTService.cpp - The service framework class ---------------------===//
#include "ntservice/TRQNTService.h"

#include "entry/TRQConsole.h"
#include "logging/TRQLoggerFactory.h"
#include "ntservice/TRQServiceStatusUpdater.h"
#include "console.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <string>
#include <thread>

TRQLogger *TRQNTService::s_logger = TRQLoggerFactory::getInstance()->getLogger("TRQNTService");

namespace {
// The process's service, for the control handlers, which run on threads of
// their own: a handler's call holds the service until it returns, and a
// service being destroyed first waits for such calls to end. Never
// destroyed, so that a handler that runs while the process exits finds it.
struct ServiceRegistry {
  std::mutex lock;
  std::condition_variable idle;
  TRQNTService *service = nullptr;
  int activeCalls = 0;
};

ServiceRegistry &registry() {
  static ServiceRegistry *const instance = new ServiceRegistry();
  return *instance;
}

// Counts the service manager's stop requests; the first one is number 1.
std::atomic<int> stopRequestCounter{1};

constexpr uint32_t StopWaitHintMs = 90000;
constexpr uint32_t StartWaitHintMs = 2000;

using Clock = std::chrono::steady_clock;

bool longerThan(Clock::time_point since, int limitSec) {
  return Clock::now() - since > std::chrono::seconds(limitSec);
}

// Where install writes the service file and uninstall finds it again: beside
// the bin folder, in the installation's logs folder.
std::string serviceFilePath(const std::string &workingDirectory, const char *serviceClass) {
  std::string path = workingDirectory;
  if (!path.empty() && path.back() != '/' && path.back() != '\\')
    path += RKLFmDir::separator();
  path += std::string("../logs/") + serviceClass + "_" + "trq.service";
  RKLFmDir::resolveEffectivePath(path);
  return path;
}

// The folder of a program path, without its trailing separator.
std::string folderOf(const std::string &programPath) {
  std::string drive, directory;
  platform::splitPath(programPath, drive, directory);
  std::string folder = drive + directory;
  if (!folder.empty())
    folder.pop_back();
  return folder;
}

void copyLimited(char *field, size_t capacity, const char *text) {
  std::memset(field, 0, capacity);
  if (text)
    std::strncpy(field, text, capacity - 1);
}
} // namespace

TRQNTService::TRQNTService(const char *serviceName) {
  copyLimited(m_szServiceName, sizeof m_szServiceName, serviceName);
  copyLimited(m_szServiceClass, sizeof m_szServiceClass, nullptr);
  std::lock_guard<std::mutex> guard(registry().lock);
  registry().service = this;
}

TRQNTService::~TRQNTService() {
  retire();
  try {
    delete m_pStatusUpdaterThread.exchange(nullptr);
  } catch (...) {
  }
}

void TRQNTService::retire() {
  ServiceRegistry &services = registry();
  std::unique_lock<std::mutex> guard(services.lock);
  if (services.service != this)
    return;
  services.service = nullptr;
  services.idle.wait(guard, [&] { return services.activeCalls == 0; });
}

TRQNTService *TRQNTService::getService() {
  std::lock_guard<std::mutex> guard(registry().lock);
  return registry().service;
}

int TRQNTService::stopService() {
  ServiceRegistry &services = registry();
  TRQNTService *service = nullptr;
  {
    std::lock_guard<std::mutex> guard(services.lock);
    service = services.service;
    if (!service)
      return 0;
    ++services.activeCalls;
  }
  struct Release {
    ServiceRegistry &services;
    ~Release() {
      std::lock_guard<std::mutex> guard(services.lock);
      if (--services.activeCalls == 0)
        services.idle.notify_all();
    }
  } release{services};
  service->OnStop();
  return 1;
}

int TRQNTService::OnUserControl(unsigned) { return 0; }
int TRQNTService::testReady(int, int) { return 0; }
void TRQNTService::Run() {}
int TRQNTService::OnInit() { return 0; }
void TRQNTService::OnStop() {}
void TRQNTService::OnInterrogate() {}
void TRQNTService::OnPause() {}
void TRQNTService::OnContinue() {}
void TRQNTService::OnShutdown() {}

void TRQNTService::consoleRun(int (*controlHandler)(unsigned controlType)) {
  if (!OnInit()) {
    m_bRunEnded.store(1);
    return;
  }
  m_bIsRunning = 1;
  m_status.dwWin32ExitCode = 0;
  m_status.dwCheckPoint = 0;
  platform::installConsoleControlHandler(controlHandler);
  Run();
  m_bRunEnded.store(1);
}

void TRQNTService::setServiceName(const char *name) { copyLimited(m_szServiceName, sizeof m_szServiceName, name); }

void TRQNTService::setServiceClass(const char *serviceClass) {
  copyLimited(m_szServiceClass, sizeof m_szServiceClass, serviceClass);
}

void TRQNTService::setStatusUpdater(TRQServiceStatusUpdater *updater) {
  TRQServiceStatusUpdater *previous = m_pStatusUpdaterThread.exchange(updater);
  if (previous != updater)
    delete previous;
}

void TRQNTService::changeStatus(const std::function<void(platform::ServiceStatus &)> &change, bool reportIt) {
  if (TRQServiceStatusUpdater *updater = getStatusUpdater()) {
    updater->changeStatus(change, reportIt);
    return;
  }
  change(m_status);
  if (reportIt)
    platform::setServiceStatus(m_hServiceStatus, m_status);
}

void TRQNTService::print(int level, const char *format, ...) {
  RKLByteBuffer buffer(256, 256);
  va_list args;
  va_start(args, format);
  buffer.vprintf(format, args);
  va_end(args);
  s_logger->logText(level, buffer.str());
  TRQConsole::getInstance()->write(buffer);
}

//===----------------------------------------------------------------------===//
// Service control commands
//===----------------------------------------------------------------------===//

int TRQNTService::isInstalled() {
  s_logger->log(TRQLogLevel::Debug, "testing if service is installed...");
  platform::ServiceHandle manager = platform::openServiceManager();
  if (!manager) {
    s_logger->log(TRQLogLevel::Error, "OpenSCManager failed, error code=%d", platform::lastServiceError());
    return 0;
  }
  platform::ServiceHandle service =
      platform::openService(manager, m_szServiceName, platform::ServiceAccess::QueryConfig);
  if (service) {
    s_logger->log(TRQLogLevel::Debug, "yes, service is installed.");
    return 1;
  }
  s_logger->log(TRQLogLevel::Debug, "service is not installed");
  return 0;
}

int TRQNTService::isRegistered(uint32_t *startMode) {
  s_logger->log(TRQLogLevel::Debug, "testing if service is registered...");
  if (!isInstalled())
    return 0;
  platform::RegistryKey key = platform::openServiceKey(m_szServiceName);
  if (!key)
    return 0;
  if (startMode && !platform::readRegistryDword(key, "Start", *startMode))
    s_logger->log(TRQLogLevel::Error, "failed to read service start mode from registry, error code=%d",
                  platform::lastServiceError());
  return 1;
}

int TRQNTService::install(int autoStart) {
  std::string program = platform::modulePath();
  if (program.empty())
    return 0;
  std::string workingDirectory = folderOf(program);
  std::string binaryPath = "\"" + program + "\"";

  platform::ServiceHandle manager = platform::openServiceManager();
  if (!manager)
    return 0;
  platform::ServiceHandle service = platform::createService(manager, m_szServiceName, binaryPath.c_str(), autoStart != 0);
  if (!service)
    return 0;
  if (m_pszDescription && *m_pszDescription && !platform::setServiceDescription(service, m_pszDescription))
    s_logger->log(TRQLogLevel::Error, "failed to set the service description, error code=%d",
                  platform::lastServiceError());

  // Read back when the service manager starts the program, whose working
  // directory is then the system's, not the installation's.
  platform::RegistryKey parameters = platform::createServiceParametersKey(m_szServiceName);
  if (!parameters) {
    s_logger->log(TRQLogLevel::Error, "failed to create the service's registry parameters, error code=%d",
                  platform::lastServiceError());
  } else {
    if (!platform::writeRegistryString(parameters, "CurrentWorkingDir", workingDirectory.c_str()))
      s_logger->log(TRQLogLevel::Error, "failed to write \"CurrentWorkingDir\" to the registry, error code=%d",
                    platform::lastServiceError());
    if (!platform::writeRegistryString(parameters, "ServiceClass", m_szServiceClass))
      s_logger->log(TRQLogLevel::Error, "failed to write \"ServiceClass\" to the registry, error code=%d",
                    platform::lastServiceError());
  }

  // Beside the installation's bin folder, where uninstall looks for it.
  std::string serviceFile = serviceFilePath(workingDirectory, m_szServiceClass);
  s_logger->log(TRQLogLevel::Debug, "Creating Service File \"%s\".\n", serviceFile.c_str());
  RKLFmFile file;
  if (file.open(serviceFile.c_str(), RKLFmFile::CreateTruncate)) {
    file.write(m_szServiceName, std::strlen(m_szServiceName));
    file.close();
  } else {
    s_logger->log(TRQLogLevel::Error, "could not create the service file \"%s\", error code=%d",
                  serviceFile.c_str(), file.lastError());
  }
  return 1;
}

int TRQNTService::uninstall() {
  platform::ServiceHandle manager = platform::openServiceManager();
  if (!manager)
    return 0;
  platform::ServiceHandle service = platform::openService(
      manager, m_szServiceName, platform::ServiceAccess::Delete | platform::ServiceAccess::QueryConfig);
  if (!service)
    return 0;

  s_logger->log(TRQLogLevel::Debug, "Querying for Service configuration.\n");
  std::string binaryPath;
  std::string serviceFile;
  bool located = false;
  if (platform::queryServiceBinaryPath(service, binaryPath)) {
    // Install stored the program's path in double quotes.
    binaryPath.erase(std::remove(binaryPath.begin(), binaryPath.end(), '"'), binaryPath.end());
    // The class recorded at install names the file, whatever class this
    // command was given.
    std::string serviceClass = m_szServiceClass;
    platform::ServiceParameters recorded;
    if (platform::readServiceParameters(m_szServiceName, recorded) && recorded.serviceClassRead)
      serviceClass = recorded.serviceClass;
    serviceFile = serviceFilePath(folderOf(binaryPath), serviceClass.c_str());
    located = RKLFmDir::exists(serviceFile.c_str(), 0x8080) == 1;
    if (located)
      s_logger->log(TRQLogLevel::Debug, "Located Service File \"%s\".\n", serviceFile.c_str());
    else
      s_logger->log(TRQLogLevel::Debug, "Could not located Service File \"%s\".\n", serviceFile.c_str());
  } else {
    s_logger->log(TRQLogLevel::Debug, "QueryServiceConfig call failed.  Error code: %u\n",
                  static_cast<unsigned>(platform::lastServiceError()));
  }

  if (!platform::deleteService(service)) {
    int code = platform::lastServiceError();
    RKLByteBuffer text(256, 256);
    if (code != platform::ServiceError::MarkedForDelete) {
      text.printf("Service could not be deleted, GetLastError() = %d\n", code);
      TRQConsole::getInstance()->write(text);
      s_logger->log(TRQLogLevel::Error, "Error occured when attempting to delete service \"%s\", error code = %d",
                    m_szServiceName, code);
      platform::setLastServiceError(code);
      return 0;
    }
    text << "Service is already marked for deletion.";
    TRQConsole::getInstance()->write(text);
    s_logger->log(TRQLogLevel::Info, "Service \"%s\" was already marked for deletion.\n", m_szServiceName);
  } else {
    s_logger->log(TRQLogLevel::Info, "Service \"%s\" was uninstalled.\n", m_szServiceName);
  }

  if (located) {
    s_logger->log(TRQLogLevel::Debug, "Service File \"%s\" found, attempting to delete it.\n", serviceFile.c_str());
    if (RKLFmDir::removeFile(serviceFile.c_str()))
      s_logger->log(TRQLogLevel::Debug, "Service File \"%s\" has been deleted.\n", serviceFile.c_str());
    else
      s_logger->log(TRQLogLevel::Debug, "Service File \"%s\" could not be deleted.\n", serviceFile.c_str());
  }
  return 1;
}

int TRQNTService::startService(int timeLimitSec) {
  s_logger->log(TRQLogLevel::Info, "Attempt to starting service \"%s\"", m_szServiceName);
  const Clock::time_point started = Clock::now();
  uint32_t state = 0;
  {
    platform::ServiceHandle manager = platform::openServiceManager();
    if (!manager) {
      print(TRQLogLevel::Fatal, "OpenSCManager failed, error code=%d\n", platform::lastServiceError());
      return -1;
    }
    platform::ServiceHandle service = platform::openService(
        manager, m_szServiceName, platform::ServiceAccess::Start | platform::ServiceAccess::QueryStatus);
    if (!service) {
      print(TRQLogLevel::Error, "Cannot open service \"%s\", error code is %d.\n", m_szServiceName,
            platform::lastServiceError());
      return -1;
    }
    s_logger->log(TRQLogLevel::Info, "Starting service \"%s\"", m_szServiceName);
    if (!platform::startService(service)) {
      int code = platform::lastServiceError();
      if (code == platform::ServiceError::AlreadyRunning) {
        print(TRQLogLevel::Info, "Service \"%s\" is already running.\n", m_szServiceName);
        return 0;
      }
      print(TRQLogLevel::Error, "Failed to start service \"%s\", error code is %d.\n", m_szServiceName, code);
      return -1;
    }
    platform::ServiceStatus status;
    if (!platform::queryServiceStatus(service, status)) {
      print(TRQLogLevel::Error, "First call to QueryServiceStatus failed, error code=%d\n",
            platform::lastServiceError());
      return -1;
    }
    s_logger->log(TRQLogLevel::Info, "Waiting for service to start...");
    for (int round = 0; status.dwCurrentState == platform::ServiceState::StartPending; ++round) {
      if (round < 100)
        s_logger->log(TRQLogLevel::Debug, "Service state is START_PENDING so sleeping for duration of wait hint: %d",
                      static_cast<int>(status.dwWaitHint));
      // A hint of 0 would poll the manager without pause, a long one would
      // sleep far past the time limit.
      RKLThread::sleep(std::clamp<long>(static_cast<long>(status.dwWaitHint), 100, 10000));
      if (longerThan(started, timeLimitSec)) {
        print(TRQLogLevel::Error, "Failed to start service \"%s\", within specified time limit.\n", m_szServiceName);
        return -1;
      }
      if (!platform::queryServiceStatus(service, status)) {
        print(TRQLogLevel::Error, "Subsequent call to QueryServiceStatus failed, error code=%d\n",
              platform::lastServiceError());
        return -1;
      }
    }
    state = status.dwCurrentState;
  }
  if (state != platform::ServiceState::Running) {
    print(TRQLogLevel::Error, "Failed to start service \"%s\", error code=%d\n.", m_szServiceName,
          static_cast<int>(state));
    return -1;
  }
  print(TRQLogLevel::Info, "Started service \"%s\"\n", m_szServiceName);
  if (!OnInit())
    return 0;
  s_logger->log(TRQLogLevel::Debug, "Service state is RUNNING, test if all processes are really ok.");
  return testReady(m_iReadyTestTries, m_iReadyTestIntervalSec);
}

int TRQNTService::stopService(int timeLimitSec) {
  s_logger->log(TRQLogLevel::Info, "Stopping service \"%s\"", m_szServiceName);
  const Clock::time_point started = Clock::now();
  platform::ServiceHandle manager = platform::openServiceManager();
  if (!manager) {
    print(TRQLogLevel::Fatal, "OpenSCManager failed, error code=%d\n", platform::lastServiceError());
    return -1;
  }
  platform::ServiceHandle service = platform::openService(
      manager, m_szServiceName, platform::ServiceAccess::Stop | platform::ServiceAccess::QueryStatus);
  if (!service) {
    print(TRQLogLevel::Error, "Cannot open service \"%s\", error code is %d.\n", m_szServiceName,
          platform::lastServiceError());
    return -1;
  }
  platform::ServiceStatus status;
  if (!platform::stopService(service, status)) {
    int code = platform::lastServiceError();
    if (code == platform::ServiceError::NotActive) {
      print(TRQLogLevel::Info, "Service \"%s\" is already stopped.\n", m_szServiceName);
      return 0;
    }
    print(TRQLogLevel::Error, "ControlService failed, error code=%d\n", code);
    return -1;
  }
  s_logger->log(TRQLogLevel::Info, "Waiting for service to stop...");
  while (status.dwCurrentState == platform::ServiceState::StopPending) {
    s_logger->log(TRQLogLevel::Debug, "Service state is STOP_PENDING so sleeping for 1000 ms");
    RKLThread::sleep(1000);
    if (!platform::queryServiceStatus(service, status)) {
      print(TRQLogLevel::Error, "QueryServiceStatus failed, error code=%d\n", platform::lastServiceError());
      return -1;
    }
    // A stop that has ended in time is not held against the limit.
    if (status.dwCurrentState == platform::ServiceState::StopPending && longerThan(started, timeLimitSec)) {
      print(TRQLogLevel::Error, "Failed to stop service \"%s\", within specified time limit.\n", m_szServiceName);
      return -1;
    }
  }
  if (status.dwCurrentState == platform::ServiceState::Stopped) {
    print(TRQLogLevel::Info, "Service \"%s\" is stopped.\n", m_szServiceName);
    return 0;
  }
  print(TRQLogLevel::Error, "Service \"%s\" failed to stop, error code is %d.\n", m_szServiceName,
        static_cast<int>(status.dwCurrentState));
  return -1;
}

int TRQNTService::isRunningService() {
  s_logger->log(TRQLogLevel::Info, "Testing if service \"%s\" is running.", m_szServiceName);
  platform::ServiceHandle manager = platform::openServiceManager();
  if (!manager) {
    print(TRQLogLevel::Fatal, "Failed to open service manager, error code=%d\n", platform::lastServiceError());
    return -1;
  }
  platform::ServiceHandle service =
      platform::openService(manager, m_szServiceName, platform::ServiceAccess::QueryStatus);
  if (!service) {
    print(TRQLogLevel::Error, "Cannot open service \"%s\", error code is %d.\n", m_szServiceName,
          platform::lastServiceError());
    return -1;
  }
  platform::ServiceStatus status;
  if (!platform::queryServiceStatus(service, status)) {
    print(TRQLogLevel::Error, "QueryServiceStatus failed, error code is %d.\n", platform::lastServiceError());
    return -1;
  }
  if (status.dwCurrentState == platform::ServiceState::Running) {
    print(TRQLogLevel::Info, "Service \"%s\" is running.\n", m_szServiceName);
    return 0;
  }
  print(TRQLogLevel::Info, "Service \"%s\" is not running.\n", m_szServiceName);
  return -1;
}

//===----------------------------------------------------------------------===//
// Running under the service manager
//===----------------------------------------------------------------------===//

void TRQNTService::startServiceDispatcher() {
  if (platform::startServiceDispatcher(m_szServiceName, &TRQNTService::serviceMain))
    return;
  const int error = platform::lastServiceError();
  s_logger->log(TRQLogLevel::Error, "StartServiceCtrlDispatcher failed, error code=%d", error);
  // A person or a script ran the program without options: tell them, and
  // do not end as if a service had run.
  std::fprintf(stderr,
               "%s was not started by the service manager (error code=%d). Run it with -help for its commands, "
               "or with -d to run it in the foreground.\n",
               m_szServiceName, error);
  std::fflush(stderr);
  m_status.dwWin32ExitCode = static_cast<uint32_t>(error != 0 ? error : 1);
}

void TRQNTService::serviceMain(int argc, char **argv) {
  TRQNTService *service = getService();
  if (!service)
    return;
  if (argc > 0 && argv && argv[0])
    service->setServiceName(argv[0]);
  service->m_bServiceMode = 1;
  service->m_status.dwCheckPoint = 1;
  service->m_status.dwWaitHint = StartWaitHintMs;
  service->m_status.dwCurrentState = platform::ServiceState::StartPending;

  void *handle = platform::registerServiceControlHandler(service->m_szServiceName, &serviceControlHandler);
  if (!handle) {
    s_logger->log(TRQLogLevel::Error, "RegisterServiceCtrlHandler failed, error code=%d",
                  platform::lastServiceError());
    return;
  }
  service->m_hServiceStatus = handle;

  if (service->initialise()) {
    service->m_bIsRunning = 1;
    service->changeStatus(
        [](platform::ServiceStatus &status) {
          status.dwWin32ExitCode = 0;
          status.dwCheckPoint = 0;
          status.dwWaitHint = 0;
        },
        false);
    service->Run();
  }
  service->m_bRunEnded.store(1);
  // Nothing may report a pending state after the stopped one.
  if (TRQServiceStatusUpdater *updater = service->getStatusUpdater()) {
    if (updater->isRunningFlag()) {
      uint32_t state = 0;
      updater->changeStatus([&state](platform::ServiceStatus &status) { state = status.dwCurrentState; }, false);
      updater->interruptWait(state);
    }
    updater->join();
  }
  service->changeStatus([](platform::ServiceStatus &status) { status.dwCurrentState = platform::ServiceState::Stopped; },
                        true);
}

int TRQNTService::initialise() {
  auto *updater = new TRQServiceStatusUpdater(m_hServiceStatus, &m_status);
  setStatusUpdater(updater);
  updater->setInitialStatus(platform::ServiceState::StartPending);
  updater->start();
  int initialised = OnInit();
  int error = platform::lastSystemError();
  // A failed start must not end with the exit code of success.
  if (!initialised && error == 0)
    error = 1;
  updater->changeStatus(
      [error](platform::ServiceStatus &status) {
        status.dwWin32ExitCode = static_cast<uint32_t>(error);
        status.dwCheckPoint = 0;
      },
      false);
  if (initialised)
    return 1;
  s_logger->log(TRQLogLevel::Error, "the service could not be initialised, exit code %d", error);
  updater->interruptWait(platform::ServiceState::Stopped);
  updater->join();
  updater->changeStatus([](platform::ServiceStatus &status) { status.dwCurrentState = platform::ServiceState::Stopped; },
                        false);
  return 0;
}

void TRQNTService::serviceControlHandler(unsigned control) {
  TRQNTService *service = getService();
  if (!service)
    return;
  switch (control) {
  case 1: { // stop
    if (TRQServiceStatusUpdater *updater = service->getStatusUpdater())
      updater->markStopping();
    int request = stopRequestCounter.fetch_add(1);
    service->changeStatus(
        [request](platform::ServiceStatus &status) {
          if (request == 1)
            status.dwWaitHint = StopWaitHintMs;
          status.dwCheckPoint = static_cast<uint32_t>(request);
          status.dwCurrentState = platform::ServiceState::StopPending;
        },
        true);
    if (request == 1) {
      // OnStop waits for the children; the handler must return at once.
      try {
        std::thread([] {
          try {
            TRQNTService::stopService();
          } catch (const std::exception &e) {
            s_logger->log(TRQLogLevel::Error, "the stop request failed: %s", e.what());
          } catch (...) {
            s_logger->log(TRQLogLevel::Error, "the stop request failed.");
          }
        }).detach();
      } catch (const std::exception &e) {
        s_logger->log(TRQLogLevel::Error, "the thread that stops the service could not be started: %s", e.what());
      }
      service->m_bIsRunning = 0;
    }
    return;
  }
  case 2:
    service->OnPause();
    break;
  case 3:
    service->OnContinue();
    break;
  case 4:
    service->OnInterrogate();
    break;
  case 5:
    service->OnShutdown();
    break;
  default:
    if (control >= 128)
      service->OnUserControl(control);
    break;
  }
  service->changeStatus([](platform::ServiceStatus &) {}, true);
}

void TRQNTService::resetStopRequestCounter() { stopRequestCounter.store(1); }
