//===- TRQSpawnAction.cpp - Launching a configured program ----------------===//
#include "supervision/TRQSpawnAction.h"

#include "config/TRQPropertyInserter.h"
#include "logging/TRQLogger.h"
#include "logging/TRQLoggerFactory.h"
#include "processes.h"
#include "rklcore.h"
#include "supervision/TRQBadConfigException.h"
#include "support/TRQText.h"

#include <algorithm>
#include <cstring>
#include <vector>

TRQLogger *TRQSpawnAction::s_logger = TRQLoggerFactory::getInstance()->getLogger("TRQSpawnAction");

TRQSpawnAction::TRQSpawnAction() = default;

TRQSpawnAction::~TRQSpawnAction() = default;

void TRQSpawnAction::configure(RKLIDOM_Element element) {
  s_logger->log(TRQLogLevel::Debug, "preparing");
  TRQAction::configure(element);

  I18NString sync = element.getAttribute("sync");
  if (!sync.empty())
    m_sync = TRQText::toInt(sync.c_str());
  s_logger->log(TRQLogLevel::Debug, "sync is %d", m_sync);

  m_args.clear();

  RKLIDOM_Element pathElement(element.getElementsByTagName("path").item(0));
  I18NString path;
  readElementText(pathElement, path);
  if (path.empty()) {
    s_logger->log(TRQLogLevel::Fatal, "required attribute \"path\" is missing");
    throw TRQBadConfigException("TRQSpawnAction required attribute \"path\" is missing");
  }
  m_path = path.c_str();
  TRQPropertyInserter::getInstance()->insertProperties(m_path);

  if (pathElement.getAttribute("quoteAsParam") == "true")
    m_args.addArg(("\"" + m_path + "\"").c_str());
  else
    m_args.addArg(m_path.c_str());
  m_args.addParams(element);
  m_args.addTerminator();
}

void TRQSpawnAction::describe(int level) const {
  if (!s_logger->isEnabled(level))
    return;
  RKLByteBuffer text(256, 256);
  text << "Spawning child process:\n";
  text << "Path: " << m_path << "\n";
  text << "Parameters: \n";
  for (const char *entry : m_args) {
    if (entry)
      text << "\t" << entry << "\n";
  }
  s_logger->logText(level, text.str());
}

int64_t TRQSpawnAction::doExecute() {
  describe(TRQLogLevel::Debug);
  m_hProcess = -1;
  m_lastLaunchStarted = false;

  // The command line (what Windows starts) and the argument vector (what
  // Linux starts) hold the same words: the path unquoted, then every
  // argument that still fits the command line. The first argument that does
  // not fit ends both, so an argument is never cut in the middle.
  std::string commandLine = m_path.substr(0, CommandLineCapacity);
  std::vector<std::string> argv{m_path};
  for (std::size_t i = 1; i < m_args.size(); ++i) {
    const char *entry = m_args[i];
    if (!entry)
      continue;
    std::size_t length = std::strlen(entry);
    if (commandLine.size() + 1 + length > CommandLineCapacity)
      break;
    commandLine += ' ';
    commandLine += entry;
    argv.emplace_back(entry);
  }
  s_logger->log(TRQLogLevel::Debug, "cmdLineWithParams = %s", commandLine.c_str());

  platform::ProcessHandle handle = platform::NoProcess;
  int pid = 0;
  int threadCloseError = 0;
  int error = platform::startProcess(commandLine, argv, handle, pid, &threadCloseError);
  if (error != 0) {
    s_logger->log(TRQLogLevel::Fatal, "CreateProcess failed, errno=%d", error);
    s_logger->log(TRQLogLevel::Error, "spawn failed, errno: %d", error);
    describe(TRQLogLevel::Error);
    return -1;
  }
  m_hProcess = handle;
  m_lastLaunchStarted = true;
  if (threadCloseError != 0)
    s_logger->log(TRQLogLevel::Error, "CloseHandle(ProcThread) failed, errno=%d", threadCloseError);

  if (m_sync) {
    uint32_t code = 0;
    if (!waitForSyncRun())
      code = static_cast<uint32_t>(-1);
    else if (!platform::exitCode(m_hProcess, code))
      s_logger->log(TRQLogLevel::Fatal, "GetExitCodeProcess failed, errno=%d", platform::lastProcessError());
    s_logger->log(TRQLogLevel::Debug, "Child process terminated with exitCode = %d\n", static_cast<int>(code));
    m_exitCode = static_cast<int>(code);
    closeProcessHandle();
    return -1;
  }

  s_logger->log(TRQLogLevel::Debug, "Started child process, pid = %d\n", pid);
  return m_hProcess;
}

bool TRQSpawnAction::waitForSyncRun() {
  // Waited for in slices, so that a cancel is seen within one of them.
  constexpr int SliceMs = 100;
  int waitedMs = 0;
  int ended = 0;
  while (!m_cancelled.load()) {
    int slice = SliceMs;
    if (m_syncWaitLimitMs >= 0) {
      if (waitedMs >= m_syncWaitLimitMs)
        break;
      slice = std::min(SliceMs, m_syncWaitLimitMs - waitedMs);
    }
    ended = platform::waitForExitFor(m_hProcess, slice);
    if (ended != 0)
      break;
    waitedMs += slice;
  }
  if (ended == 1)
    return true;
  if (ended < 0)
    s_logger->log(TRQLogLevel::Error, "WaitForSingleObject failed, errno=%d", platform::lastProcessError());
  if (m_cancelled.load())
    s_logger->log(TRQLogLevel::Error, "%s has not ended and the service is stopping, ending it by force",
                  m_path.c_str());
  else
    s_logger->log(TRQLogLevel::Error, "%s did not end within %d ms, ending it by force", m_path.c_str(),
                  m_syncWaitLimitMs);
  if (!platform::terminateProcess(m_hProcess, static_cast<uint32_t>(-1)))
    s_logger->log(TRQLogLevel::Error, "TerminateProcess failed, errno=%d", platform::lastProcessError());
  else if (platform::waitForExitFor(m_hProcess, KillWaitMs) != 1)
    s_logger->log(TRQLogLevel::Error, "%s has not ended after TerminateProcess, errno=%d", m_path.c_str(),
                  platform::lastProcessError());
  return false;
}

void TRQSpawnAction::closeProcessHandle() {
  if (!platform::closeProcessHandle(m_hProcess))
    s_logger->log(TRQLogLevel::Error, "CloseHandle(ProcHandle) failed, errno=%d", platform::lastProcessError());
  m_hProcess = -1;
}
