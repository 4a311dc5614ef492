#include "TestProcess.h"

#include "TestSupport.h"

#include <thread>

namespace fs = std::filesystem;

namespace testsupport {

std::string commandLineOf(const std::vector<std::string> &args) {
  std::string line;
  for (const std::string &arg : args) {
    if (!line.empty())
      line += ' ';
    if (arg.find_first_of(" \t\"") == std::string::npos && !arg.empty()) {
      line += arg;
      continue;
    }
    line += '"';
    for (char c : arg) {
      if (c == '"')
        line += '\\';
      line += c;
    }
    line += '"';
  }
  return line;
}

TestProcess::TestProcess(const std::vector<std::string> &args, const fs::path &cwd) {
  // The process layer starts programs in the caller's working directory.
  fs::path before = fs::current_path();
  fs::current_path(cwd);
  m_startError = platform::startProcess(commandLineOf(args), args, m_handle, m_pid);
  fs::current_path(before);
  if (m_startError != 0)
    m_handle = platform::NoProcess;
}

TestProcess::~TestProcess() {
  if (started()) {
    if (running())
      kill();
    platform::closeProcessHandle(m_handle);
  }
}

bool TestProcess::running() {
  uint32_t code = 0;
  if (!started() || !platform::exitCode(m_handle, code))
    return false;
  if (code == platform::StillActive)
    return true;
  m_exitCode = static_cast<int>(code);
  return false;
}

int TestProcess::wait(std::chrono::milliseconds timeout) {
  if (!started())
    return -1;
  if (!waitUntil([this] { return !running(); }, timeout))
    return -1;
  return m_exitCode;
}

void TestProcess::kill() {
  if (started() && running()) {
    platform::terminateProcess(m_handle, 1);
    wait(std::chrono::milliseconds(10000));
  }
}

int runProgram(const std::vector<std::string> &args, const fs::path &cwd, std::chrono::milliseconds timeout) {
  TestProcess process(args, cwd);
  if (!process.started())
    return -1;
  int code = process.wait(timeout);
  if (code == -1)
    process.kill();
  return code;
}

} // namespace testsupport
