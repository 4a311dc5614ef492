//===- TRQConsole.h - The console window and the usage texts --------------===//
//
// The program is a graphical-subsystem program on Windows and starts without
// a console; this class makes one on demand and writes the usage texts and
// the messages meant for the person at the command line. One instance per
// process, created on first use and never destroyed.
//
// This build keeps the operations as named steps only: no console is made
// and nothing is written yet.
//
//===----------------------------------------------------------------------===//
#ifndef TRQCONSOLE_H
#define TRQCONSOLE_H

class RKLByteBuffer;
class TRQLogger;

class TRQConsole {
public:
  static TRQConsole *getInstance();
  virtual ~TRQConsole();

  /// Makes the console window, once.
  void open();
  /// The same, without the "Press Enter to continue." pause at exit.
  void openNoPause();
  void write(const char *text);
  void write(const RKLByteBuffer &buffer);
  /// Waits for Enter when a console is open and its pause flag is set.
  void pauseAtExit();
  void printServiceUsage();
  void printDaemonUsage();

private:
  TRQConsole() = default;
  static TRQLogger *s_logger;
  int m_bPause = 1;
};

#endif // TRQCONSOLE_H
