//===- console-win32.cpp - Console control events on Windows --------------===//
//
// The functions that older systems lack are found through GetModuleHandleA
// and GetProcAddress in kernel32.dll and ntdll.dll, which every process has
// loaded, so no module is loaded or counted. Each lookup is done once and its
// outcome kept for the life of the process; two threads looking up at the
// same moment find the same address, so a second lookup does no harm.
//
//===----------------------------------------------------------------------===//
#include "console.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstring>

namespace platform {

namespace {

thread_local int t_lastError = 0;

int fail(int code) {
  t_lastError = code;
  return 0;
}

/// One function looked up by name on first use.
class LateFunction {
public:
  LateFunction(const char *module, const char *name) : m_module(module), m_name(name) {}

  /// The address, or null (lookupError() tells why).
  FARPROC get() {
    if (!m_done.load(std::memory_order_acquire)) {
      HMODULE module = GetModuleHandleA(m_module);
      FARPROC address = module ? GetProcAddress(module, m_name) : nullptr;
      m_error.store(address ? 0 : static_cast<int>(GetLastError()), std::memory_order_relaxed);
      m_address.store(address, std::memory_order_relaxed);
      m_done.store(true, std::memory_order_release);
    }
    return m_address.load(std::memory_order_relaxed);
  }
  int lookupError() const { return m_error.load(std::memory_order_relaxed); }

private:
  const char *m_module;
  const char *m_name;
  std::atomic<FARPROC> m_address{nullptr};
  std::atomic<int> m_error{0};
  std::atomic<bool> m_done{false};
};

LateFunction g_getProcessId("kernel32.dll", "GetProcessId");
LateFunction g_ntQueryInformationProcess("ntdll.dll", "NtQueryInformationProcess");
LateFunction g_attachConsole("kernel32.dll", "AttachConsole");

using GetProcessIdFunction = DWORD(WINAPI *)(HANDLE);
using NtQueryInformationProcessFunction = LONG(NTAPI *)(HANDLE, ULONG, PVOID, ULONG, PULONG);
using AttachConsoleFunction = BOOL(WINAPI *)(DWORD);

/// A FARPROC as the function type it really has.
template <class F> F as(FARPROC address) {
  F function;
  static_assert(sizeof function == sizeof address);
  std::memcpy(&function, &address, sizeof function);
  return function;
}

std::atomic<ConsoleControlHandler> g_handler{nullptr};
std::atomic<bool> g_installed{false};
/// This process is attached to a child's console (not to one of its own).
std::atomic<bool> g_attachedToChild{false};

BOOL WINAPI onControlEvent(DWORD controlType) {
  ConsoleControlHandler handler = g_handler.load();
  return handler && handler(static_cast<unsigned>(controlType)) != 0 ? TRUE : FALSE;
}

} // namespace

int controlEventProcessId(ProcessHandle handle) {
  // -1 is the pseudo handle of this very process: never a child.
  if (handle < 1)
    return fail(ERROR_INVALID_HANDLE);
  HANDLE process = reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle));
  FARPROC getProcessId = g_getProcessId.get();
  FARPROC ntQuery = getProcessId ? nullptr : g_ntQueryInformationProcess.get();
  if (getProcessId) {
    DWORD id = as<GetProcessIdFunction>(getProcessId)(process);
    if (id == 0)
      return fail(static_cast<int>(GetLastError()));
    return static_cast<int>(id);
  }
  if (ntQuery) {
    // The basic information record: UniqueProcessId is the 64-bit word at
    // offset 32 of its 48 bytes.
    alignas(8) unsigned char information[48] = {};
    ULONG length = 0;
    LONG status = as<NtQueryInformationProcessFunction>(ntQuery)(process, 0, information, sizeof information, &length);
    if (status < 0)
      return fail(static_cast<int>(status));
    uint64_t id = 0;
    std::memcpy(&id, information + 32, sizeof id);
    if (static_cast<uint32_t>(id) == 0)
      return fail(ERROR_INVALID_HANDLE);
    return static_cast<int>(static_cast<uint32_t>(id));
  }
  return fail(g_ntQueryInformationProcess.lookupError());
}

int attachToConsoleOf(int processId) {
  FARPROC attachConsole = g_attachConsole.get();
  if (!attachConsole)
    return fail(g_attachConsole.lookupError());
  // A process has one console at a time: the console of the child signalled
  // before would otherwise keep this one, and the next event go there.
  detachFromConsole();
  // An event sent on a child's console reaches every process attached to
  // it, this one too: while attached, Ctrl+C is ignored here and the
  // service's own handler is out of the way, so that the child's stop never
  // reads as a stop of the service.
  if (g_installed.load())
    SetConsoleCtrlHandler(onControlEvent, FALSE);
  SetConsoleCtrlHandler(nullptr, TRUE);
  if (as<AttachConsoleFunction>(attachConsole)(static_cast<DWORD>(processId))) {
    g_attachedToChild.store(true);
  } else {
    // Already on a console of its own (shared with its children), or the
    // child has none: nothing to undo but the handlers.
    SetConsoleCtrlHandler(nullptr, FALSE);
    if (g_installed.load())
      SetConsoleCtrlHandler(onControlEvent, TRUE);
  }
  return 1;
}

int detachFromConsole() {
  if (!g_attachedToChild.exchange(false))
    return 1;
  int result = FreeConsole() ? 1 : fail(static_cast<int>(GetLastError()));
  SetConsoleCtrlHandler(nullptr, FALSE);
  if (g_installed.load())
    SetConsoleCtrlHandler(onControlEvent, TRUE);
  return result;
}

bool attachedToChildConsole() { return g_attachedToChild.load(); }

int generateControlEvent(int event, int processGroupId) {
  // Group 0 would be every process of this console, the service included.
  if (processGroupId < 1)
    return fail(ERROR_INVALID_PARAMETER);
  if (!GenerateConsoleCtrlEvent(static_cast<DWORD>(event), static_cast<DWORD>(processGroupId)))
    return fail(static_cast<int>(GetLastError()));
  return 1;
}

int lastControlError() { return t_lastError; }

//===----------------------------------------------------------------------===//
// The console window
//===----------------------------------------------------------------------===//

namespace {
thread_local int t_lastConsoleError = 0;

bool usable(HANDLE handle) { return handle != INVALID_HANDLE_VALUE && handle != nullptr; }
} // namespace

// The handle is the console's standard handle, which the process's standard
// handle table owns; it stays open for whatever else writes to it.
ConsoleWindow::~ConsoleWindow() = default;

ConsoleOpenResult ConsoleWindow::open() {
  if (isOpen())
    return ConsoleOpenResult::Opened;
  if (!AllocConsole()) {
    t_lastConsoleError = static_cast<int>(GetLastError());
    return ConsoleOpenResult::AllocFailed;
  }
  // Standard error rather than standard output: the program's standard
  // output may carry the log (-stdoutLog), which must not mix with the
  // person's texts.
  HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
  if (!usable(handle)) {
    t_lastConsoleError = static_cast<int>(GetLastError());
    return ConsoleOpenResult::NoOutputHandle;
  }
  m_handle = reinterpret_cast<intptr_t>(handle);
  m_owned = false;
  return ConsoleOpenResult::Opened;
}

bool ConsoleWindow::write(const char *data, size_t size) {
  if (!isOpen() || (!data && size)) {
    t_lastConsoleError = ERROR_INVALID_HANDLE;
    return false;
  }
  HANDLE handle = reinterpret_cast<HANDLE>(m_handle);
  while (size > 0) {
    DWORD chunk = size > 0x10000000u ? 0x10000000u : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(handle, data, chunk, &written, nullptr) || written == 0) {
      t_lastConsoleError = static_cast<int>(GetLastError());
      return false;
    }
    data += written;
    size -= written;
  }
  return true;
}

bool consoleInputIsInteractive() { return true; }

ConsoleReadResult readConsoleLine() {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (!usable(input)) {
    t_lastConsoleError = static_cast<int>(GetLastError());
    return ConsoleReadResult::NoInputHandle;
  }
  // In the console's line mode the read returns once Enter is pressed; the
  // rest of the line goes with the console.
  char byte = 0;
  DWORD got = 0;
  if (!ReadFile(input, &byte, 1, &got, nullptr))
    t_lastConsoleError = static_cast<int>(GetLastError());
  return ConsoleReadResult::Read;
}

int lastConsoleError() { return t_lastConsoleError; }

void installConsoleControlHandler(ConsoleControlHandler handler) {
  g_handler.store(handler);
  if (!g_installed.exchange(true))
    SetConsoleCtrlHandler(onControlEvent, TRUE);
}

} // namespace platform
