//===- TRQDaemonCommands.h - The daemon flavour's commands ----------------===//
//
// -start, -stop, -restart and -isRunning of the daemon flavour (-fakeUnix):
// the service runs as a detached background copy of this program
// ("runAsDaemon"), found again through the process-id file that its Run
// writes. A process id read from that file is only ever signalled when it
// still names a running copy of this program.
//
//===----------------------------------------------------------------------===//
#ifndef TRQDAEMONCOMMANDS_H
#define TRQDAEMONCOMMANDS_H

#include "rklcore.h"

#include <string>

class TRQBootstrapService;
class TRQCmdLine;

class TRQDaemonCommands {
public:
  TRQDaemonCommands(TRQBootstrapService &service, const TRQCmdLine &cmdLine);

  /// Carries out the command on the command line; its exit code is stored in
  /// the service's status record. 1 when the line held one of the commands,
  /// 0 otherwise.
  int run();

  /// Starts the background copy and waits until its children answer: 0 when
  /// ready, otherwise non-zero.
  int start();
  /// Stops the running copy and waits until it has ended: 0 when it ended or
  /// was not running, otherwise non-zero.
  int stop();
  /// 0 when a copy runs, 1 otherwise.
  int isRunning();

  /// The process id of the running copy, or 0 when none runs.
  int runningProcessId();

private:
  /// Logs the message; a failure is also shown on the console and on
  /// standard error, while the outcome of a command that went well is told
  /// by its exit code alone.
  void report(bool failure, const char *format, ...) RKL_PRINTF_FORMAT(3, 4);
  int intOption(const char *name, int fallback) const;

  TRQBootstrapService &m_service;
  const TRQCmdLine &m_cmdLine;
  std::string m_sProcessIdFileName;
};

#endif // TRQDAEMONCOMMANDS_H
