//===- jovsocket-win32.cpp - The JOV library's sockets on Winsock ---------===//
//
// Winsock is started once per process on first use and left running, its
// library pinned in memory, until the process ends. Sockets are created
// non-inheritable, so that processes started by the caller never hold a
// connection open.
//
//===----------------------------------------------------------------------===//
// select() takes up to this many sockets per set.
#define FD_SETSIZE 1024
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include "../jovinternal.h"
#include "../jovlookup.h"

#include <mutex>

#ifndef WSA_FLAG_NO_HANDLE_INHERIT
#define WSA_FLAG_NO_HANDLE_INHERIT 0x80
#endif

namespace jov {

namespace {

SOCKET native(SocketId socket) { return static_cast<SOCKET>(socket); }

std::string numericAddress(const sockaddr *address, int length) {
  char host[NI_MAXHOST] = "";
  if (getnameinfo(address, length, host, sizeof(host), nullptr, 0, NI_NUMERICHOST) != 0)
    return "?";
  return address->sa_family == AF_INET6 ? std::string("[") + host + "]" : std::string(host);
}

SOCKET openSocket(int family, int type, int protocol) {
  SOCKET s = WSASocketW(family, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET && WSAGetLastError() == WSAEINVAL) {
    // Systems without the no-inherit flag: clear the inheritance afterwards.
    s = WSASocketW(family, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED);
    if (s != INVALID_SOCKET)
      SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  }
  return s;
}

/// Waits for a connection attempt to finish; JOV_OK or a failure code.
int finishConnect(SOCKET s, const std::string &target, Clock::time_point deadline, const std::atomic<bool> &cancel,
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
    long slice = static_cast<long>(std::min<long long>(left + 1, kWaitSliceMs));
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval limit{slice / 1000, (slice % 1000) * 1000};
    int rc = select(0, nullptr, &writable, &failed, &limit);
    if (rc == SOCKET_ERROR) {
      failure = {JOV_E_CONNECT,
                 "waiting for the connection to " + target + " failed: " + socketErrorText(WSAGetLastError())};
      return failure.code;
    }
    if (rc > 0) {
      int error = 0;
      int length = sizeof(error);
      if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error), &length) != 0)
        error = WSAGetLastError();
      if (error == 0 && FD_ISSET(s, &failed))
        error = WSAECONNREFUSED;
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
  char *message = nullptr;
  DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                    FORMAT_MESSAGE_IGNORE_INSERTS,
                                nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<char *>(&message), 0, nullptr);
  std::string text;
  if (length && message) {
    text.assign(message, length);
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ' || text.back() == '.'))
      text.pop_back();
  }
  if (message)
    LocalFree(message);
  if (text.empty())
    text = "socket error";
  return text + " (WSA error " + std::to_string(code) + ")";
}

bool startNetworking(Failure &failure) {
  static std::once_flag once;
  static int startError = 0;
  std::call_once(once, [] {
    WSADATA data;
    startError = WSAStartup(MAKEWORD(2, 2), &data);
    // Winsock stays started for the rest of the process, so its library must
    // stay too: when the caller unloads this library, ws2_32 would otherwise
    // go with it if nothing else uses it, and some Windows implementations
    // do not recover when it is loaded a second time.
    HMODULE winsock = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN, L"ws2_32.dll", &winsock);
  });
  if (startError != 0) {
    failure = {JOV_E_SYSTEM, "cannot start Winsock: " + socketErrorText(startError)};
    return false;
  }
  return true;
}

SocketId connectTcp(Family family, const std::string &host, const std::string &port, Clock::time_point deadline,
                    const std::atomic<bool> &cancel, Failure &failure) {
  // getaddrinfo returns the Winsock error itself.
  AddressList found = resolveAddresses(
      family, host, port, deadline, cancel, [](int rc, int) { return socketErrorText(rc); }, failure);
  if (!found)
    return kNoSocket;
  SocketId result = kNoSocket;
  for (addrinfo *candidate = found.get(); candidate && result == kNoSocket; candidate = candidate->ai_next) {
    const std::string target = numericAddress(candidate->ai_addr, static_cast<int>(candidate->ai_addrlen)) +
                               " port " + port + " (" + host + ")";
    SOCKET s = openSocket(candidate->ai_family, candidate->ai_socktype, candidate->ai_protocol);
    if (s == INVALID_SOCKET) {
      failure = {JOV_E_SYSTEM, "cannot create a socket for " + target + ": " + socketErrorText(WSAGetLastError())};
      continue;
    }
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    BOOL on = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&on), sizeof(on));
    int status = connect(s, candidate->ai_addr, static_cast<int>(candidate->ai_addrlen));
    if (status != 0) {
      int code = WSAGetLastError();
      if (code != WSAEWOULDBLOCK && code != WSAEINPROGRESS) {
        failure = {JOV_E_CONNECT, "connecting to " + target + " failed: " + socketErrorText(code)};
        closesocket(s);
        continue;
      }
      if (finishConnect(s, target, deadline, cancel, failure) != JOV_OK) {
        closesocket(s);
        if (failure.code == JOV_E_TIMEOUT || failure.code == JOV_E_CLOSED)
          break;
        continue;
      }
    }
    result = static_cast<SocketId>(s);
  }
  return result;
}

Io sendSome(SocketId socket, const char *data, std::size_t length, std::size_t &sent, std::string &reason) {
  int chunk = static_cast<int>(std::min<std::size_t>(length, 1 << 30));
  int n = send(native(socket), data, chunk, 0);
  if (n != SOCKET_ERROR) {
    sent = static_cast<std::size_t>(n);
    return Io::Done;
  }
  int code = WSAGetLastError();
  if (code == WSAEWOULDBLOCK)
    return Io::WantWrite;
  reason = socketErrorText(code);
  return Io::Failed;
}

Io recvSome(SocketId socket, char *buffer, std::size_t capacity, std::size_t &received, std::string &reason) {
  int chunk = static_cast<int>(std::min<std::size_t>(capacity, 1 << 30));
  int n = recv(native(socket), buffer, chunk, 0);
  if (n > 0) {
    received = static_cast<std::size_t>(n);
    return Io::Done;
  }
  if (n == 0)
    return Io::Closed;
  int code = WSAGetLastError();
  if (code == WSAEWOULDBLOCK)
    return Io::WantRead;
  reason = socketErrorText(code);
  return Io::Failed;
}

int waitSockets(std::vector<WaitEntry> &entries, int timeoutMs, std::string &reason) {
  if (entries.size() > FD_SETSIZE) {
    reason = "more than " + std::to_string(FD_SETSIZE) + " connections in one wait";
    return -1;
  }
  fd_set readable, writable;
  FD_ZERO(&readable);
  FD_ZERO(&writable);
  for (const WaitEntry &entry : entries) {
    if (entry.wantRead)
      FD_SET(native(entry.socket), &readable);
    if (entry.wantWrite)
      FD_SET(native(entry.socket), &writable);
  }
  timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  // Winsock's select does not report end of stream or errors apart: both
  // show as readable, and the next receive tells which.
  int rc = select(0, &readable, &writable, nullptr, &limit);
  if (rc == SOCKET_ERROR) {
    reason = socketErrorText(WSAGetLastError());
    return -1;
  }
  int ready = 0;
  for (WaitEntry &entry : entries) {
    entry.failed = false;
    entry.readable = FD_ISSET(native(entry.socket), &readable) != 0;
    entry.writable = FD_ISSET(native(entry.socket), &writable) != 0;
    if (entry.readable || entry.writable)
      ++ready;
  }
  return ready;
}

void shutdownSocket(SocketId socket) { shutdown(native(socket), SD_BOTH); }

void closeSocket(SocketId socket) { closesocket(native(socket)); }

} // namespace jov
