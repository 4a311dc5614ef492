//===- main.cpp - The Linux program's entry -------------------------------===//
//
// A write to a pipe whose reader has gone (a log on standard output piped
// into "head", a closed terminal) would otherwise end the service with
// SIGPIPE and leave its children unsupervised; ignored, it becomes an EPIPE
// failure of that one write. Started programs get the default action back
// (the process layer resets every signal when it starts one).
//
//===----------------------------------------------------------------------===//
#include "entry/TRQMain.h"

#include <csignal>

int main(int argc, char **argv) {
  std::signal(SIGPIPE, SIG_IGN);
  return TRQMain::run(argc, argv);
}
