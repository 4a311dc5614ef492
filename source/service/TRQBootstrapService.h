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
#include "supervision/PingChildProcess.h"

#include <string>
#include <vector>

class TRQChildProcess;
class TRQLogger;

class TRQBootstrapService : public TRQNTService {
public:
  TRQBootstrapService();
  /// Ends the supervisor thread first (without stopping the children), then
  /// deletes every child record; the processes themselves are left alone.
  ~TRQBootstrapService() override;

  int OnUserControl(unsigned code) override;

  // Start-up steps that the dispatcher (console runs) and the service's own
  // initialisation (service runs) call, in that order.
  /// Applies the installation's environment-variables file to the process.
  void setEnvironment();
  /// Logs the environment lines that setEnvironment applied.
  void listEnvironment();
  /// Finds the installation and bin folders and stores them as the
  /// properties install_path and bin_path; 1 when both were found.
  int resolveInstallPaths();
  /// Finds the service's own section of the startup configuration; 1 when
  /// found.
  int initTRQElement();
  /// Stores the startup configuration's settings as properties.
  void readStartupConfig();
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

  static TRQLogger *s_logger;

private:
  std::string m_sInstallPath;
  std::string m_sBinPath;
  std::vector<TRQChildProcess *> m_children;
  PingChildProcess m_pingChildProcess;
  RKLThreadMutex m_mutex{0};
};

#endif // TRQBOOTSTRAPSERVICE_H
