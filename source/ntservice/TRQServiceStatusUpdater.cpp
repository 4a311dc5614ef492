//===- TRQServiceStatusUpdater.cpp - Keeps the service manager informed ---===//
#include "ntservice/TRQServiceStatusUpdater.h"

#include "logging/TRQLoggerFactory.h"

TRQLogger *TRQServiceStatusUpdater::s_logger = TRQLoggerFactory::getInstance()->getLogger("TRQServiceStatusUpdater");

TRQServiceStatusUpdater::TRQServiceStatusUpdater(void *statusHandle, platform::ServiceStatus *status)
    : RKLThread(nullptr, 4096000), m_hServiceStatus(statusHandle), m_pStatus(status) {}

TRQServiceStatusUpdater::~TRQServiceStatusUpdater() {
  // The thread body reads the record; let it finish before the object goes.
  interruptWait(m_pStatus->dwCurrentState);
  join();
}

void TRQServiceStatusUpdater::report() { platform::setServiceStatus(m_hServiceStatus, *m_pStatus); }

void TRQServiceStatusUpdater::setInitialStatus(uint32_t state) {
  s_logger->log(TRQLogLevel::Debug, "setInitialStatus to %d", static_cast<int>(state));
  m_pStatus->dwCurrentState = state;
  m_pStatus->dwCheckPoint = 1;
  m_pStatus->dwWaitHint = PendingWaitHintMs;
  report();
}

void TRQServiceStatusUpdater::interruptWait(uint32_t finalStatus) {
  s_logger->log(TRQLogLevel::Info, "interrupt, final status is %d", static_cast<int>(finalStatus));
  m_finalStatus.store(finalStatus);
  m_bRunning.store(0);
  m_sema.post();
}

void TRQServiceStatusUpdater::start() {
  // Set before the thread runs, so that an interruptWait() that comes before
  // the thread's first instruction is not overwritten by it.
  m_bRunning.store(1);
  RKLThread::start();
}

void TRQServiceStatusUpdater::run() {
  s_logger->log(TRQLogLevel::Info, "start running, initial status is %d", static_cast<int>(m_pStatus->dwCurrentState));
  m_pStatus->dwCheckPoint += 1;
  m_pStatus->dwWaitHint = PendingWaitHintMs;
  report();

  bool timedOut = false;
  for (int passes = MaxPasses;;) {
    --passes;
    if (!m_bRunning.load()) {
      m_pStatus->dwCurrentState = m_finalStatus.load();
      break;
    }
    s_logger->log(TRQLogLevel::Debug, "refresh status %d", static_cast<int>(m_pStatus->dwCurrentState));
    m_pStatus->dwCheckPoint += 1;
    m_pStatus->dwWaitHint = PendingWaitHintMs;
    report();
    m_sema.timedWait(RefreshIntervalMs);
    if (passes <= 0) {
      if (m_bRunning.load())
        timedOut = true;
      else
        m_pStatus->dwCurrentState = m_finalStatus.load();
      break;
    }
  }
  if (timedOut)
    s_logger->log(TRQLogLevel::Info, "reached time limit, final status is %d", static_cast<int>(m_pStatus->dwCurrentState));
  else
    s_logger->log(TRQLogLevel::Info, "ending, final status is %d", static_cast<int>(m_pStatus->dwCurrentState));
  m_pStatus->dwCheckPoint = 0;
  m_pStatus->dwWaitHint = 0;
  report();
  m_bRunning.store(0);
}
