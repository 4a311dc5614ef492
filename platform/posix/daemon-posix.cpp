//===- daemon-posix.cpp - The program as a detached process on Linux ------===//
#include "daemon.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

extern char **environ;

namespace platform {

namespace {

std::string ownExecutable() {
  char path[4096];
  ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (length <= 0)
    return std::string();
  path[length] = '\0';
  return path;
}

// The state letter of /proc/<pid>/stat, or 0 when the process is gone.
char processState(int pid) {
  std::string name = "/proc/" + std::to_string(pid) + "/stat";
  FILE *file = std::fopen(name.c_str(), "re");
  if (!file)
    return 0;
  char text[512];
  size_t length = std::fread(text, 1, sizeof(text) - 1, file);
  std::fclose(file);
  text[length] = '\0';
  // The command name in parentheses may hold blanks and parentheses itself.
  const char *close = std::strrchr(text, ')');
  return close && close[1] == ' ' ? close[2] : 0;
}

// Undoes the file actions and attributes whatever the outcome.
struct SpawnSetup {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
};

} // namespace

int startDetachedProgram(const std::vector<std::string> &args, const std::string &workingDirectory, int &pid) {
  std::string program = ownExecutable();
  if (program.empty())
    return errno ? errno : ENOENT;
  std::vector<char *> argv;
  argv.push_back(program.data());
  std::vector<std::string> copies(args);
  for (std::string &arg : copies)
    argv.push_back(arg.data());
  argv.push_back(nullptr);

  SpawnSetup setup;
  for (int stream : {0, 1, 2})
    posix_spawn_file_actions_addopen(&setup.actions, stream, "/dev/null", stream == 0 ? O_RDONLY : O_WRONLY, 0);
  if (!workingDirectory.empty())
    posix_spawn_file_actions_addchdir_np(&setup.actions, workingDirectory.c_str());
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&setup.attributes, &none);
  posix_spawnattr_setsigdefault(&setup.attributes, &all);
  posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t child = 0;
  int error = posix_spawn(&child, program.c_str(), &setup.actions, &setup.attributes, argv.data(), environ);
  if (error != 0)
    return error;
  pid = static_cast<int>(child);
  return 0;
}

bool isThisProgramRunning(int pid) {
  if (pid <= 0)
    return false;
  char state = processState(pid);
  if (state == 0 || state == 'Z' || state == 'X')
    return false;
  struct stat own {}, other {};
  if (stat("/proc/self/exe", &own) != 0)
    return false;
  std::string exe = "/proc/" + std::to_string(pid) + "/exe";
  if (stat(exe.c_str(), &other) != 0)
    return false;
  return own.st_dev == other.st_dev && own.st_ino == other.st_ino;
}

int requestProgramStop(int pid) {
  if (pid <= 0)
    return ESRCH;
  return kill(static_cast<pid_t>(pid), SIGTERM) == 0 ? 0 : errno;
}

} // namespace platform
