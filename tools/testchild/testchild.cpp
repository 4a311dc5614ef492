//===- testchild.cpp - The test child: options, record, log and server ----===//
//
// Options are "--name=value" or "--flag"; any other argument that does not
// begin with "--" (and everything after a lone "--") is accepted and only
// recorded, because the programs that start this child pass it their own
// argument lists. Unknown options end the program with 64, set-up failures
// with 70.
//
// Connections are served each on a thread of its own, so a silent
// connection does not hold up the next one. The main thread watches the
// stop events, the stop command and the exit time, and ends the process.
//
//===----------------------------------------------------------------------===//
#include "testchild.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <set>
#include <thread>

namespace testchild {

namespace {

constexpr int kUsageError = 64;
constexpr int kSetupError = 70;
/// The exit code of a crash on purpose (--crash-within).
constexpr int kCrashExit = 3;

struct Options {
  std::string recordFile;
  std::vector<std::string> envNames;
  std::optional<int> exitCode;
  long afterMs = 0;
  std::string logFile;
  int stopExit = 0;
  long stopDelayMs = 0;
  bool ignoreStop = false;
  std::string grandchildRecord;
  bool breakaway = false;
  bool noCloseNotify = false;

  std::optional<int> listenPort;
  bool ipv6 = false;
  std::string portFile;
  std::optional<std::string> command;
  std::string reply;
  std::optional<long> replyAfterMs;
  std::string busyReply = "busy";
  long replyPieces = 1;
  bool silent = false;
  std::optional<long> silentAfterMs;
  std::optional<long> crashWithinMs;
  bool closeAtOnce = false;
  std::optional<std::string> stopCommand;
  std::optional<std::string> stopReply;
  std::string tlsCert;
  std::string tlsKey;
  std::string tlsVersion;
};

Options g_options;
const auto g_startTime = std::chrono::steady_clock::now();
std::mutex g_logLock;
/// Set by a connection that received the stop command.
std::atomic<bool> g_stopCommandReceived{false};

//===--- Texts ------------------------------------------------------------===//

/// Decodes \r \n \t \0 \\ and \xHH; any other backslash stays as written.
std::string decodeEscapes(const std::string &text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 >= text.size()) {
      out += text[i];
      continue;
    }
    char next = text[i + 1];
    auto hex = [](char c) -> int {
      if (c >= '0' && c <= '9')
        return c - '0';
      if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
      if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
      return -1;
    };
    switch (next) {
    case 'r':
      out += '\r';
      ++i;
      break;
    case 'n':
      out += '\n';
      ++i;
      break;
    case 't':
      out += '\t';
      ++i;
      break;
    case '0':
      out += '\0';
      ++i;
      break;
    case '\\':
      out += '\\';
      ++i;
      break;
    case 'x':
      if (i + 3 < text.size() && hex(text[i + 2]) >= 0 && hex(text[i + 3]) >= 0) {
        out += static_cast<char>(hex(text[i + 2]) * 16 + hex(text[i + 3]));
        i += 3;
      } else {
        out += '\\';
      }
      break;
    default:
      out += '\\';
      break;
    }
  }
  return out;
}

/// The bytes as one log-line word: printable ASCII as is, the rest escaped
/// the way decodeEscapes reads them back.
std::string escapeForLog(const std::string &bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    switch (c) {
    case '\r':
      out += "\\r";
      break;
    case '\n':
      out += "\\n";
      break;
    case '\t':
      out += "\\t";
      break;
    case '\0':
      out += "\\0";
      break;
    case '\\':
      out += "\\\\";
      break;
    default:
      if (c < 0x20 || c >= 0x7F) {
        out += "\\x";
        out += digits[c >> 4];
        out += digits[c & 0xF];
      } else {
        out += static_cast<char>(c);
      }
    }
  }
  return out;
}

void logEvent(const std::string &line) {
  if (g_options.logFile.empty())
    return;
  std::lock_guard<std::mutex> guard(g_logLock);
  appendToFile(g_options.logFile, line + "\n");
}

[[noreturn]] void finish(int code) {
  logEvent("exit " + std::to_string(code));
  exitProcess(code);
}

[[noreturn]] void stopNow() {
  logEvent("stopping");
  if (g_options.stopDelayMs > 0)
    sleepMs(g_options.stopDelayMs);
  finish(g_options.stopExit);
}

[[noreturn]] void setupFailure(const std::string &message) {
  std::fprintf(stderr, "trqtestchild: %s\n", message.c_str());
  std::fflush(stderr);
  exitProcess(kSetupError);
}

//===--- Options ----------------------------------------------------------===//

bool parseNumber(const std::string &text, long &value) {
  if (text.empty())
    return false;
  char *end = nullptr;
  value = std::strtol(text.c_str(), &end, 10);
  return end && *end == '\0';
}

/// Fills g_options; on a usage error prints it and returns false.
bool parseOptions(const std::vector<std::string> &args) {
  static const std::set<std::string> flags = {"stay", "ignore-stop", "ipv6", "silent", "close", "breakaway",
                                              "no-close-notify"};
  static const std::set<std::string> valued = {
      "record",  "env",         "exit",       "after",        "log",         "stop-exit", "stop-delay",
      "grandchild", "listen",   "port-file",  "command",      "reply",       "reply-after", "busy-reply",
      "stop-command", "stop-reply", "tls-cert", "tls-key",    "tls-version", "reply-pieces", "silent-after",
      "crash-within"};
  auto usage = [](const std::string &message) {
    std::fprintf(stderr, "trqtestchild: %s\n", message.c_str());
    std::fflush(stderr);
    return false;
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string &arg = args[i];
    if (arg == "--")
      break;
    if (arg.compare(0, 2, "--") != 0)
      continue;
    std::size_t equals = arg.find('=');
    std::string name = arg.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
    if (flags.count(name)) {
      if (equals != std::string::npos)
        return usage("option --" + name + " takes no value");
      if (name == "ignore-stop")
        g_options.ignoreStop = true;
      else if (name == "ipv6")
        g_options.ipv6 = true;
      else if (name == "silent")
        g_options.silent = true;
      else if (name == "close")
        g_options.closeAtOnce = true;
      else if (name == "breakaway")
        g_options.breakaway = true;
      else if (name == "no-close-notify")
        g_options.noCloseNotify = true;
      continue;
    }
    if (!valued.count(name))
      return usage("unknown option " + arg);
    if (equals == std::string::npos)
      return usage("option --" + name + " needs a value (--" + name + "=...)");
    const std::string value = arg.substr(equals + 1);
    long number = 0;
    auto numeric = [&](long minimum) {
      if (!parseNumber(value, number) || number < minimum) {
        usage("option --" + name + " needs a number, not \"" + value + "\"");
        return false;
      }
      return true;
    };
    if (name == "record") {
      g_options.recordFile = value;
    } else if (name == "env") {
      g_options.envNames.push_back(value);
    } else if (name == "exit") {
      if (!numeric(-2147483647L - 1))
        return false;
      g_options.exitCode = static_cast<int>(number);
    } else if (name == "after") {
      if (!numeric(0))
        return false;
      g_options.afterMs = number;
    } else if (name == "log") {
      g_options.logFile = value;
    } else if (name == "stop-exit") {
      if (!numeric(-2147483647L - 1))
        return false;
      g_options.stopExit = static_cast<int>(number);
    } else if (name == "stop-delay") {
      if (!numeric(0))
        return false;
      g_options.stopDelayMs = number;
    } else if (name == "grandchild") {
      g_options.grandchildRecord = value;
    } else if (name == "listen") {
      if (!numeric(0))
        return false;
      if (number > 65535)
        return usage("option --listen needs a port up to 65535");
      g_options.listenPort = static_cast<int>(number);
    } else if (name == "port-file") {
      g_options.portFile = value;
    } else if (name == "command") {
      g_options.command = decodeEscapes(value);
    } else if (name == "reply") {
      g_options.reply = decodeEscapes(value);
    } else if (name == "reply-after") {
      if (!numeric(0))
        return false;
      g_options.replyAfterMs = number;
    } else if (name == "silent-after") {
      if (!numeric(0))
        return false;
      g_options.silentAfterMs = number;
    } else if (name == "crash-within") {
      if (!numeric(1))
        return false;
      g_options.crashWithinMs = number;
    } else if (name == "reply-pieces") {
      if (!numeric(1))
        return false;
      g_options.replyPieces = number;
    } else if (name == "busy-reply") {
      g_options.busyReply = decodeEscapes(value);
    } else if (name == "stop-command") {
      g_options.stopCommand = decodeEscapes(value);
    } else if (name == "stop-reply") {
      g_options.stopReply = decodeEscapes(value);
    } else if (name == "tls-cert") {
      g_options.tlsCert = value;
    } else if (name == "tls-key") {
      g_options.tlsKey = value;
    } else if (name == "tls-version") {
      if (value != "1.2" && value != "1.3")
        return usage("option --tls-version takes 1.2 or 1.3");
      g_options.tlsVersion = value;
    }
  }
  if (g_options.tlsCert.empty() != g_options.tlsKey.empty())
    return usage("options --tls-cert and --tls-key go together");
  return true;
}

//===--- Record -----------------------------------------------------------===//

void writeRecord(const std::vector<std::string> &args) {
  std::string record;
  record += "pid=" + std::to_string(processId()) + "\n";
  std::string system;
  appendSystemRecord(system);
  // pgid belongs right after pid; the rest of the system's lines come last.
  std::size_t pgidEnd = system.compare(0, 5, "pgid=") == 0 ? system.find('\n') + 1 : 0;
  record += system.substr(0, pgidEnd);
  record += "cwd=" + currentDirectory() + "\n";
  record += "argc=" + std::to_string(args.size()) + "\n";
  for (std::size_t i = 0; i < args.size(); ++i)
    record += "arg" + std::to_string(i + 1) + "=" + args[i] + "\n";
  for (const std::string &name : g_options.envNames) {
    std::optional<std::string> value = environmentValue(name);
    record += value ? "env." + name + "=" + *value + "\n" : "env." + name + "\n";
  }
  record += system.substr(pgidEnd);
  std::string error;
  if (!writeFileAtomically(g_options.recordFile, record, error))
    setupFailure("cannot write the record file " + g_options.recordFile + ": " + error);
}

//===--- Serving ----------------------------------------------------------===//

bool contains(const std::string &data, const std::string &part) { return data.find(part) != std::string::npos; }

void sendReply(Stream &stream, const std::string &reply) {
  if (reply.empty())
    return;
  // Logged first, so that a peer holding the reply finds it in the log.
  logEvent("replied " + escapeForLog(reply));
  // In pieces, each written on its own after a pause: separate TLS records
  // and TCP segments.
  const std::size_t pieces = std::min<std::size_t>(static_cast<std::size_t>(g_options.replyPieces), reply.size());
  std::size_t done = 0;
  for (std::size_t i = 0; i < pieces; ++i) {
    std::size_t end = i + 1 == pieces ? reply.size() : reply.size() * (i + 1) / pieces;
    if (i > 0)
      sleepMs(50);
    if (!stream.writeAll(reply.data() + done, end - done)) {
      logEvent("reply failed");
      return;
    }
    done = end;
  }
}

void serveConnection(SocketId socket) {
  prepareConnectionThread();
  std::unique_ptr<Stream> stream;
  if (!g_options.tlsCert.empty()) {
    std::string error;
    stream = tlsStream(socket, error);
    if (!stream) {
      logEvent("handshake failed " + escapeForLog(error));
      return;
    }
  } else {
    stream = plainStream(socket);
  }
  std::string received;
  char buffer[4096];
  for (;;) {
    long count = stream->read(buffer, sizeof(buffer));
    if (count <= 0)
      break;
    std::string chunk(buffer, static_cast<std::size_t>(count));
    received += chunk;
    logEvent("received " + escapeForLog(chunk));
    if (g_options.stopCommand && contains(received, *g_options.stopCommand)) {
      if (g_options.stopReply)
        sendReply(*stream, *g_options.stopReply);
      stream->finish();
      g_stopCommandReceived.store(true);
      return;
    }
    if (g_options.silent || (g_options.silentAfterMs && std::chrono::steady_clock::now() - g_startTime >=
                                                              std::chrono::milliseconds(*g_options.silentAfterMs)))
      continue;
    if (g_options.command && !contains(received, *g_options.command))
      continue;
    if (!g_options.closeAtOnce) {
      bool early = false;
      if (g_options.replyAfterMs) {
        auto elapsed = std::chrono::steady_clock::now() - g_startTime;
        early = elapsed < std::chrono::milliseconds(*g_options.replyAfterMs);
      }
      sendReply(*stream, early ? g_options.busyReply : g_options.reply);
    }
    break;
  }
  if (g_options.noCloseNotify)
    stream->abandon();
  else
    stream->finish();
}

} // namespace

int run(const std::vector<std::string> &args) {
  if (!parseOptions(args))
    return kUsageError;
  if (!g_options.recordFile.empty())
    writeRecord(args);
  logEvent("started");
  installStopHandlers();

  if (!g_options.grandchildRecord.empty()) {
    std::string error;
    if (!startSelf({"--record=" + g_options.grandchildRecord, "--stay"}, error, g_options.breakaway))
      setupFailure("cannot start the grandchild: " + error);
  }

  SocketId listener = kNoSocket;
  if (g_options.listenPort) {
    std::string error;
    if (!startNetworking(error))
      setupFailure(error);
    if (!g_options.tlsCert.empty() &&
        !configureTls(g_options.tlsCert, g_options.tlsKey, g_options.tlsVersion, error))
      setupFailure(error);
    int port = 0;
    listener = listenLoopback(*g_options.listenPort, g_options.ipv6, port, error);
    if (listener == kNoSocket)
      setupFailure(error);
    if (!g_options.portFile.empty() &&
        !writeFileAtomically(g_options.portFile, std::to_string(port) + "\n", error))
      setupFailure("cannot write the port file " + g_options.portFile + ": " + error);
  }

  const auto exitTime = g_startTime + std::chrono::milliseconds(g_options.afterMs);
  // A crash at a moment of its own for every process, so that children
  // started together do not die together.
  std::optional<std::chrono::steady_clock::time_point> crashTime;
  if (g_options.crashWithinMs) {
    std::mt19937_64 random(std::random_device{}() ^ static_cast<unsigned long long>(processId()));
    std::uniform_int_distribution<long> delayMs(0, *g_options.crashWithinMs);
    crashTime = g_startTime + std::chrono::milliseconds(delayMs(random));
  }
  for (;;) {
    std::string event = takeStopEvent();
    if (!event.empty()) {
      logEvent("event " + event);
      if (!g_options.ignoreStop)
        stopNow();
    }
    if (g_stopCommandReceived.exchange(false) && !g_options.ignoreStop)
      stopNow();
    if (g_options.exitCode && std::chrono::steady_clock::now() >= exitTime)
      finish(*g_options.exitCode);
    if (crashTime && std::chrono::steady_clock::now() >= *crashTime) {
      // Ends at once, the way a crash does: nothing is answered or stopped.
      logEvent("crash");
      exitProcess(kCrashExit);
    }
    reapChildren();
    if (listener != kNoSocket) {
      SocketId connection = acceptConnection(listener, 20);
      if (connection != kNoSocket)
        std::thread(serveConnection, connection).detach();
    } else {
      sleepMs(20);
    }
  }
}

} // namespace testchild
