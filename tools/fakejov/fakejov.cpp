//===- fakejov.cpp - A scripted stand-in for the JOV library --------------===//
//
// See fakejov.h for the script and the queries. Everything is kept in one
// locked state object that is never destroyed, so that a call during process
// exit still finds it.
//
//===----------------------------------------------------------------------===//
#include "fakejov.h"
#include "JOV_Crypto_Interface.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

struct Value {
  int result = 0;
  int revents = -1; ///< -1: the default for the result
};

struct State {
  std::mutex lock;
  std::map<std::string, std::vector<Value>> script;
  std::map<std::string, std::size_t> next;
  bool noDetails = false;
  std::string reply;

  std::string log;
  std::map<std::string, int> calls;
  std::map<std::string, std::string> documents;
  std::string url;
  std::string sent;
  unsigned pollTimeout = 0;
  unsigned pollEvents = 0;
  unsigned pollCount = 0;
  long long pollHandle = 0;
  unsigned recvCapacity = 0;
  std::set<char *> handedOut;
  int strangeFrees = 0;
  std::string lastFailure;
  JOV_HANDLE nextHandle = 1000;
  std::string answer;
};

State &state() {
  static State *const s = new State();
  return *s;
}

std::string environment(const char *name) {
#ifdef _WIN32
  char buffer[32768];
  DWORD length = GetEnvironmentVariableA(name, buffer, sizeof buffer);
  return length > 0 && length < sizeof buffer ? std::string(buffer, length) : std::string();
#else
  const char *value = std::getenv(name);
  return value ? value : "";
#endif
}

std::vector<std::string> split(const std::string &text, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos)
      return parts;
    start = end + 1;
  }
}

/// Reads the script and the reply; the caller holds the lock.
void readScript(State &s) {
  s.script.clear();
  s.next.clear();
  s.noDetails = false;
  s.reply = environment("FAKEJOV_REPLY");
  for (const std::string &entry : split(environment("FAKEJOV_SCRIPT"), ';')) {
    std::size_t equals = entry.find('=');
    if (entry.empty() || equals == std::string::npos)
      continue;
    std::string name = entry.substr(0, equals);
    if (name == "NoDetails") {
      s.noDetails = entry.substr(equals + 1) != "0";
      continue;
    }
    std::vector<Value> &values = s.script[name];
    for (const std::string &item : split(entry.substr(equals + 1), ',')) {
      // "result[xN]" or "result/revents[xN]"; revents may be hexadecimal.
      std::size_t slash = item.find('/');
      std::string resultPart = item.substr(0, slash);
      std::string reventsPart = slash == std::string::npos ? std::string() : item.substr(slash + 1);
      int repeat = 1;
      std::string &last = slash == std::string::npos ? resultPart : reventsPart;
      std::size_t times = last.find('x', last.compare(0, 2, "0x") == 0 && slash != std::string::npos ? 2 : 0);
      if (times != std::string::npos) {
        repeat = std::atoi(last.c_str() + times + 1);
        last.resize(times);
      }
      Value value;
      value.result = std::atoi(resultPart.c_str());
      if (slash != std::string::npos)
        value.revents = static_cast<int>(std::strtol(reventsPart.c_str(), nullptr, 0));
      for (int i = 0; i < repeat; ++i)
        values.push_back(value);
    }
  }
}

void resetLocked(State &s) {
  readScript(s);
  s.log.clear();
  s.calls.clear();
  s.documents.clear();
  s.url.clear();
  s.sent.clear();
  s.pollTimeout = s.pollEvents = s.pollCount = s.recvCapacity = 0;
  s.pollHandle = 0;
  s.strangeFrees = 0;
  s.lastFailure.clear();
  // Texts still handed out stay counted: a leak across a reset is a leak.
}

/// Takes the lock, reads the script on first use and records the call.
class Call {
public:
  /// `name` is the export's name, with or without its "JOV_" prefix.
  explicit Call(const char *name)
      : m_state(state()), m_guard(m_state.lock), m_name(std::strncmp(name, "JOV_", 4) == 0 ? name + 4 : name) {
    static bool scriptRead = false;
    if (!scriptRead) {
      readScript(m_state);
      scriptRead = true;
    }
    if (!m_state.log.empty())
      m_state.log += ' ';
    m_state.log += m_name;
    ++m_state.calls[m_name];
  }
  State &shared() { return m_state; }

  /// The next scripted value, or `fallback` when the function has no script.
  Value next(Value fallback) {
    auto found = m_state.script.find(m_name);
    if (found == m_state.script.end() || found->second.empty())
      return fallback;
    std::size_t &index = m_state.next[m_name];
    Value value = found->second[index < found->second.size() ? index : found->second.size() - 1];
    if (index < found->second.size())
      ++index;
    return value;
  }
  int next(int fallback) {
    Value value;
    value.result = fallback;
    return next(value).result;
  }

  /// Records a failure and hands out its details when asked for.
  int fail(int result, char **details) {
    const std::string exportName = m_name.compare(0, 3, "AS_") == 0 ? m_name : "JOV_" + m_name;
    m_state.lastFailure = "fake " + exportName + " returned " + std::to_string(result);
    if (details && !m_state.noDetails)
      *details = handOut(m_state.lastFailure);
    return result;
  }

  char *handOut(const std::string &text) {
    char *copy = static_cast<char *>(std::malloc(text.size() + 1));
    std::memcpy(copy, text.c_str(), text.size() + 1);
    m_state.handedOut.insert(copy);
    return copy;
  }

private:
  State &m_state;
  std::lock_guard<std::mutex> m_guard;
  std::string m_name;
};

std::string text(const char *value) { return value ? value : "(null)"; }

} // namespace

extern "C" {

JOV_API void FakeJOV_Reset(void) {
  State &s = state();
  std::lock_guard<std::mutex> guard(s.lock);
  resetLocked(s);
}

JOV_API void FakeJOV_SetReply(const char *data, unsigned length) {
  State &s = state();
  std::lock_guard<std::mutex> guard(s.lock);
  s.reply.assign(data ? data : "", data ? length : 0);
}

JOV_API const char *FakeJOV_Query(const char *key) {
  State &s = state();
  std::lock_guard<std::mutex> guard(s.lock);
  const std::string k = key ? key : "";
  if (k == "log")
    s.answer = s.log;
  else if (k.compare(0, 6, "calls:") == 0)
    s.answer = std::to_string(s.calls.count(k.substr(6)) ? s.calls[k.substr(6)] : 0);
  else if (k.compare(0, 4, "doc:") == 0)
    s.answer = s.documents.count(k.substr(4)) ? s.documents[k.substr(4)] : "";
  else if (k == "url")
    s.answer = s.url;
  else if (k == "sent")
    s.answer = s.sent;
  else if (k == "pollTimeout")
    s.answer = std::to_string(s.pollTimeout);
  else if (k == "pollEvents")
    s.answer = std::to_string(s.pollEvents);
  else if (k == "pollCount")
    s.answer = std::to_string(s.pollCount);
  else if (k == "pollHandle")
    s.answer = std::to_string(s.pollHandle);
  else if (k == "recvCapacity")
    s.answer = std::to_string(s.recvCapacity);
  else if (k == "outstanding")
    s.answer = std::to_string(s.handedOut.size());
  else if (k == "strangeFrees")
    s.answer = std::to_string(s.strangeFrees);
  else
    s.answer = "unknown query " + k;
  return s.answer.c_str();
}

JOV_API int JOV_CryptoInitialize(const char *initializeDocument, int, char **details) {
  Call call("CryptoInitialize");
  call.shared().documents["CryptoInitialize"] = text(initializeDocument);
  int result = call.next(0);
  return result != 0 ? call.fail(result, details) : 0;
}

JOV_API int JOV_CryptoTerminate(const char *terminateDocument, int, char **details) {
  Call call("CryptoTerminate");
  call.shared().documents["CryptoTerminate"] = text(terminateDocument);
  int result = call.next(0);
  return result != 0 ? call.fail(result, details) : 0;
}

JOV_API int JOV_CryptoFree(char *text, int) {
  Call call("CryptoFree");
  if (!text)
    return 0;
  if (call.shared().handedOut.erase(text) == 0) {
    ++call.shared().strangeFrees;
    return JOV_E_INVALID_ARGUMENT;
  }
  std::free(text);
  return 0;
}

JOV_API int JOV_CryptoGetLastErrorDetails(JOV_HANDLE, int, char **details) {
  Call call("CryptoGetLastErrorDetails");
  if (details && !call.shared().noDetails)
    *details = call.handOut(call.shared().lastFailure.empty() ? "fake: no failure" : call.shared().lastFailure);
  return 0;
}

JOV_API int JOV_Socket(JOV_HANDLE *handle, const char *sessionConfigDocument, int, char **details) {
  Call call("Socket");
  call.shared().documents["Socket"] = text(sessionConfigDocument);
  int result = call.next(0);
  if (result < 0)
    return call.fail(result, details);
  if (handle)
    *handle = call.shared().nextHandle++;
  return result;
}

JOV_API int JOV_Connect_Url(JOV_HANDLE, const char *url, const char *sessionConfigDocument) {
  Call call("Connect_Url");
  call.shared().documents["Connect_Url"] = text(sessionConfigDocument);
  call.shared().url = text(url);
  int result = call.next(0);
  return result != 0 ? call.fail(result, nullptr) : 0;
}

JOV_API int JOV_EstablishSecure(JOV_HANDLE, int) {
  Call call("EstablishSecure");
  int result = call.next(0);
  return result != 0 ? call.fail(result, nullptr) : 0;
}

JOV_API int JOV_Send(JOV_HANDLE, const char *data, uint32_t length, uint32_t, uint32_t *sent, void *) {
  Call call("Send");
  call.shared().sent.assign(data ? data : "", data ? length : 0);
  int result = call.next(0);
  if (result != 0)
    return call.fail(result, nullptr);
  if (sent)
    *sent = length;
  return 0;
}

JOV_API int JOV_Recv(JOV_HANDLE, char *buffer, uint32_t capacity, uint32_t, uint32_t *received, void *) {
  Call call("Recv");
  call.shared().recvCapacity = capacity;
  int result = call.next(0);
  if (result < 0)
    return call.fail(result, nullptr);
  const std::string &reply = call.shared().reply;
  uint32_t count = static_cast<uint32_t>(reply.size() < capacity ? reply.size() : capacity);
  if (buffer && count)
    std::memcpy(buffer, reply.data(), count);
  if (received)
    *received = count;
  return result;
}

JOV_API int JOV_Poll(JOV_POLLFD *entries, uint32_t count, uint32_t timeoutMs, int, char **details) {
  Call call("Poll");
  State &s = call.shared();
  s.pollTimeout = timeoutMs;
  s.pollCount = count;
  s.pollEvents = entries && count ? entries[0].events : 0;
  s.pollHandle = entries && count ? entries[0].handle : 0;
  Value fallback;
  fallback.result = 1;
  Value value = call.next(fallback);
  int revents = value.revents;
  if (revents < 0)
    revents = value.result >= 0 && value.result != JOV_POLL_TIMEOUT ? JOV_POLL_READABLE : 0;
  for (uint32_t i = 0; entries && i < count; ++i)
    entries[i].revents = static_cast<uint16_t>(revents);
  return value.result < 0 ? call.fail(value.result, details) : value.result;
}

JOV_API int JOV_CloseHandle(JOV_HANDLE *handle, int, void *) {
  Call call("CloseHandle");
  if (handle)
    *handle = 0;
  return 0;
}

#define FAKEJOV_UNIFORM(number, name)                                                                                  \
  JOV_API int name(JOV_UNIFORM_PARAMETERS) {                                                                           \
    (void)handle, (void)input, (void)inputLength, (void)output, (void)outputLength, (void)reserved;                    \
    Call call(#name);                                                                                                  \
    return call.fail(JOV_E_NOT_SUPPORTED, details);                                                                    \
  }
// Numbers of the uniform exports: everything but the eleven above.
FAKEJOV_UNIFORM(6, JOV_Bind)
FAKEJOV_UNIFORM(7, JOV_Bind_Url)
FAKEJOV_UNIFORM(8, JOV_Listen)
FAKEJOV_UNIFORM(9, JOV_Accept)
FAKEJOV_UNIFORM(10, JOV_Connect)
FAKEJOV_UNIFORM(13, JOV_GetSockName)
FAKEJOV_UNIFORM(14, JOV_GetPeerName)
FAKEJOV_UNIFORM(15, JOV_GetSockOpt)
FAKEJOV_UNIFORM(16, JOV_SetSockOpt)
FAKEJOV_UNIFORM(19, JOV_SocketSecurityOp)
FAKEJOV_UNIFORM(20, JOV_Select)
FAKEJOV_UNIFORM(22, JOV_SocketStatus)
FAKEJOV_UNIFORM(24, JOV_PersistentInitialize)
FAKEJOV_UNIFORM(25, JOV_SetInfo)
FAKEJOV_UNIFORM(26, JOV_ProtectData)
FAKEJOV_UNIFORM(27, JOV_UnprotectData)
FAKEJOV_UNIFORM(28, JOV_GetInfo)
FAKEJOV_UNIFORM(29, JOV_ImpUsrInitialize)
FAKEJOV_UNIFORM(30, JOV_ImpUsrNegotiate)
FAKEJOV_UNIFORM(31, JOV_ImpUsrImpersonate)
FAKEJOV_UNIFORM(32, JOV_ImpUsrRevert)
FAKEJOV_UNIFORM(33, JOV_ImpUsrSerializeHandle)
FAKEJOV_UNIFORM(34, JOV_ImpUsrDeserializeHandle)
FAKEJOV_UNIFORM(35, JOV_GetRandomData)
FAKEJOV_UNIFORM(36, JOV_EncryptCredential)
FAKEJOV_UNIFORM(37, JOV_DecryptCredential)
FAKEJOV_UNIFORM(38, JOV_CMDRT_DecryptPassport)
FAKEJOV_UNIFORM(39, AS_EncryptText)
FAKEJOV_UNIFORM(40, AS_DecryptText)
FAKEJOV_UNIFORM(41, JOV_GenerateUserSessionID)
FAKEJOV_UNIFORM(42, JOV_VerifyUserSessionID)
FAKEJOV_UNIFORM(43, JOV_VerifyUserSessionIDBinary)
FAKEJOV_UNIFORM(44, JOV_UpdateUserSessionID)
FAKEJOV_UNIFORM(45, JOV_VerifyAuthenticityToken)
FAKEJOV_UNIFORM(46, JOV_VerifyAuthenticityTokenBinary)
FAKEJOV_UNIFORM(47, JOV_CreateCapabilityTrustToken)
FAKEJOV_UNIFORM(48, JOV_VerifyCapabilityTrustToken)
FAKEJOV_UNIFORM(49, JOV_ResolveAddress)
FAKEJOV_UNIFORM(50, JOV_ResolveAddressFromURI)
FAKEJOV_UNIFORM(51, JOV_GetAddress)
FAKEJOV_UNIFORM(52, JOV_GetAddressAsText)
FAKEJOV_UNIFORM(53, JOV_ResolveAddressFree)
FAKEJOV_UNIFORM(54, JOV_IsSafeURL)
FAKEJOV_UNIFORM(55, JOV_VerifyFileSignature)

} // extern "C"
