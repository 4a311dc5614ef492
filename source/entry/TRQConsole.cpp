//===- TRQConsole.cpp - The console window and the usage texts ------------===//
#include "entry/TRQConsole.h"

#include "logging/TRQLoggerFactory.h"
#include "rklcore.h"

#include <cstring>

TRQLogger *TRQConsole::s_logger = TRQLoggerFactory::getInstance()->getLogger("TRQConsole");

namespace {

const char *const servicePieces[] = {
    "\nManage the Vandix Tessel Bootstrap Service.",
    "\n\nBy default the service name is determined from startup configuration,\n",
    "but may be overriden by -name.\n\n",
    "Note that on Windows TRQ operates invisibly, with no console window \n",
    "unless -console is specified.  -help, -d and -v are exceptions: they\n",
    "always open a console.\n\n",
    "The option -stdoutLog=DEBUG|INFO|WARN|ERROR|FATAL is optional for all\n",
    "flavours of the command line.  It causes log messages that describe the\n",
    "actvities of TRQ to be written to stdout.\n\n",
    "Usage: \n\n",
    "\ttslbootstrapservice -i[a|m] [-name=serviceName] [-console]\n",
    "\t\tInstall as service.  Service is automatically started (-i or -ia)\n",
    "\t\tor manually (-im).\n",
    "\n",
    "\ttslbootstrapservice -u [-name=serviceName] [-console]\n",
    "\t\tUninstall the service.\n",
    "\n",
    "\ttslbootstrapservice -isRegistered [-name=serviceName] [-console]\n",
    "\t\tTest if the service is installed.\n",
    "\t\tExit code is 0 if the service is not installed, otherwise\n",
    "\t\tis the numeric value of the \"Start\" parameter:\n",
    "\t\t\t2 - auto, 3 - manual, 4 - disabled.\n",
    "\n",
    "\ttslbootstrapservice -start [-name=serviceName] [-timeLimitSec=nn] [-console]\n",
    "\t\tStart the service.  Note that the operation blocks until the\n",
    "\t\tservice is started or the specified time limit is reached.\n",
    "\n",
    "\ttslbootstrapservice -stop [-name=serviceName] [-timeLimitSec=nn] [-console]\n",
    "\t\tStop the service.  Note that the operation blocks until the\n",
    "\t\tservice is stopped or the specified time limit is reached.\n",
    "\n",
    "\ttslbootstrapservice -restart [-name=serviceName] [-timeLimitSec=nn] [-console]\n",
    "\t\tRestart the service.  Note that the operation blocks until the\n",
    "\t\tservice is restarted or the specified time limit is reached.\n",
    "\n",
    "\ttslbootstrapservice -isrunning [-name=serviceName] [-console]\n",
    "\t\tTest is the service is running.  Exit code of 0 indicates that\n",
    "\t\tthe service is running.\n",
    "\n",
    "\ttslbootstrapservice -d\n",
    "\t\tRun the service as a console application.\n",
};

const char *const daemonPieces[] = {
    "\ntslbootstrapservice - manage the Vandix Tessel Bootstrap Service daemon.\n",
    "\t-java_home is required unless the environment variable JAVA_HOME variable is defined.\n\n",
    "Usage:\n\n",
    "\ttslbootstrapservice -start [-testReadyTries=20] [-testReadyInterval=6] -install_root=... [-java_home=...]\n",
    "\t\tspawn a trq child process. Waits until the child process is ready,\n",
    "\t\tpolling it at intervals until it reports it is ready.  The number of\n",
    "\t\tpolls and the interval (seconds) can be specified by -testReadyTries\n",
    "\t\tand -testReadyInterval (defaults are as shown).\n",
    "\n",
    "\ttslbootstrapservice -stop [-testDeadTries=20] [-testDeadInterval=6] -install_root=... [-java_home=...]\n",
    "\t\tStop the trq child process. Waits until the child process is dead,\n",
    "\t\tchecking at intervals.  The number of checks and the interval (seconds)\n",
    "\t\tcan be specified by -testDeadTries and -testDeadInterval (defaults are as shown).\n",
    "\n",
    "\ttslbootstrapservice -restart [-testDeadTries=20] [-testDeadInterval=6] [-testReadyTries=20] [-testReadyInterval=6] -install_root=... [-java_home=...]\n",
    "\t\tRestart the trq child process. Waits until the child process is dead first,\n",
    "\t\tchecking at intervals.  The number of checks and the interval (seconds)\n",
    "\t\tcan be specified by -testDeadTries and -testDeadInterval (defaults are as shown).\n",
    "\t\tAnd then spawn the trq child process again, waits until the child process is ready,\n",
    "\t\tpolling it at intervals until it reports it is ready.  The number of\n",
    "\t\tpolls and the interval (seconds) can be specified by -testReadyTries\n",
    "\t\tand -testReadyInterval (defaults are as shown).\n",
    "\n",
    "\ttslbootstrapservice -isrunning -install_root=... [-java_home=...]\n",
    "\t\tTest if the trq child process is running. Exit code of 0 indicates\n",
    "\t\tthat the process is running.\n\n",
    "\tThe option -stdoutLog=DEBUG|INFO|WARN|ERROR|FATAL is optional for all\n",
    "\tflavours of the command line.  It causes log messages that describe the\n",
    "\tactvities of TRQ to be written to stdout.\n\n",
};

const char pausePrompt[] = "\n\nPress Enter to continue.\n";

} // namespace

TRQConsole *TRQConsole::getInstance() {
  static TRQConsole *const instance = new TRQConsole();
  return instance;
}

TRQConsole::~TRQConsole() = default;

void TRQConsole::open() {
  if (m_window.isOpen())
    return;
  switch (m_window.open()) {
  case platform::ConsoleOpenResult::Opened:
    break;
  case platform::ConsoleOpenResult::AllocFailed:
    s_logger->log(TRQLogLevel::Error, "TRQConsole - AllocConsole() failed, last error=%d.", platform::lastConsoleError());
    break;
  case platform::ConsoleOpenResult::NoOutputHandle:
    s_logger->log(TRQLogLevel::Error, "TRQConsole - GetStdHandle(STD_OUTPUT_HANDLE) failed.");
    break;
  }
}

void TRQConsole::openNoPause() {
  m_bPause = 0;
  open();
}

void TRQConsole::write(const char *text) {
  if (text && m_window.isOpen())
    m_window.write(text, std::strlen(text));
}

void TRQConsole::write(const RKLByteBuffer &buffer) {
  if (m_window.isOpen())
    m_window.write(buffer.str(), buffer.pcount());
}

void TRQConsole::pauseAtExit() {
  if (!m_window.isOpen() || m_bPause == 0)
    return;
  // Where nobody can press Enter (a script, a service manager) the prompt
  // would only mislead, and the wait would never end.
  if (!platform::consoleInputIsInteractive())
    return;
  m_window.write(pausePrompt, sizeof pausePrompt - 1);
  if (platform::readConsoleLine() == platform::ConsoleReadResult::NoInputHandle)
    s_logger->log(TRQLogLevel::Error, "TRQConsole - GetStdHandle(STD_INPUT_HANDLE) failed.");
}

void TRQConsole::buildServiceUsage(RKLByteBuffer &buffer) {
  for (const char *piece : servicePieces)
    buffer << piece;
}

void TRQConsole::buildDaemonUsage(RKLByteBuffer &buffer) {
  for (const char *piece : daemonPieces)
    buffer << piece;
}

void TRQConsole::printServiceUsage() {
  RKLByteBuffer buffer(256, 256);
  buildServiceUsage(buffer);
  write(buffer);
}

void TRQConsole::printDaemonUsage() {
  RKLByteBuffer buffer(256, 256);
  buildDaemonUsage(buffer);
  write(buffer);
}
