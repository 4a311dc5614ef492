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

bool TRQServiceStatusUpdater::refusedWhileStopping(uint32_t state) {
  if (!m_bStopping || state != platform::ServiceState::Running)
    return false;
  s_logger->log(TRQLogLevel::Info, "a stop is under way, the status stays %d",
                static_cast<int>(m_pStatus->dwCurrentState));
  return true;
}

void TRQServiceStatusUpdater::setInitialStatus(uint32_t state) {
  RKLThreadGuard guard(m_mutex);
  s_logger->log(TRQLogLevel::Debug, "setInitialStatus to %d", static_cast<int>(state));
  if (refusedWhileStopping(state))
    return;
  if (state == platform::ServiceState::StopPending)
    m_bStopping = true;
  m_pStatus->dwCurrentState = state;
  m_pStatus->dwCheckPoint = 1;
  m_pStatus->dwWaitHint = PendingWaitHintMs;
  report();
}

void TRQServiceStatusUpdater::interruptWait(uint32_t finalStatus) {
  RKLThreadGuard guard(m_mutex);
  s_logger->log(TRQLogLevel::Info, "interrupt, final status is %d", static_cast<int>(finalStatus));
  if (refusedWhileStopping(finalStatus))
    return;
  m_finalStatus.store(finalStatus);
  m_bRunning.store(0);
  m_sema.post();
}

void TRQServiceStatusUpdater::markStopping() {
  RKLThreadGuard guard(m_mutex);
  m_bStopping = true;
}

void TRQServiceStatusUpdater::changeStatus(const std::function<void(platform::ServiceStatus &)> &change,
                                            bool reportIt) {
  RKLThreadGuard guard(m_mutex);
  change(*m_pStatus);
  if (reportIt)
    report();
}

void TRQServiceStatusUpdater::start() {
  {
    RKLThreadGuard guard(m_mutex);
    // Set before the thread runs, so that an interruptWait() that comes
    // before the thread's first instruction is not overwritten by it.
    m_bRunning.store(1);
    if (m_bRefreshing)
      return; // still refreshing: it reports the record's new state itself
    m_bRefreshing = true;
  }
  try {
    join(); // a thread that has decided to leave ends without waiting
    RKLThread::start();
  } catch (const RKLThreadResourceError &e) {
    RKLThreadGuard guard(m_mutex);
    m_bRefreshing = false;
    m_bRunning.store(0);
    s_logger->log(TRQLogLevel::Error, "the status updater could not be started: %s", e.getMessage());
  }
}

void TRQServiceStatusUpdater::run() {
  {
    RKLThreadGuard guard(m_mutex);
    s_logger->log(TRQLogLevel::Info, "start running, initial status is %d",
                  static_cast<int>(m_pStatus->dwCurrentState));
    m_pStatus->dwCheckPoint += 1;
    m_pStatus->dwWaitHint = PendingWaitHintMs;
    report();
  }

  for (int passes = MaxPasses;;) {
    --passes;
    {
      RKLThreadGuard guard(m_mutex);
      if (!m_bRunning.load()) {
        m_pStatus->dwCurrentState = m_finalStatus.load();
        leave(false);
        return;
      }
      s_logger->log(TRQLogLevel::Debug, "refresh status %d", static_cast<int>(m_pStatus->dwCurrentState));
      m_pStatus->dwCheckPoint += 1;
      m_pStatus->dwWaitHint = PendingWaitHintMs;
      report();
    }
    m_sema.timedWait(m_refreshIntervalMs);
    if (passes <= 0) {
      RKLThreadGuard guard(m_mutex);
      if (m_bRunning.load()) {
        leave(true);
      } else {
        m_pStatus->dwCurrentState = m_finalStatus.load();
        leave(false);
      }
      return;
    }
  }
}

void TRQServiceStatusUpdater::leave(bool timedOut) {
  // Decided and done under one hold of the mutex: a start() from now on
  // starts the thread anew instead of relying on this one.
  if (timedOut)
    s_logger->log(TRQLogLevel::Info, "reached time limit, final status is %d",
                  static_cast<int>(m_pStatus->dwCurrentState));
  else
    s_logger->log(TRQLogLevel::Info, "ending, final status is %d", static_cast<int>(m_pStatus->dwCurrentState));
  m_bRefreshing = false;
  m_pStatus->dwCheckPoint = 0;
  m_pStatus->dwWaitHint = 0;
  report();
  m_bRunning.store(0);
}
