//===- TRQNTService.h - The service framework class -----------------------===//
//
// The base of the bootstrap service: its identity (name, class, description,
// version), its status record, and the virtual operations through which the
// service main, the console run and the service commands drive it. There is
// one such object per process; its constructor records it as "the" service,
// which is how the control handlers find it.
//
//===----------------------------------------------------------------------===//
#ifndef TRQNTSERVICE_H
#define TRQNTSERVICE_H

#include "rklcore.h"
#include "servicemanager.h"
#include "tslversion.h"

#include <atomic>
#include <functional>

class TRQLogger;
class TRQServiceStatusUpdater;

class TRQNTService {
public:
  static constexpr int MaxServiceName = 255;
  static constexpr int MaxServiceClass = 49;

  /// `serviceName` may be null (an empty name).
  explicit TRQNTService(const char *serviceName);
  /// Deletes the status updater, if any; an exception from that is swallowed.
  virtual ~TRQNTService();
  TRQNTService(const TRQNTService &) = delete;
  TRQNTService &operator=(const TRQNTService &) = delete;

  // The virtual operations, in the order the framework calls them by.
  /// A user-defined control code (128 or more); 1 when handled.
  virtual int OnUserControl(unsigned code);
  /// Tests whether the service's processes are ready: 0 ready, -1 not.
  virtual int testReady(int tries, int intervalSec);
  virtual void Run();
  /// Prepares a run; 1 when the service can run, 0 when not.
  virtual int OnInit();
  virtual void OnStop();
  virtual void OnInterrogate();
  virtual void OnPause();
  virtual void OnContinue();
  virtual void OnShutdown();

  /// Runs the service in the foreground: OnInit(), then, when it succeeded,
  /// the running state, `controlHandler` installed for the console's control
  /// events (Ctrl-C, the console closed), and Run(), which returns when the
  /// service has stopped.
  void consoleRun(int (*controlHandler)(unsigned controlType));

  // The service control commands. Each opens what it needs from the service
  // manager and closes it again on every path; failures are logged (and
  // printed, where the person at the command line must see them) with the
  // system's error code.
  /// 1 when the service manager knows the service, else 0.
  int isInstalled();
  /// 1 when the service is installed and has its registry key; `startMode`
  /// (may be null) then receives the key's "Start" value.
  int isRegistered(uint32_t *startMode);
  /// Installs the service with automatic or manual start: the entry, the
  /// description, the registry values "CurrentWorkingDir" and "ServiceClass"
  /// and the service file. 1 on success; 0 with the error code in
  /// platform::lastServiceError().
  int install(int autoStart);
  /// Deletes the service and its service file. 1 when deleted or already
  /// marked for deletion; 0 with the error code as for install.
  int uninstall();
  /// Starts the service and waits at most `timeLimitSec` for it to run, then
  /// tests the children's readiness: 0 started and ready, -1 not.
  int startService(int timeLimitSec);
  /// Stops the service and waits at most `timeLimitSec` for it to stop: 0
  /// stopped (or already stopped), -1 not.
  int stopService(int timeLimitSec);
  /// 0 when the service runs, -1 otherwise.
  int isRunningService();

  // Running under the service manager.
  /// Hands the main thread to the service manager, which runs serviceMain;
  /// returns when the service has stopped.
  void startServiceDispatcher();
  /// The service main: registers the control handler, initialises, runs
  /// until stopped and reports the stopped state.
  static void serviceMain(int argc, char **argv);
  /// The service manager's control requests. A stop request raises the check
  /// point and reports stop pending each time; the first one alone starts
  /// OnStop() on a thread of its own.
  static void serviceControlHandler(unsigned control);
  /// Creates and starts the status updater, then calls OnInit(); 1 when the
  /// service can run. On failure the updater has ended and the state is
  /// stopped.
  int initialise();
  /// For tests: the stop-request counter starts again at 1.
  static void resetStopRequestCounter();
  /// Set once OnInit() has failed or Run() has returned: nothing of this
  /// run will start the children any more.
  int hasRunEnded() const { return m_bRunEnded.load(); }

  /// The process's service: the last one constructed, null before and after.
  static TRQNTService *getService();
  /// Calls OnStop() of the process's service, for the control handlers; the
  /// service is not destroyed while the call runs. 0 when there is no
  /// service, else 1.
  static int stopService();

  /// Keeps at most 255 characters of `name` (null: empty).
  void setServiceName(const char *name);
  const char *getServiceName() const { return m_szServiceName; }
  /// Keeps at most 49 characters of `serviceClass` (null: empty).
  void setServiceClass(const char *serviceClass);
  const char *getServiceClass() const { return m_szServiceClass; }
  /// Keeps the caller's pointer; the text is not copied.
  void setDescription(const char *description) { m_pszDescription = description; }
  const char *getDescription() const { return m_pszDescription; }
  int getMajorVersion() const { return m_iMajorVersion; }
  int getMinorVersion() const { return m_iMinorVersion; }

  int isServiceMode() const { return m_bServiceMode; }
  void setServiceMode(int mode) { m_bServiceMode = mode; }
  int isRunning() const { return m_bIsRunning; }
  void setRunning(int running) { m_bIsRunning = running; }

  platform::ServiceStatus &getStatus() { return m_status; }
  const platform::ServiceStatus &getStatus() const { return m_status; }
  uint32_t getExitCode() const { return m_status.dwWin32ExitCode; }
  void setExitCode(uint32_t code) { m_status.dwWin32ExitCode = code; }

  void *getStatusHandle() const { return m_hServiceStatus; }
  void setStatusHandle(void *handle) { m_hServiceStatus = handle; }
  TRQServiceStatusUpdater *getStatusUpdater() const { return m_pStatusUpdaterThread.load(); }
  /// Takes ownership; an earlier updater is deleted.
  void setStatusUpdater(TRQServiceStatusUpdater *updater);

  /// The logger of the service framework and of its commands.
  static TRQLogger *s_logger;

  int getReadyTestTries() const { return m_iReadyTestTries; }
  int getReadyTestIntervalSec() const { return m_iReadyTestIntervalSec; }
  void setReadyTest(int tries, int intervalSec) {
    m_iReadyTestTries = tries;
    m_iReadyTestIntervalSec = intervalSec;
  }

  /// Formats into a byte buffer, logs it at `level` through this class's
  /// logger and writes it to the console (shown when one is open).
  void print(int level, const char *format, ...) RKL_PRINTF_FORMAT(3, 4);

protected:
  /// Applies `change` to the status record and, with `reportIt`, reports it:
  /// under the status updater's lock while there is an updater, whose thread
  /// refreshes the same record.
  void changeStatus(const std::function<void(platform::ServiceStatus &)> &change, bool reportIt);

  /// Detaches this service from the control handlers and waits until no
  /// handler's OnStop() runs on it any more. Destructors of derived services
  /// call it first, before their own members go; calling it again does
  /// nothing.
  void retire();

private:

  char m_szServiceName[MaxServiceName + 1];
  int m_iMajorVersion = TSL_VERSION_MAJOR;
  int m_iMinorVersion = TSL_VERSION_MINOR;
  char m_szServiceClass[MaxServiceClass + 1];
  void *m_hServiceStatus = nullptr;
  platform::ServiceStatus m_status;
  int m_bIsRunning = 0;
  /// Read by the control handler's thread while the service main sets it.
  std::atomic<TRQServiceStatusUpdater *> m_pStatusUpdaterThread{nullptr};
  const char *m_pszDescription = nullptr;
  int m_iReadyTestTries = 5;
  int m_iReadyTestIntervalSec = 2;
  int m_bServiceMode = 0;
  std::atomic<int> m_bRunEnded{0};
};

#endif // TRQNTSERVICE_H
