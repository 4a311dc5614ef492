//===- TRQText.cpp - Numbers read from configuration texts, atoi-style ----===//
#include "support/TRQText.h"

#include <climits>

int TRQText::toInt(const char *text) {
  if (!text)
    return 0;
  const char *p = text;
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r')
    ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  // Accumulated as a magnitude that stops growing once it is past every int,
  // so that no digit string, however long, can overflow.
  long long magnitude = 0;
  const long long limit = static_cast<long long>(INT_MAX) + 1;
  while (*p >= '0' && *p <= '9') {
    if (magnitude <= limit)
      magnitude = magnitude * 10 + (*p - '0');
    ++p;
  }
  if (negative)
    return magnitude >= limit ? INT_MIN : static_cast<int>(-magnitude);
  return magnitude > INT_MAX ? INT_MAX : static_cast<int>(magnitude);
}
