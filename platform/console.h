//===- console.h - Console control events, sent to children and received --===//
//
// Console control events are how a console program is asked to stop: event 0
// is Ctrl+C, 1 is Ctrl+Break, 2 is the console being closed. The service
// sends them to a child's process group to stop it, and receives them itself
// when it runs in the foreground.
//
// Windows: the console's own events (GenerateConsoleCtrlEvent,
// SetConsoleCtrlHandler). The functions that not every system offers
// (GetProcessId, NtQueryInformationProcess, AttachConsole) are looked up once
// in the modules already loaded, without loading anything.
//
// Linux: the events are signals. Sending: event 0 is SIGINT, event 1 SIGTERM,
// addressed to the whole process group. Receiving: SIGINT is event 0,
// SIGQUIT event 1, SIGHUP and SIGTERM event 2.
//
// Failures are results; lastControlError() then holds the native code
// (errno / GetLastError()) of the calling thread's last failure here.
//
//===----------------------------------------------------------------------===//
#ifndef PLATFORM_CONSOLE_H
#define PLATFORM_CONSOLE_H

#include "processes.h"

#include <cstddef>
#include <cstdint>

namespace platform {

/// The console control events.
constexpr int CtrlCEvent = 0;
constexpr int CtrlBreakEvent = 1;
constexpr int CtrlCloseEvent = 2;

//===--- Sending ----------------------------------------------------------===//

/// The process id of a started process, whose process group bears the same
/// id; 0 when none can be found (a handle below 1 never names a process).
int controlEventProcessId(ProcessHandle handle);
/// Attaches this process to the console of `processId` so that events can be
/// sent there. 1 when the attachment could be attempted (its outcome is not
/// reported: an event may reach the group anyway), 0 when the system offers
/// no way to attach. Linux has no consoles to attach to: always 1.
/// Detaches first from the console of a child attached to before; while
/// attached, this process ignores Ctrl+C and its own handler is not called.
int attachToConsoleOf(int processId);
/// Leaves the console of a child that attachToConsoleOf attached to, and
/// restores this process's own handling of the events; 1 when there was
/// nothing to leave or it was left, 0 on failure. Linux: always 1.
int detachFromConsole();
/// Whether this process is attached to a child's console now.
bool attachedToChildConsole();
/// Sends `event` to the process group `processGroupId`; nonzero when sent.
/// A group id below 1 fails (EINVAL / ERROR_INVALID_PARAMETER): it would
/// address this process's own group, its console or every process.
/// Linux: events other than 0 and 1 fail with EINVAL; a group without
/// processes fails with ESRCH.
int generateControlEvent(int event, int processGroupId);
/// The native code of the calling thread's last failure in this layer.
int lastControlError();

//===--- Receiving --------------------------------------------------------===//

/// Called with the event type; nonzero when the event was dealt with, 0 to
/// let the system's default act (which ends the process for most events).
using ConsoleControlHandler = int (*)(unsigned controlType);

/// Makes `handler` receive this process's console control events, each on a
/// new thread of its own, so that a later event is handled even while an
/// earlier one still runs. Calling it again only replaces the handler.
///
/// Linux: call it before any other thread starts. The four signals are
/// blocked in the calling thread, so every thread created afterwards inherits
/// the block, and one dedicated thread takes them with sigwait (children get
/// an empty mask when they start). A signal that was ignored when the handler
/// was installed stays ignored (as SIGHUP under nohup). When the handler
/// returns 0, the signal's default action follows.
void installConsoleControlHandler(ConsoleControlHandler handler);

//===--- The console window -------------------------------------------------===//
//
// Windows: the program is built for the graphical subsystem and has no
// console until it makes one with AllocConsole; its texts go to the new
// console's standard error handle, and the pause reads the console's input
// in line mode.
//
// Linux has no console windows: the program runs in a terminal or under a
// service manager, and "the console" is the process's standard error. The
// pause is only possible when standard input is a terminal, so that a
// script or a service manager is never held up waiting for a key.

/// What ConsoleWindow::open() met.
enum class ConsoleOpenResult {
  Opened,        ///< a console is there to write to
  AllocFailed,   ///< no console could be made (lastConsoleError() says why)
  NoOutputHandle ///< the console has no handle to write to
};

/// What readConsoleLine() met.
enum class ConsoleReadResult {
  Read,          ///< the person pressed Enter (or the input ended)
  NoInputHandle, ///< there is no input to read from
  NotInteractive ///< the input is not a person at a terminal (Linux)
};

/// The console's output, held for the rest of the process. A held handle is
/// released by the destructor when this object owns it (Linux: a
/// close-on-exec duplicate of standard error; Windows: the console's own
/// standard handle, which belongs to the process and is left open).
class ConsoleWindow {
public:
  ConsoleWindow() = default;
  ~ConsoleWindow();
  ConsoleWindow(const ConsoleWindow &) = delete;
  ConsoleWindow &operator=(const ConsoleWindow &) = delete;

  /// Makes the console and takes its output handle. Does nothing (Opened)
  /// when a handle is already held.
  ConsoleOpenResult open();
  bool isOpen() const { return m_handle != InvalidHandle; }
  /// The held handle (a descriptor on Linux, a HANDLE on Windows); -1 when
  /// none is held.
  intptr_t nativeHandle() const { return m_handle; }
  /// Writes all `size` bytes; false when no handle is held or a write failed
  /// (lastConsoleError()). Never raises a signal on a closed pipe.
  bool write(const char *data, size_t size);

private:
  static constexpr intptr_t InvalidHandle = -1;
  intptr_t m_handle = InvalidHandle;
  bool m_owned = false;
};

/// Waits for the person at the console to press Enter; what was typed is
/// discarded. Windows: one byte read from the standard input handle (the
/// console's line mode returns it once Enter is pressed). Linux: only when
/// standard input is a terminal, everything up to the end of the line, so
/// that nothing typed is left over for the shell.
ConsoleReadResult readConsoleLine();
/// Whether readConsoleLine() would wait for a person (Linux: standard input
/// is a terminal; Windows: always).
bool consoleInputIsInteractive();
/// The native code of the calling thread's last console failure.
int lastConsoleError();

} // namespace platform

#endif // PLATFORM_CONSOLE_H
