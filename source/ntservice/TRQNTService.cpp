//===- TRQNTService.cpp - The service framework class ---------------------===//
#include "ntservice/TRQNTService.h"

#include "logging/TRQLoggerFactory.h"
#include "ntservice/TRQServiceStatusUpdater.h"
#include "console.h"

#include <condition_variable>
#include <cstring>
#include <mutex>

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
    delete m_pStatusUpdaterThread;
  } catch (...) {
  }
  m_pStatusUpdaterThread = nullptr;
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
  if (!OnInit())
    return;
  m_bIsRunning = 1;
  m_status.dwWin32ExitCode = 0;
  m_status.dwCheckPoint = 0;
  platform::installConsoleControlHandler(controlHandler);
  Run();
}

void TRQNTService::setServiceName(const char *name) { copyLimited(m_szServiceName, sizeof m_szServiceName, name); }

void TRQNTService::setServiceClass(const char *serviceClass) {
  copyLimited(m_szServiceClass, sizeof m_szServiceClass, serviceClass);
}

void TRQNTService::setStatusUpdater(TRQServiceStatusUpdater *updater) {
  if (updater != m_pStatusUpdaterThread)
    delete m_pStatusUpdaterThread;
  m_pStatusUpdaterThread = updater;
}
