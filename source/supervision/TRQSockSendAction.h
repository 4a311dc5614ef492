//===- TRQSockSendAction.h - Sending a command to a child and judging the reply ===//
//
// Configured from a `socketSend` element: the child's `URI` and the
// `commandString` to send (both required, `${name}` substituted), the reply's
// time limit `sockIOTimeoutSec` (60; -1 reads without waiting), how many
// bytes of reply to read `responseSize` (0: none), and, only when a reply is
// read, three marker strings taken literally: `responseOK`, `responseFatal`
// and `responseRetry`. A marker longer than responseSize could never match
// and is disabled with an ERROR message.
//
// Each execution is one complete exchange over a fresh connection, serialised
// by the action's own mutex, so that the readiness test on the main thread
// and the supervisor's pings never share a connection. Results:
//    1  sent, no reply expected
//   >=0 the number of reply bytes: the success marker was found, or there is
//       none to look for, or the reply is shorter than it (then not searched)
//   -1  the connection, the send or the read failed
//   -2  none of the markers was found
//   -3  the fatal-error marker was found (and the success marker not)
//   -4  the not-ready marker was found (and neither of the others)
// At most MaxReadSize bytes of reply are read, whatever responseSize says.
//
//===----------------------------------------------------------------------===//
#ifndef TRQSOCKSENDACTION_H
#define TRQSOCKSENDACTION_H

#include "rklcore.h"
#include "supervision/TRQAction.h"

#include <cstdint>
#include <string>

class TRQLogger;
class TRQSocketCommand;

class TRQSockSendAction : public TRQAction {
public:
  /// The reply's time limit when `sockIOTimeoutSec` is absent.
  static constexpr int DefaultIOTimeoutSec = 60;
  /// The most reply bytes that one exchange reads (1 MiB): a larger
  /// responseSize reads this many, so that a mistyped size cannot make every
  /// ping allocate and clear gigabytes.
  static constexpr int MaxReadSize = 1024 * 1024;

  TRQSockSendAction();
  /// Deletes the command, which closes any handle still open.
  ~TRQSockSendAction() override;

  /// Throws TRQBadConfigException when `URI` or `commandString` is missing.
  void configure(RKLIDOM_Element element) override;
  /// One exchange; the result as above.
  int64_t doExecute() override;

  TRQSocketCommand *getCommand() const { return m_pCommand; }
  /// From any thread, without the action's lock: ends the exchange in
  /// flight, also one that has not connected yet (it then fails as an
  /// unanswered one); `forGood`: every later exchange fails at once too.
  void cancel(bool forGood);
  int getResponseSize() const { return m_responseSize; }
  const std::string &getResponseOK() const { return m_sResponseOK; }
  const std::string &getResponseFatal() const { return m_sResponseFatal; }
  const std::string &getResponseRetry() const { return m_sResponseRetry; }
  /// Judges a reply of `length` bytes (NUL-terminated, control bytes already
  /// blanked) by the markers: `length` itself, -2, -3 or -4 as above.
  int64_t classifyReply(const char *reply, int length) const;

private:
  /// Reads one marker attribute into `marker`: its text when it fits
  /// responseSize, else empty with `tooLong` set. False when it is absent.
  bool readMarker(const RKLIDOM_Element &element, const char *name, std::string &marker, bool &tooLong) const;

  TRQSocketCommand *m_pCommand = nullptr;
  int m_responseSize = 0;
  std::string m_sResponseOK;
  std::string m_sResponseFatal;
  std::string m_sResponseRetry;
  RKLThreadMutex m_mutex{0};

  static TRQLogger *s_logger;
};

#endif // TRQSOCKSENDACTION_H
