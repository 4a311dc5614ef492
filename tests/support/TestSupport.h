//===- TestSupport.h - Helpers shared by the test suites ------------------===//
//
// Temporary folders that clean up after themselves, whole-file reads and
// writes, the folder of the built programs, and bounded waits.
//
//===----------------------------------------------------------------------===//
#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

namespace testsupport {

/// A fresh, empty folder under the system's temporary folder (or under
/// `parent`), removed with everything in it when the object goes.
class TempDir {
public:
  explicit TempDir(const std::string &prefix = "tsltest", const std::filesystem::path &parent = {});
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;

  const std::filesystem::path &path() const { return m_path; }
  /// path() / relative, as a UTF-8 string.
  std::string file(const std::string &relative) const;

private:
  std::filesystem::path m_path;
};

/// The whole content of a file, or "" when it cannot be read.
std::string readFile(const std::filesystem::path &path);
/// Writes `content` as the whole file (binary), creating parent folders.
void writeFile(const std::filesystem::path &path, const std::string &content);
/// The folder that holds the test programs, the service and the helper tools.
std::filesystem::path binDir();
/// `name` with the system's executable suffix (".exe" on Windows).
std::string exeName(const std::string &name);
/// Polls `condition` every 20 ms until it holds or `timeout` has passed;
/// returns the last result.
bool waitUntil(const std::function<bool()> &condition,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
/// True in the Windows build.
bool isWindows();

} // namespace testsupport

#endif // TESTSUPPORT_H
