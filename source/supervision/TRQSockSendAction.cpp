//===- TRQSockSendAction.cpp - Sending a command to a child and judging the reply ===//
#include "supervision/TRQSockSendAction.h"

#include "config/TRQPropertyInserter.h"
#include "crypto/TRQSocketCommand.h"
#include "logging/TRQLogger.h"
#include "logging/TRQLoggerFactory.h"
#include "supervision/TRQBadConfigException.h"
#include "support/TRQText.h"

#include <cstring>
#include <vector>

TRQLogger *TRQSockSendAction::s_logger = TRQLoggerFactory::getInstance()->getLogger("TRQSockSendAction");

namespace {

/// Closes the command's connection when the exchange ends, also when an
/// exception passes.
class CloseAtEnd {
public:
  explicit CloseAtEnd(TRQSocketCommand *command) : m_command(command) {}
  ~CloseAtEnd() { m_command->close(); }
  CloseAtEnd(const CloseAtEnd &) = delete;
  CloseAtEnd &operator=(const CloseAtEnd &) = delete;

private:
  TRQSocketCommand *m_command;
};

} // namespace

TRQSockSendAction::TRQSockSendAction() = default;

TRQSockSendAction::~TRQSockSendAction() { delete m_pCommand; }

bool TRQSockSendAction::readMarker(const RKLIDOM_Element &element, const char *name, std::string &marker,
                                   bool &tooLong) const {
  I18NString value = element.getAttribute(name);
  tooLong = false;
  if (value.empty())
    return false;
  // responseSize is above 0 here, so the comparison cannot wrap.
  if (value.length() <= static_cast<std::size_t>(m_responseSize)) {
    marker = value.c_str();
  } else {
    marker.clear();
    tooLong = true;
  }
  return true;
}

void TRQSockSendAction::configure(RKLIDOM_Element element) {
  s_logger->log(TRQLogLevel::Debug, "preparing");
  TRQAction::configure(element);

  I18NString uriText = element.getAttribute("URI");
  if (uriText.empty()) {
    s_logger->log(TRQLogLevel::Error, "missing URI attribute");
    throw TRQBadConfigException("ping action must have URI");
  }
  std::string uri = uriText.c_str();
  TRQPropertyInserter::getInstance()->insertProperties(uri);
  s_logger->log(TRQLogLevel::Debug, "URI is %s", uri.c_str());
  // A scheme that the security library cannot serve would fail every ping
  // at run time; it is a configuration error.
  if (!TRQSocketCommand::servesScheme(uri.c_str())) {
    s_logger->log(TRQLogLevel::Error, "URI %s cannot be served: its scheme must be tcp, http, tls or https",
                  uri.c_str());
    throw TRQBadConfigException("ping action URI must start with tcp://, http://, tls:// or https://");
  }

  I18NString commandText = element.getAttribute("commandString");
  if (commandText.empty()) {
    s_logger->log(TRQLogLevel::Error, "missing commandString attribute");
    throw TRQBadConfigException("ping action must have commandString attribute.");
  }
  std::string command = commandText.c_str();
  TRQPropertyInserter::getInstance()->insertProperties(command);
  s_logger->log(TRQLogLevel::Debug, "command string is \"%s\"", command.c_str());

  I18NString timeoutText = element.getAttribute("sockIOTimeoutSec");
  int timeoutSec = timeoutText.empty() ? DefaultIOTimeoutSec : TRQText::toInt(timeoutText.c_str());
  s_logger->log(TRQLogLevel::Debug, "socket I/O timeout is %d", timeoutSec);

  // -1 becomes the command's "read at once" value.
  delete m_pCommand;
  m_pCommand = new TRQSocketCommand(uri.c_str(), command.c_str(), static_cast<unsigned>(timeoutSec));

  m_responseSize = 0;
  m_sResponseOK.clear();
  m_sResponseFatal.clear();
  m_sResponseRetry.clear();
  I18NString sizeText = element.getAttribute("responseSize");
  if (!sizeText.empty()) {
    m_responseSize = TRQText::toInt(sizeText.c_str());
    s_logger->log(TRQLogLevel::Debug, "responseSize is \"%d\"", m_responseSize);
  }
  if (m_responseSize <= 0)
    return; // no reply is read, so the markers are not even looked at

  bool tooLong = false;
  if (readMarker(element, "responseOK", m_sResponseOK, tooLong)) {
    if (tooLong)
      s_logger->log(TRQLogLevel::Error, "configured OK response is longer that the response length.");
    s_logger->log(TRQLogLevel::Debug, "responseOK is \"%s\"", m_sResponseOK.c_str());
  }
  if (readMarker(element, "responseFatal", m_sResponseFatal, tooLong)) {
    if (tooLong)
      s_logger->log(TRQLogLevel::Error, "configured FATAL response is longer that the response length.");
    s_logger->log(TRQLogLevel::Debug, "responseFatal is \"%s\"", m_sResponseFatal.c_str());
  }
  if (readMarker(element, "responseRetry", m_sResponseRetry, tooLong)) {
    if (tooLong)
      s_logger->log(TRQLogLevel::Error, "configured RETRY response is longer that the response length.");
    s_logger->log(TRQLogLevel::Debug, "responseRetry is \"%s\"", m_sResponseRetry.c_str());
  }
}

int64_t TRQSockSendAction::doExecute() {
  RKLThreadGuard guard(m_mutex);
  s_logger->log(TRQLogLevel::Debug, "socket send action execute, sending...");
  if (!m_pCommand) {
    // Never configured: there is nothing to send to.
    s_logger->log(TRQLogLevel::Debug, "socket send action failed");
    return -1;
  }
  CloseAtEnd closeAtEnd(m_pCommand);

  int r = m_pCommand->send();
  if (r == -1) {
    s_logger->log(TRQLogLevel::Debug, "socket send action failed");
    return -1;
  }
  if (m_responseSize <= 0) {
    s_logger->log(TRQLogLevel::Debug, "successful send, no response to read.");
    return r;
  }

  const std::size_t size = static_cast<std::size_t>(m_responseSize < MaxReadSize ? m_responseSize : MaxReadSize);
  std::vector<char> buffer(size + 1, '\0');
  s_logger->log(TRQLogLevel::Debug, "successful send, now read response...");
  r = m_pCommand->recv(static_cast<unsigned>(size), buffer.data());
  if (r >= 0) {
    // Control characters, and every byte from 0x80 up, become blanks for
    // the log and the search, up to the first NUL.
    for (std::size_t i = 0; i < size && buffer[i] != '\0'; ++i) {
      if (static_cast<signed char>(buffer[i]) < 32)
        buffer[i] = ' ';
    }
    s_logger->log(TRQLogLevel::Debug, "got response \"%s\"", buffer.data());
  } else if (r == -1) {
    s_logger->log(TRQLogLevel::Debug, "error occured while reading response.");
  }

  return r >= 0 ? classifyReply(buffer.data(), r) : r;
}

int64_t TRQSockSendAction::classifyReply(const char *reply, int length) const {
  int64_t result = length;
  // The fatal and not-ready markers are looked for only behind a success
  // marker, and only in a reply at least as long as it.
  if (!m_sResponseOK.empty() && length >= static_cast<int>(m_sResponseOK.length())) {
    if (std::strstr(reply, m_sResponseOK.c_str())) {
      s_logger->log(TRQLogLevel::Debug, "successfully detected success string in response.");
    } else if (!m_sResponseFatal.empty() && std::strstr(reply, m_sResponseFatal.c_str())) {
      s_logger->log(TRQLogLevel::Debug, "detected fatal error string in response.");
      result = -3;
    } else if (!m_sResponseRetry.empty() && std::strstr(reply, m_sResponseRetry.c_str())) {
      s_logger->log(TRQLogLevel::Debug, "Tomcat is not ready, retry...");
      result = -4;
    } else {
      s_logger->log(TRQLogLevel::Warn, "did not detect success string in response.");
      result = -2;
    }
  }
  return result;
}

void TRQSockSendAction::cancel(bool forGood) {
  if (m_pCommand)
    m_pCommand->cancel(forGood);
}
