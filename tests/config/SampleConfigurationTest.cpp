//===- SampleConfigurationTest.cpp - The shipped example startup file -----===//
//
// The example in examples/configuration/tslstartup.xml must parse on every
// system and hold every setting that the service reads, where it reads it.
//
//===----------------------------------------------------------------------===//
#include "TestSupport.h"
#include "rklcfgapi.h"
#include "rklcore.h"
#include "rklidom.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

namespace fs = std::filesystem;

namespace {

/// The example file, found from this source file's place in the tree.
fs::path sampleFile() {
  return fs::path(__FILE__).parent_path().parent_path().parent_path() / "examples" / "configuration" /
         "tslstartup.xml";
}

std::string parameter(const RKLIDOM_Element &section, const char *name, const char *type) {
  RKLIDOM_Element element = RKLIDOM_Helper::findElementWithAttribute(section, "vtn:parameter", "name", name);
  RKLIDOM_Element value = RKLIDOM_Helper::findElementWithAttribute(element, "vtn:value", "xsi:type", type);
  RKLIDOM_Node text = value.getFirstChild();
  return text.getNodeType() == RKLIDOM_Node::TEXT_NODE ? text.getNodeValue().c_str() : "<missing>";
}

class SampleConfiguration : public ::testing::Test {
protected:
  void SetUp() override {
    std::string content = testsupport::readFile(sampleFile());
    if (content.empty())
      GTEST_SKIP() << "example file not reachable from here: " << sampleFile().string();
    testsupport::writeFile(m_root.path() / "configuration" / "tslstartup.xml", content);
    fs::create_directories(m_root.path() / "bin");
    m_configuration = std::make_unique<RKLFileConfiguration>((m_root.path() / "bin").string());
  }

  testsupport::TempDir m_root{"tslsample"};
  std::unique_ptr<RKLFileConfiguration> m_configuration;
};

} // namespace

TEST_F(SampleConfiguration, ParsesWithoutDocumentType) {
  std::string content = testsupport::readFile(sampleFile());
  EXPECT_EQ(std::string::npos, content.find("<!DOCTYPE"));
  RKLIDOM_Parser parser(0);
  RKLIDOM_Document doc;
  ASSERT_EQ(1, parser.parseBuffer(content.data(), content.size(), doc)) << parser.errorString();
  RKLIDOM_Element root = doc.getDocumentElement();
  EXPECT_FALSE(root.getAttribute("xmlns:vtn").empty());
  EXPECT_FALSE(root.getAttribute("xmlns:xsi").empty());
}

TEST_F(SampleConfiguration, ServiceSectionsHoldInstanceAndParameters) {
  RKLIDOM_Element trq = m_configuration->getElement("TRQ", 0);
  ASSERT_FALSE(trq.isNull());
  RKLIDOM_Element instances = RKLIDOM_Helper::findElementWithAttribute(trq, "vtn:instances", "name", "trq");
  RKLIDOM_Element instance = RKLIDOM_Helper::findFirstElement(instances, "vtn:instance");
  ASSERT_FALSE(instance.isNull());
  EXPECT_TRUE(instance.hasAttribute("name"));
  EXPECT_STREQ("HarborLite", instance.getAttribute("class").c_str());
  EXPECT_EQ("60", parameter(trq, "dispatcherStopWaitTime", "xsd:unsignedShort"));
  EXPECT_EQ("30", parameter(trq, "dispatcherPingTimeout", "xsd:unsignedShort"));
  EXPECT_EQ("1024", parameter(trq, "dispatcherMaxMemory", "xsd:unsignedInt"));
  EXPECT_EQ("9399", parameter(trq, "shutdownPort", "xsd:unsignedShort"));

  RKLIDOM_Element sgw = m_configuration->getElement("SGW", 0);
  ASSERT_FALSE(sgw.isNull());
  RKLIDOM_Element sgwInstances = RKLIDOM_Helper::findElementWithAttribute(sgw, "vtn:instances", "name", "trq");
  EXPECT_FALSE(RKLIDOM_Helper::findFirstElement(sgwInstances, "vtn:instance").isNull());
  EXPECT_EQ("60", parameter(sgw, "dispatcherStopWaitTime", "xsd:unsignedShort"));
}

TEST_F(SampleConfiguration, GlobalSettingsAreThere) {
  for (const char *name : {"temp", "hostName", "gateway", "webServiceURI", "webServicePingPath", "internalDispatcher"})
    EXPECT_FALSE(RKLIDOM_Helper::getElementText(m_configuration->getElement(name, 0)).empty()) << name;
  EXPECT_STREQ("../temp", RKLIDOM_Helper::getElementText(m_configuration->getElement("temp", 0)).c_str());
  EXPECT_STREQ("tls://localhost:9300/dispatcher", m_configuration->getValue("internalDispatcher", 0).c_str());
  EXPECT_STREQ("IPv4", m_configuration->getValue("networkConfiguration", 0).c_str());
}

TEST_F(SampleConfiguration, ComponentsListSomethingButNotTheStandaloneSetting) {
  EXPECT_STREQ("", m_configuration->getComponentVersion("STANDALONECOMMON").c_str());
  RKLIDOM_Element components = m_configuration->getElement("components", 0);
  ASSERT_FALSE(components.isNull());
  RKLIDOM_NodeList list = components.getElementsByTagName("component");
  ASSERT_GT(list.getLength(), 0);
  RKLIDOM_Element first(list.item(0));
  EXPECT_FALSE(m_configuration->getComponentVersion(first.getAttribute("name").c_str()).empty());
}
