//===- TRQSignalAction.cpp - Stopping a child with a console control event ===//
#include "supervision/TRQSignalAction.h"

#include "config/TRQPropertyInserter.h"
#include "console.h"
#include "logging/TRQLogger.h"
#include "logging/TRQLoggerFactory.h"
#include "supervision/TRQBadConfigException.h"
#include "support/TRQText.h"

#include <string>

TRQLogger *TRQSignalAction::s_logger = TRQLoggerFactory::getInstance()->getLogger("TRQSignalAction");

TRQSignalAction::TRQSignalAction() = default;

TRQSignalAction::~TRQSignalAction() = default;

void TRQSignalAction::configure(RKLIDOM_Element element) {
  TRQAction::configure(element);
  I18NString signal = element.getAttribute("signal");
  if (signal.empty()) {
    s_logger->log(TRQLogLevel::Fatal, "required attribute \"signal\" is missing.");
    throw TRQBadConfigException("required element \"signal\" is missing.");
  }
  std::string text = signal.str();
  TRQPropertyInserter::getInstance()->insertProperties(text);
  m_ctrlEvent = TRQText::toInt(text);
  s_logger->log(TRQLogLevel::Debug, "signal is %d", m_ctrlEvent);
}

int64_t TRQSignalAction::doExecute() {
  s_logger->log(TRQLogLevel::Debug, "Signalling process (handle = %d).",
                static_cast<int>(static_cast<uint32_t>(static_cast<uint64_t>(m_hTargetProcess))));

  int processId = platform::controlEventProcessId(m_hTargetProcess);
  if (processId == 0) {
    s_logger->log(TRQLogLevel::Error, "%s%d",
                  "Error occured while retrieving the process ID, Errorcode =", platform::lastControlError());
    return 0;
  }

  // The event is sent whatever came of the attachment, which is undone
  // afterwards so that the next child's console can be reached.
  if (!platform::attachToConsoleOf(processId))
    s_logger->log(TRQLogLevel::Error, "%s%d",
                  "Error occured while attaching console, Errorcode =", platform::lastControlError());

  int rc = platform::generateControlEvent(m_ctrlEvent, processId);
  if (rc == 0)
    s_logger->log(TRQLogLevel::Error, "%s%d",
                  "Error occured while signalling process, Errorcode =", platform::lastControlError());
  if (!platform::detachFromConsole())
    s_logger->log(TRQLogLevel::Error, "%s%d",
                  "Error occured while detaching console, Errorcode =", platform::lastControlError());
  return rc;
}
