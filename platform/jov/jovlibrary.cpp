//===- jovlibrary.cpp - The JOV library's exports, handles and documents --===//
//
// Handles are ids into one locked table of connections; a call looks its
// connection up, takes the connection's own lock for the operation and lets
// go of the table, so different handles work in parallel and a stale id is
// an error, not a crash. A connection lives until its last user is done:
// JOV_CloseHandle removes it from the table and shuts the socket down, and
// the socket is closed when the last call that still holds the connection
// returns.
//
//===----------------------------------------------------------------------===//
#include "jovinternal.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace jov {
namespace {

/// How long a connection attempt, a handshake round trip, and a send without
/// progress may take.
constexpr int kConnectTimeoutMs = 10000;
constexpr int kHandshakeWaitMs = 10000;
constexpr int kSendStallMs = 30000;
/// How long a receive that has bytes already waits for more of the reply.
constexpr int kReplyGapMs = 500;

//===--- Details texts ----------------------------------------------------===//

/// A copy of `text` in memory that JOV_CryptoFree releases.
char *allocateText(const std::string &text) {
  char *copy = static_cast<char *>(std::malloc(text.size() + 1));
  if (copy)
    std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

void storeDetails(char **details, const std::string &text) {
  if (details)
    *details = allocateText(text);
}

/// The calling thread's last failure, for JOV_CryptoGetLastErrorDetails(0).
/// A plain array: a thread-local with a destructor would pin the library in
/// memory after it is unloaded.
thread_local char t_lastFailure[1024];

void rememberThreadFailure(const std::string &text) {
  std::size_t length = std::min(text.size(), sizeof(t_lastFailure) - 1);
  std::memcpy(t_lastFailure, text.data(), length);
  t_lastFailure[length] = '\0';
}

/// Records a failure of a call that has a details parameter and returns its code.
int failWithDetails(int code, const std::string &text, char **details) {
  rememberThreadFailure(text);
  storeDetails(details, text);
  return code;
}

//===--- Documents --------------------------------------------------------===//

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string trimmed(const std::string &text) {
  std::size_t begin = 0, end = text.size();
  while (begin < end && isBlank(text[begin]))
    ++begin;
  while (end > begin && isBlank(text[end - 1]))
    --end;
  return text.substr(begin, end - begin);
}

/// Skips blanks, the XML declaration, comments and processing instructions
/// in front of the root element. False when one of them is not closed.
bool skipProlog(const std::string &doc, std::size_t &pos) {
  if (doc.compare(0, 3, "\xEF\xBB\xBF") == 0)
    pos = 3;
  for (;;) {
    while (pos < doc.size() && isBlank(doc[pos]))
      ++pos;
    if (doc.compare(pos, 2, "<?") == 0) {
      std::size_t end = doc.find("?>", pos + 2);
      if (end == std::string::npos)
        return false;
      pos = end + 2;
    } else if (doc.compare(pos, 4, "<!--") == 0) {
      std::size_t end = doc.find("-->", pos + 4);
      if (end == std::string::npos)
        return false;
      pos = end + 3;
    } else {
      return true;
    }
  }
}

bool isNameChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == ':' || c == '.' || c == '-';
}

/// The text of the first element `name` in `content`, or false when there
/// is none. An element with attributes counts; an empty one (<name/>) gives "".
bool findElementText(const std::string &content, const std::string &name, std::string &text) {
  const std::string open = "<" + name;
  std::size_t pos = 0;
  while ((pos = content.find(open, pos)) != std::string::npos) {
    std::size_t after = pos + open.size();
    if (after < content.size() && (content[after] == '>' || content[after] == '/' || isBlank(content[after]))) {
      std::size_t tagEnd = content.find('>', after);
      if (tagEnd == std::string::npos)
        return false;
      if (content[tagEnd - 1] == '/') {
        text.clear();
        return true;
      }
      std::size_t close = content.find("</" + name + ">", tagEnd + 1);
      if (close == std::string::npos)
        return false;
      text = content.substr(tagEnd + 1, close - tagEnd - 1);
      return true;
    }
    pos = after;
  }
  return false;
}

/// Checks that `doc` is one `rootName` element (after an optional prolog)
/// that holds a non-empty <serviceID>. On failure `why` says what is wrong.
bool checkServiceDocument(const char *doc, const std::string &rootName, std::string &why) {
  const std::string kind = "the " + rootName;
  if (!doc) {
    why = kind + " is missing (null)";
    return false;
  }
  const std::string text(doc);
  std::size_t pos = 0;
  if (!skipProlog(text, pos)) {
    why = kind + " has an unterminated XML declaration or comment";
    return false;
  }
  if (pos >= text.size()) {
    why = kind + " is empty";
    return false;
  }
  if (text[pos] != '<') {
    why = kind + " does not start with an element";
    return false;
  }
  std::size_t nameEnd = pos + 1;
  while (nameEnd < text.size() && isNameChar(text[nameEnd]))
    ++nameEnd;
  const std::string root = text.substr(pos + 1, nameEnd - pos - 1);
  if (root != rootName) {
    why = "the document's root element is <" + root + ">, not <" + rootName + ">";
    return false;
  }
  std::size_t startEnd = text.find('>', nameEnd);
  if (startEnd == std::string::npos || (nameEnd < text.size() && !isBlank(text[nameEnd]) && text[nameEnd] != '>' &&
                                        text[nameEnd] != '/')) {
    why = "the start tag of <" + rootName + "> is malformed";
    return false;
  }
  if (text[startEnd - 1] == '/') {
    why = kind + " has no <serviceID> element";
    return false;
  }
  const std::string endTag = "</" + rootName + ">";
  std::size_t endPos = text.rfind(endTag);
  if (endPos == std::string::npos || endPos < startEnd) {
    why = kind + " is not closed by " + endTag;
    return false;
  }
  if (!trimmed(text.substr(endPos + endTag.size())).empty()) {
    why = kind + " has text after " + endTag;
    return false;
  }
  std::string serviceId;
  if (!findElementText(text.substr(startEnd + 1, endPos - startEnd - 1), "serviceID", serviceId)) {
    why = kind + " has no <serviceID> element";
    return false;
  }
  serviceId = trimmed(serviceId);
  if (serviceId.empty()) {
    why = "the <serviceID> of the " + rootName + " is empty";
    return false;
  }
  if (serviceId.find('<') != std::string::npos) {
    why = "the <serviceID> of the " + rootName + " holds markup, not a name";
    return false;
  }
  return true;
}

enum class FamilyLookup { Found, Missing, Invalid };

/// Reads <protocolFamily> of a session configuration document.
FamilyLookup readFamily(const char *doc, Family &family, std::string &value) {
  if (!doc || !findElementText(doc, "protocolFamily", value))
    return FamilyLookup::Missing;
  value = trimmed(value);
  if (value == "IPv4") {
    family = Family::IPv4;
    return FamilyLookup::Found;
  }
  if (value == "IPv6") {
    family = Family::IPv6;
    return FamilyLookup::Found;
  }
  return FamilyLookup::Invalid;
}

const char *familyName(Family family) { return family == Family::IPv6 ? "IPv6" : "IPv4"; }

} // namespace

//===--- URLs -------------------------------------------------------------===//

bool parseUrl(const char *text, Url &url, std::string &why) {
  if (!text || !*text) {
    why = "the URL is empty";
    return false;
  }
  const std::string whole(text);
  std::size_t schemeEnd = whole.find("://");
  if (schemeEnd == std::string::npos || schemeEnd == 0) {
    why = "the URL \"" + whole + "\" has no scheme (expected scheme://host:port)";
    return false;
  }
  std::string scheme = whole.substr(0, schemeEnd);
  std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (scheme == "tcp" || scheme == "http") {
    url.secure = false;
  } else if (scheme == "tls" || scheme == "https") {
    url.secure = true;
  } else {
    why = "the URL \"" + whole + "\" has the unknown scheme \"" + scheme + "\" (expected tcp, http, tls or https)";
    return false;
  }
  const std::size_t authorityStart = schemeEnd + 3;
  std::size_t authorityEnd = whole.find_first_of("/?#", authorityStart);
  if (authorityEnd == std::string::npos)
    authorityEnd = whole.size();
  const std::string authority = whole.substr(authorityStart, authorityEnd - authorityStart);
  if (authority.find('@') != std::string::npos) {
    why = "the URL \"" + whole + "\" holds user information, which is not supported";
    return false;
  }
  std::string portText;
  bool hasPort = false;
  if (!authority.empty() && authority[0] == '[') {
    std::size_t close = authority.find(']');
    if (close == std::string::npos) {
      why = "the URL \"" + whole + "\" has an unterminated IPv6 literal";
      return false;
    }
    url.host = authority.substr(1, close - 1);
    std::string rest = authority.substr(close + 1);
    if (!rest.empty()) {
      if (rest[0] != ':') {
        why = "the URL \"" + whole + "\" has text after its IPv6 literal";
        return false;
      }
      hasPort = true;
      portText = rest.substr(1);
    }
  } else {
    std::size_t colon = authority.find(':');
    if (colon != std::string::npos && authority.find(':', colon + 1) != std::string::npos) {
      why = "the URL \"" + whole + "\" has an IPv6 address that is not enclosed in brackets";
      return false;
    }
    url.host = authority.substr(0, colon);
    if (colon != std::string::npos) {
      hasPort = true;
      portText = authority.substr(colon + 1);
    }
  }
  if (url.host.empty()) {
    why = "the URL \"" + whole + "\" has no host";
    return false;
  }
  if (!hasPort || portText.empty()) {
    why = "the URL \"" + whole + "\" has no port";
    return false;
  }
  if (portText.size() > 5 || !std::all_of(portText.begin(), portText.end(),
                                          [](unsigned char c) { return std::isdigit(c) != 0; })) {
    why = "the URL \"" + whole + "\" has the invalid port \"" + portText + "\"";
    return false;
  }
  long port = std::strtol(portText.c_str(), nullptr, 10);
  if (port < 1 || port > 65535) {
    why = "the URL \"" + whole + "\" has the port " + portText + ", outside 1 to 65535";
    return false;
  }
  url.port = std::to_string(port);
  return true;
}

namespace {

//===--- Connections and the handle table ---------------------------------===//

enum class State {
  Created,        ///< no connection yet (also after a failed attempt)
  Connected,      ///< plain connection ready
  SecureRequired, ///< connected, handshake not started
  Handshaking,    ///< handshake under way
  Secure,         ///< secure session ready
  Broken,         ///< the handshake failed; only closing is left
};

struct Connection {
  Connection(JOV_HANDLE handleId, Family handleFamily) : id(handleId), family(handleFamily) {}
  ~Connection() {
    tls.reset();
    if (socket != kNoSocket)
      closeSocket(socket);
  }
  Connection(const Connection &) = delete;
  Connection &operator=(const Connection &) = delete;

  const JOV_HANDLE id;
  const Family family;
  /// Set by JOV_CloseHandle; every wait gives up when it sees it.
  std::atomic<bool> closing{false};

  /// Serialises the operations on this connection; guards the fields below.
  std::mutex lock;
  State state = State::Created;
  SocketId socket = kNoSocket;
  std::unique_ptr<TlsClient> tls;
  std::string url;
  std::string endpoint;

  /// The last failure or notable state, for JOV_CryptoGetLastErrorDetails;
  /// behind a lock of its own so that it can be read during a long wait.
  std::mutex statusLock;
  std::string status;

  void setStatus(const std::string &text) {
    std::lock_guard<std::mutex> guard(statusLock);
    status = text;
  }
  std::string getStatus() {
    std::lock_guard<std::mutex> guard(statusLock);
    return status;
  }
  /// Records a failure of an operation on this connection and returns its code.
  int fail(int code, const std::string &text) {
    setStatus(text);
    rememberThreadFailure(text);
    return code;
  }
};

class HandleTable {
public:
  JOV_HANDLE add(Family family) {
    std::lock_guard<std::mutex> guard(m_lock);
    JOV_HANDLE id = m_next++;
    m_connections.emplace(id, std::make_shared<Connection>(id, family));
    return id;
  }
  std::shared_ptr<Connection> find(JOV_HANDLE id) {
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_connections.find(id);
    return it == m_connections.end() ? nullptr : it->second;
  }
  std::shared_ptr<Connection> remove(JOV_HANDLE id) {
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_connections.find(id);
    if (it == m_connections.end())
      return nullptr;
    std::shared_ptr<Connection> connection = std::move(it->second);
    m_connections.erase(it);
    return connection;
  }

private:
  std::mutex m_lock;
  std::unordered_map<JOV_HANDLE, std::shared_ptr<Connection>> m_connections;
  /// Ids are never reused, so a handle kept after its close stays invalid.
  JOV_HANDLE m_next = 1;
};

// Destroyed when the library is unloaded or the program ends, closing what
// was left open. The program that loads the library never ends while one of
// its threads is inside an exchange: it joins those threads first, or ends
// without running destructors at all.
HandleTable &handles() {
  static HandleTable table;
  return table;
}

std::string invalidHandleText(JOV_HANDLE handle) {
  return "handle " + std::to_string(handle) + " is not an open JOV handle";
}

/// The crypto sessions opened and not yet terminated.
std::mutex g_sessionLock;
unsigned g_openSessions = 0;

//===--- Waiting ----------------------------------------------------------===//

enum class Wait { Ready, TimedOut, Closing, Failed };

/// Waits for the connection's socket to become readable or writable, until
/// `deadline` (Clock::time_point::max() waits without limit), in slices so
/// that a close from another thread ends the wait.
Wait waitForSocket(Connection &c, bool forWrite, Clock::time_point deadline, std::string &reason) {
  for (;;) {
    if (c.closing.load())
      return Wait::Closing;
    Clock::time_point now = Clock::now();
    if (now >= deadline)
      return Wait::TimedOut;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
    int slice = static_cast<int>(std::min<long long>(left + 1, kWaitSliceMs));
    std::vector<WaitEntry> entries(1);
    entries[0].socket = c.socket;
    entries[0].wantRead = !forWrite;
    entries[0].wantWrite = forWrite;
    int ready = waitSockets(entries, slice, reason);
    if (ready < 0)
      return Wait::Failed;
    if (ready > 0)
      return Wait::Ready;
  }
}

std::string notReadyText(const Connection &c) {
  switch (c.state) {
  case State::Created:
    return "handle " + std::to_string(c.id) + " is not connected";
  case State::SecureRequired:
  case State::Handshaking:
    return "the secure session with " + c.endpoint + " is not established yet";
  case State::Broken:
    return "the connection to " + c.endpoint + " failed earlier; close the handle";
  default:
    return "handle " + std::to_string(c.id) + " is in an unexpected state";
  }
}

//===--- Operations -------------------------------------------------------===//

int connectUrl(Connection &c, const char *urlText, const char *sessionDocument) {
  std::lock_guard<std::mutex> guard(c.lock);
  if (c.closing.load())
    return c.fail(JOV_E_CLOSED, "handle " + std::to_string(c.id) + " is being closed");
  Url url;
  std::string why;
  if (!parseUrl(urlText, url, why))
    return c.fail(JOV_E_BAD_URL, why);
  Family named = c.family;
  std::string value;
  switch (readFamily(sessionDocument, named, value)) {
  case FamilyLookup::Invalid:
    return c.fail(JOV_E_BAD_DOCUMENT, "the session configuration document names the unknown protocol family \"" +
                                          value + "\" (expected IPv4 or IPv6)");
  case FamilyLookup::Found:
    if (named != c.family)
      return c.fail(JOV_E_BAD_DOCUMENT, std::string("the session configuration document names ") +
                                            familyName(named) + ", but handle " + std::to_string(c.id) +
                                            " was created for " + familyName(c.family));
    break;
  case FamilyLookup::Missing:
    break;
  }

  const bool sameUrl = c.url == urlText;
  switch (c.state) {
  case State::Connected:
  case State::Secure:
    if (sameUrl)
      return JOV_OK;
    return c.fail(JOV_E_STATE, "handle " + std::to_string(c.id) + " is already connected to " + c.url);
  case State::SecureRequired:
  case State::Handshaking:
    if (sameUrl)
      return c.fail(JOV_E_SECURE_REQUIRED,
                    "the secure session with " + c.endpoint + " must be established first (JOV_EstablishSecure)");
    return c.fail(JOV_E_STATE, "handle " + std::to_string(c.id) + " is already connecting to " + c.url);
  case State::Broken:
    return c.fail(JOV_E_STATE, notReadyText(c));
  case State::Created:
    break;
  }

  Failure failure;
  if (url.secure && !tlsAvailable(failure))
    return c.fail(failure.code, failure.text);
  if (!startNetworking(failure))
    return c.fail(failure.code, failure.text);
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kConnectTimeoutMs);
  SocketId socket = connectTcp(c.family, url.host, url.port, deadline, c.closing, failure);
  if (socket == kNoSocket)
    return c.fail(failure.code, failure.text);
  c.socket = socket;
  c.url = urlText;
  c.endpoint = url.endpoint();
  if (!url.secure) {
    c.state = State::Connected;
    c.setStatus("connected to " + c.endpoint);
    return JOV_OK;
  }
  c.tls = createTlsClient(socket, url.host, failure);
  if (!c.tls) {
    c.state = State::Broken;
    return c.fail(failure.code, failure.text);
  }
  c.state = State::SecureRequired;
  return c.fail(JOV_E_SECURE_REQUIRED,
                "connected to " + c.endpoint + "; the secure session must be established (JOV_EstablishSecure)");
}

int establishSecure(Connection &c) {
  std::lock_guard<std::mutex> guard(c.lock);
  if (c.closing.load())
    return c.fail(JOV_E_CLOSED, "handle " + std::to_string(c.id) + " is being closed");
  switch (c.state) {
  case State::Secure:
    return JOV_OK;
  case State::SecureRequired:
  case State::Handshaking:
    break;
  case State::Connected:
    return c.fail(JOV_E_STATE, "the connection to " + c.endpoint + " is not a secured one (use a tls or https URL)");
  default:
    return c.fail(JOV_E_STATE, notReadyText(c));
  }
  Failure failure;
  switch (c.tls->handshake(kHandshakeWaitMs, c.closing, failure)) {
  case TlsClient::Step::Done:
    c.state = State::Secure;
    c.setStatus("secure session with " + c.endpoint + " established (" + c.tls->protocol() + ")");
    return JOV_OK;
  case TlsClient::Step::InProgress:
    c.state = State::Handshaking;
    return c.fail(JOV_E_IN_PROGRESS, "the TLS handshake with " + c.endpoint + " is in progress");
  case TlsClient::Step::Failed:
    break;
  }
  if (failure.code != JOV_E_CLOSED)
    c.state = State::Broken;
  return c.fail(failure.code, "TLS handshake with " + c.endpoint + " failed: " + failure.text);
}

bool isReady(const Connection &c) { return c.state == State::Connected || c.state == State::Secure; }

int sendAll(Connection &c, const char *data, uint32_t length, uint32_t *sent) {
  std::lock_guard<std::mutex> guard(c.lock);
  if (c.closing.load())
    return c.fail(JOV_E_CLOSED, "handle " + std::to_string(c.id) + " is being closed");
  if (!isReady(c))
    return c.fail(JOV_E_STATE, notReadyText(c));
  std::size_t total = 0;
  Clock::time_point stallDeadline = Clock::now() + std::chrono::milliseconds(kSendStallMs);
  while (total < length) {
    std::size_t moved = 0;
    std::string reason;
    Io io = c.tls ? c.tls->write(data + total, length - total, moved, reason)
                  : sendSome(c.socket, data + total, length - total, moved, reason);
    if (io == Io::Done) {
      total += moved;
      if (sent)
        *sent = static_cast<uint32_t>(total);
      stallDeadline = Clock::now() + std::chrono::milliseconds(kSendStallMs);
      continue;
    }
    if (io == Io::Closed)
      return c.fail(JOV_E_SEND, "sending to " + c.endpoint + " failed: the peer has closed the connection");
    if (io == Io::Failed)
      return c.fail(JOV_E_SEND, "sending to " + c.endpoint + " failed: " + reason);
    switch (waitForSocket(c, io == Io::WantWrite, stallDeadline, reason)) {
    case Wait::Ready:
      break;
    case Wait::TimedOut:
      return c.fail(JOV_E_TIMEOUT, "sending to " + c.endpoint + " made no progress for " +
                                       std::to_string(kSendStallMs / 1000) + " seconds");
    case Wait::Closing:
      return c.fail(JOV_E_CLOSED, "handle " + std::to_string(c.id) + " was closed while sending");
    case Wait::Failed:
      return c.fail(JOV_E_SEND, "sending to " + c.endpoint + " failed: " + reason);
    }
  }
  c.setStatus("sent " + std::to_string(total) + " bytes to " + c.endpoint);
  return JOV_OK;
}

int receiveOnce(Connection &c, char *buffer, uint32_t capacity, uint32_t *received) {
  std::lock_guard<std::mutex> guard(c.lock);
  if (c.closing.load())
    return c.fail(JOV_E_CLOSED, "handle " + std::to_string(c.id) + " is being closed");
  if (!isReady(c))
    return c.fail(JOV_E_STATE, notReadyText(c));
  if (capacity == 0)
    return JOV_OK;
  // A reply may come in several records or segments: once the first bytes
  // are in, the rest is collected until the buffer is full, the peer ends
  // the stream, or nothing more comes for a moment.
  std::size_t total = 0;
  Clock::time_point gapDeadline = Clock::time_point::max();
  for (;;) {
    std::size_t moved = 0;
    std::string reason;
    Io io = c.tls ? c.tls->read(buffer + total, capacity - total, moved, reason)
                  : recvSome(c.socket, buffer + total, capacity - total, moved, reason);
    switch (io) {
    case Io::Done:
      total += moved;
      if (received)
        *received = static_cast<uint32_t>(total);
      if (total >= capacity)
        return JOV_OK;
      gapDeadline = Clock::now() + std::chrono::milliseconds(kReplyGapMs);
      continue;
    case Io::Closed:
      if (total == 0)
        c.setStatus("the peer " + c.endpoint + " has closed the connection");
      return JOV_OK;
    case Io::Failed:
      // Over TLS a failure after the first bytes is a stream cut short
      // without the session's end: the reply may be incomplete, so it is
      // not delivered as if it were whole.
      if (total > 0 && !c.tls) {
        // What arrived is delivered; the failure shows at the next call.
        c.setStatus("receiving from " + c.endpoint + " failed after " + std::to_string(total) + " bytes: " + reason);
        return JOV_OK;
      }
      return c.fail(JOV_E_RECV, "receiving from " + c.endpoint + " failed: " + reason);
    case Io::WantRead:
    case Io::WantWrite:
      break;
    }
    switch (waitForSocket(c, io == Io::WantWrite, gapDeadline, reason)) {
    case Wait::Ready:
      break;
    case Wait::TimedOut:
      if (total > 0)
        return JOV_OK;
      break;
    case Wait::Closing:
      return c.fail(JOV_E_CLOSED, "handle " + std::to_string(c.id) + " was closed while receiving");
    case Wait::Failed:
      if (total > 0)
        return JOV_OK;
      return c.fail(JOV_E_RECV, "receiving from " + c.endpoint + " failed: " + reason);
    }
  }
}

constexpr uint16_t kReadRequest = JOV_POLL_READABLE;
constexpr uint16_t kWriteRequest = JOV_POLL_WRITABLE;

int pollEntries(JOV_POLLFD *entries, uint32_t count, uint32_t timeoutMs, char **details) {
  if (count > 0 && !entries)
    return failWithDetails(JOV_E_INVALID_ARGUMENT, "JOV_Poll: the entries are null", details);
  std::vector<std::shared_ptr<Connection>> connections(count);
  for (uint32_t i = 0; i < count; ++i) {
    entries[i].revents = 0;
    connections[i] = handles().find(entries[i].handle);
    if (!connections[i])
      return failWithDetails(JOV_E_INVALID_HANDLE, "JOV_Poll: " + invalidHandleText(entries[i].handle), details);
  }
  const bool unlimited = timeoutMs == JOV_POLL_INFINITE;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(unlimited ? 0 : timeoutMs);

  for (;;) {
    int ready = 0;
    std::vector<WaitEntry> waits;
    std::vector<uint32_t> waitIndex;
    for (uint32_t i = 0; i < count; ++i) {
      Connection &c = *connections[i];
      uint16_t found = 0;
      if (c.closing.load()) {
        found = JOV_POLL_HANGUP | (entries[i].events & kReadRequest ? JOV_POLL_READABLE : 0);
      } else {
        std::lock_guard<std::mutex> guard(c.lock);
        if (!isReady(c)) {
          std::string text = "JOV_Poll: " + notReadyText(c);
          c.fail(JOV_E_STATE, text);
          return failWithDetails(JOV_E_STATE, text, details);
        }
        if ((entries[i].events & kReadRequest) && c.tls && c.tls->hasBufferedData())
          found = JOV_POLL_READABLE;
        if (!found && (entries[i].events & (kReadRequest | kWriteRequest))) {
          WaitEntry wait;
          wait.socket = c.socket;
          wait.wantRead = (entries[i].events & kReadRequest) != 0;
          wait.wantWrite = (entries[i].events & kWriteRequest) != 0;
          waits.push_back(wait);
          waitIndex.push_back(i);
        }
      }
      entries[i].revents = found;
      if (found)
        ++ready;
    }
    if (ready > 0)
      return ready;

    int slice = kWaitSliceMs;
    if (!unlimited) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left < 0)
        left = 0;
      slice = static_cast<int>(std::min<long long>(left, kWaitSliceMs));
    }
    std::string reason;
    int woken = waits.empty() ? 0 : waitSockets(waits, slice, reason);
    if (waits.empty() && slice > 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(slice));
    if (woken < 0)
      return failWithDetails(JOV_E_POLL, "JOV_Poll failed: " + reason, details);
    for (std::size_t w = 0; w < waits.size() && woken > 0; ++w) {
      JOV_POLLFD &entry = entries[waitIndex[w]];
      Connection &c = *connections[waitIndex[w]];
      uint16_t found = 0;
      if (waits[w].readable && waits[w].wantRead) {
        if (c.tls && !waits[w].failed) {
          // Readable bytes may be protocol messages only (a session ticket
          // after the handshake); count it readable only when they carry data
          // or end the stream.
          std::lock_guard<std::mutex> guard(c.lock);
          if (!c.closing.load() && c.tls->probe(reason) != Io::WantRead)
            found |= JOV_POLL_READABLE;
        } else {
          found |= JOV_POLL_READABLE;
        }
      }
      if (waits[w].writable && waits[w].wantWrite)
        found |= JOV_POLL_WRITABLE;
      if (waits[w].failed)
        found |= JOV_POLL_ERROR | JOV_POLL_HANGUP;
      entry.revents = found;
      if (found & (JOV_POLL_READABLE | JOV_POLL_WRITABLE | JOV_POLL_ERROR))
        ++ready;
    }
    if (ready > 0)
      return ready;
    for (uint32_t i = 0; i < count; ++i)
      entries[i].revents = 0;
    if (!unlimited && Clock::now() >= deadline)
      return JOV_POLL_TIMEOUT;
  }
}

int closeConnection(JOV_HANDLE id) {
  std::shared_ptr<Connection> c = handles().remove(id);
  if (!c)
    return JOV_E_INVALID_HANDLE;
  c->closing.store(true);
  std::lock_guard<std::mutex> guard(c->lock);
  if (c->tls && c->state == State::Secure)
    c->tls->shutdown();
  if (c->socket != kNoSocket)
    shutdownSocket(c->socket);
  return JOV_OK;
}

/// A function that the library exports but does not offer.
int notSupported(const char *name, char **details) {
  return failWithDetails(JOV_E_NOT_SUPPORTED, std::string(name) + " is not supported by this library", details);
}

} // namespace
} // namespace jov

using namespace jov;

//===--- Exports ----------------------------------------------------------===//

extern "C" {

JOV_API int JOV_CryptoInitialize(const char *initializeDocument, int, char **details) {
  std::string why;
  if (!checkServiceDocument(initializeDocument, "initializeDocument", why))
    return failWithDetails(JOV_E_BAD_DOCUMENT, "JOV_CryptoInitialize: " + why, details);
  std::lock_guard<std::mutex> guard(g_sessionLock);
  ++g_openSessions;
  return JOV_OK;
}

JOV_API int JOV_CryptoTerminate(const char *terminateDocument, int, char **details) {
  std::string why;
  if (!checkServiceDocument(terminateDocument, "terminateDocument", why))
    return failWithDetails(JOV_E_BAD_DOCUMENT, "JOV_CryptoTerminate: " + why, details);
  std::lock_guard<std::mutex> guard(g_sessionLock);
  if (g_openSessions == 0)
    return failWithDetails(JOV_E_STATE, "JOV_CryptoTerminate: no crypto session is open", details);
  --g_openSessions;
  return JOV_OK;
}

JOV_API int JOV_CryptoFree(char *text, int) {
  std::free(text);
  return JOV_OK;
}

JOV_API int JOV_CryptoGetLastErrorDetails(JOV_HANDLE handle, int, char **details) {
  if (!details)
    return JOV_E_INVALID_ARGUMENT;
  if (handle == 0) {
    *details = allocateText(t_lastFailure[0] ? t_lastFailure : "no failure has occurred on this thread");
    return JOV_OK;
  }
  std::shared_ptr<Connection> c = handles().find(handle);
  if (!c) {
    *details = allocateText(invalidHandleText(handle));
    return JOV_E_INVALID_HANDLE;
  }
  std::string status = c->getStatus();
  *details = allocateText(status.empty() ? "no failure has occurred on handle " + std::to_string(handle) : status);
  return JOV_OK;
}

JOV_API int JOV_Socket(JOV_HANDLE *handle, const char *sessionConfigDocument, int, char **details) {
  if (!handle)
    return failWithDetails(JOV_E_INVALID_ARGUMENT, "JOV_Socket: the handle address is null", details);
  Family family = Family::IPv4;
  std::string value;
  switch (readFamily(sessionConfigDocument, family, value)) {
  case FamilyLookup::Missing:
    return failWithDetails(JOV_E_BAD_DOCUMENT,
                           sessionConfigDocument
                               ? "JOV_Socket: the session configuration document has no <protocolFamily> element"
                               : "JOV_Socket: the session configuration document is missing (null)",
                           details);
  case FamilyLookup::Invalid:
    return failWithDetails(JOV_E_BAD_DOCUMENT,
                           "JOV_Socket: the session configuration document names the unknown protocol family \"" +
                               value + "\" (expected IPv4 or IPv6)",
                           details);
  case FamilyLookup::Found:
    break;
  }
  *handle = handles().add(family);
  return JOV_OK;
}

JOV_API int JOV_Connect_Url(JOV_HANDLE handle, const char *url, const char *sessionConfigDocument) {
  std::shared_ptr<Connection> c = handles().find(handle);
  if (!c) {
    rememberThreadFailure("JOV_Connect_Url: " + invalidHandleText(handle));
    return JOV_E_INVALID_HANDLE;
  }
  return connectUrl(*c, url, sessionConfigDocument);
}

JOV_API int JOV_EstablishSecure(JOV_HANDLE handle, int) {
  std::shared_ptr<Connection> c = handles().find(handle);
  if (!c) {
    rememberThreadFailure("JOV_EstablishSecure: " + invalidHandleText(handle));
    return JOV_E_INVALID_HANDLE;
  }
  return establishSecure(*c);
}

JOV_API int JOV_Send(JOV_HANDLE handle, const char *data, uint32_t length, uint32_t flags, uint32_t *sent, void *) {
  if (sent)
    *sent = 0;
  std::shared_ptr<Connection> c = handles().find(handle);
  if (!c) {
    rememberThreadFailure("JOV_Send: " + invalidHandleText(handle));
    return JOV_E_INVALID_HANDLE;
  }
  if (!data && length > 0)
    return c->fail(JOV_E_INVALID_ARGUMENT, "JOV_Send: the data is null");
  if (flags != 0)
    return c->fail(JOV_E_INVALID_ARGUMENT, "JOV_Send: unknown flags " + std::to_string(flags));
  return sendAll(*c, data, length, sent);
}

JOV_API int JOV_Recv(JOV_HANDLE handle, char *buffer, uint32_t capacity, uint32_t flags, uint32_t *received, void *) {
  if (received)
    *received = 0;
  std::shared_ptr<Connection> c = handles().find(handle);
  if (!c) {
    rememberThreadFailure("JOV_Recv: " + invalidHandleText(handle));
    return JOV_E_INVALID_HANDLE;
  }
  if (!buffer && capacity > 0)
    return c->fail(JOV_E_INVALID_ARGUMENT, "JOV_Recv: the buffer is null");
  if (flags != 0)
    return c->fail(JOV_E_INVALID_ARGUMENT, "JOV_Recv: unknown flags " + std::to_string(flags));
  return receiveOnce(*c, buffer, capacity, received);
}

JOV_API int JOV_Poll(JOV_POLLFD *entries, uint32_t count, uint32_t timeoutMs, int, char **details) {
  return pollEntries(entries, count, timeoutMs, details);
}

JOV_API int JOV_CloseHandle(JOV_HANDLE *handle, int, void *) {
  if (!handle) {
    rememberThreadFailure("JOV_CloseHandle: the handle address is null");
    return JOV_E_INVALID_ARGUMENT;
  }
  int rc = closeConnection(*handle);
  if (rc != JOV_OK) {
    rememberThreadFailure("JOV_CloseHandle: " + invalidHandleText(*handle));
    return rc;
  }
  *handle = 0;
  return JOV_OK;
}

#define JOV_NOT_SUPPORTED(name)                                                                            \
  JOV_API int name(JOV_HANDLE, const void *, uint32_t, void *, uint32_t *, int, char **details) {         \
    return notSupported(#name, details);                                                                   \
  }

JOV_NOT_SUPPORTED(JOV_Bind)
JOV_NOT_SUPPORTED(JOV_Bind_Url)
JOV_NOT_SUPPORTED(JOV_Listen)
JOV_NOT_SUPPORTED(JOV_Accept)
JOV_NOT_SUPPORTED(JOV_Connect)
JOV_NOT_SUPPORTED(JOV_GetSockName)
JOV_NOT_SUPPORTED(JOV_GetPeerName)
JOV_NOT_SUPPORTED(JOV_GetSockOpt)
JOV_NOT_SUPPORTED(JOV_SetSockOpt)
JOV_NOT_SUPPORTED(JOV_SocketSecurityOp)
JOV_NOT_SUPPORTED(JOV_Select)
JOV_NOT_SUPPORTED(JOV_SocketStatus)
JOV_NOT_SUPPORTED(JOV_PersistentInitialize)
JOV_NOT_SUPPORTED(JOV_SetInfo)
JOV_NOT_SUPPORTED(JOV_ProtectData)
JOV_NOT_SUPPORTED(JOV_UnprotectData)
JOV_NOT_SUPPORTED(JOV_GetInfo)
JOV_NOT_SUPPORTED(JOV_ImpUsrInitialize)
JOV_NOT_SUPPORTED(JOV_ImpUsrNegotiate)
JOV_NOT_SUPPORTED(JOV_ImpUsrImpersonate)
JOV_NOT_SUPPORTED(JOV_ImpUsrRevert)
JOV_NOT_SUPPORTED(JOV_ImpUsrSerializeHandle)
JOV_NOT_SUPPORTED(JOV_ImpUsrDeserializeHandle)
JOV_NOT_SUPPORTED(JOV_GetRandomData)
JOV_NOT_SUPPORTED(JOV_EncryptCredential)
JOV_NOT_SUPPORTED(JOV_DecryptCredential)
JOV_NOT_SUPPORTED(JOV_CMDRT_DecryptPassport)
JOV_NOT_SUPPORTED(AS_EncryptText)
JOV_NOT_SUPPORTED(AS_DecryptText)
JOV_NOT_SUPPORTED(JOV_GenerateUserSessionID)
JOV_NOT_SUPPORTED(JOV_VerifyUserSessionID)
JOV_NOT_SUPPORTED(JOV_VerifyUserSessionIDBinary)
JOV_NOT_SUPPORTED(JOV_UpdateUserSessionID)
JOV_NOT_SUPPORTED(JOV_VerifyAuthenticityToken)
JOV_NOT_SUPPORTED(JOV_VerifyAuthenticityTokenBinary)
JOV_NOT_SUPPORTED(JOV_CreateCapabilityTrustToken)
JOV_NOT_SUPPORTED(JOV_VerifyCapabilityTrustToken)
JOV_NOT_SUPPORTED(JOV_ResolveAddress)
JOV_NOT_SUPPORTED(JOV_ResolveAddressFromURI)
JOV_NOT_SUPPORTED(JOV_GetAddress)
JOV_NOT_SUPPORTED(JOV_GetAddressAsText)
JOV_NOT_SUPPORTED(JOV_ResolveAddressFree)
JOV_NOT_SUPPORTED(JOV_IsSafeURL)
// The test build that lacks exactly the last export leaves this one out.
#ifndef JOV_LEAVE_OUT_VERIFY_FILE_SIGNATURE
JOV_NOT_SUPPORTED(JOV_VerifyFileSignature)
#endif

} // extern "C"
