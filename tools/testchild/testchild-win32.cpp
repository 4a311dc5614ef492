//===- testchild-win32.cpp - The test child's entry and system on Windows -===//
//
// The program enters at wmain so that its arguments, paths and environment
// values arrive intact whatever the code page, and converts them to UTF-8.
// Nothing it opens is inheritable, and the grandchild is started without
// inheriting handles. Console control events are caught with Ctrl+C enabled
// again, because a process started in a new process group has it disabled.
//
//===----------------------------------------------------------------------===//
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include "testchild.h"

#include <atomic>
#include <cstdio>
#include <cwchar>

#ifndef WSA_FLAG_NO_HANDLE_INHERIT
#define WSA_FLAG_NO_HANDLE_INHERIT 0x80
#endif

namespace testchild {

namespace {

std::string toUtf8(const std::wstring &text) {
  if (text.empty())
    return "";
  int length =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), length, nullptr, nullptr);
  return out;
}

std::wstring toWide(const std::string &text) {
  if (text.empty())
    return L"";
  int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), length);
  return out;
}

std::string systemText(DWORD code) {
  wchar_t *message = nullptr;
  DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                    FORMAT_MESSAGE_IGNORE_INSERTS,
                                nullptr, code, 0, reinterpret_cast<wchar_t *>(&message), 0, nullptr);
  std::string text;
  if (length && message)
    text = toUtf8(std::wstring(message, length));
  if (message)
    LocalFree(message);
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' '))
    text.pop_back();
  return (text.empty() ? "error" : text) + " (error " + std::to_string(code) + ")";
}

/// One argument quoted so that the C run-time's parser gives it back unchanged.
std::wstring quoteArgument(const std::wstring &arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos)
    return arg;
  std::wstring out = L"\"";
  std::size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') {
      out.append(backslashes * 2 + 1, L'\\');
    } else {
      out.append(backslashes, L'\\');
    }
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, L'\\');
  out += L'"';
  return out;
}

std::atomic<int> g_pendingEvent{-1};

BOOL WINAPI onControlEvent(DWORD event) {
  switch (event) {
  case CTRL_C_EVENT:
  case CTRL_BREAK_EVENT:
    g_pendingEvent.store(static_cast<int>(event));
    return TRUE;
  case CTRL_CLOSE_EVENT:
    g_pendingEvent.store(static_cast<int>(event));
    // The system ends the process as soon as this handler returns; wait here
    // so that the main thread can log and exit with the stop code.
    Sleep(INFINITE);
    return TRUE;
  default:
    return FALSE;
  }
}

/// Closes our direction and waits up to 2 s for the peer to close its own.
void drainAndClose(SOCKET s) {
  shutdown(s, SD_SEND);
  DWORD until = GetTickCount() + 2000;
  char buffer[1024];
  while (static_cast<int>(until - GetTickCount()) > 0) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval limit{0, 100000};
    if (select(0, &readable, nullptr, nullptr, &limit) > 0 && recv(s, buffer, sizeof(buffer), 0) <= 0)
      break;
  }
  closesocket(s);
}

class PlainStream final : public Stream {
public:
  explicit PlainStream(SOCKET s) : m_socket(s) {}
  ~PlainStream() override {
    if (m_socket != INVALID_SOCKET)
      closesocket(m_socket);
  }
  long read(char *buffer, std::size_t capacity) override {
    int n = recv(m_socket, buffer, static_cast<int>(capacity), 0);
    return n == SOCKET_ERROR ? -1 : n;
  }
  bool writeAll(const char *data, std::size_t length) override {
    std::size_t done = 0;
    while (done < length) {
      int n = send(m_socket, data + done, static_cast<int>(length - done), 0);
      if (n == SOCKET_ERROR || n == 0)
        return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }
  void finish() override {
    if (m_socket != INVALID_SOCKET)
      drainAndClose(m_socket);
    m_socket = INVALID_SOCKET;
  }

private:
  SOCKET m_socket;
};

} // namespace

long processId() { return static_cast<long>(GetCurrentProcessId()); }

std::string currentDirectory() {
  DWORD length = GetCurrentDirectoryW(0, nullptr);
  std::wstring buffer(length, L'\0');
  length = GetCurrentDirectoryW(length, buffer.data());
  buffer.resize(length);
  return toUtf8(buffer);
}

std::optional<std::string> environmentValue(const std::string &name) {
  std::wstring wide = toWide(name);
  SetLastError(0);
  DWORD length = GetEnvironmentVariableW(wide.c_str(), nullptr, 0);
  if (length == 0)
    return GetLastError() == ERROR_ENVVAR_NOT_FOUND ? std::nullopt : std::optional<std::string>("");
  std::wstring value(length, L'\0');
  length = GetEnvironmentVariableW(wide.c_str(), value.data(), length);
  value.resize(length);
  return toUtf8(value);
}

void appendSystemRecord(std::string &) {}

bool startSelf(const std::vector<std::string> &args, std::string &error, bool breakaway) {
  std::wstring self(32768, L'\0');
  DWORD length = GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
  self.resize(length);
  std::wstring commandLine = quoteArgument(self);
  for (const std::string &arg : args)
    commandLine += L" " + quoteArgument(toWide(arg));
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(self.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                      breakaway ? CREATE_BREAKAWAY_FROM_JOB : 0, nullptr, nullptr, &startup, &process)) {
    error = systemText(GetLastError());
    return false;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

void reapChildren() {}

void exitProcess(int code) { ExitProcess(static_cast<UINT>(code)); }

void sleepMs(long milliseconds) { Sleep(static_cast<DWORD>(milliseconds)); }

bool writeFileAtomically(const std::string &path, const std::string &content, std::string &error) {
  std::wstring target = toWide(path);
  std::wstring temporary = target + L".tmp";
  HANDLE file =
      CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = "cannot create " + path + ".tmp: " + systemText(GetLastError());
    return false;
  }
  DWORD written = 0;
  BOOL ok = WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
  DWORD code = GetLastError();
  CloseHandle(file);
  if (!ok || written != content.size()) {
    error = "cannot write " + path + ".tmp: " + systemText(code);
    return false;
  }
  if (!MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    error = "cannot rename " + path + ".tmp: " + systemText(GetLastError());
    return false;
  }
  return true;
}

bool appendToFile(const std::string &path, const std::string &text) {
  HANDLE file = CreateFileW(toWide(path).c_str(), FILE_APPEND_DATA,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return false;
  DWORD written = 0;
  BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == text.size();
}

void installStopHandlers() {
  SetConsoleCtrlHandler(nullptr, FALSE);
  SetConsoleCtrlHandler(onControlEvent, TRUE);
}

std::string takeStopEvent() {
  switch (g_pendingEvent.exchange(-1)) {
  case CTRL_C_EVENT:
    return "CTRL_C";
  case CTRL_BREAK_EVENT:
    return "CTRL_BREAK";
  case CTRL_CLOSE_EVENT:
    return "CTRL_CLOSE";
  default:
    return "";
  }
}

bool startNetworking(std::string &error) {
  WSADATA data;
  int rc = WSAStartup(MAKEWORD(2, 2), &data);
  if (rc != 0) {
    error = "cannot start Winsock: " + systemText(static_cast<DWORD>(rc));
    return false;
  }
  return true;
}

SocketId listenLoopback(int port, bool ipv6, int &chosenPort, std::string &error) {
  SOCKET s = WSASocketW(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) {
    error = "cannot create the listening socket: " + systemText(static_cast<DWORD>(WSAGetLastError()));
    return kNoSocket;
  }
  sockaddr_storage address{};
  int length;
  if (ipv6) {
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(&address);
    v6->sin6_family = AF_INET6;
    v6->sin6_addr = in6addr_loopback;
    v6->sin6_port = htons(static_cast<u_short>(port));
    length = sizeof(sockaddr_in6);
  } else {
    auto *v4 = reinterpret_cast<sockaddr_in *>(&address);
    v4->sin_family = AF_INET;
    v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    v4->sin_port = htons(static_cast<u_short>(port));
    length = sizeof(sockaddr_in);
  }
  if (bind(s, reinterpret_cast<sockaddr *>(&address), length) != 0 || listen(s, 64) != 0) {
    error = std::string("cannot listen on ") + (ipv6 ? "::1" : "127.0.0.1") + " port " + std::to_string(port) +
            ": " + systemText(static_cast<DWORD>(WSAGetLastError()));
    closesocket(s);
    return kNoSocket;
  }
  length = sizeof(address);
  getsockname(s, reinterpret_cast<sockaddr *>(&address), &length);
  chosenPort = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6 *>(&address)->sin6_port
                          : reinterpret_cast<sockaddr_in *>(&address)->sin_port);
  return static_cast<SocketId>(s);
}

SocketId acceptConnection(SocketId listener, int timeoutMs) {
  SOCKET s = static_cast<SOCKET>(listener);
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(s, &readable);
  timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  if (select(0, &readable, nullptr, nullptr, &limit) <= 0)
    return kNoSocket;
  SOCKET connection = accept(s, nullptr, nullptr);
  if (connection == INVALID_SOCKET)
    return kNoSocket;
  SetHandleInformation(reinterpret_cast<HANDLE>(connection), HANDLE_FLAG_INHERIT, 0);
  return static_cast<SocketId>(connection);
}

void prepareConnectionThread() {}

std::unique_ptr<Stream> plainStream(SocketId socket) {
  return std::make_unique<PlainStream>(static_cast<SOCKET>(socket));
}

bool configureTls(const std::string &, const std::string &, const std::string &, std::string &error) {
  error = "TLS serving (--tls-cert, --tls-key) is not available in the Windows build";
  return false;
}

std::unique_ptr<Stream> tlsStream(SocketId socket, std::string &error) {
  closesocket(static_cast<SOCKET>(socket));
  error = "TLS serving is not available in the Windows build";
  return nullptr;
}

} // namespace testchild

int wmain(int argc, wchar_t **argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i)
    args.push_back(testchild::toUtf8(argv[i]));
  return testchild::run(args);
}
