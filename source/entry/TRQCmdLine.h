//===- TRQCmdLine.h - The program's options, in the order they were typed -===//
//
// Built once at program entry and only read afterwards. The model never
// rejects a command line: unknown, repeated and empty options are all kept,
// and the dispatcher decides what they mean. Names are matched ignoring case
// (ASCII), whole name against whole name; every lookup finds the first
// matching option at or after its start index.
//
//===----------------------------------------------------------------------===//
#ifndef TRQCMDLINE_H
#define TRQCMDLINE_H

#include "entry/TRQCmdLineOption.h"
#include "rklcore.h"

#include <string>
#include <vector>

class TRQLogger;

class TRQCmdLine {
public:
  /// From the command string of the Windows entry (without the program's
  /// name). Blanks separate tokens; inside double quotes a blank belongs to
  /// the token, and the quotes themselves are dropped. A null text gives no
  /// options. Logs the text and then the parsed list at DEBUG.
  explicit TRQCmdLine(const char *text);
  /// From an argument vector whose element 0 is the program's name and is
  /// skipped; the arguments are taken as they are. Logs nothing.
  TRQCmdLine(int argc, char **argv);
  virtual ~TRQCmdLine();
  TRQCmdLine(const TRQCmdLine &) = delete;
  TRQCmdLine &operator=(const TRQCmdLine &) = delete;

  int count() const { return static_cast<int>(m_options.size()); }

  /// The index of the first option at or after `start` named `name` (ignoring
  /// case), or -1. A negative start searches from 0.
  int findOption(const char *name, int start = 0) const;
  /// 1 and the value in `out` when the option is found and has a value; 0
  /// otherwise, with `out` left as it was.
  int getValue(const char *name, I18NString &out, int start = 0) const;
  int getValue(const char *name, std::string &out, int start = 0) const;
  /// 1 and the number in `out` when the option is found and its value is
  /// numeric (TRQCmdLineOption::isNumeric); 0 otherwise, with `out` left as
  /// it was. Values beyond the range of int give INT_MAX.
  int getIntValue(const char *name, int &out, int start = 0) const;

  /// Logs "Command line as parsed:" and one line per option as ONE message
  /// at DEBUG.
  void print() const;

  /// A copy of the options, each with its own copy of the value.
  std::vector<TRQCmdLineOption> copyOptions() const { return m_options; }
  /// The option at `index` (0 <= index < count()).
  const TRQCmdLineOption &option(int index) const { return m_options[static_cast<size_t>(index)]; }

private:
  void parseString(const char *text);
  void parseArgs(int argc, char **argv);
  const TRQCmdLineOption *valueOption(const char *name, int start) const;

  std::vector<TRQCmdLineOption> m_options;

  static TRQLogger *s_logger;
};

#endif // TRQCMDLINE_H
