//===- PingChildProcess.cpp - The thread that watches, restarts and stops the children ===//
#include "supervision/PingChildProcess.h"

#include "config/TRQPropertyInserter.h"
#include "logging/TRQLogger.h"
#include "logging/TRQLoggerFactory.h"
#include "service/TRQBootstrapService.h"
#include "supervision/TRQAction.h"
#include "supervision/TRQChildProcess.h"
#include "supervision/TRQSockSendAction.h"
#include "supervision/TRQSpawnAction.h"
#include "support/TRQText.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <system_error>
#include <vector>

TRQLogger *PingChildProcess::s_logger = TRQLoggerFactory::getInstance()->getLogger("PingChildProcess");

const char *const PingChildProcess::FailedPingLimitFileName = "trq.failedPingLimit";

namespace {

/// `value` held within int.
int clampToInt(long long value) {
  if (value > INT_MAX)
    return INT_MAX;
  if (value < INT_MIN)
    return INT_MIN;
  return static_cast<int>(value);
}

/// A property reference substituted and read like atoi; `fallback` when the
/// result is below 1 (also when the property is not defined).
int positiveProperty(const char *reference, int fallback) {
  std::string text = reference;
  TRQPropertyInserter::getInstance()->insertProperties(text);
  int value = TRQText::toInt(text);
  return value < 1 ? fallback : value;
}

const std::vector<TRQChildProcess *> &childrenOf(const TRQBootstrapService *service) {
  static const std::vector<TRQChildProcess *> none;
  return service ? service->getChildren() : none;
}

} // namespace

PingChildProcess::PingChildProcess(TRQBootstrapService *service) : RKLThread(nullptr, StackSize), m_pService(service) {}

PingChildProcess::~PingChildProcess() { shutdown(); }

void PingChildProcess::configure(RKLIDOM_Element element) {
  RKLIDOM_Element manager = RKLIDOM_Helper::findFirstElementWithName(element, "processManager");
  if (manager.isNull()) {
    s_logger->log(TRQLogLevel::Warn, "no procManager element in config, using default poll interval, etc.");
    return;
  }

  I18NString pollInterval = manager.getAttribute("pollIntervalsec");
  if (!pollInterval.empty())
    m_pollIntervalSec = TRQText::toInt(pollInterval.c_str());
  s_logger->log(TRQLogLevel::Debug, "poll interval is %d seconds", m_pollIntervalSec);

  int pingTimeoutSec = positiveProperty("${dispatcherPingTimeout}", 60);
  if (m_pollIntervalSec > 0) {
    // As many passes as the timeout needs, counting a part pass as a whole.
    m_failedPingLimit.store(
        clampToInt((static_cast<long long>(m_pollIntervalSec) + pingTimeoutSec - 1) / m_pollIntervalSec));
    s_logger->log(TRQLogLevel::Debug, "failed ping limit is %d", m_failedPingLimit.load());
  }

  I18NString checkInterval = manager.getAttribute("checkForShutdownIntervalms");
  if (!checkInterval.empty()) {
    int value = TRQText::toInt(checkInterval.c_str());
    m_shutdownCheckIntervalMs = value < 1 ? 500 : value;
    s_logger->log(TRQLogLevel::Debug, "check for child processes shutdown interval is %d ms",
                  m_shutdownCheckIntervalMs);
  }

  int stopWaitSec = positiveProperty("${dispatcherStopWaitTime}", 60);
  m_maxShutdownChecks = clampToInt((static_cast<long long>(stopWaitSec) * 1000 + m_shutdownCheckIntervalMs - 1) /
                                   m_shutdownCheckIntervalMs);
  s_logger->log(TRQLogLevel::Debug, "max checks for child process shutdown = %d", m_maxShutdownChecks);

  const char *noRestart = TRQPropertyInserter::getInstance()->getProperty("DOLV_NORESTART");
  if (noRestart && std::strcmp(noRestart, "true") == 0) {
    m_restartAllowed = 0;
    s_logger->log(TRQLogLevel::Debug, "Do NOT restarting child process when it is dead.");
  } else {
    m_restartAllowed = 1;
    s_logger->log(TRQLogLevel::Debug, "Allow restarting child process when it is dead.");
  }
}

void PingChildProcess::run() {
  // Any value counts, also an empty one.
  const bool waitIndefinitely = TRQPropertyInserter::getInstance()->getProperty("daemonWaitIndefinitely") != nullptr;
  if (m_pollIntervalSec < 1)
    return;
  if (!m_pWaitSema.load()) {
    m_waitSemaOwner = std::make_unique<RKLThreadSemaphore>(0);
    m_pWaitSema.store(m_waitSemaOwner.get());
  }

  bool woken = waitForNextPass();
  while (!woken) {
    if (m_stopRequested.load() || m_exitRequested.load())
      break;
    checkFailedPingLimitFile();
    supervisePass(waitIndefinitely);
    woken = waitForNextPass();
  }
  if (m_stopRequested.load())
    stopSequence();
}

bool PingChildProcess::waitForNextPass() {
  int intervalMs = clampToInt(static_cast<long long>(m_pollIntervalSec) * 1000);
  s_logger->log(TRQLogLevel::Debug, "entering timedWait, interval = %d", intervalMs);
  // A request made before the semaphore existed could not post it; the
  // requester sets its flag before it looks for the semaphore, and the
  // semaphore is published before the flags are read here, so one of the
  // two always sees the other.
  bool woken = m_stopRequested.load() || m_exitRequested.load() || m_pWaitSema.load()->timedWait(intervalMs) == 1;
  s_logger->log(TRQLogLevel::Debug, "end of timedWait");
  return woken;
}

void PingChildProcess::checkFailedPingLimitFile() {
  std::error_code error;
  std::filesystem::file_time_type modified = std::filesystem::last_write_time(FailedPingLimitFileName, error);
  if (error)
    return;
  if (m_failedPingLimitTime && *m_failedPingLimitTime == modified)
    return;
  FILE *file = RKLFmFile::openStream(FailedPingLimitFileName, "r");
  if (!file)
    return;
  char line[64];
  bool read = std::fgets(line, sizeof line, file) != nullptr;
  std::fclose(file);
  if (!read)
    return; // tried again at the next pass
  m_failedPingLimit.store(TRQText::toInt(line));
  m_failedPingLimitTime = modified;
  s_logger->log(TRQLogLevel::Debug, "Found new trq.failedPingLimit file, overwriting failed ping limit to %d",
                m_failedPingLimit.load());
}

void PingChildProcess::supervisePass(bool waitIndefinitely) {
  PassCounters counters;
  for (TRQChildProcess *child : childrenOf(m_pService)) {
    // A stop request is not kept waiting for the rest of the pass; the
    // flags keep what the last whole pass found.
    if (m_stopRequested.load() || m_exitRequested.load())
      return;
    if (child->getPingAction())
      superviseWithPing(child, counters, waitIndefinitely);
    else
      superviseWithoutPing(child);
  }
  m_allChildrenHealthy.store(counters.restarts == 0 ? 1 : 0);
  m_noPingFailures.store(counters.badAnswers == 0 ? 1 : 0);
  m_fatalError.store(counters.fatals != 0 ? 1 : 0);
}

void PingChildProcess::superviseWithoutPing(TRQChildProcess *child) {
  if (child->isActive()) {
    s_logger->log(TRQLogLevel::Debug, "Process %s is alive.", child->getName());
    return;
  }
  // A process that nobody pings is always brought back, whatever the
  // restart settings say.
  s_logger->log(TRQLogLevel::Debug, "Process %s is not alive. Resuscitating.", child->getName());
  child->start();
}

void PingChildProcess::superviseWithPing(TRQChildProcess *child, PassCounters &counters, bool waitIndefinitely) {
  const char *name = child->getName();
  s_logger->log(TRQLogLevel::Debug, "Pinging process %s. Ping counter: %s", name,
                std::to_string(child->getPingCounter()).c_str());

  if (child->getRestartRequired()) {
    // Its stop action ran in an earlier pass: wait for it to end, two passes
    // at most, then kill it; start it again once it is gone.
    ++counters.restarts;
    s_logger->log(TRQLogLevel::Debug,
                  "ping loop: unresponsive process %s requires restart, test to see if it is still active.", name);
    if (child->isActive()) {
      child->setPingCounter(child->getPingCounter() + 1);
      bool killed = false;
      if (child->getPingCounter() >= 2) {
        s_logger->log(TRQLogLevel::Debug,
                      "unresponsive process %s still hasn't stopped after two polls intervals, so kill it", name);
        if (!child->kill()) {
          // Starting it again would put a second instance next to it.
          s_logger->log(TRQLogLevel::Error, "unresponsive process %s could not be killed, not restarting it.", name);
          return;
        }
        killed = true;
      }
      s_logger->log(TRQLogLevel::Warn, "unresponsive process %s hasn't yet finished stopping.", name);
      if (!killed)
        return;
    }
    s_logger->log(TRQLogLevel::Warn, "restarting process %s.", name);
    child->start();
    return;
  }

  if (!child->isActive()) {
    ++counters.restarts;
    s_logger->log(TRQLogLevel::Error, "ping loop: process \"%s\" is not active, so restarting it.", name);
    if (!m_restartAllowed) {
      s_logger->log(TRQLogLevel::Error, "ping loop: DOLV_NORESTART is set, do not restart.");
      return;
    }
    child->start();
    return;
  }

  s_logger->log(TRQLogLevel::Debug, "ping loop: process \"%s\" is still active, so we will ping it.", name);
  int result = static_cast<int>(child->getPingAction()->execute());
  // A ping that a stop cut short says nothing about the child.
  if (m_stopRequested.load() || m_exitRequested.load())
    return;
  if (result == -2 || result == -3 || result == -4) {
    // It answered, only not well: no reason to restart it.
    s_logger->log(TRQLogLevel::Debug, "ping of process %s failed. Will not begin restart sequence.", name);
    ++counters.badAnswers;
    if (result == -3) {
      s_logger->log(TRQLogLevel::Debug, "PingChildProcess::run() - Detected a fatal error.");
      ++counters.fatals;
    }
    return;
  }
  if (result != -1) {
    s_logger->log(TRQLogLevel::Debug, "process %s pinged successfully.", name);
    child->setPingCounter(0);
    return;
  }

  if (waitIndefinitely) {
    s_logger->log(TRQLogLevel::Debug, "waitIndefinitely is set. Skip the restart sequence.");
    return;
  }
  if (!m_restartAllowed) {
    s_logger->log(TRQLogLevel::Debug, "DOLV_NORESTART is set. Skip the restart sequence.");
    return;
  }
  s_logger->log(TRQLogLevel::Debug, "ping of process %s failed. Will begin restart sequence.", name);
  ++counters.restarts;
  child->setPingCounter(child->getPingCounter() + 1);
  if (child->getPingCounter() < m_failedPingLimit.load())
    return;

  s_logger->log(TRQLogLevel::Warn,
                "process %s hit ping failure limit, will restart, but first make sure it is really dead.", name);
  child->setRestartRequired(1);
  child->setPingCounter(0);
  if (!child->isActive()) {
    s_logger->log(TRQLogLevel::Warn, "process %s appears to be dead, so restarting.", name);
    child->start();
    return;
  }
  s_logger->log(TRQLogLevel::Warn, "process %s appears to still be alive, so stop it.", name);
  executeStopAction(child);
}

int PingChildProcess::executeStopAction(TRQChildProcess *child) {
  TRQAction *stopAction = child->getStopAction();
  auto *script = dynamic_cast<TRQSpawnAction *>(stopAction);
  if (script)
    script->setSyncWaitLimitMs(stopWaitMs());
  stopAction->setTargetProcess(child->getProcessHandle());
  s_logger->log(TRQLogLevel::Debug, "stopping process \"%s\"", child->getName());
  int result = static_cast<int>(stopAction->execute());
  s_logger->log(TRQLogLevel::Warn, "stopAction->execute() return status = %d", result);
  if (script) {
    // Nobody waits for an asynchronous stop script: its handle (and job)
    // would only pile up, and on Linux it would stay a zombie.
    if (script->getProcessHandle() >= 0)
      script->closeProcessHandle();
    // A script that ran has done its part, even though a synchronous run
    // reports -1.
    if (script->getLastLaunchStarted())
      return result < 0 ? 0 : result;
  }
  return result;
}

int PingChildProcess::stopWaitMs() const {
  return clampToInt(static_cast<long long>(m_maxShutdownChecks + 1) * m_shutdownCheckIntervalMs);
}

bool PingChildProcess::stop(RKLThreadSemaphore *done) {
  if (m_stopAccepted.exchange(true)) {
    s_logger->log(TRQLogLevel::Error, "Child process supervisor has been told to stop but is already stopping.");
    return false;
  }
  // Published before the flag, so that the thread finds it once it sees
  // the flag.
  m_pStopDoneSema.store(done);
  s_logger->log(TRQLogLevel::Info, "Child process supervisor has been told to stop");
  // A restart's stop exchange in flight is ended before the flag is raised:
  // once the thread sees the flag it sends the stop sequence's own stop
  // commands through the same actions, and those must not be cut short.
  for (TRQChildProcess *child : childrenOf(m_pService))
    if (auto *socketStop = dynamic_cast<TRQSockSendAction *>(child->getStopAction()))
      socketStop->cancel(false);
  m_stopRequested.store(1);
  // An exchange in flight (a ping of a silent child may wait a minute) is
  // ended, so that the stop need not wait for it. Nothing is pinged once a
  // stop was accepted, so a ping that has not connected yet is refused too
  // (after the flag: a ping cut short must find it, or it would count as a
  // child that did not answer); a synchronous start that hangs is ended.
  for (TRQChildProcess *child : childrenOf(m_pService)) {
    if (TRQSockSendAction *ping = child->getPingAction())
      ping->cancel(true);
    if (TRQSpawnAction *start = child->getStartAction())
      start->cancel();
  }
  if (m_pollIntervalSec < 1) {
    // No thread supervises: the requester stops the children itself rather
    // than wait for a semaphore that nobody would post.
    stopSequence();
    return true;
  }
  if (RKLThreadSemaphore *wait = m_pWaitSema.load())
    wait->post();
  return true;
}

bool PingChildProcess::waitForStopFinished(int timeoutMs) {
  for (int waited = 0; !m_stopFinished.load(); waited += 50) {
    if (waited >= timeoutMs)
      return false;
    RKLThread::sleep(50);
  }
  return true;
}

void PingChildProcess::shutdown() {
  m_exitRequested.store(true);
  if (RKLThreadSemaphore *wait = m_pWaitSema.load())
    wait->post();
  join();
}

void PingChildProcess::stopSequence() {
  s_logger->log(TRQLogLevel::Info, "stopping child process(es).");
  s_logger->log(TRQLogLevel::Debug, "stopping, leaving ping loop");
  stopAll();
  if (!waitForDeath())
    killAll();
  if (RKLThreadSemaphore *done = m_pStopDoneSema.load()) {
    s_logger->log(TRQLogLevel::Debug, "raise semaphore to signal finished stopping.");
    done->post();
  }
  m_fatalError.store(1);
  m_stopFinished.store(true);
}

void PingChildProcess::stopAll() {
  s_logger->log(TRQLogLevel::Debug, "Stop all processes.");
  // Waiting is worthwhile as soon as any child has had its stop command:
  // killing at once would cut short those that are shutting down cleanly.
  bool anyStopped = false;
  bool anyFailed = false;
  for (TRQChildProcess *child : childrenOf(m_pService)) {
    if (child->isActive()) {
      if (executeStopAction(child) < 0)
        anyFailed = true;
      else
        anyStopped = true;
    } else {
      s_logger->log(TRQLogLevel::Debug, "process \"%s\" is not alive, so don't need to stop it.", child->getName());
    }
  }
  m_stopCommandNotSent.store(anyFailed && !anyStopped ? 1 : 0);
}

int PingChildProcess::waitForDeath() {
  if (m_stopCommandNotSent.load()) {
    s_logger->log(TRQLogLevel::Debug, "Detected that the stop command was not sent, don't bother waiting for death.");
    return 0;
  }
  s_logger->log(TRQLogLevel::Debug, "Waiting for processes to die.");
  int checksLeft = m_maxShutdownChecks;
  for (;;) {
    RKLThread::sleep(m_shutdownCheckIntervalMs);
    const std::vector<TRQChildProcess *> &children = childrenOf(m_pService);
    if (children.empty())
      break;
    int alive = 0;
    for (TRQChildProcess *child : children) {
      if (child->isActive()) {
        ++alive;
        s_logger->log(TRQLogLevel::Debug, "Process \"%s\" is still active.", child->getName());
      } else {
        s_logger->log(TRQLogLevel::Debug, "Process \"%s\", is dead.", child->getName());
      }
    }
    if (alive == 0)
      break;
    s_logger->log(TRQLogLevel::Debug, "%d processes are still alive.", alive);
    if (checksLeft <= 0) {
      s_logger->log(TRQLogLevel::Info,
                    "%d processes are still alive, but we're not going to wait any longer for them to die.", alive);
      return 0;
    }
    --checksLeft;
  }
  s_logger->log(TRQLogLevel::Info, "no processes are alive.");
  return 1;
}

void PingChildProcess::killAll() {
  s_logger->log(TRQLogLevel::Debug, "kill all processes.");
  // Only what still lives: a child that has ended meanwhile is left alone.
  for (TRQChildProcess *child : childrenOf(m_pService))
    if (child->isActive())
      child->kill();
}

int PingChildProcess::pingAll() {
  int failures = 0;
  for (TRQChildProcess *child : childrenOf(m_pService)) {
    TRQSockSendAction *ping = child->getPingAction();
    if (!ping)
      continue;
    int result = static_cast<int>(ping->execute());
    if (result == -4)
      return -4;
    if (result == -3) {
      s_logger->log(TRQLogLevel::Debug, "ping of process %s failed, fatal error happened.", child->getName());
      return -1;
    }
    if (result < 0) {
      s_logger->log(TRQLogLevel::Debug, "ping of process %s failed.", child->getName());
      ++failures;
    } else {
      s_logger->log(TRQLogLevel::Debug, "process %s pinged successfully.", child->getName());
    }
  }
  return failures;
}
