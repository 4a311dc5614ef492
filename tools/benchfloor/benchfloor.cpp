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
//
// It links nothing but the C and C++ run-times, so that its own start costs
// no more than a floor should. trqbenchexchange measures the exchanges.
// Linux only; it is a measuring tool, not part of the service.
//
//===----------------------------------------------------------------------===//
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/inotify.h>
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

} // namespace

int main(int argc, char **argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "wait")
    return waitForRecords(argc, argv);
  if (mode == "spawn")
    return spawnCopies(argc, argv);
  std::fprintf(stderr, "usage: trqbenchfloor wait|spawn ... (see the source's banner)\n");
  return 2;
}
