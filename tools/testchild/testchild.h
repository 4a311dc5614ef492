//===- testchild.h - What the test child needs from the operating system --===//
//
// trqtestchild is the process that the test suites start for real: it
// records how it was started, answers on a loopback socket as told, and
// reacts to stop signals and console control events. Its logic is portable
// (testchild.cpp); each system supplies the program entry and the pieces
// below (testchild-posix.cpp, testchild-win32.cpp).
//
//===----------------------------------------------------------------------===//
#ifndef TESTCHILD_H
#define TESTCHILD_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace testchild {

/// The portable program: `args` are the arguments after the program's name,
/// in UTF-8. Returns only for usage errors (the exit code).
int run(const std::vector<std::string> &args);

//===--- Process ----------------------------------------------------------===//

long processId();
std::string currentDirectory();
std::optional<std::string> environmentValue(const std::string &name);
/// Appends the record lines that only this system has ("pgid=", "sigmask=",
/// "sigignored=", "fds=" on Linux), each ending in '\n'.
void appendSystemRecord(std::string &record);
/// Starts this program again with `args`, in this process's group, inheriting
/// nothing but the environment; false with `error` set on failure.
/// `breakaway`: asks to leave this process's job (Windows only).
bool startSelf(const std::vector<std::string> &args, std::string &error, bool breakaway = false);
/// Collects ended child processes, so that none stays a zombie.
void reapChildren();
/// Ends the process at once with `code`, whatever the other threads do.
[[noreturn]] void exitProcess(int code);
void sleepMs(long milliseconds);

//===--- Files ------------------------------------------------------------===//

/// Writes `path`.tmp and renames it to `path`.
bool writeFileAtomically(const std::string &path, const std::string &content, std::string &error);
/// Appends `text` to `path` (created when missing), written through at once.
bool appendToFile(const std::string &path, const std::string &text);

//===--- Stop events ------------------------------------------------------===//

/// Catches SIGINT and SIGTERM (Linux) or the console control events
/// (Windows), with Ctrl+C enabled even in a new process group.
void installStopHandlers();
/// The name of the next stop event that arrived ("SIGINT", "SIGTERM",
/// "CTRL_C", "CTRL_BREAK", "CTRL_CLOSE"), or "" when none is waiting.
std::string takeStopEvent();

//===--- Sockets ----------------------------------------------------------===//

using SocketId = std::intptr_t;
constexpr SocketId kNoSocket = -1;

bool startNetworking(std::string &error);
/// Listens on 127.0.0.1 (or ::1) at `port` (0: any free port); the socket,
/// or kNoSocket with `error` set. `chosenPort` receives the port.
SocketId listenLoopback(int port, bool ipv6, int &chosenPort, std::string &error);
/// A connection accepted within `timeoutMs`, or kNoSocket.
SocketId acceptConnection(SocketId listener, int timeoutMs);
/// Makes the calling thread fit to serve a connection (on Linux: a peer that
/// went away must not raise SIGPIPE).
void prepareConnectionThread();

/// One accepted connection, plain or secured, that the serving thread owns.
class Stream {
public:
  virtual ~Stream() = default;
  /// One receive: bytes read, 0 when the peer has closed, -1 on failure.
  virtual long read(char *buffer, std::size_t capacity) = 0;
  virtual bool writeAll(const char *data, std::size_t length) = 0;
  /// Ends the connection: closes our direction, waits a little for the peer
  /// to close its own (so that no unread byte turns the close into a reset),
  /// then releases the socket.
  virtual void finish() = 0;
  /// Ends the connection without ending a secured session first (no
  /// close-notify), as a connection cut short would; plain: finish().
  virtual void abandon() { finish(); }
};

std::unique_ptr<Stream> plainStream(SocketId socket);
/// Prepares serving TLS with the PEM certificate chain and key; `version`
/// "" allows TLS 1.2 and later, "1.2" or "1.3" pins one version.
bool configureTls(const std::string &certificate, const std::string &key, const std::string &version,
                  std::string &error);
/// Runs the server handshake on `socket`; null (socket closed) on failure.
std::unique_ptr<Stream> tlsStream(SocketId socket, std::string &error);

} // namespace testchild

#endif // TESTCHILD_H
