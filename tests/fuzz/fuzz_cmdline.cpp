//===- fuzz_cmdline.cpp - Fuzz target: the command line and the dispatcher's options ===//
//
// The input, cut at NUL bytes, is an argument vector; the same bytes with
// the NULs as blanks are the Windows entry's command string. Each command
// line is asked what the dispatcher asks of it, and its "$$" options are
// stored as properties (and removed again), without running any command.
//
//===----------------------------------------------------------------------===//
#include "FuzzSupport.h"
#include "config/TRQPropertyInserter.h"
#include "entry/TRQCmdLine.h"
#include "entry/TRQMain.h"
#include "rklcore.h"
#include "support/TRQText.h"

#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char *const KnownOptions[] = {"-h",         "-help",      "-?",        "-logconfig",    "-serviceClass",
                                    "-stdoutLog", "-java_home", "-config",   "-fakeUnix",     "-install_root",
                                    "-d",         "-isRunning", "-stop",     "-start",        "-restart",
                                    "runAsDaemon", "-name",     "-description", "-win95",     "-timeLimitSec",
                                    "-v",         "-isRegistered", "-ia",    "-im",           "-i",
                                    "-u",         "-console",   "-output",   "-run",          ""};

void ask(const TRQCmdLine &cmdLine) {
  for (int i = 0; i < cmdLine.count(); ++i) {
    const TRQCmdLineOption &option = cmdLine.option(i);
    if (!option.getName())
      fuzzsupport::finding("an option without a name");
    if (option.isNumeric() && !option.hasValue())
      fuzzsupport::finding("a numeric option without a value");
    if (cmdLine.findOption(option.getName(), i) > i)
      fuzzsupport::finding("an option is not found at its own place");
  }
  for (const char *name : KnownOptions) {
    int start = cmdLine.findOption(name, -1);
    I18NString text;
    std::string bytes;
    int number = 0;
    if (cmdLine.getValue(name, text, start) != cmdLine.getValue(name, bytes, start))
      fuzzsupport::finding("the two getValue forms disagree");
    if (cmdLine.getIntValue(name, number, 0) == 1 && number < 0)
      fuzzsupport::finding("a numeric option gave a negative number");
    (void)TRQText::toInt(text.c_str());
  }
  (void)TRQMain::loggingSection(cmdLine);
  std::vector<TRQCmdLineOption> copies = cmdLine.copyOptions();
  if (static_cast<int>(copies.size()) != cmdLine.count())
    fuzzsupport::finding("the copy of the options has another length");

  TRQMain::setPropertyOptions(cmdLine);
  for (const TRQCmdLineOption &option : copies) {
    if (std::strncmp(option.getName(), "$$", 2) == 0)
      TRQPropertyInserter::getInstance()->removeProperty(option.getName() + 2);
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<std::string> arguments = fuzzsupport::split(data, size, '\0');
  std::vector<char *> argv;
  std::string program = "tslbootstrapservice";
  argv.push_back(program.data());
  for (std::string &argument : arguments)
    argv.push_back(argument.data());
  argv.push_back(nullptr);
  TRQCmdLine fromVector(static_cast<int>(argv.size() - 1), argv.data());
  if (fromVector.count() != static_cast<int>(arguments.size()))
    fuzzsupport::finding("arguments were lost");
  ask(fromVector);

  std::string line(reinterpret_cast<const char *>(data), size);
  for (char &c : line)
    if (c == '\0')
      c = ' ';
  TRQCmdLine fromString(line.c_str());
  ask(fromString);
  return 0;
}
