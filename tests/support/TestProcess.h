//===- TestProcess.h - Running the built programs from tests --------------===//
//
// Starts a program of the build (the service, the test child) in a chosen
// working directory, waits for it with a bound, and kills what outlives the
// test.
//
//===----------------------------------------------------------------------===//
#ifndef TESTPROCESS_H
#define TESTPROCESS_H

#include "processes.h"

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

/// A started program; killed (with its process group) when the object goes
/// while it still runs.
class TestProcess {
public:
  /// `args[0]` is the program's path; the others its arguments, passed
  /// unchanged (quoted for Windows as needed). The program starts in `cwd`.
  TestProcess(const std::vector<std::string> &args, const std::filesystem::path &cwd);
  ~TestProcess();
  TestProcess(const TestProcess &) = delete;
  TestProcess &operator=(const TestProcess &) = delete;

  bool started() const { return m_handle != platform::NoProcess; }
  int startError() const { return m_startError; }
  int pid() const { return m_pid; }
  platform::ProcessHandle handle() const { return m_handle; }
  /// True while the program runs.
  bool running();
  /// Waits at most `timeout` for the program to end; its exit code, or -1
  /// when it did not end in time.
  int wait(std::chrono::milliseconds timeout);
  /// Ends the program (and its process group) by force.
  void kill();

private:
  platform::ProcessHandle m_handle = platform::NoProcess;
  int m_pid = 0;
  int m_startError = 0;
  int m_exitCode = -1;
};

/// Runs a program to its end (at most `timeout`) and gives its exit code, or
/// -1 when it could not start or did not end in time.
int runProgram(const std::vector<std::string> &args, const std::filesystem::path &cwd,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(60000));

/// The Windows command line for `args`: each argument quoted when it holds a
/// blank or a quote.
std::string commandLineOf(const std::vector<std::string> &args);

} // namespace testsupport

#endif // TESTPROCESS_H
