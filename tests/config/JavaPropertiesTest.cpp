//===- JavaPropertiesTest.cpp - The Java runtime recorded in trq.prefs ----===//
#include "ConfigTestSupport.h"
#include "service/TRQBootstrapService.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace fs = std::filesystem;

namespace {

using configtest::InstallationTest;
using configtest::properties;
using configtest::property;
using configtest::Untouched;

class JavaProperties : public InstallationTest {
protected:
  void SetUp() override {
    InstallationTest::SetUp();
    properties()->addProperty("temp", path("temp").string().c_str());
    fs::create_directories(path("jre"));
    m_jre = path("jre").string();
  }

  /// Writes trq.prefs (or removes it for a null content), runs the reader
  /// with java_version preset to Untouched, and checks that the working
  /// directory is where it was.
  void read(const char *content) {
    fs::path file = path("temp/trq.prefs");
    fs::remove(file);
    if (content)
      testsupport::writeFile(file, content);
    properties()->addProperty("java_vendor", Untouched);
    properties()->addProperty("java_version", Untouched);
    std::string before = RKLFmDir::currentDirectory();
    TRQBootstrapService service;
    service.readJavaProperties();
    EXPECT_EQ(RKLFmDir::currentDirectory(), before);
  }

  std::string m_jre;
};

TEST_F(JavaProperties, VendorAndVersionOfAnExistingJavaHome) {
  read(("java_home=" + m_jre + "\njava_vendor=Acme Systems\njava_version=1.8.0\n").c_str());
  EXPECT_EQ(property("java_vendor"), "Acme");
  // The line end stays out of the value.
  EXPECT_EQ(property("java_version"), "1.8.0");
  std::string prefs = path("temp").string() + "/trq.prefs";
  EXPECT_TRUE(logHas("TRQ Java properties file \"" + prefs + "\" is found.\n")) << log();
  EXPECT_TRUE(logHas("AbsJavaHomeInFile =\"")) << log();
  EXPECT_NE(log().find(fs::path(m_jre).filename().string() + "\"\n"), std::string::npos);

  // CRLF lines, a vendor without blanks on a last line without line end,
  // a relative Java home, keys repeated (the last wins) and keys after other
  // text (ignored).
  read("java_home=nowhere\r\njava_home=../jre\r\njava_version=11.0.2\r\n java_version=9\r\n"
       "xjava_vendor=Wrong\r\njava_vendor=Zulu");
  EXPECT_EQ(property("java_vendor"), "Zulu");
  EXPECT_EQ(property("java_version"), "11.0.2");

  // No version line: an empty version.
  read(("java_home=" + m_jre + "\njava_vendor=Acme\n").c_str());
  EXPECT_EQ(property("java_version"), "");
}

TEST_F(JavaProperties, NoUsableJavaHomeGivesAnEmptyVendorAndNoVersion) {
  properties()->addProperty("java_home", "C:\\jre-of-the-service");
  std::string missing = path("missing-jre").string();
  read(("java_home=" + missing + "\njava_vendor=Acme Systems\njava_version=1.8.0\n").c_str());
  EXPECT_EQ(property("java_vendor"), "");
  EXPECT_EQ(property("java_version"), Untouched);
  EXPECT_TRUE(logHas("AbsJavaHomeInFile =\"\"\n")) << log();
  EXPECT_TRUE(logHas("Java home in the TRQ Java properties file is empty, no need to check java vendor. "
                     "JavaHomeInFile=\"" +
                     missing + "\", JavaHomeInTRQ=\"C:\\jre-of-the-service\"\n"))
      << log();

  // A vendor without a Java home line.
  read("java_vendor=Acme\njava_version=1.8.0\n");
  EXPECT_EQ(property("java_vendor"), "");
  EXPECT_EQ(property("java_version"), Untouched);

  // A Java home that is a file, not a directory.
  testsupport::writeFile(path("jre-file"), "x");
  read(("java_home=" + path("jre-file").string() + "\njava_vendor=Acme\n").c_str());
  EXPECT_EQ(property("java_vendor"), "");

  // No file at all.
  read(nullptr);
  EXPECT_EQ(property("java_vendor"), "");
  EXPECT_EQ(property("java_version"), Untouched);
  EXPECT_TRUE(logHas("TRQ Java properties file \"" + path("temp").string() + "/trq.prefs\" is NOT found.\n"));
}

} // namespace
