//===- benchfloor.cpp - What the system allows, for scripts/bench to compare ===//
//
// trqbenchfloor does, with nothing in between, what the service does for its
// children, so that scripts/bench can set the service's costs beside the
// operating system's:
//
//   wait --count=N --dir=D --since=S --timeout-ms=T
//       waits until D holds N files ending in ".record" (the test child's
//       record, written by a rename once the child runs) and prints the
//       milliseconds since S (seconds since the epoch, with a fraction, as
//       bash's EPOCHREALTIME gives it). Exit 1 when the time runs out.
//   spawn --count=N -- PROGRAM ARGS...
//       starts N copies with posix_spawn ("%N" in an argument becomes the
//       copy's number), then on SIGTERM or SIGINT sends each SIGTERM, collects
//       them all and exits.
//   exchange --host=H --port=P --count=M --command=C [--tls --ca-file=F]
//       M request/reply exchanges, each on a connection of its own (one TLS
//       context for all), and prints the CPU time per exchange in
//       microseconds.
//
// Linux only; it is a measuring tool, not part of the service.
//
//===----------------------------------------------------------------------===//
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

std::string option(int argc, char **argv, const char *name, const char *fallback = nullptr) {
  const std::string prefix = std::string("--") + name + "=";
  for (int i = 2; i < argc && std::strcmp(argv[i], "--") != 0; ++i)
    if (std::strncmp(argv[i], prefix.c_str(), prefix.size()) == 0)
      return argv[i] + prefix.size();
  if (!fallback) {
    std::fprintf(stderr, "trqbenchfloor: --%s=... is required\n", name);
    std::exit(2);
  }
  return fallback;
}

bool flag(int argc, char **argv, const char *name) {
  const std::string wanted = std::string("--") + name;
  for (int i = 2; i < argc && std::strcmp(argv[i], "--") != 0; ++i)
    if (wanted == argv[i])
      return true;
  return false;
}

double nowSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

bool isRecord(const char *name) {
  std::size_t length = std::strlen(name);
  return length > 7 && std::strcmp(name + length - 7, ".record") == 0;
}

int countRecords(const std::string &dir) {
  int count = 0;
  DIR *d = opendir(dir.c_str());
  if (!d)
    return 0;
  while (dirent *entry = readdir(d))
    count += isRecord(entry->d_name) ? 1 : 0;
  closedir(d);
  return count;
}

/// Watches the folder rather than polling it, so that the waiting takes no
/// processor time from the programs being measured.
int waitForRecords(int argc, char **argv) {
  const int count = std::atoi(option(argc, argv, "count").c_str());
  const std::string dir = option(argc, argv, "dir");
  const double since = std::atof(option(argc, argv, "since").c_str());
  const double deadline = nowSeconds() + std::atoi(option(argc, argv, "timeout-ms", "60000").c_str()) / 1000.0;
  int fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (fd < 0 || inotify_add_watch(fd, dir.c_str(), IN_MOVED_TO | IN_CREATE) < 0) {
    std::fprintf(stderr, "trqbenchfloor: cannot watch %s: errno %d\n", dir.c_str(), errno);
    return 2;
  }
  for (;;) {
    // Counted again after every batch of events: simpler than matching names,
    // and the folder holds only the records of this run.
    if (countRecords(dir) >= count) {
      std::printf("%.1f\n", (nowSeconds() - since) * 1000.0);
      return 0;
    }
    double left = deadline - nowSeconds();
    if (left <= 0) {
      std::fprintf(stderr, "trqbenchfloor: %d of %d records after the time limit\n", countRecords(dir), count);
      return 1;
    }
    pollfd entry{fd, POLLIN, 0};
    poll(&entry, 1, static_cast<int>(left * 1000) + 1);
    char buffer[8192];
    while (read(fd, buffer, sizeof(buffer)) > 0) {
    }
  }
}

int spawnCopies(int argc, char **argv) {
  const int count = std::atoi(option(argc, argv, "count").c_str());
  int first = 2;
  while (first < argc && std::strcmp(argv[first], "--") != 0)
    ++first;
  if (first + 1 >= argc) {
    std::fprintf(stderr, "trqbenchfloor: spawn needs -- PROGRAM\n");
    return 2;
  }
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  posix_spawnattr_setsigmask(&attributes, &none);

  std::vector<pid_t> children;
  for (int n = 1; n <= count; ++n) {
    std::vector<std::string> words;
    for (int i = first + 1; i < argc; ++i) {
      std::string word = argv[i];
      for (std::size_t at = word.find("%N"); at != std::string::npos; at = word.find("%N"))
        word.replace(at, 2, std::to_string(n));
      words.push_back(word);
    }
    std::vector<char *> arguments;
    for (std::string &word : words)
      arguments.push_back(word.data());
    arguments.push_back(nullptr);
    pid_t pid = 0;
    int rc = posix_spawn(&pid, arguments[0], nullptr, &attributes, arguments.data(), environ);
    if (rc != 0) {
      std::fprintf(stderr, "trqbenchfloor: posix_spawn failed: errno %d\n", rc);
      break;
    }
    children.push_back(pid);
  }
  posix_spawnattr_destroy(&attributes);
  int signal = 0;
  sigwait(&stopSignals, &signal);
  for (pid_t pid : children)
    kill(pid, SIGTERM);
  for (pid_t pid : children)
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  return 0;
}

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int exchanges(int argc, char **argv) {
  const std::string host = option(argc, argv, "host", "127.0.0.1");
  const int port = std::atoi(option(argc, argv, "port").c_str());
  const int count = std::atoi(option(argc, argv, "count").c_str());
  const std::string command = option(argc, argv, "command");
  const bool tls = flag(argc, argv, "tls");
  SSL_CTX *context = nullptr;
  if (tls) {
    context = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    if (!context || SSL_CTX_load_verify_locations(context, option(argc, argv, "ca-file").c_str(), nullptr) != 1) {
      std::fprintf(stderr, "trqbenchfloor: cannot set up TLS\n");
      return 2;
    }
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, host.c_str(), &address.sin_addr);
  const double start = cpuSeconds();
  int done = 0;
  for (int i = 0; i < count; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
      std::fprintf(stderr, "trqbenchfloor: connect failed: errno %d\n", errno);
      if (fd >= 0)
        close(fd);
      return 1;
    }
    char reply[256];
    bool ok = false;
    if (tls) {
      SSL *ssl = SSL_new(context);
      SSL_set_fd(ssl, fd);
      SSL_set1_host(ssl, "localhost");
      if (SSL_connect(ssl) == 1 && SSL_write(ssl, command.data(), static_cast<int>(command.size())) > 0)
        ok = SSL_read(ssl, reply, sizeof(reply)) > 0;
      SSL_shutdown(ssl);
      SSL_free(ssl);
    } else {
      if (send(fd, command.data(), command.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(command.size()))
        ok = recv(fd, reply, sizeof(reply), 0) > 0;
    }
    close(fd);
    done += ok ? 1 : 0;
  }
  const double used = cpuSeconds() - start;
  if (done != count) {
    std::fprintf(stderr, "trqbenchfloor: %d of %d exchanges answered\n", done, count);
    return 1;
  }
  std::printf("%.1f\n", used * 1e6 / count);
  if (context)
    SSL_CTX_free(context);
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "wait")
    return waitForRecords(argc, argv);
  if (mode == "spawn")
    return spawnCopies(argc, argv);
  if (mode == "exchange")
    return exchanges(argc, argv);
  std::fprintf(stderr, "usage: trqbenchfloor wait|spawn|exchange ... (see the source's banner)\n");
  return 2;
}
