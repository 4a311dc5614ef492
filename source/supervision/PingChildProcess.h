//===- PingChildProcess.h - The thread that watches, restarts and stops the children ===//
//
// Started by the bootstrap service once its children run. Every poll
// interval it walks the service's children in order: a dead child is started
// again; a child with a ping action is pinged, and one that stops answering
// is counted towards the failed-ping limit, then stopped with its stop
// action, killed if it still lives two passes later, and started again.
// After each pass it publishes three status flags, which the service reads
// without a lock:
//   m_allChildrenHealthy  no pinged child needed a restart in the last pass
//   m_noPingFailures      no ping in the last pass was answered badly
//   m_fatalError          a ping reported a fatal error in the last pass, or
//                         the supervisor has finished stopping
// All three are 0 until the first pass has ended.
//
// stop(done) asks it to stop every running child with its stop action, wait
// for the processes to end (at most m_maxShutdownChecks + 1 checks), kill
// what is left and post `done`. The request wakes the thread at once. Only
// the first request counts; a later one is refused with an ERROR line.
//
// With a poll interval below 1 nothing is supervised: the thread ends at
// once, and a stop request then runs the stop sequence itself on the
// requester's thread, so that its `done` is still posted.
//
// The failed-ping limit may be changed while the supervisor runs: the first
// line of the file "trq.failedPingLimit" in the current directory, read at
// the start of a pass whenever the file's modification time has changed.
//
//===----------------------------------------------------------------------===//
#ifndef PINGCHILDPROCESS_H
#define PINGCHILDPROCESS_H

#include "rklcore.h"
#include "rklidom.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>

class TRQBootstrapService;
class TRQChildProcess;
class TRQLogger;

class PingChildProcess : public RKLThread {
public:
  static constexpr std::size_t StackSize = 4096000;
  /// The file that overrides the failed-ping limit, in the current directory.
  static const char *const FailedPingLimitFileName; // "trq.failedPingLimit"

  explicit PingChildProcess(TRQBootstrapService *service = nullptr);
  /// Ends the thread without stopping the children (see shutdown()).
  ~PingChildProcess() override;

  /// The service whose children are supervised (not owned).
  void setService(TRQBootstrapService *service) { m_pService = service; }
  /// Reads the first `processManager` element below `element`, with the
  /// properties dispatcherPingTimeout, dispatcherStopWaitTime and
  /// DOLV_NORESTART. Call it before start().
  void configure(RKLIDOM_Element element);

  /// The thread body: the passes, then the stop sequence.
  void run() override;

  /// Asks the supervisor to stop the children; `done` (not owned; may be
  /// null) is posted once when they have been stopped. False when refused
  /// because a stop was requested before (`done` is then never posted; see
  /// waitForStopFinished).
  bool stop(RKLThreadSemaphore *done);
  /// Waits at most `timeoutMs` for the stop sequence to have finished; true
  /// when it has.
  bool waitForStopFinished(int timeoutMs);
  /// Ends the thread without running the stop sequence, unless a stop has
  /// been requested, and waits for it; the children are left as they are.
  /// For the owner's destruction, so that the thread never outlives the
  /// children that it walks. Nothing happens when the thread does not run.
  void shutdown();

  /// Pings every child that has a ping action once, on the calling thread:
  /// 0 when all answered, -4 at the first not-ready answer, -1 at the first
  /// fatal one, otherwise the number of failed pings.
  int pingAll();

  // Steps of the stop sequence.
  void stopAll();
  /// 1 when all children have ended, 0 when some still run after the last
  /// check or no stop command could be sent to any of them.
  int waitForDeath();
  void killAll();

  int getAllChildrenHealthy() const { return m_allChildrenHealthy.load(); }
  int getNoPingFailures() const { return m_noPingFailures.load(); }
  int getFatalError() const { return m_fatalError.load(); }

  int getPollIntervalSec() const { return m_pollIntervalSec; }
  int getFailedPingLimit() const { return m_failedPingLimit.load(); }
  int getShutdownCheckIntervalMs() const { return m_shutdownCheckIntervalMs; }
  int getMaxShutdownChecks() const { return m_maxShutdownChecks; }
  int getRestartAllowed() const { return m_restartAllowed; }
  int getStopRequested() const { return m_stopRequested.load(); }
  int getStopCommandNotSent() const { return m_stopCommandNotSent.load(); }

  /// Takes a new failed-ping limit from the file when it has changed; the
  /// supervisor calls it at the start of every pass.
  void checkFailedPingLimitFile();

private:
  /// Waits one poll interval, or less when a stop or shutdown is requested;
  /// true when the wait was cut short by such a request.
  bool waitForNextPass();
  /// One pass over the children, then the flags.
  void supervisePass(bool waitIndefinitely);
  struct PassCounters {
    int restarts = 0;
    int badAnswers = 0;
    int fatals = 0;
  };
  void superviseWithoutPing(TRQChildProcess *child);
  void superviseWithPing(TRQChildProcess *child, PassCounters &counters, bool waitIndefinitely);
  /// Hands the child's process to its stop action and executes it; the
  /// action's result in 32 bits.
  int executeStopAction(TRQChildProcess *child);
  /// The stop wait time in ms: how long the stop sequence waits for the
  /// children, and so also the limit of a synchronous stop script.
  int stopWaitMs() const;
  /// stopAll, waitForDeath, killAll, then the requester's semaphore.
  void stopSequence();

  std::atomic<RKLThreadSemaphore *> m_pWaitSema{nullptr};
  std::unique_ptr<RKLThreadSemaphore> m_waitSemaOwner;
  TRQBootstrapService *m_pService = nullptr;
  std::atomic<RKLThreadSemaphore *> m_pStopDoneSema{nullptr};
  int m_pollIntervalSec = 30;
  std::atomic<int> m_failedPingLimit{2};
  std::atomic<int> m_stopRequested{0};
  std::atomic<int> m_stopCommandNotSent{0};
  std::atomic<int> m_allChildrenHealthy{0};
  std::atomic<int> m_noPingFailures{0};
  std::atomic<int> m_fatalError{0};
  int m_shutdownCheckIntervalMs = 500;
  int m_maxShutdownChecks = 30;
  int m_restartAllowed = 1;

  /// A stop request has been accepted (the first one only).
  std::atomic<bool> m_stopAccepted{false};
  /// The stop sequence has finished.
  std::atomic<bool> m_stopFinished{false};
  /// shutdown(): leave without the stop sequence.
  std::atomic<bool> m_exitRequested{false};
  /// The modification time of the failed-ping-limit file last read.
  std::optional<std::filesystem::file_time_type> m_failedPingLimitTime;

  static TRQLogger *s_logger;
};

#endif // PINGCHILDPROCESS_H
