//===- DomHelperTest.cpp - Element searches in document order -------------===//
#include "XmlTestSupport.h"

#include "rklidom.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using xmltest::parseRoot;
using xmltest::parseText;

namespace {

std::vector<std::string> ids(const RKLIDOM_NodeList &list) {
  std::vector<std::string> result;
  for (int i = 0; i < list.getLength(); ++i)
    result.push_back(RKLIDOM_Element(list.item(i)).getAttribute("id").c_str());
  return result;
}

const char *const Nested = "<r id=\"r\">"
                           "  <a id=\"1\">"
                           "    <a id=\"2\"><b id=\"b1\"/><a id=\"3\"/></a>"
                           "    <a id=\"4\"/>"
                           "  </a>"
                           "  <c id=\"c\"><a id=\"5\"><b id=\"b2\"/></a></c>"
                           "  <a id=\"6\"/>"
                           "</r>";

/// The startup configuration's way of keeping typed parameters.
const char *const Parameters =
    "<TRQ xmlns:vtn=\"urn:example\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">"
    "<vtn:instances name=\"other\"><vtn:instance name=\"x\" class=\"Other\"/></vtn:instances>"
    "<vtn:instances name=\"trq\"><vtn:instance name=\"first\" class=\"Tomcat\"/>"
    "<vtn:instance name=\"second\" class=\"HarborLite\"/></vtn:instances>"
    "<vtn:parameter name=\"dispatcherPingTimeout\">"
    "<vtn:value xsi:type=\"xsd:string\">text</vtn:value>"
    "<vtn:value xsi:type=\"xsd:unsignedShort\">30</vtn:value>"
    "</vtn:parameter>"
    "<vtn:parameter name=\"dispatcherMaxMemory\"><vtn:value xsi:type=\"xsd:unsignedInt\">1024</vtn:value>"
    "</vtn:parameter>"
    "<vtn:parameter><vtn:value>nameless</vtn:value></vtn:parameter>"
    "</TRQ>";

} // namespace

TEST(DomHelper, GetElementsByTagNameIsInDocumentOrderBelowTheElement) {
  RKLIDOM_Element root = parseRoot(Nested);
  EXPECT_EQ((std::vector<std::string>{"1", "2", "3", "4", "5", "6"}), ids(root.getElementsByTagName("a")));
  EXPECT_EQ((std::vector<std::string>{"b1", "b2"}), ids(root.getElementsByTagName("b")));

  // Not the element itself, only what lies below it.
  RKLIDOM_Element first(root.getElementsByTagName("a").item(0));
  EXPECT_EQ((std::vector<std::string>{"2", "3", "4"}), ids(first.getElementsByTagName("a")));
  EXPECT_EQ(0, root.getElementsByTagName("r").getLength());
  EXPECT_EQ(0, root.getElementsByTagName("missing").getLength());
  EXPECT_EQ(0, root.getElementsByTagName(nullptr).getLength());

  // "*" matches every element.
  EXPECT_EQ((std::vector<std::string>{"1", "2", "b1", "3", "4", "c", "5", "b2", "6"}),
            ids(root.getElementsByTagName("*")));
}

TEST(DomHelper, DocumentGetElementsByTagNameIncludesTheRoot) {
  RKLIDOM_Document doc = parseText(Nested);
  EXPECT_EQ((std::vector<std::string>{"r"}), ids(doc.getElementsByTagName("r")));
  EXPECT_EQ(6, doc.getElementsByTagName("a").getLength());
}

TEST(DomHelper, FindFirstElementWithNameWalksInDocumentOrder) {
  RKLIDOM_Element root = parseRoot("<r><x><t id=\"deep\"/></x><t id=\"shallow\"/></r>");
  // The first start tag in the file, not the shallowest element.
  EXPECT_STREQ("deep", RKLIDOM_Helper::findFirstElementWithName(root, "t").getAttribute("id").c_str());
  EXPECT_STREQ("deep", RKLIDOM_Helper::findFirstElement(root, "t").getAttribute("id").c_str());
  EXPECT_TRUE(RKLIDOM_Helper::findFirstElementWithName(root, "missing").isNull());
  EXPECT_TRUE(RKLIDOM_Helper::findFirstElementWithName(root, nullptr).isNull());
  EXPECT_TRUE(RKLIDOM_Helper::findFirstElementWithName(RKLIDOM_Element(), "t").isNull());
}

TEST(DomHelper, FindFirstElementLooksOnlyBelowTheNode) {
  RKLIDOM_Element root = parseRoot("<t id=\"outer\"><t id=\"inner\"/></t>");
  EXPECT_STREQ("inner", RKLIDOM_Helper::findFirstElementWithName(root, "t").getAttribute("id").c_str());
  RKLIDOM_Element inner = RKLIDOM_Helper::findFirstElement(root, "t");
  EXPECT_TRUE(RKLIDOM_Helper::findFirstElement(inner, "t").isNull());

  // From the document the root itself is below.
  RKLIDOM_Document doc = parseText("<t id=\"outer\"><t id=\"inner\"/></t>");
  EXPECT_STREQ("outer", RKLIDOM_Helper::findFirstElementWithName(doc, "t").getAttribute("id").c_str());
}

TEST(DomHelper, FindElementWithAttributeMatchesTagAndValue) {
  RKLIDOM_Element section = parseRoot(Parameters);

  RKLIDOM_Element parameter =
      RKLIDOM_Helper::findElementWithAttribute(section, "vtn:parameter", "name", "dispatcherPingTimeout");
  ASSERT_FALSE(parameter.isNull());
  RKLIDOM_Element value = RKLIDOM_Helper::findElementWithAttribute(parameter, "vtn:value", "xsi:type", "xsd:unsignedShort");
  ASSERT_FALSE(value.isNull());
  ASSERT_EQ(RKLIDOM_Node::TEXT_NODE, value.getFirstChild().getNodeType());
  EXPECT_STREQ("30", value.getFirstChild().getNodeValue().c_str());

  // A value of another type is not found by the expected type.
  EXPECT_TRUE(RKLIDOM_Helper::findElementWithAttribute(parameter, "vtn:value", "xsi:type", "xsd:unsignedInt").isNull());
  // Values are compared exactly.
  EXPECT_TRUE(RKLIDOM_Helper::findElementWithAttribute(section, "vtn:parameter", "name", "dispatcherpingtimeout").isNull());
  EXPECT_TRUE(RKLIDOM_Helper::findElementWithAttribute(section, "vtn:parameter", "name", "dispatcherPing").isNull());

  RKLIDOM_Element memory = RKLIDOM_Helper::findElementWithAttribute(section, "vtn:parameter", "name", "dispatcherMaxMemory");
  EXPECT_STREQ("1024", RKLIDOM_Helper::getElementText(
                           RKLIDOM_Helper::findElementWithAttribute(memory, "vtn:value", "xsi:type", "xsd:unsignedInt"))
                           .c_str());

  // The instance list of the service and its first instance.
  RKLIDOM_Element instances = RKLIDOM_Helper::findElementWithAttribute(section, "vtn:instances", "name", "trq");
  RKLIDOM_Element instance = RKLIDOM_Helper::findFirstElement(instances, "vtn:instance");
  EXPECT_STREQ("first", instance.getAttribute("name").c_str());
  EXPECT_STREQ("Tomcat", instance.getAttribute("class").c_str());
}

TEST(DomHelper, FindElementWithAttributeTreatsAbsentAsEmpty) {
  RKLIDOM_Element section = parseRoot(Parameters);
  RKLIDOM_Element nameless = RKLIDOM_Helper::findElementWithAttribute(section, "vtn:parameter", "name", "");
  ASSERT_FALSE(nameless.isNull());
  EXPECT_STREQ("nameless", RKLIDOM_Helper::getElementText(RKLIDOM_Helper::findFirstElement(nameless, "vtn:value")).c_str());
  EXPECT_TRUE(RKLIDOM_Helper::findElementWithAttribute(section, "vtn:parameter", "name", nullptr) == nameless);
  EXPECT_TRUE(RKLIDOM_Helper::findElementWithAttribute(section, nullptr, "name", "x").isNull());
  EXPECT_TRUE(RKLIDOM_Helper::findElementWithAttribute(section, "vtn:parameter", nullptr, "x").isNull());
  EXPECT_TRUE(RKLIDOM_Helper::findElementWithAttribute(RKLIDOM_Node(), "vtn:parameter", "name", "").isNull());
}

TEST(DomHelper, GetElementTextJoinsDirectCharacterData) {
  RKLIDOM_Element root = parseRoot("<r>one <!--not this-->two<x>not this</x><![CDATA[ three]]>&amp;four</r>");
  EXPECT_STREQ("one two three&four", RKLIDOM_Helper::getElementText(root).c_str());
  EXPECT_STREQ("", RKLIDOM_Helper::getElementText(RKLIDOM_Element()).c_str());
  EXPECT_STREQ("", RKLIDOM_Helper::getElementText(parseRoot("<r/>")).c_str());
  EXPECT_STREQ("  ", RKLIDOM_Helper::getElementText(parseRoot("<r>  </r>")).c_str());
}
