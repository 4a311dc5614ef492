//===- TRQServiceStatusUpdater.h - Keeps the service manager informed -----===//
//
// While the service is starting or stopping, the Service Control Manager
// expects to hear from it at least as often as the wait hint says. This
// thread refreshes the pending state twice a second, for at most 600 passes
// (about five minutes), until interruptWait() tells it the final state.
//
// Once a stop is under way (setInitialStatus(stop pending), or markStopping()
// from the control handler), the service is never reported running again:
// a readiness report that comes late leaves the stop-pending state alone.
// The mutex orders the thread's decision to leave against start() and the
// reports of other threads, so that a start() while the thread still
// refreshes only hands it the new state, and one after it has decided to
// leave starts it anew.
//
//===----------------------------------------------------------------------===//
#ifndef TRQSERVICESTATUSUPDATER_H
#define TRQSERVICESTATUSUPDATER_H

#include "rklcore.h"
#include "servicemanager.h"

#include <atomic>
#include <functional>

class TRQLogger;

class TRQServiceStatusUpdater : public RKLThread {
public:
  static constexpr int MaxPasses = 600;
  static constexpr long RefreshIntervalMs = 500;
  static constexpr uint32_t PendingWaitHintMs = 2000;

  /// `status` is the service's record; the updater writes its state, check
  /// point and wait hint, and reports it under `statusHandle`.
  TRQServiceStatusUpdater(void *statusHandle, platform::ServiceStatus *status);
  ~TRQServiceStatusUpdater() override;

  /// Starts the refreshing thread with the running flag set. When the thread
  /// is still refreshing, it just goes on with the record's current state;
  /// when it has ended (or is ending), it is started again.
  void start();
  void run() override;

  /// Sets the record's state, check point 1 and the wait hint, and reports it.
  void setInitialStatus(uint32_t state);
  /// Ends the refreshing at once; the record's state becomes `finalStatus`.
  void interruptWait(uint32_t finalStatus);
  /// A stop has been requested: from now on the running state is not
  /// reported any more.
  void markStopping();
  /// Applies `change` to the record, and with `reportIt` reports it, under
  /// the lock that the refreshing thread holds while it changes the record:
  /// the service's other threads (its main, the control handler) change it
  /// only this way while the updater exists.
  void changeStatus(const std::function<void(platform::ServiceStatus &)> &change, bool reportIt);

  /// 1 while the thread refreshes a pending state.
  int isRunningFlag() const { return m_bRunning.load(); }
  void setRunningFlag(int running) { m_bRunning.store(running); }

  /// The pause between two refreshes (500 ms); tests shorten it.
  void setRefreshIntervalMs(long intervalMs) { m_refreshIntervalMs = intervalMs; }

private:
  void report();
  /// Logs the leaving message (the time limit's when `timedOut`), ends the
  /// pending reports with check point and wait hint 0 and clears the running
  /// flag. Mutex held.
  void leave(bool timedOut);
  /// True (and logged) when `state` is the running state while a stop is
  /// under way. Called with the mutex held.
  bool refusedWhileStopping(uint32_t state);

  static TRQLogger *s_logger;

  void *m_hServiceStatus;
  platform::ServiceStatus *m_pStatus;
  RKLThreadSemaphore m_sema{0};
  RKLThreadMutex m_mutex{0};
  std::atomic<int> m_bRunning{0};
  std::atomic<uint32_t> m_finalStatus{0};
  /// The thread refreshes and has not decided to leave (mutex held).
  bool m_bRefreshing = false;
  bool m_bStopping = false;
  long m_refreshIntervalMs = RefreshIntervalMs;
};

#endif // TRQSERVICESTATUSUPDATER_H
