//===- JovTestSupport.cpp - Library loader and child processes for tests_jov ===//
#include "JovTestSupport.h"

#include <cstdlib>
#include <sstream>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
extern char **environ;
#endif

namespace jovtest {

std::string sessionDocument(const std::string &family) {
  return std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?><sessionConfigDocument xmlns=\"") +
         JOV_CRYPTO_NAMESPACE + "\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xsi:schemaLocation=\"" +
         JOV_CRYPTO_NAMESPACE + "crypto.xsd\"><serviceID>gateway</serviceID><protocolFamily>" + family +
         "</protocolFamily></sessionConfigDocument>";
}

std::string libraryPath(const std::string &baseName) {
  return (testsupport::binDir() / (baseName + platform::sharedLibrarySuffix())).string();
}

template <class T> static bool bind(platform::DynamicLibrary &library, const char *name, T &target,
                                    std::string &error) {
  void *address = library.symbol(name);
  if (!address) {
    error = library.errorText();
    return false;
  }
  target = reinterpret_cast<T>(address);
  return true;
}

bool JovLibrary::load(const std::string &baseName, std::string &error) {
  if (!library.open(libraryPath(baseName))) {
    error = library.errorText();
    return false;
  }
  return bind(library, "JOV_CryptoInitialize", CryptoInitialize, error) &&
         bind(library, "JOV_CryptoTerminate", CryptoTerminate, error) &&
         bind(library, "JOV_CryptoFree", CryptoFree, error) &&
         bind(library, "JOV_CryptoGetLastErrorDetails", CryptoGetLastErrorDetails, error) &&
         bind(library, "JOV_Socket", Socket, error) && bind(library, "JOV_Connect_Url", Connect_Url, error) &&
         bind(library, "JOV_EstablishSecure", EstablishSecure, error) && bind(library, "JOV_Send", Send, error) &&
         bind(library, "JOV_Recv", Recv, error) && bind(library, "JOV_Poll", Poll, error) &&
         bind(library, "JOV_CloseHandle", CloseHandle, error);
}

std::string JovLibrary::take(char *details) const {
  if (!details)
    return "";
  std::string text(details);
  CryptoFree(details, 0);
  return text;
}

std::string JovLibrary::lastError(JOV_HANDLE handle) const {
  char *details = nullptr;
  CryptoGetLastErrorDetails(handle, 0, &details);
  return take(details);
}

//===--- Processes --------------------------------------------------------===//

#ifdef _WIN32

static std::wstring widen(const std::string &text) {
  if (text.empty())
    return L"";
  int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), length);
  return out;
}

static std::wstring quote(const std::wstring &arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos)
    return arg;
  std::wstring out = L"\"";
  std::size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, L'\\');
  return out + L"\"";
}

bool ChildProcess::start(const std::string &program, const std::vector<std::string> &args, std::string &error,
                         bool newGroup) {
  std::wstring commandLine = quote(widen(program));
  for (const std::string &arg : args)
    commandLine += L" " + quote(widen(arg));
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(widen(program).c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                      newGroup ? CREATE_NEW_PROCESS_GROUP : 0, nullptr, nullptr, &startup, &info)) {
    error = "CreateProcessW failed, error " + std::to_string(GetLastError());
    return false;
  }
  CloseHandle(info.hThread);
  m_process = info.hProcess;
  m_pid = static_cast<long>(info.dwProcessId);
  m_running = true;
  return true;
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
  if (!m_running)
    return m_exitCode;
  if (WaitForSingleObject(m_process, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0)
    return std::nullopt;
  DWORD code = 0;
  GetExitCodeProcess(m_process, &code);
  CloseHandle(m_process);
  m_process = nullptr;
  m_running = false;
  m_exitCode = static_cast<int>(code);
  return m_exitCode;
}

void ChildProcess::kill() {
  if (!m_running)
    return;
  TerminateProcess(m_process, 137);
  wait(std::chrono::milliseconds(10000));
}

void setEnvironment(const std::string &name, const std::optional<std::string> &value) {
  SetEnvironmentVariableW(widen(name).c_str(), value ? widen(*value).c_str() : nullptr);
}

#else

bool ChildProcess::start(const std::string &program, const std::vector<std::string> &args, std::string &error,
                         bool newGroup) {
  std::vector<std::string> words = {program};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (std::string &word : words)
    argv.push_back(word.data());
  argv.push_back(nullptr);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (newGroup) {
    posix_spawnattr_setpgroup(&attributes, 0);
    flags |= POSIX_SPAWN_SETPGROUP;
  }
  posix_spawnattr_setflags(&attributes, flags);
  pid_t pid = 0;
  int rc = posix_spawn(&pid, program.c_str(), nullptr, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  if (rc != 0) {
    error = "posix_spawn failed, errno " + std::to_string(rc);
    return false;
  }
  m_pid = pid;
  m_running = true;
  return true;
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
  if (!m_running)
    return m_exitCode;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    pid_t rc = waitpid(static_cast<pid_t>(m_pid), &status, WNOHANG);
    if (rc == static_cast<pid_t>(m_pid)) {
      m_running = false;
      m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return m_exitCode;
    }
    if (rc < 0) {
      m_running = false;
      return std::nullopt;
    }
    if (std::chrono::steady_clock::now() >= deadline)
      return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void ChildProcess::kill() {
  if (!m_running)
    return;
  ::kill(static_cast<pid_t>(m_pid), SIGKILL);
  wait(std::chrono::milliseconds(10000));
}

void ChildProcess::signal(int signal) {
  if (m_running)
    ::kill(static_cast<pid_t>(m_pid), signal);
}

void setEnvironment(const std::string &name, const std::optional<std::string> &value) {
  if (value)
    setenv(name.c_str(), value->c_str(), 1);
  else
    unsetenv(name.c_str());
}

#endif

ChildProcess::~ChildProcess() { kill(); }

bool startTestChild(ChildProcess &child, const std::vector<std::string> &args, std::string &error, bool newGroup) {
  return child.start((testsupport::binDir() / testsupport::exeName("trqtestchild")).string(), args, error,
                     newGroup);
}

int startServer(ChildProcess &child, const testsupport::TempDir &dir, const std::vector<std::string> &args,
                std::string &error) {
  static int counter = 0;
  std::string portFile = dir.file("port" + std::to_string(++counter) + ".txt");
  std::vector<std::string> all = {"--listen=0", "--port-file=" + portFile};
  all.insert(all.end(), args.begin(), args.end());
  if (!startTestChild(child, all, error))
    return 0;
  std::string text;
  bool written = testsupport::waitUntil([&] {
    text = testsupport::readFile(portFile);
    return !text.empty() && text.back() == '\n';
  });
  if (!written) {
    std::optional<int> code = child.wait(std::chrono::milliseconds(0));
    error = "the test child wrote no port file" + (code ? " (exit code " + std::to_string(*code) + ")" : "");
    return 0;
  }
  return std::atoi(text.c_str());
}

std::optional<std::string> recordValue(const std::string &record, const std::string &key) {
  std::istringstream lines(record);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.compare(0, key.size() + 1, key + "=") == 0)
      return line.substr(key.size() + 1);
  }
  return std::nullopt;
}

bool hasLine(const std::string &text, const std::string &wanted) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line == wanted)
      return true;
  }
  return false;
}

} // namespace jovtest
