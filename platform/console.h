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

} // namespace platform

#endif // PLATFORM_CONSOLE_H
