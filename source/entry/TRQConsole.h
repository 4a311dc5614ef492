//===- TRQConsole.h - The console window and the usage texts --------------===//
//
// The program is a graphical-subsystem program on Windows and starts without
// a console; this class makes one on demand and writes the usage texts and
// the messages meant for the person at the command line. Without an open
// console those texts are dropped: a service started by the service manager
// or a script that did not ask for a console shows nothing. One instance per
// process, created on first use and never destroyed.
//
// Where there are no console windows (Linux) the console is the process's
// standard error, and the pause at exit waits only for a person at a
// terminal.
//
//===----------------------------------------------------------------------===//
#ifndef TRQCONSOLE_H
#define TRQCONSOLE_H

#include "console.h"

#include <cstdint>

class RKLByteBuffer;
class TRQLogger;

class TRQConsole {
public:
  static TRQConsole *getInstance();
  virtual ~TRQConsole();
  TRQConsole(const TRQConsole &) = delete;
  TRQConsole &operator=(const TRQConsole &) = delete;

  /// Makes the console, once: while a console is held, nothing happens. A
  /// failure is logged and leaves no console, so the next call tries again.
  void open();
  /// The same, without the "Press Enter to continue." pause at exit.
  void openNoPause();
  /// Writes the text (without its terminator) when a console is open.
  void write(const char *text);
  /// Writes the buffer's pcount() bytes when a console is open.
  void write(const RKLByteBuffer &buffer);
  /// Shows "Press Enter to continue." and waits for Enter, when a console
  /// is open and its pause flag is set.
  void pauseAtExit();
  void printServiceUsage();
  void printDaemonUsage();

  /// The usage texts, appended to `buffer` as the print operations write
  /// them.
  static void buildServiceUsage(RKLByteBuffer &buffer);
  static void buildDaemonUsage(RKLByteBuffer &buffer);

  bool isOpen() const { return m_window.isOpen(); }
  /// The console's output handle; -1 while no console is open.
  intptr_t outputHandle() const { return m_window.nativeHandle(); }
  int pauseFlag() const { return m_bPause; }

private:
  TRQConsole() = default;
  static TRQLogger *s_logger;
  int m_bPause = 1;
  platform::ConsoleWindow m_window;
};

#endif // TRQCONSOLE_H
