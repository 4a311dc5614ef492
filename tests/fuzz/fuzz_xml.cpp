//===- fuzz_xml.cpp - Fuzz target: the XML parser, the DOM and the startup configuration ===//
//
// The input is parsed as a document; a parsed document is walked through
// every handle operation and searched as the configuration readers search.
// Then the same bytes are the installation's startup configuration, read
// through the configuration library as the service asks it.
//
//===----------------------------------------------------------------------===//
#include "FuzzSupport.h"
#include "rklcfgapi.h"
#include "rklidom.h"

#include <cstring>
#include <string>

namespace {

/// Every node in document order, without recursion (documents may nest
/// deeply), with every operation that the readers use.
void walk(const RKLIDOM_Document &document) {
  size_t texts = 0;
  RKLIDOM_Node node = document.getFirstChild();
  while (!node.isNull()) {
    texts += node.getNodeName().length() + node.getNodeValue().length();
    if (node.getOwnerDocument() != document)
      fuzzsupport::finding("a node's owner document is not the parsed document");
    RKLIDOM_Element element(node);
    if (!element.isNull()) {
      texts += element.getAttribute("name").length() + element.hasAttribute("class");
      texts += RKLIDOM_Helper::getElementText(element).length();
    }
    RKLIDOM_Text text(node);
    texts += text.getData().length();
    if (node.hasChildNodes()) {
      if (node.getFirstChild().getParentNode() != node)
        fuzzsupport::finding("a node's first child has another parent");
      node = node.getFirstChild();
      continue;
    }
    while (!node.isNull() && node.getNextSibling().isNull())
      node = node.getParentNode();
    if (!node.isNull())
      node = node.getNextSibling();
  }
  (void)texts;
}

void search(const RKLIDOM_Document &document) {
  RKLIDOM_Element root = document.getDocumentElement();
  if (root.isNull())
    fuzzsupport::finding("a parsed document has no document element");
  RKLIDOM_NodeList all = document.getElementsByTagName("*");
  for (int i = 0; i < all.getLength() && i < 64; ++i)
    (void)RKLIDOM_Element(all.item(i)).getTagName();
  (void)all.item(all.getLength());
  (void)RKLIDOM_Helper::findFirstElementWithName(document, "process");
  (void)RKLIDOM_Helper::findFirstElement(root, "logging");
  (void)RKLIDOM_Helper::findElementWithAttribute(document, "component", "name", "DISPATCHER");
  (void)RKLIDOM_Helper::findElementWithAttribute(root, "vtn:instances", "name", nullptr);
  (void)root.getElementsByTagName("socketSend").getLength();
  (void)root.getChildNodes().getLength();
  (void)root.getLastChild().getPreviousSibling();
}

void readAsStartupConfiguration(const uint8_t *data, size_t size) {
  fuzzsupport::writeFile(fuzzsupport::path("configuration/tslstartup.xml"), data, size);
  RKLFileConfiguration configuration(fuzzsupport::path("bin"));
  (void)configuration.getValue("networkConfiguration", 0);
  (void)configuration.getElement("TRQ", 0);
  try {
    (void)configuration.getComponentVersion("STANDALONECOMMON");
  } catch (const RKLConfigurationException &) {
    // the file did not parse: what the service then reports
  }
  std::string path = "./trqlogconfig.xml";
  configuration.resolvePath(path);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool quiet = [] {
    RKLDiagnostics::setHandler([](int, const char *, const char *) {});
    return true;
  }();
  (void)quiet;
  RKLIDOM_Parser parser(0);
  RKLIDOM_Document document;
  if (parser.parseBuffer(reinterpret_cast<const char *>(data), size, document) == 1) {
    if (std::strlen(parser.errorString()) != 0)
      fuzzsupport::finding("a successful parse left an error text");
    walk(document);
    search(document);
  } else {
    if (!document.isNull())
      fuzzsupport::finding("a failed parse left a document");
    if (std::strlen(parser.getErrorReason()) == 0)
      fuzzsupport::finding("a failed parse gave no reason");
  }
  readAsStartupConfiguration(data, size);
  return 0;
}
