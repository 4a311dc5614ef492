//===- TRQChildProcess.h - One supervised process of the bootstrap configuration ===//
//
// Configured from a `process` element: its `name`, the start action (the
// first `spawn` below the first `start`), the stop action (below the first
// `stop`, of the class that its `type` names exactly: "spawn", "socketSend"
// or "signal", configured from the first element of that name below `stop`)
// and the optional ping action (the first `socketSend` below the first
// `ping`). A ping whose `dependency` names a component that this
// installation lacks (an empty version in the startup configuration) is left
// out: such a process is only watched for being alive.
//
// The record keeps the running process's handle (-1, or below 1: none) and
// the two counters of the supervisor: the failed-ping counter, set to -10 by
// every start so that a fresh process has ten pings of grace, and the
// restart-required flag, cleared by every start. The handle is kept in 64
// bits: Linux handles are process ids and Windows handles fit either way.
//
// Configuration errors are TRQBadConfigException after a FATAL line; the
// record then holds whatever was configured before the error, and its owner
// drops it. The record holds no lock: once the supervisor runs, only its
// thread starts, tests, stops and kills the process (the counters and the
// handle are atomic so that other threads may look at them).
//
//===----------------------------------------------------------------------===//
#ifndef TRQCHILDPROCESS_H
#define TRQCHILDPROCESS_H

#include "rklidom.h"

#include <atomic>
#include <cstdint>
#include <string>

class TRQAction;
class TRQLogger;
class TRQSockSendAction;
class TRQSpawnAction;

class TRQChildProcess {
public:
  /// What a start sets the failed-ping counter to.
  static constexpr int StartPingCounter = -10;
  /// How long a killed process may take to end.
  static constexpr int KillWaitMs = 10000;

  TRQChildProcess();
  /// Deletes the start, ping and stop actions, in that order; the process
  /// itself is neither stopped nor killed.
  virtual ~TRQChildProcess();
  TRQChildProcess(const TRQChildProcess &) = delete;
  TRQChildProcess &operator=(const TRQChildProcess &) = delete;

  /// Reads the `process` element; throws TRQBadConfigException.
  void configure(RKLIDOM_Element process);
  /// Starts the process through the start action (so only after a
  /// successful configure()); a synchronous start, or one that failed, leaves
  /// no handle and keeps the start action's exit code.
  void start();
  /// 1 while the process runs, and also when its state cannot be read (an
  /// ERROR line; it is asked again next time); 0 otherwise, and then the
  /// handle of an ended process is closed and forgotten.
  int isActive();
  /// Ends the process (and what it started) by force and waits, at most
  /// KillWaitMs, until it has ended; 1 when it has (or there was none), 0
  /// when it could not be ended: it is then kept, with an ERROR line.
  int kill();

  const char *getName() const { return m_name.c_str(); }
  int getExitCode() const { return m_exitCode.load(); }
  int64_t getProcessHandle() const { return m_hProcess.load(); }

  TRQSpawnAction *getStartAction() const { return m_startAction; }
  TRQAction *getStopAction() const { return m_stopAction; }
  /// Null when the process is not pinged.
  TRQSockSendAction *getPingAction() const { return m_pingAction; }

  int getPingCounter() const { return m_pingCounter.load(); }
  void setPingCounter(int value) { m_pingCounter.store(value); }
  int getRestartRequired() const { return m_restartRequired.load(); }
  void setRestartRequired(int value) { m_restartRequired.store(value); }

private:
  /// Decides whether the process is pinged; the `socketSend` element to
  /// configure the ping action from, or null.
  RKLIDOM_Element choosePing(const RKLIDOM_Element &process) const;

  std::string m_name;
  TRQSpawnAction *m_startAction = nullptr;
  TRQAction *m_stopAction = nullptr;
  TRQSockSendAction *m_pingAction = nullptr;
  std::atomic<int64_t> m_hProcess{-1};
  std::atomic<int> m_exitCode{0};
  std::atomic<int> m_pingCounter{0};
  std::atomic<int> m_restartRequired{0};

  static TRQLogger *s_logger;
};

#endif // TRQCHILDPROCESS_H
