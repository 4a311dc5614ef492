//===- StartupConfigurationTest.cpp - The startup configuration service ---===//
//
// Each test builds an installation tree in a temporary folder (bin/ and
// configuration/) and asks a configuration object made for its bin folder.
//
//===----------------------------------------------------------------------===//
#include "TestSupport.h"
#include "rklcfgapi.h"
#include "rklcore.h"
#include "rklidom.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char *const Configuration =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<startupConfiguration xmlns:vtn=\"urn:example\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">\n"
    "  <temp>../temp</temp>\n"
    "  <hostName>host.example</hostName>\n"
    "  <emptySetting></emptySetting>\n"
    "  <networkConfiguration>IPv4</networkConfiguration>\n"
    "  <internalDispatcher>tls://localhost:9301/dispatcher</internalDispatcher>\n"
    "  <TRQ>\n"
    "    <vtn:instances name=\"trq\"><vtn:instance name=\"\" class=\"Tomcat\"/></vtn:instances>\n"
    "    <vtn:parameter name=\"shutdownPort\"><vtn:value xsi:type=\"xsd:unsignedShort\">9399</vtn:value>"
    "</vtn:parameter>\n"
    "    <nested><deep>first</deep></nested>\n"
    "  </TRQ>\n"
    "  <deep>second</deep>\n"
    "  <components>\n"
    "    <component name=\"DISPATCHER\" version=\"2.5.1\"/>\n"
    "    <component name=\"NOVERSION\"/>\n"
    "  </components>\n"
    "</startupConfiguration>\n";

/// A temporary installation: <root>/bin and <root>/configuration.
class Installation {
public:
  Installation() {
    fs::create_directories(m_root.path() / "bin");
    fs::create_directories(m_root.path() / "configuration");
  }
  std::string root() const { return m_root.path().string(); }
  std::string bin() const { return root() + RKLFmDir::separator() + "bin"; }
  fs::path configurationFile() const { return m_root.path() / "configuration" / "tslstartup.xml"; }
  void write(const std::string &content) const { testsupport::writeFile(configurationFile(), content); }

private:
  testsupport::TempDir m_root{"tslcfg"};
};

/// Collects what the configuration service reports.
struct Report {
  int level;
  std::string source;
  std::string text;
};
std::vector<Report> reports;

void collect(int level, const char *source, const char *text) { reports.push_back(Report{level, source, text}); }

class StartupConfiguration : public ::testing::Test {
protected:
  void SetUp() override {
    reports.clear();
    RKLDiagnostics::setHandler(collect);
  }
  void TearDown() override { RKLDiagnostics::setHandler(nullptr); }

  Installation m_installation;
};

std::string resolve(IRKLConfiguration &configuration, const std::string &path) {
  I18NString text(path.c_str());
  configuration.resolvePath(text);
  return text.c_str();
}

} // namespace

TEST_F(StartupConfiguration, GetElementFindsTheFirstElementOfTheName) {
  m_installation.write(Configuration);
  RKLFileConfiguration configuration(m_installation.bin());

  RKLIDOM_Element section = configuration.getElement("TRQ", 0);
  ASSERT_FALSE(section.isNull());
  EXPECT_STREQ("TRQ", section.getTagName().c_str());
  RKLIDOM_Element instances =
      RKLIDOM_Helper::findElementWithAttribute(section, "vtn:instances", "name", "trq");
  EXPECT_STREQ("Tomcat", RKLIDOM_Helper::findFirstElement(instances, "vtn:instance").getAttribute("class").c_str());

  EXPECT_STREQ("../temp", RKLIDOM_Helper::getElementText(configuration.getElement("temp", 0)).c_str());
  EXPECT_STREQ("tls://localhost:9301/dispatcher",
               RKLIDOM_Helper::getElementText(configuration.getElement("internalDispatcher", 0)).c_str());
  // At any depth, the first in document order.
  EXPECT_STREQ("first", RKLIDOM_Helper::getElementText(configuration.getElement("deep", 0)).c_str());
  // Qualified names as written.
  EXPECT_STREQ("shutdownPort", configuration.getElement("vtn:parameter", 0).getAttribute("name").c_str());

  EXPECT_TRUE(configuration.getElement("gateway", 0).isNull());
  EXPECT_TRUE(configuration.getElement("", 0).isNull());
  EXPECT_TRUE(configuration.getElement(nullptr, 0).isNull());
  // The document element is the file itself, not a setting.
  EXPECT_TRUE(configuration.getElement("startupConfiguration", 0).isNull());
  EXPECT_TRUE(reports.empty());
}

TEST_F(StartupConfiguration, GetValueGivesTheElementText) {
  m_installation.write(Configuration);
  RKLFileConfiguration configuration(m_installation.bin());
  EXPECT_STREQ("IPv4", configuration.getValue("networkConfiguration", 0).c_str());
  EXPECT_STREQ("host.example", configuration.getValue("hostName", 0).c_str());
  EXPECT_STREQ("", configuration.getValue("emptySetting", 0).c_str());
  EXPECT_STREQ("", configuration.getValue("missing", 0).c_str());
  EXPECT_STREQ("", configuration.getValue(nullptr, 0).c_str());
}

TEST_F(StartupConfiguration, GetComponentVersionReadsTheComponentList) {
  m_installation.write(Configuration);
  RKLFileConfiguration configuration(m_installation.bin());
  EXPECT_STREQ("2.5.1", configuration.getComponentVersion("DISPATCHER").c_str());
  EXPECT_STREQ("", configuration.getComponentVersion("STANDALONECOMMON").c_str());
  EXPECT_STREQ("", configuration.getComponentVersion("dispatcher").c_str());
  EXPECT_STREQ("", configuration.getComponentVersion("NOVERSION").c_str());
  EXPECT_STREQ("", configuration.getComponentVersion("").c_str());
  EXPECT_STREQ("", configuration.getComponentVersion(nullptr).c_str());
}

TEST_F(StartupConfiguration, ElementsOutliveTheConfigurationObject) {
  m_installation.write(Configuration);
  RKLIDOM_Element section;
  {
    RKLFileConfiguration configuration(m_installation.bin());
    section = configuration.getElement("TRQ", 0);
  }
  RKLIDOM_Element parameter = RKLIDOM_Helper::findElementWithAttribute(section, "vtn:parameter", "name", "shutdownPort");
  RKLIDOM_Element value = RKLIDOM_Helper::findElementWithAttribute(parameter, "vtn:value", "xsi:type", "xsd:unsignedShort");
  EXPECT_STREQ("9399", value.getFirstChild().getNodeValue().c_str());
}

TEST_F(StartupConfiguration, ResolvePathTakesRelativePathsAgainstTheBinFolder) {
  RKLFileConfiguration configuration(m_installation.bin());
  const std::string sep(1, RKLFmDir::separator());
  const std::string root = m_installation.root();
  const std::string bin = m_installation.bin();

  EXPECT_EQ(bin, resolve(configuration, "."));
  EXPECT_EQ(root, resolve(configuration, ".."));
  EXPECT_EQ(bin + sep + "trqlogconfig.xml", resolve(configuration, "./trqlogconfig.xml"));
  EXPECT_EQ(bin + sep + "trqlogconfig.xml", resolve(configuration, "trqlogconfig.xml"));
  EXPECT_EQ(root + sep + "logs" + sep + "trq.log", resolve(configuration, "../logs/./trq.log"));
  EXPECT_EQ(bin + sep + "a" + sep + "c", resolve(configuration, "a//b/../c/"));
  EXPECT_EQ(bin, resolve(configuration, ""));
  // Not against the current directory, wherever that is.
  EXPECT_EQ(bin, resolve(configuration, "."));
  EXPECT_NE(RKLFmDir::currentDirectory() + sep + "x", resolve(configuration, "x"));

  // Absolute paths stay where they point, normalised.
  EXPECT_EQ(root + sep + "other", resolve(configuration, root + sep + "bin" + sep + ".." + sep + "other"));
  EXPECT_EQ(root, resolve(configuration, root));

  // The byte-string form.
  std::string path = "../configuration";
  configuration.resolvePath(path);
  EXPECT_EQ(root + sep + "configuration", path);
  EXPECT_EQ(root + sep + "configuration" + sep + "tslstartup.xml", configuration.fileName());
}

TEST_F(StartupConfiguration, ResolvePathAcceptsABinFolderWithDotsAndTrailingSeparators) {
  const std::string sep(1, RKLFmDir::separator());
  RKLFileConfiguration configuration(m_installation.root() + sep + "configuration" + sep + ".." + sep + "bin" + sep);
  EXPECT_EQ(m_installation.bin(), resolve(configuration, "."));
  EXPECT_EQ(m_installation.root(), resolve(configuration, ".."));
}

TEST_F(StartupConfiguration, UnknownBinFolderResolvesToNothing) {
  RKLFileConfiguration configuration("");
  EXPECT_EQ("", resolve(configuration, "."));
  EXPECT_EQ("", resolve(configuration, ".."));
  EXPECT_TRUE(configuration.getElement("TRQ", 0).isNull());
  EXPECT_STREQ("", configuration.getComponentVersion("DISPATCHER").c_str());
  EXPECT_TRUE(reports.empty());
}

TEST_F(StartupConfiguration, MissingFileIsAnEmptyConfiguration) {
  RKLFileConfiguration configuration(m_installation.bin());
  EXPECT_TRUE(configuration.getElement("TRQ", 0).isNull());
  EXPECT_STREQ("", configuration.getValue("networkConfiguration", 0).c_str());
  EXPECT_NO_THROW({ EXPECT_STREQ("", configuration.getComponentVersion("STANDALONECOMMON").c_str()); });
  EXPECT_EQ(m_installation.bin(), resolve(configuration, "."));
  EXPECT_TRUE(reports.empty());
}

TEST_F(StartupConfiguration, MalformedFileIsReportedOnceAndReadsAsEmpty) {
  const std::string broken = "<startupConfiguration>\n  <TRQ>\n  </TRK>\n</startupConfiguration>\n";
  m_installation.write(broken);
  RKLFileConfiguration configuration(m_installation.bin());

  // What the parser says about the same text is what the report carries.
  RKLIDOM_Parser parser(0);
  RKLIDOM_Document doc;
  ASSERT_EQ(0, parser.parseBuffer(broken.data(), broken.size(), doc));
  const std::string expected =
      "cannot parse startup configuration file \"" + configuration.fileName() + "\": " + parser.errorString();

  EXPECT_TRUE(configuration.getElement("TRQ", 0).isNull());
  EXPECT_STREQ("", configuration.getValue("TRQ", 0).c_str());
  for (int call = 0; call < 3; ++call) {
    try {
      configuration.getComponentVersion("STANDALONECOMMON");
      ADD_FAILURE() << "getComponentVersion did not throw on call " << call;
    } catch (const RKLConfigurationException &e) {
      EXPECT_EQ(expected, e.getMessage());
      EXPECT_STREQ("RKLConfigurationException", e.getName());
      ASSERT_EQ(1u, e.getBackTrace().size());
      EXPECT_EQ("platform/rklcfgapi", e.getBackTrace()[0].location);
      EXPECT_GT(e.getBackTrace()[0].line, 0);
      EXPECT_EQ("RKL_THROW", e.getBackTrace()[0].tag);
    }
  }
  EXPECT_TRUE(configuration.getElement("TRQ", 0).isNull());

  ASSERT_EQ(1u, reports.size());
  EXPECT_EQ(1, reports[0].level);
  EXPECT_EQ("RKLConfiguration", reports[0].source);
  EXPECT_EQ(expected, reports[0].text);
  EXPECT_NE(std::string::npos, reports[0].text.find("line 3, column ")) << reports[0].text;
}

TEST_F(StartupConfiguration, MalformedFileMakesEveryOperationReportOnlyOnce) {
  m_installation.write("<startupConfiguration>");
  RKLFileConfiguration configuration(m_installation.bin());
  EXPECT_THROW(configuration.getComponentVersion("X"), RKLConfigurationException);
  EXPECT_STREQ("", configuration.getValue("a", 0).c_str());
  EXPECT_TRUE(configuration.getElement("a", 0).isNull());
  EXPECT_THROW(configuration.getComponentVersion("X"), RKLThrowable);
  EXPECT_EQ(1u, reports.size());
}

TEST_F(StartupConfiguration, TheFileIsReadOnFirstUseAndOnlyOnce) {
  RKLFileConfiguration configuration(m_installation.bin());
  // Written after construction: still seen, as nothing was read yet.
  m_installation.write("<c><hostName>one</hostName></c>");
  EXPECT_STREQ("one", configuration.getValue("hostName", 0).c_str());
  // Changed afterwards: the first reading stays.
  m_installation.write("<c><hostName>two</hostName></c>");
  EXPECT_STREQ("one", configuration.getValue("hostName", 0).c_str());
  EXPECT_STREQ("two", RKLFileConfiguration(m_installation.bin()).getValue("hostName", 0).c_str());
}

TEST_F(StartupConfiguration, DocumentTypeInTheFileIsRefused) {
  m_installation.write("<!DOCTYPE c [<!ENTITY x SYSTEM \"tslstartup.xml\">]>\n<c><hostName>&x;</hostName></c>");
  RKLFileConfiguration configuration(m_installation.bin());
  EXPECT_TRUE(configuration.getElement("hostName", 0).isNull());
  ASSERT_EQ(1u, reports.size());
  EXPECT_NE(std::string::npos, reports[0].text.find("document type declarations are not allowed")) << reports[0].text;
}

TEST_F(StartupConfiguration, FactoryGivesOneInstanceForTheRunningProgram) {
  IRKLConfiguration &first = RKLConfigurationFactory::getInstance();
  IRKLConfiguration &second = RKLConfigurationFactory::getInstance();
  EXPECT_EQ(&first, &second);

  std::string bin = RKLFmDir::executableDirectory();
  RKLFmDir::resolveEffectivePath(bin);
  EXPECT_EQ(bin, resolve(first, "."));
  std::string root = bin + RKLFmDir::separator() + "..";
  RKLFmDir::resolveEffectivePath(root);
  EXPECT_EQ(root, resolve(first, ".."));
}
