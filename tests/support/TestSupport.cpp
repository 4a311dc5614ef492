#include "TestSupport.h"

#include "rklcore.h"

#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace testsupport {

TempDir::TempDir(const std::string &prefix, const fs::path &parent) {
  static std::atomic<unsigned> counter{0};
  auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  for (;;) {
    std::ostringstream name;
    name << prefix << '-' << std::hex << stamp << '-' << counter++;
    fs::path candidate = (parent.empty() ? fs::temp_directory_path() : parent) / name.str();
    std::error_code ec;
    if (fs::create_directory(candidate, ec)) {
      m_path = fs::canonical(candidate);
      return;
    }
  }
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(m_path, ec);
}

std::string TempDir::file(const std::string &relative) const { return (m_path / relative).string(); }

std::string readFile(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void writeFile(const fs::path &path, const std::string &content) {
  if (path.has_parent_path())
    fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

fs::path binDir() { return fs::path(RKLFmDir::executableDirectory()); }

std::string exeName(const std::string &name) { return isWindows() ? name + ".exe" : name; }

bool waitUntil(const std::function<bool()> &condition, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (condition())
      return true;
    if (std::chrono::steady_clock::now() >= deadline)
      return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

bool isWindows() { return RKLFmDir::separator() == '\\'; }

} // namespace testsupport
