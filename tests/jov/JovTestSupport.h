//===- JovTestSupport.h - Library loader and child processes for tests_jov -===//
//
// The suite binds the built JOV library at run time through its exported
// names, as the service does, and starts trqtestchild as a real process that
// serves loopback sockets.
//
//===----------------------------------------------------------------------===//
#ifndef JOVTESTSUPPORT_H
#define JOVTESTSUPPORT_H

#include "TestSupport.h"
#include "dynlib.h"
#include "jov/JOV_Crypto_Interface.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace jovtest {

/// The session configuration document, as the service sends it, for a family.
std::string sessionDocument(const std::string &family);

/// The JOV library of the build, bound through its exports.
struct JovLibrary {
  platform::DynamicLibrary library;
  JOV_PFN_CryptoInitialize CryptoInitialize = nullptr;
  JOV_PFN_CryptoTerminate CryptoTerminate = nullptr;
  JOV_PFN_CryptoFree CryptoFree = nullptr;
  JOV_PFN_CryptoGetLastErrorDetails CryptoGetLastErrorDetails = nullptr;
  JOV_PFN_Socket Socket = nullptr;
  JOV_PFN_Connect_Url Connect_Url = nullptr;
  JOV_PFN_EstablishSecure EstablishSecure = nullptr;
  JOV_PFN_Send Send = nullptr;
  JOV_PFN_Recv Recv = nullptr;
  JOV_PFN_Poll Poll = nullptr;
  JOV_PFN_CloseHandle CloseHandle = nullptr;

  /// Loads `baseName` + the system's suffix from the bin folder; false with
  /// the reason in `error` when the file or one of the called exports is missing.
  bool load(const std::string &baseName, std::string &error);
  /// The details text, released to the library; "" for null.
  std::string take(char *details) const;
  /// JOV_CryptoGetLastErrorDetails of `handle`, as text.
  std::string lastError(JOV_HANDLE handle) const;
};

/// The path of a library of the build: bin folder, `baseName`, suffix.
std::string libraryPath(const std::string &baseName);

/// A process started by the test and ended, at the latest, by the destructor.
class ChildProcess {
public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess &) = delete;
  ChildProcess &operator=(const ChildProcess &) = delete;

  /// Starts `program` with `args` (without the program's name), inheriting
  /// no handles and, on Linux, with no signal blocked or ignored. With
  /// `newGroup` the process leads a new process group.
  bool start(const std::string &program, const std::vector<std::string> &args, std::string &error,
             bool newGroup = false);
  /// The exit code once the process has ended within `timeout` (on Linux
  /// 128 + the signal for a process ended by one), or nothing.
  std::optional<int> wait(std::chrono::milliseconds timeout);
  /// Ends the process at once (SIGKILL, TerminateProcess) and collects it.
  void kill();
  long pid() const { return m_pid; }
#ifndef _WIN32
  /// Sends `signal` to the process.
  void signal(int signal);
#endif

private:
  long m_pid = 0;
  bool m_running = false;
  std::optional<int> m_exitCode;
#ifdef _WIN32
  void *m_process = nullptr;
#endif
};

/// Starts trqtestchild with `args`; false with `error` on failure.
bool startTestChild(ChildProcess &child, const std::vector<std::string> &args, std::string &error,
                    bool newGroup = false);
/// Starts trqtestchild as a server ("--listen=0 --port-file=..." plus
/// `args`) and returns its port once the port file is written, or 0.
int startServer(ChildProcess &child, const testsupport::TempDir &dir, const std::vector<std::string> &args,
                std::string &error);

/// The value of "key=value" in a record file's text, or nothing.
std::optional<std::string> recordValue(const std::string &record, const std::string &key);
/// True when the record holds the line `line` exactly.
bool hasLine(const std::string &text, const std::string &line);

/// Sets or removes an environment variable of the test process.
void setEnvironment(const std::string &name, const std::optional<std::string> &value);

} // namespace jovtest

#endif // JOVTESTSUPPORT_H
