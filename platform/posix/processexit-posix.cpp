//===- processexit-posix.cpp - Ending the running program at once on POSIX ===//
#include "processexit.h"

#include <cstdlib>

namespace platform {

// _Exit, not _exit: the thread sanitizer's _exit does work of its own
// first, and a thread stuck in a write held that up.
void endProcessNow(int code) { std::_Exit(code); }

} // namespace platform
