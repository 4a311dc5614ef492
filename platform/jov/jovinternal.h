//===- jovinternal.h - What the JOV library's core needs from each system -===//
//
// The core (jovlibrary.cpp) keeps handles, states, documents and URLs; it
// reaches the network through the socket layer (jovsocket-*.cpp) and secure
// sessions through the TLS layer (jovtls-*.cpp), one implementation of each
// per system. Every socket is non-blocking and never inherited by child
// processes; all waiting is done by the core in short slices, so that a
// handle being closed by another thread ends any wait promptly.
//
//===----------------------------------------------------------------------===//
#ifndef JOVINTERNAL_H
#define JOVINTERNAL_H

#include "JOV_Crypto_Interface.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace jov {

enum class Family { IPv4, IPv6 };

/// A socket of the system: a descriptor (POSIX) or a SOCKET (Windows).
using SocketId = std::intptr_t;
constexpr SocketId kNoSocket = -1;

/// A failed step: the JOV result code and the text for the details.
struct Failure {
  int code = JOV_OK;
  std::string text;
};

/// Outcome of one non-blocking transfer.
enum class Io {
  Done,      ///< some bytes moved
  WantRead,  ///< retry when the socket is readable
  WantWrite, ///< retry when the socket is writable
  Closed,    ///< the peer ended the stream
  Failed,    ///< the connection is broken (reason set)
};

using Clock = std::chrono::steady_clock;

/// Longest single wait of the core before it looks at the closing flag again.
constexpr int kWaitSliceMs = 100;

//===--- URLs -------------------------------------------------------------===//

/// A URL that the library can connect to: "scheme://host:port[/path]" with
/// the scheme tcp or http (plain) or tls or https (secure), and an IPv6
/// address in brackets.
struct Url {
  std::string host; ///< without brackets
  std::string port;
  bool secure = false;
  /// "host:port" or "[v6]:port", for messages.
  std::string endpoint() const {
    return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + port;
  }
};

/// Fills `url` from `text`; false with `why` (the text of JOV_E_BAD_URL's
/// details) when the text is no such URL.
bool parseUrl(const char *text, Url &url, std::string &why);

//===--- Socket layer -----------------------------------------------------===//

/// Starts the system's networking once per process (WSAStartup on Windows).
bool startNetworking(Failure &failure);

/// Resolves `host` in `family` and connects to its addresses in turn until
/// one accepts, all within `deadline`; stops early when `cancel` becomes
/// true. The socket returned is non-blocking and not inheritable.
SocketId connectTcp(Family family, const std::string &host, const std::string &port, Clock::time_point deadline,
                    const std::atomic<bool> &cancel, Failure &failure);

Io sendSome(SocketId socket, const char *data, std::size_t length, std::size_t &sent, std::string &reason);
Io recvSome(SocketId socket, char *buffer, std::size_t capacity, std::size_t &received, std::string &reason);

struct WaitEntry {
  SocketId socket = kNoSocket;
  bool wantRead = false;
  bool wantWrite = false;
  bool readable = false; ///< also set for end of stream and errors
  bool writable = false;
  bool failed = false; ///< error or hang-up reported by the system
};
/// Waits at most `timeoutMs` for any entry to become ready; the number of
/// ready entries, 0 on time-out, -1 on failure (reason set).
int waitSockets(std::vector<WaitEntry> &entries, int timeoutMs, std::string &reason);

/// Ends both directions, which wakes up every wait on the socket.
void shutdownSocket(SocketId socket);
void closeSocket(SocketId socket);

/// The system's text for a socket error code, with the code:
/// "Connection refused (errno 111)" or "<message> (WSA error 10061)".
std::string socketErrorText(int code);

//===--- TLS layer --------------------------------------------------------===//

/// The client side of a secure session over a connected socket, which it
/// uses but does not own. Not thread-safe: the core serialises the calls.
class TlsClient {
public:
  enum class Step { Done, InProgress, Failed };

  virtual ~TlsClient() = default;
  /// Runs the handshake until this side has sent its next flight and waits
  /// for the peer (InProgress), until it is complete (Done), or until it
  /// fails. Waits for the peer at most `waitMs`.
  virtual Step handshake(int waitMs, const std::atomic<bool> &cancel, Failure &failure) = 0;
  /// The negotiated protocol, e.g. "TLSv1.3".
  virtual std::string protocol() const = 0;
  virtual Io write(const char *data, std::size_t length, std::size_t &written, std::string &reason) = 0;
  virtual Io read(char *buffer, std::size_t capacity, std::size_t &received, std::string &reason) = 0;
  /// True when decrypted application data is waiting in the session.
  virtual bool hasBufferedData() = 0;
  /// Processes what arrived on a readable socket without consuming
  /// application data: Done when some is ready, WantRead when the records
  /// carried only protocol messages (such as session tickets), Closed or
  /// Failed when the stream ended.
  virtual Io probe(std::string &reason) = 0;
  /// Sends the closing alert, without waiting for the peer's.
  virtual void shutdown() = 0;
};

/// False with the failure set when this build cannot make secure sessions.
bool tlsAvailable(Failure &failure);
/// Prepares a session for `host` (a name, or an IP address without brackets)
/// that verifies the peer's certificate and name; null on failure.
std::unique_ptr<TlsClient> createTlsClient(SocketId socket, const std::string &host, Failure &failure);

} // namespace jov

#endif // JOVINTERNAL_H
