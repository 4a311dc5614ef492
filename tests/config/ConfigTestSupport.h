//===- ConfigTestSupport.h - Start-up steps run inside the test process ---===//
//
// The start-up steps read files relative to the working directory, ask the
// process-wide configuration service and write the process-wide property
// table and log. Each test here works in a temporary installation tree
// (bin/, configuration/, temp/), with the working directory moved to its bin
// folder for the test's duration, the log written to a file of its own, and
// the configuration service answering from the tree's tslstartup.xml.
//
//===----------------------------------------------------------------------===//
#ifndef CONFIGTESTSUPPORT_H
#define CONFIGTESTSUPPORT_H

#include "LogTestSupport.h"
#include "TestSupport.h"
#include "config/TRQPropertyInserter.h"
#include "rklcfgapi.h"
#include "rklcore.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

namespace configtest {

inline TRQPropertyInserter *properties() { return TRQPropertyInserter::getInstance(); }

/// The property's value, or "<absent>".
inline std::string property(const char *name) {
  const char *value = properties()->getProperty(name);
  return value ? value : "<absent>";
}

/// A value that start-up code would never store: a property holding it was
/// left alone.
constexpr const char *Untouched = "<untouched>";

/// One installation tree; the working directory is its bin folder while the
/// test runs and is put back afterwards.
class InstallationTest : public logtest::LoggingTest {
protected:
  void SetUp() override {
    logtest::LoggingTest::SetUp();
    for (const char *folder : {"bin", "configuration", "temp"})
      std::filesystem::create_directories(m_root.path() / folder);
    m_savedDirectory = RKLFmDir::currentDirectory();
    ASSERT_EQ(RKLFmDir::changeDirectory(bin().c_str()), 1);
    factory()->addFile(m_log.c_str(), 0);
  }
  void TearDown() override {
    RKLConfigurationFactory::setInstanceForTesting(nullptr);
    RKLFmDir::changeDirectory(m_savedDirectory.c_str());
    logtest::LoggingTest::TearDown();
  }

  static TRQLoggerFactory *factory() { return logtest::factory(); }

  std::string root() const { return m_root.path().string(); }
  std::string bin() const { return (m_root.path() / "bin").string(); }
  std::filesystem::path path(const std::string &relative) const { return m_root.path() / relative; }

  /// Writes configuration/tslstartup.xml with `body` inside the document
  /// element and makes a fresh configuration service answer from it.
  void useStartupConfiguration(const std::string &body) {
    testsupport::writeFile(path("configuration/tslstartup.xml"),
                           "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<startupConfiguration xmlns:vtn=\"urn:t\" "
                           "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">\n" +
                               body + "</startupConfiguration>\n");
    m_configuration = std::make_unique<RKLFileConfiguration>(bin());
    RKLConfigurationFactory::setInstanceForTesting(m_configuration.get());
  }

  /// The log so far, "\r\n" made "\n".
  std::string log() const { return logtest::readLog(m_log); }
  bool logHas(const std::string &text) const { return log().find(text) != std::string::npos; }

private:
  testsupport::TempDir m_root{"tslstart"};
  testsupport::TempDir m_logDir{"tslstartlog"};
  std::string m_log = m_logDir.file("start.log");
  std::string m_savedDirectory;
  std::unique_ptr<RKLFileConfiguration> m_configuration;
};

} // namespace configtest

#endif // CONFIGTESTSUPPORT_H
