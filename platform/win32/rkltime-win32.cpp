//===- rkltime-win32.cpp - asctime text by _localtime64_s and asctime_s -===//
#include "rkltime.h"

#include <cstring>
#include <ctime>

int64_t rklCurrentTime() { return static_cast<int64_t>(_time64(nullptr)); }

void rklLocalAsctime(int64_t seconds, char (&buffer)[RKL_ASCTIME_SIZE]) {
  static const char unknown[] = "??? ??? ?? ??:??:?? ????\n";
  __time64_t value = static_cast<__time64_t>(seconds);
  struct tm local{};
  if (_localtime64_s(&local, &value) != 0 || asctime_s(buffer, RKL_ASCTIME_SIZE, &local) != 0)
    std::memcpy(buffer, unknown, sizeof unknown);
}
