//===- TRQMain.h - The program's portable entry ---------------------------===//
//
// Both system entries (WinMain on Windows, main on Linux) hand their command
// line to TRQMain::run, which sets the process up, dispatches the command and
// tears the process down again; its result is the program's exit code.
//
//===----------------------------------------------------------------------===//
#ifndef TRQMAIN_H
#define TRQMAIN_H

class TRQMain {
public:
  /// Windows: the command string without the program's name.
  static int run(const char *commandString);
  /// Linux: the argument vector; argv[0] is the program's name.
  static int run(int argc, char **argv);
};

#endif // TRQMAIN_H
