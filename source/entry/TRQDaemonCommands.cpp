//===- TRQDaemonCommands.cpp - The daemon flavour's commands --------------===//
#include "entry/TRQDaemonCommands.h"

#include "config/TRQPropertyInserter.h"
#include "daemon.h"
#include "entry/TRQCmdLine.h"
#include "entry/TRQConsole.h"
#include "logging/TRQLogger.h"
#include "rklcore.h"
#include "service/TRQBootstrapService.h"
#include "support/TRQText.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

const char *const ServiceTitle = "Vandix Tessel Bootstrap Service";

bool has(const TRQCmdLine &cmdLine, const char *name) { return cmdLine.findOption(name, 0) >= 0; }

bool equalsIgnoringCase(const char *left, const char *right) {
  for (; *left && *right; ++left, ++right)
    if (std::tolower(static_cast<unsigned char>(*left)) != std::tolower(static_cast<unsigned char>(*right)))
      return false;
  return *left == *right;
}

// Options that belong to the commands themselves and are not handed to the
// background copy.
bool commandOnly(const char *name) {
  for (const char *option : {"-start", "-stop", "-restart", "-isRunning", "-testReadyTries", "-testReadyInterval",
                             "-testDeadTries", "-testDeadInterval", "-console", "-output", "runAsDaemon"})
    if (equalsIgnoringCase(name, option))
      return true;
  return false;
}

} // namespace

TRQDaemonCommands::TRQDaemonCommands(TRQBootstrapService &service, const TRQCmdLine &cmdLine)
    : m_service(service), m_cmdLine(cmdLine),
      m_sProcessIdFileName(TRQBootstrapService::standardProcessIdFileName(service.getInstallPath())) {}

int TRQDaemonCommands::run() {
  int result = 0;
  if (has(m_cmdLine, "-isRunning")) {
    result = isRunning();
  } else if (has(m_cmdLine, "-stop")) {
    result = stop();
  } else if (has(m_cmdLine, "-start") || has(m_cmdLine, "-restart")) {
    if (!TRQPropertyInserter::getInstance()->getProperty("java_home") && !std::getenv("JAVA_HOME")) {
      report(true, "-java_home is required unless the environment variable JAVA_HOME is defined.\n");
      result = 1;
    } else {
      result = has(m_cmdLine, "-restart") ? stop() : 0;
      if (result == 0)
        result = start();
    }
  } else {
    return 0;
  }
  m_service.setExitCode(static_cast<uint32_t>(result));
  return 1;
}

int TRQDaemonCommands::runningProcessId() {
  FILE *file = RKLFmFile::openStream(m_sProcessIdFileName.c_str(), "rt");
  if (!file)
    return 0;
  char line[32] = {0};
  const bool read = std::fgets(line, sizeof(line), file) != nullptr;
  std::fclose(file);
  const int pid = read ? TRQText::toInt(line) : 0;
  if (pid <= 0)
    return 0;
  if (!platform::isThisProgramRunning(pid)) {
    TRQBootstrapService::s_logger->log(TRQLogLevel::Info,
                                       "process-id file \"%s\" names process %d, which is not a running %s.",
                                       m_sProcessIdFileName.c_str(), pid, ServiceTitle);
    return 0;
  }
  return pid;
}

int TRQDaemonCommands::isRunning() {
  const int pid = runningProcessId();
  if (pid == 0) {
    report(false, "The %s is not running.\n", ServiceTitle);
    return 1;
  }
  report(false, "The %s is running as process %d.\n", ServiceTitle, pid);
  return 0;
}

int TRQDaemonCommands::start() {
  if (const int running = runningProcessId()) {
    report(true, "The %s is already running as process %d.\n", ServiceTitle, running);
    return 1;
  }
  // The background copy gets the same command line, as a run in the
  // foreground, and starts in the bin folder, where it finds its
  // installation.
  std::vector<std::string> args;
  for (const TRQCmdLineOption &option : m_cmdLine.copyOptions()) {
    if (commandOnly(option.getName()))
      continue;
    std::string arg = option.getName();
    if (option.hasValue())
      arg += std::string("=") + option.getValue();
    args.push_back(arg);
  }
  args.push_back("runAsDaemon");
  int pid = 0;
  if (const int error = platform::startDetachedProgram(args, m_service.getBinPath(), pid)) {
    report(true, "The %s could not be started. Error %d\n", ServiceTitle, error);
    return error;
  }
  TRQBootstrapService::s_logger->log(TRQLogLevel::Info, "started the %s as process %d.", ServiceTitle, pid);

  // The readiness test needs the children's ping actions, from the same
  // bootstrap file that the background copy reads.
  if (m_service.OnInit() == 0) {
    report(true, "The %s was started as process %d, but its configuration could not be read to test it.\n",
           ServiceTitle, pid);
    return 1;
  }
  const int tries = intOption("-testReadyTries", 20);
  const int intervalSec = intOption("-testReadyInterval", 6);
  for (int i = 0; i < tries; ++i) {
    if (!platform::isThisProgramRunning(pid)) {
      report(true, "The %s (process %d) ended before it was ready.\n", ServiceTitle, pid);
      return 1;
    }
    const int result = m_service.getSupervisor().pingAll();
    if (result == 0) {
      report(false, "The %s is running as process %d and is ready.\n", ServiceTitle, pid);
      return 0;
    }
    if (result == -1) {
      report(true, "The %s (process %d) reported a fatal error while starting.\n", ServiceTitle, pid);
      return 1;
    }
    if (i + 1 < tries)
      RKLThread::sleep(static_cast<long>(intervalSec) * 1000);
  }
  report(true, "The %s (process %d) was not ready after %d tries every %d seconds.\n", ServiceTitle, pid, tries,
         intervalSec);
  return 1;
}

int TRQDaemonCommands::stop() {
  const int pid = runningProcessId();
  if (pid == 0) {
    report(false, "The %s is not running.\n", ServiceTitle);
    return 0;
  }
  if (const int error = platform::requestProgramStop(pid)) {
    report(true, "The %s (process %d) could not be asked to stop. Error %d\n", ServiceTitle, pid, error);
    return error;
  }
  const int tries = intOption("-testDeadTries", 20);
  const int intervalSec = intOption("-testDeadInterval", 6);
  for (int i = 0; i < tries; ++i) {
    RKLThread::sleep(static_cast<long>(intervalSec) * 1000);
    if (!platform::isThisProgramRunning(pid)) {
      report(false, "The %s (process %d) has stopped.\n", ServiceTitle, pid);
      return 0;
    }
  }
  if (!platform::isThisProgramRunning(pid)) {
    report(false, "The %s (process %d) has stopped.\n", ServiceTitle, pid);
    return 0;
  }
  report(true, "The %s (process %d) did not stop after %d checks every %d seconds.\n", ServiceTitle, pid, tries,
         intervalSec);
  return 1;
}

int TRQDaemonCommands::intOption(const char *name, int fallback) const {
  int value = fallback;
  m_cmdLine.getIntValue(name, value, 0);
  return value < 0 ? 0 : value;
}

void TRQDaemonCommands::report(bool failure, const char *format, ...) {
  RKLByteBuffer buffer(256, 256);
  va_list args;
  va_start(args, format);
  buffer.vprintf(format, args);
  va_end(args);
  TRQBootstrapService::s_logger->logText(failure ? TRQLogLevel::Error : TRQLogLevel::Info, buffer.str());
  if (!failure)
    return;
  TRQConsole::getInstance()->write(buffer);
  std::fputs(buffer.str(), stderr);
  std::fflush(stderr);
}
