//===- TlsTestSupport.cpp - Certificates and TLS servers for the suites ----===//
#include "TlsTestSupport.h"

#include "processes.h"

#include <cstdlib>
#include <memory>

#ifdef _WIN32
#include <windows.h>
#endif

namespace tlstest {

namespace {

/// `word` as one word of a shell command.
std::string shellWord(const std::string &word) {
  std::string out = "'";
  for (char c : word)
    out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

#ifdef _WIN32

using UnixFileName = char *(__cdecl *)(const wchar_t *);

UnixFileName unixFileNameFunction() {
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  return kernel ? reinterpret_cast<UnixFileName>(
                      reinterpret_cast<void *>(GetProcAddress(kernel, "wine_get_unix_file_name")))
                : nullptr;
}

std::wstring widen(const std::string &text) {
  int length = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
  std::wstring out(static_cast<std::size_t>(length > 0 ? length : 1), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, out.data(), length);
  out.resize(out.size() - 1);
  return out;
}

/// The Linux path of a path of this system, under Wine.
std::string unixPath(const std::string &path) {
  UnixFileName convert = unixFileNameFunction();
  char *name = convert ? convert(widen(path).c_str()) : nullptr;
  if (!name)
    return path;
  std::string out(name);
  HeapFree(GetProcessHeap(), 0, name);
  return out;
}

/// Starts `/bin/sh scriptFile` as a Linux process; Wine gives no handle for it.
bool launchShell(const std::string &scriptFile, std::string &error) {
  std::wstring commandLine = L"/bin/sh \"" + widen(unixPath(scriptFile)) + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(L"Z:\\bin\\sh", commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &info)) {
    error = "cannot start the Linux shell, error " + std::to_string(GetLastError());
    return false;
  }
  if (info.hThread)
    CloseHandle(info.hThread);
  if (info.hProcess)
    CloseHandle(info.hProcess);
  return true;
}

std::string linuxTestChild() {
  const char *configured = std::getenv("TSL_LINUX_TESTCHILD");
  if (configured && *configured)
    return configured;
  return unixPath((testsupport::binDir() / ".." / ".." / "linux" / "bin" / "trqtestchild").lexically_normal().string());
}

#else

std::string unixPath(const std::string &path) { return path; }

#endif

/// Every process of the shell and its children reads nothing and writes to
/// nothing of the test's, so that no pipe of whoever runs the tests stays open.
const char kQuiet[] = "exec </dev/null >/dev/null 2>&1\n";

} // namespace

bool underWine() {
#ifdef _WIN32
  return unixFileNameFunction() != nullptr;
#else
  return false;
#endif
}

std::string cannotServeTls() {
#ifdef _WIN32
  if (!underWine())
    return "the TLS test servers are Linux programs, which only Windows under Wine can start";
#endif
  return "";
}

bool runShell(const std::string &script, std::string &error) {
#ifdef _WIN32
  testsupport::TempDir dir{"tslshell"};
  const std::string marker = dir.file("status");
  testsupport::writeFile(dir.file("script.sh"), std::string(kQuiet) + "(\n" + script + "\n)\necho $? >" +
                                                    shellWord(unixPath(marker) + ".tmp") + " && mv " +
                                                    shellWord(unixPath(marker) + ".tmp") + " " +
                                                    shellWord(unixPath(marker)) + "\n");
  if (!launchShell(dir.file("script.sh"), error))
    return false;
  std::string status;
  if (!testsupport::waitUntil(
          [&] {
            status = testsupport::readFile(marker);
            return !status.empty() && status.back() == '\n';
          },
          std::chrono::milliseconds(60000))) {
    error = "the Linux shell did not finish within 60 seconds: " + script;
    return false;
  }
  int rc = std::atoi(status.c_str());
#else
  int rc = std::system(("(" + script + ") </dev/null >/dev/null 2>&1").c_str());
#endif
  if (rc != 0)
    error = "command failed (" + std::to_string(rc) + "): " + script;
  return rc == 0;
}

Certificates &Certificates::get() {
  static std::unique_ptr<Certificates> made = [] {
    auto c = std::make_unique<Certificates>();
    const testsupport::TempDir &d = c->dir;
    auto file = [&d](const std::string &name) { return shellWord(unixPath(d.file(name))); };
    std::string script = "set -e\n";
    auto authority = [&](const std::string &name) {
      script += "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj '/CN=" +
                name + "' -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign" +
                " -keyout " + file(name + ".key") + " -out " + file(name + ".pem") + "\n";
    };
    auto server = [&](const std::string &name, const std::string &commonName, const std::string &altNames,
                      const std::string &issuer) {
      testsupport::writeFile(d.file(name + ".ext"), "basicConstraints=CA:FALSE\nkeyUsage=digitalSignature\n"
                                                    "extendedKeyUsage=serverAuth\nsubjectAltName=" +
                                                        altNames + "\n");
      script += "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj '/CN=" + commonName +
                "' -keyout " + file(name + ".key") + " -out " + file(name + ".csr") + "\n";
      script += "openssl x509 -req -days 2 -in " + file(name + ".csr") + " -CA " + file(issuer + ".pem") +
                " -CAkey " + file(issuer + ".key") + " -CAcreateserial -extfile " + file(name + ".ext") + " -out " +
                file(name + ".pem") + "\n";
    };
    authority("ca");
    authority("stranger-ca");
    server("server", "localhost", "DNS:localhost,IP:127.0.0.1", "ca");
    server("otherhost", "otherhost.invalid", "DNS:otherhost.invalid", "ca");
    server("stranger", "localhost", "DNS:localhost,IP:127.0.0.1", "stranger-ca");
    if (runShell(script, c->failure)) {
      c->caFile = d.file("ca.pem");
      c->serverCert = d.file("server.pem");
      c->serverKey = d.file("server.key");
      c->otherHostCert = d.file("otherhost.pem");
      c->otherHostKey = d.file("otherhost.key");
      c->strangerCert = d.file("stranger.pem");
      c->strangerKey = d.file("stranger.key");
    }
    return c;
  }();
  return *made;
}

int TlsServer::start(const std::vector<std::string> &options, std::string &error) {
  stop();
  static int counter = 0;
  ++counter;
  const std::string portFile = m_dir.file("port" + std::to_string(counter) + ".txt");
  m_logFile = m_dir.file("child" + std::to_string(counter) + ".log");
  std::vector<std::string> args = {"--listen=0", "--port-file=" + unixPath(portFile), "--log=" + unixPath(m_logFile)};
  args.insert(args.end(), options.begin(), options.end());
#ifdef _WIN32
  const std::string pidFile = m_dir.file("pid" + std::to_string(counter) + ".txt");
  // A child left behind by a test that crashed ends by itself.
  std::string script = std::string(kQuiet) + "echo $$ >" + shellWord(unixPath(pidFile) + ".tmp") + " && mv " +
                       shellWord(unixPath(pidFile) + ".tmp") + " " + shellWord(unixPath(pidFile)) + "\nexec " +
                       shellWord(linuxTestChild()) + " --exit=0 --after=600000";
  for (const std::string &arg : args)
    script += " " + shellWord(arg);
  testsupport::writeFile(m_dir.file("server" + std::to_string(counter) + ".sh"), script + "\n");
  if (!launchShell(m_dir.file("server" + std::to_string(counter) + ".sh"), error))
    return 0;
  std::string pidText;
  testsupport::waitUntil([&] {
    pidText = testsupport::readFile(pidFile);
    return !pidText.empty() && pidText.back() == '\n';
  });
  m_process = std::atoll(pidText.c_str());
  if (m_process <= 0) {
    error = "the Linux shell wrote no process id";
    return 0;
  }
#else
  const std::string program = (testsupport::binDir() / "trqtestchild").string();
  std::vector<std::string> argv = {program};
  argv.insert(argv.end(), args.begin(), args.end());
  std::string commandLine;
  for (const std::string &word : argv)
    commandLine += (commandLine.empty() ? "" : " ") + word;
  platform::ProcessHandle handle = platform::NoProcess;
  int pid = 0;
  int rc = platform::startProcess(commandLine, argv, handle, pid);
  if (rc != 0) {
    error = "cannot start the test child, error " + std::to_string(rc);
    return 0;
  }
  m_process = handle;
#endif
  std::string text;
  if (!testsupport::waitUntil([&] {
        text = testsupport::readFile(portFile);
        return !text.empty() && text.back() == '\n';
      })) {
    error = "the test child wrote no port file" +
            std::string(testsupport::isWindows() ? " (is the Linux build's trqtestchild built?)" : "");
    return 0;
  }
  return std::atoi(text.c_str());
}

int TlsServer::startTls(const std::string &cert, const std::string &key, std::vector<std::string> options,
                        std::string &error) {
  options.push_back("--tls-cert=" + unixPath(cert));
  options.push_back("--tls-key=" + unixPath(key));
  return start(options, error);
}

void TlsServer::stop() {
  if (m_process == -1)
    return;
#ifdef _WIN32
  // Never "kill 0", which would end the shell's whole process group.
  std::string error;
  if (m_process > 0)
    runShell("kill -9 " + std::to_string(m_process), error);
#else
  platform::terminateProcess(m_process, 1);
  platform::waitForExit(m_process);
  platform::closeProcessHandle(m_process);
#endif
  m_process = -1;
}

} // namespace tlstest
