//===- TRQNTService.cpp - The service framework class ---------------------===//
#include "ntservice/TRQNTService.h"

#include "logging/TRQLoggerFactory.h"
#include "ntservice/TRQServiceStatusUpdater.h"
#include "console.h"

#include <atomic>
#include <cstring>

TRQLogger *TRQNTService::s_logger = TRQLoggerFactory::getInstance()->getLogger("TRQNTService");

namespace {
// The process's service, for the control handlers; written by the
// constructor on the main thread before any handler can run.
std::atomic<TRQNTService *> theService{nullptr};

void copyLimited(char *field, size_t capacity, const char *text) {
  std::memset(field, 0, capacity);
  if (text)
    std::strncpy(field, text, capacity - 1);
}
} // namespace

TRQNTService::TRQNTService(const char *serviceName) {
  copyLimited(m_szServiceName, sizeof m_szServiceName, serviceName);
  copyLimited(m_szServiceClass, sizeof m_szServiceClass, nullptr);
  theService.store(this);
}

TRQNTService::~TRQNTService() {
  try {
    delete m_pStatusUpdaterThread;
  } catch (...) {
  }
  m_pStatusUpdaterThread = nullptr;
  TRQNTService *self = this;
  theService.compare_exchange_strong(self, nullptr);
}

TRQNTService *TRQNTService::getService() { return theService.load(); }

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
