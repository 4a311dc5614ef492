//===- TRQServiceStatusUpdater.h - Keeps the service manager informed -----===//
//
// While the service is starting or stopping, the Service Control Manager
// expects to hear from it at least as often as the wait hint says. This
// thread refreshes the pending state twice a second, for at most 600 passes
// (about five minutes), until interruptWait() tells it the final state.
//
//===----------------------------------------------------------------------===//
#ifndef TRQSERVICESTATUSUPDATER_H
#define TRQSERVICESTATUSUPDATER_H

#include "rklcore.h"
#include "servicemanager.h"

#include <atomic>

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

  /// Starts (or starts again) the refreshing thread with the running flag set.
  void start();
  void run() override;

  /// Sets the record's state, check point 1 and the wait hint, and reports it.
  void setInitialStatus(uint32_t state);
  /// Ends the refreshing at once; the record's state becomes `finalStatus`.
  void interruptWait(uint32_t finalStatus);

  /// 1 while the thread refreshes a pending state.
  int isRunningFlag() const { return m_bRunning.load(); }
  void setRunningFlag(int running) { m_bRunning.store(running); }

private:
  void report();

  static TRQLogger *s_logger;

  void *m_hServiceStatus;
  platform::ServiceStatus *m_pStatus;
  RKLThreadSemaphore m_sema{0};
  RKLThreadMutex m_mutex{0};
  std::atomic<int> m_bRunning{0};
  std::atomic<uint32_t> m_finalStatus{0};
};

#endif // TRQSERVICESTATUSUPDATER_H
