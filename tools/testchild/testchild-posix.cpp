//===- testchild-posix.cpp - The test child's entry and system on Linux ---===//
//
// Everything the child opens is close-on-exec, so its grandchild's record
// shows only what it inherited from the child's own parent. The record reads
// the signal mask and ignored signals from /proc before any handler is set.
//
//===----------------------------------------------------------------------===//
#include "testchild.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace testchild {

namespace {

std::string errnoText(int code) { return std::string(std::strerror(code)) + " (errno " + std::to_string(code) + ")"; }

volatile sig_atomic_t g_sigint = 0;
volatile sig_atomic_t g_sigterm = 0;

void onStopSignal(int signal) {
  if (signal == SIGINT)
    g_sigint = 1;
  else
    g_sigterm = 1;
}

/// The hexadecimal value of a "Name:\t<hex>" line of /proc/self/status.
std::string statusField(const std::string &name) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, name.size() + 1, name + ":") == 0) {
      std::size_t start = line.find_first_not_of(" \t", name.size() + 1);
      return start == std::string::npos ? "" : line.substr(start);
    }
  }
  return "";
}

/// `mask` (hexadecimal, bit n-1 for signal n) without the C library's two
/// reserved real-time signals, 32 and 33: no program can set them, and
/// glibc's posix_spawn marks them ignored in every process it starts, so
/// they say nothing about what a parent passed on.
std::string withoutReservedSignals(const std::string &mask) {
  if (mask.empty())
    return mask;
  unsigned long long bits = std::strtoull(mask.c_str(), nullptr, 16);
  bits &= ~((1ULL << 31) | (1ULL << 32));
  char text[32];
  std::snprintf(text, sizeof(text), "%0*llx", static_cast<int>(mask.size()), bits);
  return text;
}

std::string openDescriptors() {
  DIR *dir = ::opendir("/proc/self/fd");
  if (!dir)
    return "";
  int own = ::dirfd(dir);
  std::vector<int> fds;
  while (dirent *entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.')
      continue;
    int fd = std::atoi(entry->d_name);
    if (fd != own)
      fds.push_back(fd);
  }
  ::closedir(dir);
  std::sort(fds.begin(), fds.end());
  std::string list;
  for (int fd : fds) {
    if (!list.empty())
      list += ',';
    list += std::to_string(fd);
  }
  return list;
}

bool writeAllTo(int fd, const std::string &content) {
  std::size_t done = 0;
  while (done < content.size()) {
    ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

/// Closes our direction and waits up to 2 s for the peer to close its own.
void drainAndClose(int fd) {
  ::shutdown(fd, SHUT_WR);
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  char buffer[1024];
  while (std::chrono::steady_clock::now() < until) {
    pollfd entry{fd, POLLIN, 0};
    if (::poll(&entry, 1, 100) > 0 && ::recv(fd, buffer, sizeof(buffer), 0) <= 0)
      break;
  }
  ::close(fd);
}

class PlainStream final : public Stream {
public:
  explicit PlainStream(int fd) : m_fd(fd) {}
  ~PlainStream() override {
    if (m_fd >= 0)
      ::close(m_fd);
  }
  long read(char *buffer, std::size_t capacity) override {
    for (;;) {
      ssize_t n = ::recv(m_fd, buffer, capacity, 0);
      if (n < 0 && errno == EINTR)
        continue;
      return n < 0 ? -1 : static_cast<long>(n);
    }
  }
  bool writeAll(const char *data, std::size_t length) override {
    std::size_t done = 0;
    while (done < length) {
      ssize_t n = ::send(m_fd, data + done, length - done, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR)
        continue;
      if (n <= 0)
        return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }
  void finish() override {
    if (m_fd >= 0)
      drainAndClose(m_fd);
    m_fd = -1;
  }

private:
  int m_fd;
};

SSL_CTX *g_tlsContext = nullptr;

std::string openSslErrors() {
  std::string text;
  while (unsigned long error = ERR_get_error()) {
    char buffer[256];
    ERR_error_string_n(error, buffer, sizeof(buffer));
    text += (text.empty() ? "" : "; ") + std::string(buffer);
  }
  return text.empty() ? "unknown TLS error" : text;
}

class TlsStream final : public Stream {
public:
  TlsStream(SSL *ssl, int fd) : m_ssl(ssl), m_fd(fd) {}
  ~TlsStream() override {
    SSL_free(m_ssl);
    if (m_fd >= 0)
      ::close(m_fd);
  }
  long read(char *buffer, std::size_t capacity) override {
    int n = SSL_read(m_ssl, buffer, static_cast<int>(capacity));
    if (n > 0)
      return n;
    return SSL_get_error(m_ssl, n) == SSL_ERROR_ZERO_RETURN ? 0 : -1;
  }
  bool writeAll(const char *data, std::size_t length) override {
    std::size_t done = 0;
    while (done < length) {
      int n = SSL_write(m_ssl, data + done, static_cast<int>(length - done));
      if (n <= 0)
        return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }
  void finish() override {
    if (m_fd < 0)
      return;
    SSL_shutdown(m_ssl);
    drainAndClose(m_fd);
    m_fd = -1;
  }
  void abandon() override {
    if (m_fd < 0)
      return;
    drainAndClose(m_fd);
    m_fd = -1;
  }

private:
  SSL *m_ssl;
  int m_fd;
};

} // namespace

long processId() { return static_cast<long>(::getpid()); }

std::string currentDirectory() {
  std::vector<char> buffer(4096);
  while (!::getcwd(buffer.data(), buffer.size())) {
    if (errno != ERANGE)
      return "";
    buffer.resize(buffer.size() * 2);
  }
  return buffer.data();
}

std::optional<std::string> environmentValue(const std::string &name) {
  const char *value = std::getenv(name.c_str());
  if (!value)
    return std::nullopt;
  return std::string(value);
}

void appendSystemRecord(std::string &record) {
  record += "pgid=" + std::to_string(static_cast<long>(::getpgrp())) + "\n";
  record += "sigmask=" + statusField("SigBlk") + "\n";
  record += "sigignored=" + withoutReservedSignals(statusField("SigIgn")) + "\n";
  record += "fds=" + openDescriptors() + "\n";
}

bool startSelf(const std::vector<std::string> &args, std::string &error, bool) {
  std::vector<char> self(4096);
  ssize_t length = ::readlink("/proc/self/exe", self.data(), self.size() - 1);
  if (length <= 0) {
    error = "cannot find this program: " + errnoText(errno);
    return false;
  }
  self[static_cast<std::size_t>(length)] = '\0';
  std::vector<std::string> words = {self.data()};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (std::string &word : words)
    argv.push_back(word.data());
  argv.push_back(nullptr);
  // The grandchild starts with the signal state that this process had when
  // it started: nothing blocked, the stop handlers back to their defaults.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = 0;
  int rc = ::posix_spawn(&pid, self.data(), nullptr, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  if (rc != 0) {
    error = errnoText(rc);
    return false;
  }
  return true;
}

void reapChildren() {
  while (::waitpid(-1, nullptr, WNOHANG) > 0) {
  }
}

void exitProcess(int code) { ::_exit(code); }

void sleepMs(long milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

bool writeFileAtomically(const std::string &path, const std::string &content, std::string &error) {
  const std::string temporary = path + ".tmp";
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = "cannot create " + temporary + ": " + errnoText(errno);
    return false;
  }
  bool written = writeAllTo(fd, content);
  int code = errno;
  ::close(fd);
  if (!written) {
    error = "cannot write " + temporary + ": " + errnoText(code);
    return false;
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    error = "cannot rename " + temporary + ": " + errnoText(errno);
    return false;
  }
  return true;
}

bool appendToFile(const std::string &path, const std::string &text) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0)
    return false;
  bool written = writeAllTo(fd, text);
  ::close(fd);
  return written;
}

void installStopHandlers() {
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
}

std::string takeStopEvent() {
  if (g_sigint) {
    g_sigint = 0;
    return "SIGINT";
  }
  if (g_sigterm) {
    g_sigterm = 0;
    return "SIGTERM";
  }
  return "";
}

bool startNetworking(std::string &) { return true; }

SocketId listenLoopback(int port, bool ipv6, int &chosenPort, std::string &error) {
  int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = "cannot create the listening socket: " + errnoText(errno);
    return kNoSocket;
  }
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  sockaddr_storage address{};
  socklen_t length;
  if (ipv6) {
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(&address);
    v6->sin6_family = AF_INET6;
    v6->sin6_addr = in6addr_loopback;
    v6->sin6_port = htons(static_cast<uint16_t>(port));
    length = sizeof(sockaddr_in6);
  } else {
    auto *v4 = reinterpret_cast<sockaddr_in *>(&address);
    v4->sin_family = AF_INET;
    v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    v4->sin_port = htons(static_cast<uint16_t>(port));
    length = sizeof(sockaddr_in);
  }
  if (::bind(fd, reinterpret_cast<sockaddr *>(&address), length) != 0 || ::listen(fd, 64) != 0) {
    error = std::string("cannot listen on ") + (ipv6 ? "::1" : "127.0.0.1") + " port " + std::to_string(port) +
            ": " + errnoText(errno);
    ::close(fd);
    return kNoSocket;
  }
  length = sizeof(address);
  ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
  chosenPort = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6 *>(&address)->sin6_port
                          : reinterpret_cast<sockaddr_in *>(&address)->sin_port);
  return fd;
}

SocketId acceptConnection(SocketId listener, int timeoutMs) {
  pollfd entry{static_cast<int>(listener), POLLIN, 0};
  if (::poll(&entry, 1, timeoutMs) <= 0)
    return kNoSocket;
  int fd = ::accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_CLOEXEC);
  return fd < 0 ? kNoSocket : fd;
}

void prepareConnectionThread() {
  // A write to a peer that has gone raises SIGPIPE in the writing thread;
  // blocked here, it stays pending in this thread and the write fails instead.
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  ::pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
}

std::unique_ptr<Stream> plainStream(SocketId socket) { return std::make_unique<PlainStream>(static_cast<int>(socket)); }

bool configureTls(const std::string &certificate, const std::string &key, const std::string &version,
                  std::string &error) {
  SSL_CTX *context = SSL_CTX_new(TLS_server_method());
  if (!context) {
    error = "cannot create the TLS context: " + openSslErrors();
    return false;
  }
  int minimum = version == "1.3" ? TLS1_3_VERSION : TLS1_2_VERSION;
  int maximum = version == "1.2" ? TLS1_2_VERSION : 0;
  SSL_CTX_set_min_proto_version(context, minimum);
  SSL_CTX_set_max_proto_version(context, maximum);
  if (SSL_CTX_use_certificate_chain_file(context, certificate.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(context, key.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(context) != 1) {
    error = "cannot use the certificate " + certificate + " and key " + key + ": " + openSslErrors();
    SSL_CTX_free(context);
    return false;
  }
  g_tlsContext = context;
  return true;
}

std::unique_ptr<Stream> tlsStream(SocketId socket, std::string &error) {
  int fd = static_cast<int>(socket);
  // A client that never finishes the handshake must not hold the thread forever.
  timeval limit{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
  SSL *ssl = SSL_new(g_tlsContext);
  if (!ssl || SSL_set_fd(ssl, fd) != 1) {
    error = "cannot create the TLS session: " + openSslErrors();
    SSL_free(ssl);
    ::close(fd);
    return nullptr;
  }
  if (SSL_accept(ssl) != 1) {
    error = openSslErrors();
    SSL_free(ssl);
    ::close(fd);
    return nullptr;
  }
  limit = {0, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
  return std::make_unique<TlsStream>(ssl, fd);
}

} // namespace testchild

int main(int argc, char **argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return testchild::run(args);
}
