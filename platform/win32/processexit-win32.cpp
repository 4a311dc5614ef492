//===- processexit-win32.cpp - Ending the running program at once on Windows ===//
#include "processexit.h"

#include <windows.h>

namespace platform {

void endProcessNow(int code) {
  // Unlike ExitProcess, no library is told that the process detaches.
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
  ExitProcess(static_cast<UINT>(code));
}

} // namespace platform
