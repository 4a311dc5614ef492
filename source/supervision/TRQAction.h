//===- TRQAction.h - One configured step performed for a child process ----===//
//
// The base of the spawn, socket send and signal actions. execute() runs the
// action's own work (doExecute) and then the optional delay configured by
// the element's `wait_time` attribute (seconds), on the calling thread,
// whatever the work's result. Results are 64-bit; negative values are
// failure codes whose meaning each action defines. Configuration errors are
// TRQBadConfigException; run-time failures are results, never exceptions.
//
//===----------------------------------------------------------------------===//
#ifndef TRQACTION_H
#define TRQACTION_H

#include "rklidom.h"

#include <cstdint>

class TRQLogger;

class TRQAction {
public:
  TRQAction();
  virtual ~TRQAction();
  TRQAction(const TRQAction &) = delete;
  TRQAction &operator=(const TRQAction &) = delete;

  /// doExecute(), then the delay when one is configured; the result is
  /// doExecute's, unchanged.
  virtual int64_t execute() final;
  /// The action's own work.
  virtual int64_t doExecute() = 0;
  /// Reads the action element. Every override first calls
  /// TRQAction::configure(element), which reads `wait_time`.
  virtual void configure(RKLIDOM_Element element) = 0;

  /// The process that the action acts on (a stop action's target), handed
  /// over by the supervisor before each execution.
  void setTargetProcess(int64_t handle) { m_hTargetProcess = handle; }
  int64_t getTargetProcess() const { return m_hTargetProcess; }
  /// The delay after each execution in milliseconds; -1 when there is none.
  int getWaitTime() const { return m_waitTime; }
  int getCtrlEvent() const { return m_ctrlEvent; }

protected:
  int m_waitTime = -1;
  int64_t m_hTargetProcess = 0;
  int m_ctrlEvent = 0;

private:
  static TRQLogger *s_logger;
};

#endif // TRQACTION_H
