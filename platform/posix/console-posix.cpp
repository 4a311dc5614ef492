//===- console-posix.cpp - Console control events as signals on Linux -----===//
//
// Sending an event signals the child's whole process group, as the console
// event reaches every process of a group on Windows.
//
// The console is standard error; the pause reads a line from a terminal.
//
// Receiving: the signals are taken synchronously by one thread (sigwait), so
// the handler runs as ordinary code on a thread of its own and may block, log
// and take locks, which a signal handler could not.
//
//===----------------------------------------------------------------------===//
#include "console.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace platform {

namespace {

thread_local int t_lastError = 0;

int fail(int code) {
  t_lastError = code;
  return 0;
}

std::atomic<ConsoleControlHandler> g_handler{nullptr};
std::once_flag g_installed;
/// The signals that the dedicated thread takes; written before it starts.
sigset_t g_watched;

int eventOf(int signal) {
  switch (signal) {
  case SIGINT:
    return CtrlCEvent;
  case SIGQUIT:
    return CtrlBreakEvent;
  default: // SIGHUP, SIGTERM
    return CtrlCloseEvent;
  }
}

/// Runs the handler for one signal; when the handler leaves the event to the
/// system, the signal's default action follows on this thread.
void handleSignal(int signal) {
  ConsoleControlHandler handler = g_handler.load();
  if (handler && handler(static_cast<unsigned>(eventOf(signal))) != 0)
    return;
  struct sigaction defaults {};
  defaults.sa_handler = SIG_DFL;
  sigemptyset(&defaults.sa_mask);
  sigaction(signal, &defaults, nullptr);
  // Directed at this thread, so the watching thread's sigwait cannot take it.
  pthread_kill(pthread_self(), signal);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal);
  pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
}

void watchSignals() {
  for (;;) {
    int signal = 0;
    if (sigwait(&g_watched, &signal) != 0)
      continue;
    try {
      std::thread(handleSignal, signal).detach();
    } catch (const std::system_error &) {
      // No thread to be had: handle this event on the watching thread.
      handleSignal(signal);
    }
  }
}

void install() {
  sigemptyset(&g_watched);
  for (int signal : {SIGINT, SIGQUIT, SIGHUP, SIGTERM}) {
    struct sigaction current {};
    if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN)
      continue;
    sigaddset(&g_watched, signal);
  }
  pthread_sigmask(SIG_BLOCK, &g_watched, nullptr);
  std::thread(watchSignals).detach();
}

} // namespace

int controlEventProcessId(ProcessHandle handle) {
  if (handle < 1)
    return fail(EBADF);
  int pid = processId(handle);
  if (pid == 0)
    return fail(lastProcessError());
  return pid;
}

int attachToConsoleOf(int) { return 1; }

int detachFromConsole() { return 1; }

bool attachedToChildConsole() { return false; }

int generateControlEvent(int event, int processGroupId) {
  int signal;
  if (event == CtrlCEvent)
    signal = SIGINT;
  else if (event == CtrlBreakEvent)
    signal = SIGTERM;
  else
    return fail(EINVAL);
  if (processGroupId < 1)
    return fail(EINVAL);
  if (kill(-static_cast<pid_t>(processGroupId), signal) != 0)
    return fail(errno);
  return 1;
}

int lastControlError() { return t_lastError; }

//===----------------------------------------------------------------------===//
// The console: standard error and a terminal on standard input
//===----------------------------------------------------------------------===//

namespace {
thread_local int t_lastConsoleError = 0;
} // namespace

ConsoleWindow::~ConsoleWindow() {
  if (m_owned && m_handle != InvalidHandle)
    ::close(static_cast<int>(m_handle));
}

ConsoleOpenResult ConsoleWindow::open() {
  if (isOpen())
    return ConsoleOpenResult::Opened;
  // A duplicate, so that the texts keep their destination whatever becomes
  // of descriptor 2, and close-on-exec, so that no child inherits it.
  int fd = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  if (fd < 0) {
    t_lastConsoleError = errno;
    return ConsoleOpenResult::NoOutputHandle;
  }
  m_handle = fd;
  m_owned = true;
  return ConsoleOpenResult::Opened;
}

bool ConsoleWindow::write(const char *data, size_t size) {
  if (!isOpen() || (!data && size)) {
    t_lastConsoleError = EBADF;
    return false;
  }
  while (size > 0) {
    ssize_t written = ::write(static_cast<int>(m_handle), data, size);
    if (written < 0) {
      if (errno == EINTR)
        continue;
      t_lastConsoleError = errno;
      return false;
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

bool consoleInputIsInteractive() { return ::isatty(STDIN_FILENO) == 1; }

ConsoleReadResult readConsoleLine() {
  if (!consoleInputIsInteractive()) {
    // EBADF: no standard input at all; ENOTTY and the like: a file or pipe.
    t_lastConsoleError = errno;
    return errno == EBADF ? ConsoleReadResult::NoInputHandle : ConsoleReadResult::NotInteractive;
  }
  for (;;) {
    char byte = 0;
    ssize_t got = ::read(STDIN_FILENO, &byte, 1);
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0 || byte == '\n')
      return ConsoleReadResult::Read;
  }
}

int lastConsoleError() { return t_lastConsoleError; }

void installConsoleControlHandler(ConsoleControlHandler handler) {
  g_handler.store(handler);
  std::call_once(g_installed, install);
}

} // namespace platform
