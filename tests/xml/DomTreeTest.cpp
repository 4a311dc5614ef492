//===- DomTreeTest.cpp - Shape of parsed trees and the handles over them --===//
#include "XmlTestSupport.h"

#include "rklidom.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using xmltest::parseRoot;
using xmltest::parseText;

namespace {

/// The types of the children of `node`, in order.
std::vector<int> childTypes(const RKLIDOM_Node &node) {
  std::vector<int> types;
  RKLIDOM_NodeList children = node.getChildNodes();
  for (int i = 0; i < children.getLength(); ++i)
    types.push_back(children.item(i).getNodeType());
  return types;
}

std::string childValue(const RKLIDOM_Node &node, int index) {
  return node.getChildNodes().item(index).getNodeValue().c_str();
}

} // namespace

TEST(DomTree, TextAcrossEntityReferencesIsOneNode) {
  RKLIDOM_Element root = parseRoot("<r>a &amp; b &lt;c&gt; &quot;d&apos; &#233;&#x41;</r>");
  ASSERT_FALSE(root.isNull());
  ASSERT_EQ(std::vector<int>{RKLIDOM_Node::TEXT_NODE}, childTypes(root));
  EXPECT_STREQ("a & b <c> \"d' \xC3\xA9"
               "A",
               root.getFirstChild().getNodeValue().c_str());
  EXPECT_STREQ("#text", root.getFirstChild().getNodeName().c_str());
}

TEST(DomTree, LargeTextAcrossBufferEdgesIsOneNode) {
  // More than 64 KiB of text with references all along it, so that the text
  // reaches the parser in many pieces whatever its buffer size.
  std::string source = "<r>";
  std::string expected;
  for (int i = 0; i < 12000; ++i) {
    source += "chunk" + std::to_string(i) + " &amp; ";
    expected += "chunk" + std::to_string(i) + " & ";
  }
  source += "\nlast line</r>";
  expected += "\nlast line";
  ASSERT_GT(expected.size(), 65536u);

  RKLIDOM_Element root = parseRoot(source);
  ASSERT_EQ(std::vector<int>{RKLIDOM_Node::TEXT_NODE}, childTypes(root));
  EXPECT_EQ(expected, root.getFirstChild().getNodeValue().str());

  // The same through a stream that hands out a few bytes at a time.
  xmltest::StringInputStream stream(source, 1000);
  RKLIDOM_Parser parser(0);
  RKLIDOM_Document doc;
  ASSERT_EQ(1, parser.parse(stream, doc)) << parser.errorString();
  EXPECT_GT(stream.reads(), 100);
  RKLIDOM_Element streamed = doc.getDocumentElement();
  ASSERT_EQ(std::vector<int>{RKLIDOM_Node::TEXT_NODE}, childTypes(streamed));
  EXPECT_EQ(expected, streamed.getFirstChild().getNodeValue().str());
}

TEST(DomTree, CDataCommentsAndProcessingInstructionsAreNodes) {
  RKLIDOM_Element root = parseRoot("<r>a<![CDATA[<b> & ]]>c<!--note-->d<?target some data?>e<![CDATA[]]></r>");
  std::vector<int> expected{RKLIDOM_Node::TEXT_NODE, RKLIDOM_Node::CDATA_SECTION_NODE,
                            RKLIDOM_Node::TEXT_NODE, RKLIDOM_Node::COMMENT_NODE,
                            RKLIDOM_Node::TEXT_NODE, RKLIDOM_Node::PROCESSING_INSTRUCTION_NODE,
                            RKLIDOM_Node::TEXT_NODE, RKLIDOM_Node::CDATA_SECTION_NODE};
  ASSERT_EQ(expected, childTypes(root));
  RKLIDOM_NodeList children = root.getChildNodes();
  EXPECT_STREQ("a", children.item(0).getNodeValue().c_str());
  EXPECT_STREQ("<b> & ", children.item(1).getNodeValue().c_str());
  EXPECT_STREQ("#cdata-section", children.item(1).getNodeName().c_str());
  EXPECT_STREQ("c", children.item(2).getNodeValue().c_str());
  EXPECT_STREQ("note", children.item(3).getNodeValue().c_str());
  EXPECT_STREQ("#comment", children.item(3).getNodeName().c_str());
  EXPECT_STREQ("d", children.item(4).getNodeValue().c_str());
  EXPECT_STREQ("target", children.item(5).getNodeName().c_str());
  EXPECT_STREQ("some data", children.item(5).getNodeValue().c_str());
  EXPECT_STREQ("e", children.item(6).getNodeValue().c_str());
  EXPECT_STREQ("", children.item(7).getNodeValue().c_str());
  EXPECT_EQ(8, children.getLength());
}

TEST(DomTree, WhiteSpaceIsKept) {
  RKLIDOM_Element root = parseRoot("<r>\n  <a> </a>\n\t<b/>  \n</r>");
  ASSERT_EQ((std::vector<int>{RKLIDOM_Node::TEXT_NODE, RKLIDOM_Node::ELEMENT_NODE, RKLIDOM_Node::TEXT_NODE,
                              RKLIDOM_Node::ELEMENT_NODE, RKLIDOM_Node::TEXT_NODE}),
            childTypes(root));
  EXPECT_EQ("\n  ", childValue(root, 0));
  EXPECT_EQ("\n\t", childValue(root, 2));
  EXPECT_EQ("  \n", childValue(root, 4));
  RKLIDOM_Node a = root.getChildNodes().item(1);
  ASSERT_TRUE(a.hasChildNodes());
  EXPECT_STREQ(" ", a.getFirstChild().getNodeValue().c_str());
  EXPECT_FALSE(root.getChildNodes().item(3).hasChildNodes());
}

TEST(DomTree, LineEndsAreNormalised) {
  RKLIDOM_Element root = parseRoot("<r a=\"x\r\ny\">one\r\ntwo\rthree</r>");
  EXPECT_STREQ("one\ntwo\nthree", root.getFirstChild().getNodeValue().c_str());
  // Attribute values are normalised as XML says: line ends become blanks.
  EXPECT_STREQ("x y", root.getAttribute("a").c_str());
}

TEST(DomTree, NamesAreQualifiedNamesAsWritten) {
  RKLIDOM_Element root = parseRoot(
      "<cfg xmlns:vtn=\"urn:example\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xmlns=\"urn:default\">"
      "<vtn:parameter name=\"p\"><vtn:value xsi:type=\"xsd:unsignedShort\">60</vtn:value></vtn:parameter></cfg>");
  EXPECT_STREQ("cfg", root.getTagName().c_str());
  EXPECT_STREQ("urn:example", root.getAttribute("xmlns:vtn").c_str());
  EXPECT_STREQ("urn:default", root.getAttribute("xmlns").c_str());
  RKLIDOM_Element parameter(root.getFirstChild());
  ASSERT_FALSE(parameter.isNull());
  EXPECT_STREQ("vtn:parameter", parameter.getTagName().c_str());
  EXPECT_STREQ("vtn:parameter", parameter.getNodeName().c_str());
  RKLIDOM_Element value(parameter.getFirstChild());
  EXPECT_STREQ("vtn:value", value.getTagName().c_str());
  EXPECT_STREQ("xsd:unsignedShort", value.getAttribute("xsi:type").c_str());
  EXPECT_STREQ("", value.getAttribute("type").c_str()); // no local-name matching
}

TEST(DomTree, AbsentAttributesReadAsEmpty) {
  RKLIDOM_Element root = parseRoot("<r present=\"yes\" empty=\"\"/>");
  EXPECT_STREQ("yes", root.getAttribute("present").c_str());
  EXPECT_TRUE(root.hasAttribute("present"));
  EXPECT_STREQ("", root.getAttribute("empty").c_str());
  EXPECT_TRUE(root.hasAttribute("empty"));
  EXPECT_STREQ("", root.getAttribute("absent").c_str());
  EXPECT_FALSE(root.hasAttribute("absent"));
  EXPECT_STREQ("", root.getAttribute(nullptr).c_str());
  EXPECT_FALSE(root.hasAttribute(nullptr));
  EXPECT_TRUE(root.getAttribute("absent") == "");
}

TEST(DomTree, NonAsciiTextIsKeptAsUtf8) {
  const std::string text = "gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xF0\x9F\x98\x80 \xE6\x97\xA5\xE6\x9C\xAC";
  RKLIDOM_Element root =
      parseRoot("<?xml version=\"1.0\" encoding=\"UTF-8\"?><stra\xC3\x9F" "e wert=\"" + text + "\">" + text +
                "</stra\xC3\x9F" "e>");
  EXPECT_STREQ("stra\xC3\x9F" "e", root.getTagName().c_str());
  EXPECT_EQ(text, root.getAttribute("wert").str());
  EXPECT_EQ(text, root.getFirstChild().getNodeValue().str());
}

TEST(DomTree, Utf8ByteOrderMarkIsNotContent) {
  RKLIDOM_Element root = parseRoot("\xEF\xBB\xBF<r>x</r>");
  EXPECT_STREQ("r", root.getTagName().c_str());
  EXPECT_STREQ("x", root.getFirstChild().getNodeValue().c_str());
}

TEST(DomTree, NavigationBetweenNodes) {
  RKLIDOM_Document doc = parseText("<!--before--><r><a/>text<b><c/></b></r><?after x?>");
  EXPECT_EQ(RKLIDOM_Node::DOCUMENT_NODE, doc.getNodeType());
  EXPECT_STREQ("#document", doc.getNodeName().c_str());
  // Comments and instructions outside the document element belong to the
  // document.
  ASSERT_EQ((std::vector<int>{RKLIDOM_Node::COMMENT_NODE, RKLIDOM_Node::ELEMENT_NODE,
                              RKLIDOM_Node::PROCESSING_INSTRUCTION_NODE}),
            childTypes(doc));

  RKLIDOM_Element root = doc.getDocumentElement();
  EXPECT_STREQ("r", root.getTagName().c_str());
  EXPECT_TRUE(root.getParentNode() == doc);
  EXPECT_TRUE(doc.getParentNode().isNull());

  RKLIDOM_Node a = root.getFirstChild();
  RKLIDOM_Node text = a.getNextSibling();
  RKLIDOM_Node b = text.getNextSibling();
  EXPECT_STREQ("a", a.getNodeName().c_str());
  EXPECT_EQ(RKLIDOM_Node::TEXT_NODE, text.getNodeType());
  EXPECT_STREQ("b", b.getNodeName().c_str());
  EXPECT_TRUE(b.getNextSibling().isNull());
  EXPECT_TRUE(b == root.getLastChild());
  EXPECT_TRUE(text.getPreviousSibling() == a);
  EXPECT_TRUE(a.getPreviousSibling().isNull());
  EXPECT_TRUE(a.getParentNode() == root);
  EXPECT_TRUE(b.getFirstChild().getParentNode() == b);
  EXPECT_TRUE(b.getFirstChild().getOwnerDocument() == doc);
  EXPECT_STREQ("", root.getNodeValue().c_str());
}

TEST(DomTree, DowncastsCheckTheNodeType) {
  RKLIDOM_Element root = parseRoot("<r>t<e/><![CDATA[c]]><!--m--></r>");
  RKLIDOM_NodeList children = root.getChildNodes();

  EXPECT_TRUE(RKLIDOM_Element(children.item(0)).isNull());
  EXPECT_FALSE(RKLIDOM_Element(children.item(1)).isNull());
  EXPECT_TRUE(RKLIDOM_Element(children.item(3)).isNull());

  RKLIDOM_Text text(children.item(0));
  ASSERT_FALSE(text.isNull());
  EXPECT_STREQ("t", text.getData().c_str());
  RKLIDOM_Text cdata(children.item(2));
  ASSERT_FALSE(cdata.isNull());
  EXPECT_STREQ("c", cdata.getData().c_str());
  EXPECT_TRUE(RKLIDOM_Text(children.item(1)).isNull());
  EXPECT_TRUE(RKLIDOM_Text(children.item(3)).isNull());
  EXPECT_TRUE(RKLIDOM_Element(RKLIDOM_Node()).isNull());
}

TEST(DomTree, NullHandlesAreHarmless) {
  RKLIDOM_Node node;
  RKLIDOM_Element element;
  RKLIDOM_Document doc;
  EXPECT_TRUE(node.isNull());
  EXPECT_TRUE(node == nullptr);
  EXPECT_FALSE(node != nullptr);
  EXPECT_TRUE(element == nullptr);
  EXPECT_TRUE(doc.isNull());
  EXPECT_TRUE(doc.getDocumentElement().isNull());
  EXPECT_EQ(0, node.getNodeType());
  EXPECT_STREQ("", node.getNodeName().c_str());
  EXPECT_STREQ("", node.getNodeValue().c_str());
  EXPECT_EQ(0, node.getChildNodes().getLength());
  EXPECT_TRUE(node.getChildNodes().item(0).isNull());
  EXPECT_TRUE(node.getFirstChild().isNull());
  EXPECT_TRUE(node.getNextSibling().isNull());
  EXPECT_TRUE(node.getParentNode().isNull());
  EXPECT_TRUE(node.getOwnerDocument().isNull());
  EXPECT_FALSE(node.hasChildNodes());
  EXPECT_STREQ("", element.getTagName().c_str());
  EXPECT_STREQ("", element.getAttribute("a").c_str());
  EXPECT_EQ(0, element.getElementsByTagName("a").getLength());
  EXPECT_EQ(0, RKLIDOM_NodeList().getLength());

  RKLIDOM_Element root = parseRoot("<r/>");
  EXPECT_TRUE(root != nullptr);
  EXPECT_FALSE(root == nullptr);
}

TEST(DomTree, HandlesKeepTheirDocumentAlive) {
  RKLIDOM_Element kept;
  RKLIDOM_Node text;
  RKLIDOM_NodeList list;
  {
    RKLIDOM_Document doc = parseText("<r><item id=\"1\">one</item><item id=\"2\">two</item></r>");
    kept = RKLIDOM_Element(doc.getDocumentElement().getFirstChild());
    text = kept.getFirstChild();
    list = doc.getElementsByTagName("item");
  }
  // The document handle is gone; what was taken from it still reads.
  EXPECT_STREQ("1", kept.getAttribute("id").c_str());
  EXPECT_STREQ("one", text.getNodeValue().c_str());
  EXPECT_STREQ("r", kept.getParentNode().getNodeName().c_str());
  ASSERT_EQ(2, list.getLength());
  EXPECT_STREQ("2", RKLIDOM_Element(list.item(1)).getAttribute("id").c_str());

  // Copies and assignments share the same nodes.
  RKLIDOM_Element copy = kept;
  EXPECT_TRUE(copy == kept);
  RKLIDOM_Element other;
  other = copy;
  EXPECT_TRUE(other == kept);
  EXPECT_FALSE(other == RKLIDOM_Element(list.item(1)));
}

TEST(DomTree, NodeListsAreSnapshotsWithBoundedIndexes) {
  RKLIDOM_Element root = parseRoot("<r><a/><b/><c/></r>");
  RKLIDOM_NodeList children = root.getChildNodes();
  ASSERT_EQ(3, children.getLength());
  EXPECT_STREQ("a", children.item(0).getNodeName().c_str());
  EXPECT_STREQ("c", children.item(2).getNodeName().c_str());
  EXPECT_TRUE(children.item(3).isNull());
  EXPECT_TRUE(children.item(-1).isNull());
}

TEST(DomTree, DeepNestingIsBuiltAndFreed) {
  const int depth = 5000;
  std::string source;
  for (int i = 0; i < depth; ++i)
    source += "<n>";
  source += "bottom";
  for (int i = 0; i < depth; ++i)
    source += "</n>";
  RKLIDOM_Element root = parseRoot(source);
  ASSERT_FALSE(root.isNull());
  EXPECT_EQ(depth - 1, root.getElementsByTagName("n").getLength());
  RKLIDOM_NodeList all = root.getElementsByTagName("n");
  EXPECT_STREQ("bottom", all.item(all.getLength() - 1).getFirstChild().getNodeValue().c_str());
}
