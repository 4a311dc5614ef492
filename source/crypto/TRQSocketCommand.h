//===- TRQSocketCommand.h - One request/response exchange over the JOV library ===//
//
// A socket command sends one fixed command string to a child's URI and reads
// its reply, each exchange over a fresh connection of the JOV library:
// send() creates a handle, connects it (establishing the secure session when
// the library asks for one) and sends; recv() waits for the reply within the
// I/O time limit and reads it; close() releases the handle. The owner calls
// close() after every exchange, whatever its outcome.
//
// Every connection starts with a fixed pause (2 seconds), so that a child
// that has just opened its port is not hurried. All failures are results
// (-1) with the library's details logged at ERROR; nothing throws.
//
// One command object runs one exchange at a time: its owner serialises the
// calls. Different objects may run exchanges on different threads at once.
//
//===----------------------------------------------------------------------===//
#ifndef TRQSOCKETCOMMAND_H
#define TRQSOCKETCOMMAND_H

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

class RKLCrypto;
class TRQLogger;

class TRQSocketCommand {
public:
  /// The I/O time limit that means: do not wait, read at once.
  static constexpr unsigned NoPoll = 0xFFFFFFFFu;
  /// The longest wait for a reply when the limit is NoPoll or another
  /// negative number: a receive never waits without limit.
  static constexpr unsigned DefaultReplyWaitSec = 60;
  /// The session configuration documents for the two protocol families.
  static const char *const SessionConfigIPv4;
  static const char *const SessionConfigIPv6;

  /// Whether the security library serves the URI's scheme (tcp, http, tls,
  /// https, in any case); false for a URI without "scheme://".
  static bool servesScheme(const char *uri);

  /// Copies both texts (null reads as empty). `ioTimeoutSec` bounds the wait
  /// for the reply in seconds; NoPoll reads without waiting.
  TRQSocketCommand(const char *uri, const char *command, unsigned ioTimeoutSec);
  /// close().
  virtual ~TRQSocketCommand();
  TRQSocketCommand(const TRQSocketCommand &) = delete;
  TRQSocketCommand &operator=(const TRQSocketCommand &) = delete;

  /// Connects and sends the whole command in one call: 1 when sent, -1 when
  /// the connection or the send failed.
  int send();
  /// Waits for data as the I/O time limit says and reads at most `size`
  /// bytes into `buffer` with one receive; no NUL is added. The number of
  /// bytes read (0 when the peer closed without sending), or -1.
  int recv(unsigned size, char *buffer);
  /// Releases the connection handle, when there is one.
  void close();
  /// From any thread: ends the exchange in flight, whose waits then fail at
  /// once, also in its pause before connecting; the next exchange connects
  /// anew. `forGood`: every later exchange fails at once too.
  void cancel(bool forGood = false);
  /// Creates the handle and connects it to the URI: 0 when connected, -1
  /// when not (a created handle is left for close()).
  int connect();
  /// The session configuration document that fits the URI's host: IPv6 for
  /// an address with colons, IPv4 for a dotted decimal address, and for a
  /// host name what the startup configuration's "networkConfiguration" says
  /// ("IPv6" exactly gives IPv6, anything else IPv4).
  const char *chooseSessionConfig();

  const std::string &getUri() const { return m_sURI; }
  const std::string &getCommand() const { return m_sCommand; }
  unsigned getIOTimeoutSec() const { return m_ioTimeoutSec; }
  int64_t getHandle() const { return m_handle; }

  /// The pause before each connection, in milliseconds (2000). Tests that
  /// run many exchanges shorten it.
  static void setConnectPauseMsForTesting(long milliseconds);

private:
  /// Fetches the details of the handle's last failure; null when there are
  /// none. The caller returns them with freeDetails().
  char *lastErrorDetails();
  void freeDetails(char *details);

  std::string m_sCommand;
  std::string m_sURI;
  unsigned m_ioTimeoutSec;
  RKLCrypto *m_pCrypto = nullptr;
  int64_t m_handle = 0;
  /// What cancel() needs of the exchange in flight, under m_exchangeLock:
  /// its handle once connecting (0 before and after), whether one is in
  /// flight, whether it was cancelled, whether every exchange is refused.
  std::mutex m_exchangeLock;
  std::condition_variable m_cancelSignal;
  int64_t m_liveHandle = 0;
  bool m_inFlight = false;
  bool m_cancelled = false;
  bool m_refused = false;

  static TRQLogger *s_logger;
};

#endif // TRQSOCKETCOMMAND_H
