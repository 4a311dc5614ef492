//===- TRQSocketCommand.cpp - One request/response exchange over the JOV library ===//
#include "crypto/TRQSocketCommand.h"

#include "crypto/TRQCryptoHelper.h"
#include "logging/TRQLogger.h"
#include "logging/TRQLoggerFactory.h"
#include "rklcfgapi.h"
#include "rklcore.h"
#include "rklcrypto.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstring>

namespace {

/// JOV_Connect_Url: the secure session must be established first.
constexpr int SecureRequired = -15;
/// JOV_EstablishSecure: the handshake needs another call.
constexpr int EstablishInProgress = -23;
/// JOV_Poll: the time limit passed.
constexpr int PollTimedOut = 2;
/// Readiness for reading, asked for and tested in the poll entry.
constexpr uint16_t ReadEvents = 0x0300;
/// Repetitions of connecting and establishing together, after the first try.
constexpr int ConnectRetries = 5;

std::atomic<long> g_connectPauseMs{2000};

#define TRQ_SESSION_CONFIG(family)                                                                                     \
  "<?xml version=\"1.0\" encoding=\"UTF-8\"?><sessionConfigDocument xmlns=\"" JOV_CRYPTO_NAMESPACE                     \
  "\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xsi:schemaLocation=\"" JOV_CRYPTO_NAMESPACE              \
  "crypto.xsd\"><serviceID>gateway</serviceID><protocolFamily>" family "</protocolFamily></sessionConfigDocument>"

} // namespace

const char *const TRQSocketCommand::SessionConfigIPv4 = TRQ_SESSION_CONFIG("IPv4");
const char *const TRQSocketCommand::SessionConfigIPv6 = TRQ_SESSION_CONFIG("IPv6");

bool TRQSocketCommand::servesScheme(const char *uri) {
  static const char *const served[] = {"tcp", "http", "tls", "https"};
  const char *end = uri ? std::strstr(uri, "://") : nullptr;
  if (!end)
    return false;
  const std::size_t length = static_cast<std::size_t>(end - uri);
  for (const char *scheme : served) {
    if (std::strlen(scheme) != length)
      continue;
    std::size_t i = 0;
    while (i < length && std::tolower(static_cast<unsigned char>(uri[i])) == scheme[i])
      ++i;
    if (i == length)
      return true;
  }
  return false;
}

TRQLogger *TRQSocketCommand::s_logger = TRQLoggerFactory::getInstance()->getLogger("TRQSocketCommand");

TRQSocketCommand::TRQSocketCommand(const char *uri, const char *command, unsigned ioTimeoutSec)
    : m_sCommand(command ? command : ""), m_sURI(uri ? uri : ""), m_ioTimeoutSec(ioTimeoutSec) {}

TRQSocketCommand::~TRQSocketCommand() { close(); }

void TRQSocketCommand::setConnectPauseMsForTesting(long milliseconds) { g_connectPauseMs.store(milliseconds); }

const char *TRQSocketCommand::chooseSessionConfig() {
  const std::string &uri = m_sURI;
  // The host starts behind the first "//". Without one, the search's
  // "not found" (all ones in 32 bits) plus 2 wraps around to 1, so the host
  // starts at the second character.
  std::size_t slashes = uri.find("//");
  uint32_t start = (slashes == std::string::npos ? 0xFFFFFFFFu : static_cast<uint32_t>(slashes)) + 2u;
  std::size_t slash = uri.find('/', start);
  std::size_t end = slash == std::string::npos ? uri.size() : slash;
  // The port's colon is the last one of the host part (never one of the
  // path), so a bracketed IPv6 literal keeps its own colons.
  std::size_t colon = end > start ? uri.rfind(':', end - 1) : std::string::npos;
  if (colon == std::string::npos || colon < start)
    colon = end;
  std::string host = colon > start ? uri.substr(start, colon - start) : std::string();

  if (host.find(':') != std::string::npos)
    return SessionConfigIPv6;
  if (host.find('.') != std::string::npos && host.find_first_not_of("0123456789.") == std::string::npos)
    return SessionConfigIPv4;
  I18NString network = RKLConfigurationFactory::getInstance().getValue("networkConfiguration", 0);
  if (!network.empty() && network == "IPv6")
    return SessionConfigIPv6;
  return SessionConfigIPv4;
}

char *TRQSocketCommand::lastErrorDetails() {
  char *details = nullptr;
  if (m_pCrypto)
    m_pCrypto->CryptoGetLastErrorDetails(m_handle, 0, &details);
  else
    details = const_cast<char *>(RKLCrypto::emptyDetails()); // as an unbound library answers
  return details;
}

void TRQSocketCommand::freeDetails(char *details) {
  if (m_pCrypto)
    m_pCrypto->CryptoFree(details, 0);
}

int TRQSocketCommand::connect() {
  // A handle that an earlier exchange left open would stay open for ever.
  close();
  m_pCrypto = TRQCryptoHelper::getCrypto();
  char *details = nullptr;
  {
    // The pause is where an exchange spends most of its time before it has
    // a handle to close: a cancel ends it there too.
    std::unique_lock<std::mutex> lock(m_exchangeLock);
    m_inFlight = true;
    m_cancelled = m_refused;
    m_cancelSignal.wait_for(lock, std::chrono::milliseconds(g_connectPauseMs.load()), [this] { return m_cancelled; });
    if (m_cancelled) {
      s_logger->log(TRQLogLevel::Debug, "the exchange with %s was cancelled before it connected.", m_sURI.c_str());
      return -1;
    }
  }
  const char *document = chooseSessionConfig();

  int rc = -1;
  if (m_pCrypto)
    rc = m_pCrypto->Socket(&m_handle, document, 0, &details);
  else
    details = const_cast<char *>(RKLCrypto::emptyDetails()); // fails as an unbound library does
  if (rc < 0) {
    if (details) {
      s_logger->log(TRQLogLevel::Error, "failed to create JOV handle: %s ", details);
      freeDetails(details);
    }
    return -1;
  }
  {
    std::lock_guard<std::mutex> lock(m_exchangeLock);
    if (m_cancelled) {
      s_logger->log(TRQLogLevel::Debug, "the exchange with %s was cancelled before it connected.", m_sURI.c_str());
      return -1; // the handle is left for close()
    }
    m_liveHandle = m_handle;
  }

  // One budget of repetitions serves both the connect and the establish
  // steps; there is no pause between repetitions.
  int retries = ConnectRetries;
  for (;;) {
    rc = m_pCrypto->Connect_Url(m_handle, m_sURI.c_str(), document);
    if (rc != 0) {
      details = lastErrorDetails();
      if (details) {
        // "Establish the secure session first" is a step of every secured
        // exchange, not a failure, as long as repetitions are left.
        s_logger->log(rc == SecureRequired && retries > 0 ? TRQLogLevel::Debug : TRQLogLevel::Error,
                      "failed to connect, JOV error: %s ", details);
        freeDetails(details);
      }
    }
    if (rc == 0)
      return 0;
    if (rc != SecureRequired)
      return -1;

    for (;;) {
      int established = m_pCrypto->EstablishSecure(m_handle, 0);
      if (established != 0) {
        details = lastErrorDetails();
        if (details) {
          // A handshake still under way is logged as a step; one that failed,
          // or that used up the repetitions, as an error.
          const bool goesOn = established == EstablishInProgress && retries > 0;
          s_logger->log(goesOn ? TRQLogLevel::Debug : TRQLogLevel::Error, "failed to establish, JOV error: %s ",
                        details);
          freeDetails(details);
        }
      }
      if (established == 0)
        break;
      if (established != EstablishInProgress)
        return -1;
      if (retries <= 0)
        return -1;
      --retries;
    }
    if (retries <= 0)
      return -1;
    --retries;
  }
}

int TRQSocketCommand::send() {
  if (connect() == -1)
    return -1;
  uint32_t count = 0; // not looked at: a partial send is not detected
  int rc = m_pCrypto->Send(m_handle, m_sCommand.data(), static_cast<uint32_t>(m_sCommand.size()), 0, &count, nullptr);
  if (rc != 0) {
    char *details = lastErrorDetails();
    if (details) {
      s_logger->log(TRQLogLevel::Error, "failed to send, JOV error: %s ", details);
      freeDetails(details);
    }
    return -1;
  }
  return 1;
}

int TRQSocketCommand::recv(unsigned size, char *buffer) {
  {
    JOV_POLLFD entry{m_handle, ReadEvents, 0};
    char *details = nullptr;
    // "Read at once" (and any other negative limit) still waits for the
    // reply, only not for ever: a silent peer must not hold the supervisor,
    // nor a stop. Large limits stay below the 32-bit wrap.
    uint64_t limitSec = m_ioTimeoutSec >= 0x80000000u ? DefaultReplyWaitSec : m_ioTimeoutSec;
    uint32_t timeoutMs = static_cast<uint32_t>(std::min<uint64_t>(limitSec * 1000u, 0x7FFFFFFFu));
    int rc = -1;
    if (m_pCrypto)
      rc = m_pCrypto->Poll(&entry, 1, timeoutMs, 0, &details);
    else
      details = const_cast<char *>(RKLCrypto::emptyDetails());
    const bool readable = (entry.revents & ReadEvents) != 0;
    if (rc == PollTimedOut && !readable) {
      s_logger->log(TRQLogLevel::Error, "no response,  JOV_Poll timed out.");
      if (details)
        freeDetails(details);
      return -1;
    }
    if (rc < 0) {
      if (details) {
        s_logger->log(TRQLogLevel::Error, "JOV_Poll failed, JOV error: %s ", details);
        freeDetails(details);
      }
      return -1;
    }
    if (details)
      freeDetails(details);
    if (!readable) {
      s_logger->log(TRQLogLevel::Error, "JOV_Poll succeeded but socket not ready for reading.  This is unexpected.");
      return -1;
    }
  }

  uint32_t count = 0;
  int rc = m_pCrypto ? m_pCrypto->Recv(m_handle, buffer, size, 0, &count, nullptr) : -1;
  if (rc >= 0)
    return static_cast<int>(count);
  char *details = lastErrorDetails();
  if (details) {
    s_logger->log(TRQLogLevel::Error, "JOV_recv failed, JOV error: %s ", details);
    freeDetails(details);
  }
  return -1;
}

void TRQSocketCommand::close() {
  {
    std::lock_guard<std::mutex> lock(m_exchangeLock);
    m_liveHandle = 0;
    m_inFlight = false;
  }
  if (m_pCrypto && m_handle != 0)
    m_pCrypto->CloseHandle(&m_handle, 0, nullptr);
  // A handle that a cancel closed already is unknown to the library, which
  // then leaves the id as it was: it is gone all the same.
  m_handle = 0;
}

void TRQSocketCommand::cancel(bool forGood) {
  int64_t live = 0;
  {
    std::lock_guard<std::mutex> lock(m_exchangeLock);
    if (forGood)
      m_refused = true;
    // An exchange that begins later starts from m_refused, so a cancel
    // between two exchanges is forgotten unless it is for good.
    m_cancelled = true;
    live = m_liveHandle;
    m_liveHandle = 0;
  }
  m_cancelSignal.notify_all();
  // The library allows a handle to be closed from another thread: the
  // exchange's waits then end, and its own close finds the id gone.
  RKLCrypto *crypto = TRQCryptoHelper::getCrypto();
  if (live != 0 && crypto)
    crypto->CloseHandle(&live, 0, nullptr);
}
