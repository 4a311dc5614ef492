//===- jovsocket-posix.cpp - The JOV library's sockets on POSIX -----------===//
//
// Sockets are created non-blocking and close-on-exec in one call, and data is
// sent with MSG_NOSIGNAL, so that a peer that went away gives an error
// instead of a SIGPIPE that would end the caller's process.
//
//===----------------------------------------------------------------------===//
#include "../jovinternal.h"
#include "../jovlookup.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace jov {

namespace {

std::string numericAddress(const sockaddr *address, socklen_t length) {
  char host[NI_MAXHOST] = "";
  if (::getnameinfo(address, length, host, sizeof(host), nullptr, 0, NI_NUMERICHOST) != 0)
    return "?";
  return address->sa_family == AF_INET6 ? std::string("[") + host + "]" : std::string(host);
}

/// Waits for a connection attempt to finish; 0 connected, else a failure code.
int finishConnect(int fd, const std::string &target, Clock::time_point deadline, const std::atomic<bool> &cancel,
                  Failure &failure) {
  for (;;) {
    if (cancel.load()) {
      failure = {JOV_E_CLOSED, "the handle was closed while connecting to " + target};
      return failure.code;
    }
    Clock::time_point now = Clock::now();
    if (now >= deadline) {
      failure = {JOV_E_TIMEOUT, "connecting to " + target + " timed out"};
      return failure.code;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
    pollfd entry{fd, POLLOUT, 0};
    int rc = ::poll(&entry, 1, static_cast<int>(std::min<long long>(left + 1, kWaitSliceMs)));
    if (rc < 0 && errno != EINTR) {
      int code = errno;
      failure = {JOV_E_CONNECT, "waiting for the connection to " + target + " failed: " + socketErrorText(code)};
      return failure.code;
    }
    if (rc > 0) {
      int error = 0;
      socklen_t length = sizeof(error);
      if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        error = errno;
      if (error != 0) {
        failure = {JOV_E_CONNECT, "connecting to " + target + " failed: " + socketErrorText(error)};
        return failure.code;
      }
      return JOV_OK;
    }
  }
}

} // namespace

std::string socketErrorText(int code) {
  char buffer[256];
  // The GNU strerror_r, which g++ selects, returns the text to use.
  const char *text = ::strerror_r(code, buffer, sizeof(buffer));
  return std::string(text ? text : "unknown error") + " (errno " + std::to_string(code) + ")";
}

bool startNetworking(Failure &) { return true; }

namespace {

std::string lookupErrorText(int rc, int error) {
  if (rc == EAI_SYSTEM)
    return socketErrorText(error);
  return std::string(::gai_strerror(rc)) + " (getaddrinfo error " + std::to_string(rc) + ")";
}

} // namespace

SocketId connectTcp(Family family, const std::string &host, const std::string &port, Clock::time_point deadline,
                    const std::atomic<bool> &cancel, Failure &failure) {
  AddressList found = resolveAddresses(family, host, port, deadline, cancel, &lookupErrorText, failure);
  if (!found)
    return kNoSocket;
  SocketId result = kNoSocket;
  for (addrinfo *candidate = found.get(); candidate && result == kNoSocket; candidate = candidate->ai_next) {
    const std::string target =
        numericAddress(candidate->ai_addr, candidate->ai_addrlen) + " port " + port + " (" + host + ")";
    int fd = ::socket(candidate->ai_family, candidate->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                      candidate->ai_protocol);
    if (fd < 0) {
      int code = errno;
      failure = {JOV_E_SYSTEM, "cannot create a socket for " + target + ": " + socketErrorText(code)};
      continue;
    }
    // Commands and replies are short; sending them at once matters more
    // than packing them.
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    int status = ::connect(fd, candidate->ai_addr, candidate->ai_addrlen);
    if (status != 0 && errno != EINPROGRESS) {
      int code = errno;
      failure = {JOV_E_CONNECT, "connecting to " + target + " failed: " + socketErrorText(code)};
      ::close(fd);
      continue;
    }
    if (status != 0 && finishConnect(fd, target, deadline, cancel, failure) != JOV_OK) {
      ::close(fd);
      if (failure.code == JOV_E_TIMEOUT || failure.code == JOV_E_CLOSED)
        break;
      continue;
    }
    result = fd;
  }
  return result;
}

Io sendSome(SocketId socket, const char *data, std::size_t length, std::size_t &sent, std::string &reason) {
  for (;;) {
    ssize_t n = ::send(static_cast<int>(socket), data, length, MSG_NOSIGNAL);
    if (n >= 0) {
      sent = static_cast<std::size_t>(n);
      return Io::Done;
    }
    if (errno == EINTR)
      continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK)
      return Io::WantWrite;
    reason = socketErrorText(errno);
    return Io::Failed;
  }
}

Io recvSome(SocketId socket, char *buffer, std::size_t capacity, std::size_t &received, std::string &reason) {
  for (;;) {
    ssize_t n = ::recv(static_cast<int>(socket), buffer, capacity, 0);
    if (n > 0) {
      received = static_cast<std::size_t>(n);
      return Io::Done;
    }
    if (n == 0)
      return Io::Closed;
    if (errno == EINTR)
      continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK)
      return Io::WantRead;
    reason = socketErrorText(errno);
    return Io::Failed;
  }
}

int waitSockets(std::vector<WaitEntry> &entries, int timeoutMs, std::string &reason) {
  std::vector<pollfd> fds(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    fds[i].fd = static_cast<int>(entries[i].socket);
    fds[i].events = static_cast<short>((entries[i].wantRead ? POLLIN : 0) | (entries[i].wantWrite ? POLLOUT : 0));
    fds[i].revents = 0;
  }
  int rc;
  do {
    rc = ::poll(fds.data(), fds.size(), timeoutMs);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) {
    reason = socketErrorText(errno);
    return -1;
  }
  int ready = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    short got = fds[i].revents;
    entries[i].failed = (got & (POLLERR | POLLHUP | POLLNVAL)) != 0;
    entries[i].readable = (got & (POLLIN | POLLERR | POLLHUP | POLLNVAL)) != 0;
    entries[i].writable = (got & (POLLOUT | POLLERR | POLLNVAL)) != 0;
    if (got)
      ++ready;
  }
  return ready;
}

void shutdownSocket(SocketId socket) { ::shutdown(static_cast<int>(socket), SHUT_RDWR); }

void closeSocket(SocketId socket) { ::close(static_cast<int>(socket)); }

} // namespace jov
