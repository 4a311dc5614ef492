//===- TRQSpawnAction.h - Launching a configured program ------------------===//
//
// Configured from a `spawn` element: the program path (first `path` element
// below it, with `${name}` substitution; attribute quoteAsParam="true"
// quotes it in the argument list), `sync` (nonzero: wait for the program to
// end) and the `param` arguments. Executing it builds one command line (the
// path unquoted, then each argument after a blank, cut at an argument
// boundary to CommandLineCapacity characters) and starts the program in a
// new process group. An asynchronous launch returns the process handle; a
// synchronous one waits, keeps the exit code and returns -1, as does a
// launch that fails.
//
// A synchronous run may be given a time limit (setSyncWaitLimitMs): a
// program that outlives it is ended by force, with what it started, so that
// a hanging stop script cannot hold up the one who runs it. A cancel()
// from another thread ends a synchronous run in the same way at once (a
// hanging start script must not hold up the service's stop).
//
// The action never closes a handle on its own after an asynchronous launch:
// the owner closes it through closeProcessHandle() once it has seen the
// process end or killed it. Executing again starts a new process.
//
//===----------------------------------------------------------------------===//
#ifndef TRQSPAWNACTION_H
#define TRQSPAWNACTION_H

#include "supervision/TRQAction.h"
#include "supervision/TRQArgVector.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

class TRQLogger;

class TRQSpawnAction : public TRQAction {
public:
  /// Room for the command line, without its terminating NUL: the longest
  /// line that Windows accepts counts the NUL among its 32767 characters.
  static constexpr std::size_t CommandLineCapacity = 32766;
  /// How long a program ended by force may take to go.
  static constexpr int KillWaitMs = 10000;

  TRQSpawnAction();
  ~TRQSpawnAction() override;

  /// Throws TRQBadConfigException when the element has no `path` text.
  void configure(RKLIDOM_Element element) override;
  /// The launch; the process handle, or -1.
  int64_t doExecute() override;

  int64_t getProcessHandle() const { return m_hProcess; }
  int getExitCode() const { return m_exitCode; }
  /// Releases the process handle (an ERROR line when that fails); there is
  /// no handle afterwards in any case.
  void closeProcessHandle();
  /// Writes the launch description to the log at `level`, as one message.
  void describe(int level) const;

  const std::string &getPath() const { return m_path; }
  const TRQArgVector &getArgs() const { return m_args; }
  int getSync() const { return m_sync; }
  /// The longest a synchronous run is waited for, in ms; below 0 (the
  /// default) without limit.
  void setSyncWaitLimitMs(int limitMs) { m_syncWaitLimitMs = limitMs; }
  int getSyncWaitLimitMs() const { return m_syncWaitLimitMs; }
  /// From any thread: the synchronous run in progress, and every later
  /// one, is ended by force with what it started. An asynchronous launch
  /// is not affected.
  void cancel() { m_cancelled.store(true); }
  /// Whether the last execution started its program (a synchronous run
  /// returns -1 even then).
  bool getLastLaunchStarted() const { return m_lastLaunchStarted; }

private:
  TRQArgVector m_args;
  std::string m_path;
  int m_sync = 0;
  int64_t m_hProcess = -1;
  int m_exitCode = 0;
  int m_syncWaitLimitMs = -1;
  bool m_lastLaunchStarted = false;
  std::atomic<bool> m_cancelled{false};

  /// Waits for the synchronous run to end within its limit and until a
  /// cancel, ending it by force when it does not; false when it had to be
  /// ended.
  bool waitForSyncRun();

  static TRQLogger *s_logger;
};

#endif // TRQSPAWNACTION_H
