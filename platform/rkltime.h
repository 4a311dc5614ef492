//===- rkltime.h - Local calendar time as the C library's asctime text ----===//
//
// The log line starts with the local time exactly as asctime() writes it.
// asctime() and localtime() share static buffers, so these functions use the
// re-entrant variant of each system instead and are safe on any thread.
//
//===----------------------------------------------------------------------===//
#ifndef RKLTIME_H
#define RKLTIME_H

#include <cstddef>
#include <cstdint>

/// Room for asctime's 24 characters, its newline and the NUL.
constexpr size_t RKL_ASCTIME_SIZE = 26;

/// Seconds since the epoch, as time() or _time64() give them.
int64_t rklCurrentTime();

/// Writes `seconds` converted to local time in asctime's layout, for example
/// "Wed Jan  2 02:03:55 1980\n" (the day of month is space-padded by the GNU
/// C library and zero-padded by the Windows run-time), NUL-terminated. A time
/// that cannot be converted gives "??? ??? ?? ??:??:?? ????\n", so the buffer
/// always holds a whole line.
void rklLocalAsctime(int64_t seconds, char (&buffer)[RKL_ASCTIME_SIZE]);

#endif // RKLTIME_H
