//===- TRQChildProcess.cpp - One supervised process of the bootstrap configuration ===//
#include "supervision/TRQChildProcess.h"

#include "logging/TRQLogger.h"
#include "logging/TRQLoggerFactory.h"
#include "processes.h"
#include "rklcfgapi.h"
#include "rklcore.h"
#include "supervision/TRQBadConfigException.h"
#include "supervision/TRQSignalAction.h"
#include "supervision/TRQSockSendAction.h"
#include "supervision/TRQSpawnAction.h"

#include <memory>

TRQLogger *TRQChildProcess::s_logger = TRQLoggerFactory::getInstance()->getLogger("TRQChildProcess");

namespace {

/// Logs `message` at FATAL and throws it as a configuration error.
[[noreturn]] void configurationError(TRQLogger *logger, const std::string &message) {
  logger->logText(TRQLogLevel::Fatal, message.c_str());
  throw TRQBadConfigException(message.c_str());
}

/// Configures a new action of class A from `element` and hands it to
/// `member`, deleting what was there; an action whose configuration throws
/// is deleted and the member keeps its earlier value.
template <class A, class Base> void configureInto(Base *&member, const RKLIDOM_Element &element) {
  auto action = std::make_unique<A>();
  action->configure(element);
  delete member;
  member = action.release();
}

/// The first element named `name` below `parent`, or a configuration error
/// naming what is missing below which element.
RKLIDOM_Element requiredBelowStop(TRQLogger *logger, const RKLIDOM_Element &stop, const char *name) {
  RKLIDOM_Element element = RKLIDOM_Helper::findFirstElementWithName(stop, name);
  if (element.isNull())
    configurationError(logger, std::string("required element \"") + name + "\" is missing below \"stop\".");
  return element;
}

} // namespace

TRQChildProcess::TRQChildProcess() = default;

TRQChildProcess::~TRQChildProcess() {
  delete m_startAction;
  delete m_pingAction;
  delete m_stopAction;
}

void TRQChildProcess::configure(RKLIDOM_Element process) {
  m_name = process.getAttribute("name").str();
  s_logger->log(TRQLogLevel::Debug, "preparing process named %s", m_name.c_str());

  RKLIDOM_Element start = RKLIDOM_Helper::findFirstElementWithName(process, "start");
  if (start.isNull())
    configurationError(s_logger, "required element \"start\" is missing.");
  RKLIDOM_Element spawn = RKLIDOM_Helper::findFirstElementWithName(start, "spawn");
  if (spawn.isNull())
    configurationError(s_logger, "required element \"spawn\" is missing.");
  configureInto<TRQSpawnAction>(m_startAction, spawn);

  // Without a stop element there would be no way to stop the process short
  // of killing it, so it is an error like a missing start.
  RKLIDOM_Element stop = RKLIDOM_Helper::findFirstElementWithName(process, "stop");
  if (stop.isNull())
    configurationError(s_logger, "required element \"stop\" is missing.");
  I18NString type = stop.getAttribute("type");
  s_logger->log(TRQLogLevel::Debug, "stop command type is \"%s\"", type.c_str());
  if (type == "spawn") {
    s_logger->log(TRQLogLevel::Debug, "processing stop command of type \"spawn\"");
    configureInto<TRQSpawnAction>(m_stopAction, requiredBelowStop(s_logger, stop, "spawn"));
  } else if (type == "socketSend") {
    s_logger->log(TRQLogLevel::Debug, "processing stop command of type \"socketSend\"");
    configureInto<TRQSockSendAction>(m_stopAction, requiredBelowStop(s_logger, stop, "socketSend"));
  } else if (type == "signal") {
    configureInto<TRQSignalAction>(m_stopAction, requiredBelowStop(s_logger, stop, "signal"));
  } else {
    s_logger->log(TRQLogLevel::Fatal, "unexpected type for stop command \"%s\"", type.c_str());
    throw TRQBadConfigException("unexpected type for stop command");
  }

  RKLIDOM_Element socketSend = choosePing(process);
  if (socketSend.isNull()) {
    delete m_pingAction;
    m_pingAction = nullptr;
    return;
  }
  s_logger->log(TRQLogLevel::Debug, "processing ping command of type \"socketSend\"");
  configureInto<TRQSockSendAction>(m_pingAction, socketSend);
}

RKLIDOM_Element TRQChildProcess::choosePing(const RKLIDOM_Element &process) const {
  RKLIDOM_Element ping = RKLIDOM_Helper::findFirstElementWithName(process, "ping");
  if (ping.isNull()) {
    s_logger->log(TRQLogLevel::Warn, "no ping element in config.");
    return RKLIDOM_Element();
  }
  RKLIDOM_Element socketSend = RKLIDOM_Helper::findFirstElementWithName(ping, "socketSend");
  if (socketSend.isNull()) {
    s_logger->log(TRQLogLevel::Warn, "no socketSend element in config.");
    return RKLIDOM_Element();
  }
  I18NString dependency = socketSend.getAttribute("dependency");
  if (dependency.empty()) {
    s_logger->log(TRQLogLevel::Warn, "The attribute \"dependency\" is missing.");
    return socketSend;
  }
  // The ping only makes sense where the component that answers it is
  // installed; otherwise the process is only watched for being alive.
  try {
    I18NString version = RKLConfigurationFactory::getInstance().getComponentVersion(dependency.c_str());
    return version.empty() ? RKLIDOM_Element() : socketSend;
  } catch (const RKLConfigurationException &e) {
    s_logger->log(TRQLogLevel::Error, "exception while checking for the dependent component version: \"%s\"",
                  e.getMessage());
    return RKLIDOM_Element();
  }
}

void TRQChildProcess::start() {
  s_logger->log(TRQLogLevel::Debug, "starting process \"%s\"", m_name.c_str());
  m_pingCounter.store(StartPingCounter);
  m_restartRequired.store(0);
  m_startAction->execute();
  int64_t handle = m_startAction->getProcessHandle();
  m_hProcess.store(handle);
  s_logger->log(TRQLogLevel::Debug, "process handle is %d", static_cast<int>(handle));
  if (handle < 0)
    m_exitCode.store(m_startAction->getExitCode());
}

int TRQChildProcess::isActive() {
  int64_t handle = m_hProcess.load();
  s_logger->log(TRQLogLevel::Debug, "Testing if process \"%s\" is still active.", m_name.c_str());
  s_logger->log(TRQLogLevel::Debug, "handle is %d", static_cast<int>(handle));
  if (handle < 1)
    return 0;
  uint32_t code = 0;
  if (platform::exitCode(handle, code)) {
    if (code == platform::StillActive) {
      s_logger->log(TRQLogLevel::Debug, "Process \"%s\" is still active.", m_name.c_str());
      return 1;
    }
    s_logger->log(TRQLogLevel::Debug, "Process \"%s\" has terminated.", m_name.c_str());
    s_logger->log(TRQLogLevel::Debug, "dwExitCode was %d", static_cast<int>(code));
    m_startAction->closeProcessHandle();
    m_hProcess.store(-1);
    return 0;
  }
  // A process that cannot be looked at may well still run: taking it for
  // dead would start a second instance next to it. It is asked again at the
  // next test.
  s_logger->log(TRQLogLevel::Error, "GetExitCodeProcess failed for process \"%s\", errno=%d; it is kept as running.",
                m_name.c_str(), platform::lastProcessError());
  return 1;
}

int TRQChildProcess::kill() {
  int64_t handle = m_hProcess.load();
  s_logger->log(TRQLogLevel::Debug, "killing process \"%s\"", m_name.c_str());
  s_logger->log(TRQLogLevel::Debug, "Process ID used is %ld", static_cast<long>(handle));
  if (handle < 1)
    return 1;
  // The process (and what it started) must really be gone before anyone
  // starts it again: it may still hold its ports. A process that was
  // already collected cannot be signalled, and needs no wait either.
  bool terminated = platform::terminateProcess(handle, 0);
  int terminateError = terminated ? 0 : platform::lastProcessError();
  int ended = platform::waitForExitFor(handle, KillWaitMs);
  if (ended != 1) {
    if (!terminated)
      s_logger->log(TRQLogLevel::Error, "TerminateProcess failed for process \"%s\", errno=%d", m_name.c_str(),
                    terminateError);
    s_logger->log(TRQLogLevel::Error, "process \"%s\" could not be ended, errno=%d; it is kept as running.",
                  m_name.c_str(), ended < 0 ? platform::lastProcessError() : 0);
    return 0;
  }
  m_startAction->closeProcessHandle();
  m_hProcess.store(-1);
  return 1;
}
