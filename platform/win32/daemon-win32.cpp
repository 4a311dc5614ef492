//===- daemon-win32.cpp - No detached daemon on Windows -------------------===//
//
// On Windows the program runs in the background as a service; the daemon
// commands have nothing to work with here.
//
//===----------------------------------------------------------------------===//
#include "daemon.h"

#include <windows.h>

namespace platform {

int startDetachedProgram(const std::vector<std::string> &, const std::string &, int &pid) {
  pid = 0;
  return ERROR_NOT_SUPPORTED;
}

bool isThisProgramRunning(int) { return false; }

int requestProgramStop(int) { return ERROR_NOT_SUPPORTED; }

} // namespace platform
