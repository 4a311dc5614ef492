//===- TRQMain.h - The program's portable entry and its dispatcher --------===//
//
// Both system entries (WinMain on Windows, main on Linux) hand their command
// line to TRQMain::run, which sets the process up, dispatches the command and
// tears the process down again; its result is the program's exit code, which
// is always the Win32 exit code of the service's status record.
//
//===----------------------------------------------------------------------===//
#ifndef TRQMAIN_H
#define TRQMAIN_H

class TRQBootstrapService;
class TRQCmdLine;

class TRQMain {
public:
  /// Windows: the command string without the program's name.
  static int run(const char *commandString);
  /// Linux: the argument vector; argv[0] is the program's name.
  static int run(int argc, char **argv);

  /// Routes a command line: 0 when it has no options at all (the service
  /// manager starts the program so), otherwise 1.
  static int dispatch(TRQBootstrapService &service, const TRQCmdLine &cmdLine);
  /// The section of the logging configuration that the command line's
  /// command uses: "start", "stop", "isrunning", "run" or "default".
  static const char *loggingSection(const TRQCmdLine &cmdLine);
  /// Stores the property of every "$$name=value" option (names longer than
  /// 1023 characters are refused with an ERROR line); returns how many.
  static int setPropertyOptions(const TRQCmdLine &cmdLine);
  /// The daemon flavour's commands (-fakeUnix): 1 when one was accepted.
  static int handleUnixCommand(TRQBootstrapService &service, const TRQCmdLine &cmdLine);
  /// The service flavour's commands: 1 when one was accepted.
  static int handleServiceCommand(TRQBootstrapService &service, const TRQCmdLine &cmdLine);
  /// Runs the program as the service under the service manager; returns
  /// when the service has stopped.
  static void startServiceDispatcher(TRQBootstrapService &service);

  /// The console's control events: Ctrl-C (0) and the console being closed
  /// (2) stop the service; the first two call OnStop and return nonzero, the
  /// third ends the process at once with exit code 0. Other events return 0,
  /// so that the next handler acts.
  static int consoleControlHandler(unsigned controlType);
  /// For tests: how the third event ends the process (at once, without
  /// destroying static objects, by default) and the event counter.
  static void setExitFunction(void (*exitFunction)(int));
  static void resetControlEventCounter();

private:
  static int entry(TRQCmdLine *(*makeCmdLine)(const void *), const void *source);
};

#endif // TRQMAIN_H
