//===- TRQSignalAction.h - Stopping a child with a console control event --===//
//
// Configured from a `signal` element: `signal` (required) is the event to
// send, `${name}` substituted and read like atoi (0 Ctrl+C, 1 Ctrl+Break; a
// text that is not a number is 0). Executing it sends the event to the
// process group of the process handed over with setTargetProcess(); the
// spawn action started that process as the leader of its own group, so the
// group id is its process id.
//
// The result is nonzero when the event was sent and 0 when it was not, with
// an ERROR line naming the system's code. Without a process id to address
// nothing is sent, since the system would take a group id of 0 as the
// service's own console.
//
//===----------------------------------------------------------------------===//
#ifndef TRQSIGNALACTION_H
#define TRQSIGNALACTION_H

#include "supervision/TRQAction.h"

#include <cstdint>

class TRQLogger;

class TRQSignalAction : public TRQAction {
public:
  TRQSignalAction();
  ~TRQSignalAction() override;

  /// Throws TRQBadConfigException when `signal` is missing or empty.
  void configure(RKLIDOM_Element element) override;
  /// Sends the event; nonzero when sent, 0 when not.
  int64_t doExecute() override;

private:
  static TRQLogger *s_logger;
};

#endif // TRQSIGNALACTION_H
