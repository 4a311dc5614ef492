//===- processexit-posix.cpp - Ending the running program at once on POSIX ===//
#include "processexit.h"

#include <unistd.h>

namespace platform {

void endProcessNow(int code) { ::_exit(code); }

} // namespace platform
