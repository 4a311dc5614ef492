//===- rkltime-posix.cpp - asctime text by localtime_r and asctime_r ----===//
#include "rkltime.h"

#include <cstring>
#include <ctime>

int64_t rklCurrentTime() { return static_cast<int64_t>(std::time(nullptr)); }

void rklLocalAsctime(int64_t seconds, char (&buffer)[RKL_ASCTIME_SIZE]) {
  static const char unknown[] = "??? ??? ?? ??:??:?? ????\n";
  time_t value = static_cast<time_t>(seconds);
  struct tm local{};
  // asctime_r() writes at most 26 bytes only for four-digit years; a larger
  // year would overrun the buffer, so such times count as unconvertible.
  if (!localtime_r(&value, &local) || local.tm_year < -1900 || local.tm_year > 9999 - 1900 ||
      !asctime_r(&local, buffer)) {
    std::memcpy(buffer, unknown, sizeof unknown);
  }
}
