//===- TRQBootstrapService.h - The bootstrap service ----------------------===//
//
// The one service object of the process: owns the supervised child processes
// and the supervisor thread, starts the children, waits until they are ready
// and parks the main thread until a stop request has stopped them. It also
// carries the start-up steps that turn the installation's settings into
// properties (environment file, installation paths, startup configuration).
//
//===----------------------------------------------------------------------===//
#ifndef TRQBOOTSTRAPSERVICE_H
#define TRQBOOTSTRAPSERVICE_H

#include "ntservice/TRQNTService.h"
#include "rklcore.h"
#include "rklidom.h"
#include "supervision/PingChildProcess.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class TRQChildProcess;
class TRQLogger;
class TRQSpawnAction;

class TRQBootstrapService : public TRQNTService {
public:
  TRQBootstrapService();
  /// Ends the supervisor thread first (without stopping the children), then
  /// deletes every child record; the processes themselves are left alone.
  ~TRQBootstrapService() override;

  int OnUserControl(unsigned code) override;
  /// The readiness test of the start command: testReadyByPingingWin.
  int testReady(int tries, int intervalSec) override;
  /// Starts the children in order, writes the process-id file, starts the
  /// supervisor and waits until the children are ready; then parks until a
  /// stop request has stopped them. Returns at once after starting the
  /// supervisor when the bootstrap file asks for no readiness wait.
  void Run() override;
  /// Chooses, reads and applies the bootstrap file; 1 when the service can
  /// run.
  int OnInit() override;
  /// Stops the children and wakes Run; returns when they are down. A request
  /// that comes while an earlier one is still stopping waits for that one.
  void OnStop() override;

  /// Asks the supervisor every `intervalSec` seconds whether the children
  /// are ready: 1 ready, 0 gave up, -1 fatal (the supervisor is then told to
  /// stop everything and wake Run).
  int askPCPifReady(int tries, int intervalSec);
  /// Pings every child until all answer: 0 ready, -1 not.
  int testReadyByPingingWin(int tries, int intervalSec);
  /// Reads the bootstrap file's document element: the service's settings,
  /// the supervisor's, one child per process element and the daemon spawn
  /// action. 1 when read, 0 when a required part is missing.
  int loadBootstrapConfig(const RKLIDOM_Element &root);
  /// Records the service's process id in the process-id file.
  void writeProcessIdFile();
  /// The bootstrap file's prefix for the service class (and the installed
  /// components); `daemonWaitTest` tells whether that class looks at the
  /// daemon-wait marker file.
  static std::string bootstrapPrefix(bool &daemonWaitTest);
  /// The process-id file that a run without -config writes in the
  /// installation `installPath`.
  static std::string standardProcessIdFileName(const std::string &installPath);

  // Start-up steps that the dispatcher (console runs) and the service's own
  // initialisation (service runs) call, in that order.
  /// Applies the installation's environment-variables file to the process.
  void setEnvironment();
  /// Logs the environment lines that setEnvironment applied.
  void listEnvironment();
  /// In a service started by the service manager: the installation folder,
  /// bin folder and service class recorded at installation.
  void findServiceHome();
  /// Finds the installation and bin folders and stores them as the
  /// properties install_path and bin_path; 1 when both were found.
  int resolveInstallPaths();
  /// Finds the service's own section of the startup configuration; 1 when
  /// found.
  int initTRQElement();
  /// The text of the startup parameter `name` whose value has the type
  /// `type`, below the service's section; 1 and `value` set when found, 0
  /// (and `value` unchanged) otherwise.
  int getStartupParameter(I18NString &value, const char *name, const char *type);
  /// Stores the startup configuration's settings as properties; reads the
  /// Java properties file last.
  void readStartupConfig();
  /// Stores java_vendor and java_version from the Java properties file in
  /// the temporary folder, when the Java home it names exists.
  void readJavaProperties();
  /// Derives the dispatcherMaxMemoryBy2/3/4 properties from
  /// dispatcherMaxMemory.
  void addMaxMemoryFractions();

  const std::string &getInstallPath() const { return m_sInstallPath; }
  const std::string &getBinPath() const { return m_sBinPath; }
  void setInstallPath(const std::string &path) { m_sInstallPath = path; }
  void setBinPath(const std::string &path) { m_sBinPath = path; }

  /// Appends a child to the supervised list and takes ownership of it; the
  /// list keeps the order of the calls.
  void addChild(TRQChildProcess *child);
  const std::vector<TRQChildProcess *> &getChildren() const { return m_children; }
  PingChildProcess &getSupervisor() { return m_pingChildProcess; }
  TRQSpawnAction *getDaemonSpawnAction() const { return m_pDaemonSpawnAction; }
  const std::string &getProcessIdFileName() const { return m_sProcessIdFileName; }
  int getStartupDelayMs() const { return m_startupDelayMs; }
  int getPcpRetries() const { return m_pcpRetries; }
  int getPcpRetryIntervalSec() const { return m_pcpRetryIntervalSec; }

  static TRQLogger *s_logger;
  /// The lines that the last setEnvironment that found the file applied (at
  /// most 19), null-terminated; null before. For the dispatcher's log only.
  static char **m_envp;

private:
  std::string m_sInstallPath;
  std::string m_sBinPath;
  std::string m_sProcessIdFileName;
  std::string m_sDaemonWaitFileName;
  TRQSpawnAction *m_pDaemonSpawnAction = nullptr;
  /// Created by Run (once) and owned by the service; a stop request posts it
  /// through the atomic pointer, which other threads read.
  std::unique_ptr<RKLThreadSemaphore> m_mainThreadWaitOwner;
  std::atomic<RKLThreadSemaphore *> m_semaMainThreadWait{nullptr};
  std::vector<TRQChildProcess *> m_children;
  PingChildProcess m_pingChildProcess;
  RKLIDOM_Element m_startupElement;
  int m_startupDelayMs = 0;
  int m_pcpRetries = 150;
  int m_pcpRetryIntervalSec = 6;
  RKLThreadMutex m_mutex{0};
  /// Set by the first stop request; later ones wait on m_stopFinished.
  std::atomic<int> m_stopStarted{0};
  /// Held by Run while it starts one child, and taken by the first stop
  /// request once it has set m_stopStarted: after that no child is started.
  std::mutex m_startLock;
  /// Sleeps `ms` unless a stop has been requested; false when the sleep was
  /// cut short by one.
  bool sleepUnlessStopped(long ms);
  RKLThreadSemaphore m_stopFinished{0};
  /// Posted by the first stop request: wakes a sleepUnlessStopped at once,
  /// so that the sleep needs no polling.
  RKLThreadSemaphore m_stopWake{0};
};

#endif // TRQBOOTSTRAPSERVICE_H
