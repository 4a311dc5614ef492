//===- TRQLogSink.h - One output stream of the logger factory -------------===//
#ifndef TRQLOGSINK_H
#define TRQLOGSINK_H

#include <cstdio>

/// A stream that log lines are written to. The factory closes it only when it
/// opened it itself (`owned`); standard output and standard error are never
/// closed.
struct TRQLogSink {
  FILE *stream = nullptr;
  int owned = 0;
};

#endif // TRQLOGSINK_H
