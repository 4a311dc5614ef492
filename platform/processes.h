//===- processes.h - Starting, watching and ending child processes ----------===//
//
// The operating system's processes as the service uses them: each program is
// started in a new process group of its own (group id = its process id), so
// that a stop event or a kill reaches the program and whatever it starts, and
// nothing the service has open is handed to it. A process is held through a
// ProcessHandle until closeProcessHandle().
//
// Windows: the handle is the process HANDLE. Each started process is also put
// into a job object of its own, so that terminateProcess ends the processes
// it started as well; the job keeps no process alive and kills nothing when
// its handle is closed. A process that starts another in the instant between
// its creation and its assignment to the job leaves that one outside.
//
// Linux: the handle is the process id. The service itself is the only one
// that collects its children (waitpid), and only through this layer, which
// keeps each collected exit status in a locked table until the handle is
// closed, so that a collected process id is never signalled again (it could
// belong to another process by then). Closing the handle of a process that
// is still running keeps its entry as a reaper: the process is collected at
// a later call of this layer, so no zombie stays behind for long.
//
//===----------------------------------------------------------------------===//
#ifndef PLATFORM_PROCESSES_H
#define PLATFORM_PROCESSES_H

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

/// A started process; -1 stands for none.
using ProcessHandle = int64_t;
constexpr ProcessHandle NoProcess = -1;
/// The exit code that reads as "still running".
constexpr uint32_t StillActive = 259;

/// Starts a program in a new process group, with the service's environment
/// and working directory and none of its open files or handles (standard
/// input, output and error excepted on Linux).
/// Windows: `commandLine` is the whole command (the program is its first
/// word, found by the system's rules); `argv` is not used.
/// Linux: `argv` is the argument vector itself, never re-split; argv[0] is
/// the program, looked up on PATH when it holds no '/'; `commandLine` is not
/// used. The process starts with every signal at its default action and
/// none blocked.
/// Returns 0 with `handle` and `pid` set, or the native error code of the
/// failed start (GetLastError() / errno; 2 for a missing program on both).
/// `threadCloseError`, when given, receives 0, or the code of a failure to
/// close the new process's thread handle (Windows only; the start itself
/// has succeeded then).
int startProcess(const std::string &commandLine, const std::vector<std::string> &argv, ProcessHandle &handle,
                 int &pid, int *threadCloseError = nullptr);
/// The process id of a handle; 0 when unknown.
int processId(ProcessHandle handle);
/// The exit code: StillActive while the process runs; on Linux 128 + the
/// signal number for a process ended by a signal. False on failure
/// (lastProcessError()).
bool exitCode(ProcessHandle handle, uint32_t &code);
/// Blocks until the process has ended; false on failure.
bool waitForExit(ProcessHandle handle);
/// Waits at most `timeoutMs` for the process to end: 1 when it has ended
/// (Linux: and has been collected), 0 when it still runs, -1 on failure
/// (lastProcessError()).
int waitForExitFor(ProcessHandle handle, int timeoutMs);
/// Ends the process by force with `code` (Linux: SIGKILL to its whole process
/// group, so `code` is not what it reports; Windows: the process's job, or
/// the process alone when it has no job). A process that has already been
/// collected (Linux) is not signalled: false with ESRCH. False on failure.
bool terminateProcess(ProcessHandle handle, uint32_t code);
/// Releases the handle; -1 releases nothing and succeeds. False on failure.
bool closeProcessHandle(ProcessHandle handle);
/// The process id of the running program itself.
int currentProcessId();

/// The native code of the last failure of this layer on the calling thread.
int lastProcessError();

} // namespace platform

#endif // PLATFORM_PROCESSES_H
