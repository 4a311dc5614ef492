//===- processexit.h - Ending the running program at once -----------------===//
//
// The way out of a program whose other threads may hold locks for ever (a
// write to a pipe that nobody reads holds its stream's lock): no exit
// handlers, no flushing of streams, and on Windows no clean-up of the
// loaded libraries either, which the C runtime's own exit still runs and
// which takes the locks of its streams.
//
//===----------------------------------------------------------------------===//
#ifndef PLATFORM_PROCESSEXIT_H
#define PLATFORM_PROCESSEXIT_H

namespace platform {

/// Ends the running program with `code`; does not return.
[[noreturn]] void endProcessNow(int code);

} // namespace platform

#endif // PLATFORM_PROCESSEXIT_H
