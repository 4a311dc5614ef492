//===- daemon.h - The program as a detached background process ------------===//
//
// What the daemon commands need of the operating system: a second copy of
// the running program started apart from the caller's terminal, and a way to
// tell whether a recorded process id still names a copy of this program
// before anything is sent to it. A stale process-id file, or a process id
// that the system has given to another program since, must never receive a
// stop request.
//
// Linux: the copy runs in a session of its own, with its standard streams on
// /dev/null, every signal at its default action and none blocked; "this
// program" means a process whose executable is the very same file (device
// and inode) as the caller's; the stop request is SIGTERM.
// Windows: not available; every operation fails with ERROR_NOT_SUPPORTED.
//
//===----------------------------------------------------------------------===//
#ifndef PLATFORM_DAEMON_H
#define PLATFORM_DAEMON_H

#include <string>
#include <vector>

namespace platform {

/// Starts the running program again with `args` (without the program name)
/// in `workingDirectory`, detached from the caller. 0 with `pid` set, or the
/// native error code of the failed start.
int startDetachedProgram(const std::vector<std::string> &args, const std::string &workingDirectory, int &pid);
/// True when `pid` names a live process (not one that has ended and waits to
/// be collected) that runs this same program.
bool isThisProgramRunning(int pid);
/// Asks the process `pid` to stop (SIGTERM); 0, or the native error code.
int requestProgramStop(int pid);

} // namespace platform

#endif // PLATFORM_DAEMON_H
