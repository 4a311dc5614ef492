//===- TRQAction.cpp - One configured step performed for a child process --===//
#include "supervision/TRQAction.h"

#include "logging/TRQLogger.h"
#include "logging/TRQLoggerFactory.h"
#include "rklcore.h"
#include "support/TRQText.h"

#include <climits>

TRQLogger *TRQAction::s_logger = TRQLoggerFactory::getInstance()->getLogger("TRQAction");

TRQAction::TRQAction() = default;

TRQAction::~TRQAction() = default;

int64_t TRQAction::execute() {
  int64_t result = doExecute();
  if (m_waitTime != -1) {
    s_logger->log(TRQLogLevel::Debug, "delay for %d ms.", m_waitTime);
    RKLThread::sleep(m_waitTime); // a negative delay sleeps not at all
  }
  return result;
}

void TRQAction::configure(RKLIDOM_Element element) {
  I18NString waitTime = element.getAttribute("wait_time");
  if (waitTime.empty())
    return;
  // Seconds to milliseconds, held within int: a huge number of seconds waits
  // as long as an int of milliseconds allows.
  long long milliseconds = static_cast<long long>(TRQText::toInt(waitTime.c_str())) * 1000;
  if (milliseconds > INT_MAX)
    milliseconds = INT_MAX;
  if (milliseconds < INT_MIN)
    milliseconds = INT_MIN;
  m_waitTime = static_cast<int>(milliseconds);
  s_logger->log(TRQLogLevel::Debug, "configured wait_time is %d ms.", m_waitTime);
}
