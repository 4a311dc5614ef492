//===- rklidom.cpp - XML library: tree, handles, searches, tree builder ---===//
//
// The portable part of the XML library. The system's parser (expat or
// XmlLite) only reports the document's events; everything that decides what
// the tree looks like is here, so that both systems give the same tree.
//
//===----------------------------------------------------------------------===//
#include "rklidom.h"
#include "rklidom_builder.h"

#include <cstring>
#include <new>

namespace rklidom {

const char *const DoctypeRefused = "document type declarations are not allowed";

DocumentData::DocumentData() {
  nodes.emplace_back();
  documentNode = &nodes.back();
  documentNode->type = RKLIDOM_Node::DOCUMENT_NODE;
  documentNode->name = "#document";
}

//===----------------------------------------------------------------------===//
// Tree builder
//===----------------------------------------------------------------------===//

TreeBuilder::TreeBuilder() : m_document(std::make_shared<DocumentData>()), m_current(m_document->documentNode) {}

NodeData *TreeBuilder::append(int type, const char *name) {
  m_document->nodes.emplace_back();
  NodeData *node = &m_document->nodes.back();
  node->type = type;
  node->name = name;
  node->parent = m_current;
  node->indexInParent = m_current->children.size();
  m_current->children.push_back(node);
  return node;
}

bool TreeBuilder::fail(const char *reason) {
  if (m_reason.empty())
    m_reason = reason;
  return false;
}

bool TreeBuilder::startElement(const char *name, std::vector<Attribute> attributes) {
  if (m_depth == 0 && m_rootSeen)
    return fail("junk after document element");
  if (m_depth >= MaxDepth)
    return fail("elements nested too deeply");
  // Not every system's reader checks this; the tree must not depend on which
  // of two equal names a lookup would meet first.
  for (size_t i = 1; i < attributes.size(); ++i)
    for (size_t j = 0; j < i; ++j)
      if (attributes[i].name == attributes[j].name)
        return fail("duplicate attribute");
  m_openCData = nullptr;
  NodeData *element = append(RKLIDOM_Node::ELEMENT_NODE, name ? name : "");
  element->attributes = std::move(attributes);
  m_current = element;
  ++m_depth;
  m_rootSeen = true;
  return true;
}

bool TreeBuilder::endElement() {
  if (m_depth == 0)
    return fail("mismatched tag");
  m_openCData = nullptr;
  m_current = m_current->parent;
  --m_depth;
  return true;
}

void TreeBuilder::characters(const char *data, size_t length) {
  if (m_depth == 0)
    return; // white space around the document element is not content
  if (m_openCData) {
    m_openCData->value.append(data, length);
    return;
  }
  // Parsers hand over one run of text in pieces (at entity references, line
  // ends, buffer edges); the tree keeps one node per run.
  if (!m_current->children.empty() && m_current->children.back()->type == RKLIDOM_Node::TEXT_NODE) {
    m_current->children.back()->value.append(data, length);
    return;
  }
  append(RKLIDOM_Node::TEXT_NODE, "#text")->value.assign(data, length);
}

void TreeBuilder::startCData() {
  if (m_depth == 0)
    return;
  m_openCData = append(RKLIDOM_Node::CDATA_SECTION_NODE, "#cdata-section");
}

void TreeBuilder::endCData() { m_openCData = nullptr; }

void TreeBuilder::comment(const char *text, size_t length) {
  m_openCData = nullptr;
  append(RKLIDOM_Node::COMMENT_NODE, "#comment")->value.assign(text, length);
}

void TreeBuilder::processingInstruction(const char *target, const char *data, size_t dataLength) {
  m_openCData = nullptr;
  append(RKLIDOM_Node::PROCESSING_INSTRUCTION_NODE, target ? target : "")->value.assign(data, dataLength);
}

bool TreeBuilder::finish() {
  if (!m_reason.empty())
    return false;
  if (!m_rootSeen || m_depth != 0)
    return fail("no element found");
  return true;
}

//===----------------------------------------------------------------------===//
// Walking
//===----------------------------------------------------------------------===//

/// The node after `node` in document order, staying below `top`; null when
/// the walk below `top` is over. Iterative, so any depth is fine.
static const NodeData *nextBelow(const NodeData *node, const NodeData *top) {
  if (!node->children.empty())
    return node->children.front();
  while (node != top) {
    const NodeData *parent = node->parent;
    if (node->indexInParent + 1 < parent->children.size())
      return parent->children[node->indexInParent + 1];
    node = parent;
  }
  return nullptr;
}

static const NodeData *firstBelow(const NodeData *top) { return top->children.empty() ? nullptr : top->children.front(); }

static bool isElementNamed(const NodeData *node, const char *tagName) {
  if (node->type != RKLIDOM_Node::ELEMENT_NODE)
    return false;
  return (tagName[0] == '*' && tagName[1] == '\0') || node->name == tagName;
}

static const Attribute *findAttribute(const NodeData *node, const char *name) {
  if (!node || node->type != RKLIDOM_Node::ELEMENT_NODE || !name)
    return nullptr;
  for (const Attribute &attribute : node->attributes)
    if (attribute.name == name)
      return &attribute;
  return nullptr;
}

static RKLIDOM_NodeList elementsBelow(const RKLIDOM_Node &top, const char *tagName) {
  std::vector<RKLIDOM_Node> found;
  const NodeData *start = Access::data(top);
  if (start && tagName) {
    for (const NodeData *node = firstBelow(start); node; node = nextBelow(node, start))
      if (isElementNamed(node, tagName))
        found.push_back(Access::node(Access::owner(top), node));
  }
  return Access::list(std::move(found));
}

} // namespace rklidom

using rklidom::Access;
using rklidom::NodeData;

//===----------------------------------------------------------------------===//
// Handles
//===----------------------------------------------------------------------===//

int RKLIDOM_Node::getNodeType() const { return m_node ? m_node->type : 0; }

I18NString RKLIDOM_Node::getNodeName() const { return m_node ? I18NString(m_node->name) : I18NString(); }

I18NString RKLIDOM_Node::getNodeValue() const { return m_node ? I18NString(m_node->value) : I18NString(); }

RKLIDOM_NodeList RKLIDOM_Node::getChildNodes() const {
  std::vector<RKLIDOM_Node> items;
  if (m_node) {
    items.reserve(m_node->children.size());
    for (const NodeData *child : m_node->children)
      items.push_back(Access::node(m_node, child));
  }
  return Access::list(std::move(items));
}

RKLIDOM_Node RKLIDOM_Node::getFirstChild() const {
  if (!m_node || m_node->children.empty())
    return RKLIDOM_Node();
  return Access::node(m_node, m_node->children.front());
}

RKLIDOM_Node RKLIDOM_Node::getLastChild() const {
  if (!m_node || m_node->children.empty())
    return RKLIDOM_Node();
  return Access::node(m_node, m_node->children.back());
}

RKLIDOM_Node RKLIDOM_Node::getParentNode() const { return m_node ? Access::node(m_node, m_node->parent) : RKLIDOM_Node(); }

RKLIDOM_Node RKLIDOM_Node::getNextSibling() const {
  if (!m_node || !m_node->parent || m_node->indexInParent + 1 >= m_node->parent->children.size())
    return RKLIDOM_Node();
  return Access::node(m_node, m_node->parent->children[m_node->indexInParent + 1]);
}

RKLIDOM_Node RKLIDOM_Node::getPreviousSibling() const {
  if (!m_node || !m_node->parent || m_node->indexInParent == 0)
    return RKLIDOM_Node();
  return Access::node(m_node, m_node->parent->children[m_node->indexInParent - 1]);
}

bool RKLIDOM_Node::hasChildNodes() const { return m_node && !m_node->children.empty(); }

RKLIDOM_Document RKLIDOM_Node::getOwnerDocument() const {
  if (!m_node)
    return RKLIDOM_Document();
  const NodeData *top = m_node.get();
  while (top->parent)
    top = top->parent;
  return Access::document(std::shared_ptr<const NodeData>(m_node, top));
}

int RKLIDOM_NodeList::getLength() const { return m_items ? static_cast<int>(m_items->size()) : 0; }

RKLIDOM_Node RKLIDOM_NodeList::item(int index) const {
  if (!m_items || index < 0 || static_cast<size_t>(index) >= m_items->size())
    return RKLIDOM_Node();
  return (*m_items)[static_cast<size_t>(index)];
}

RKLIDOM_Element::RKLIDOM_Element(const RKLIDOM_Node &node) {
  if (node.getNodeType() == ELEMENT_NODE)
    m_node = Access::owner(node);
}

I18NString RKLIDOM_Element::getTagName() const { return getNodeName(); }

I18NString RKLIDOM_Element::getAttribute(const char *name) const {
  const rklidom::Attribute *attribute = rklidom::findAttribute(m_node.get(), name);
  return attribute ? I18NString(attribute->value) : I18NString();
}

bool RKLIDOM_Element::hasAttribute(const char *name) const { return rklidom::findAttribute(m_node.get(), name) != nullptr; }

RKLIDOM_NodeList RKLIDOM_Element::getElementsByTagName(const char *name) const { return rklidom::elementsBelow(*this, name); }

RKLIDOM_Text::RKLIDOM_Text(const RKLIDOM_Node &node) {
  int type = node.getNodeType();
  if (type == TEXT_NODE || type == CDATA_SECTION_NODE)
    m_node = Access::owner(node);
}

I18NString RKLIDOM_Text::getData() const { return getNodeValue(); }

RKLIDOM_Element RKLIDOM_Document::getDocumentElement() const {
  if (!m_node)
    return RKLIDOM_Element();
  for (const NodeData *child : m_node->children)
    if (child->type == ELEMENT_NODE)
      return RKLIDOM_Element(Access::node(m_node, child));
  return RKLIDOM_Element();
}

RKLIDOM_NodeList RKLIDOM_Document::getElementsByTagName(const char *name) const { return rklidom::elementsBelow(*this, name); }

//===----------------------------------------------------------------------===//
// Library set-up and parser
//===----------------------------------------------------------------------===//

void RKLIDOM_DOMImplementation::initialize() { rklidom::loadSystemParser(); }

void RKLIDOM_DOMImplementation::terminate() { rklidom::unloadSystemParser(); }

RKLIDOM_Parser::RKLIDOM_Parser(int) {}

int RKLIDOM_Parser::parse(OKTInputStream &in, RKLIDOM_Document &doc) {
  std::string content;
  try {
    char chunk[65536];
    for (;;) {
      long count = in.read(chunk, sizeof chunk);
      if (count <= 0)
        break; // -1 is the end; 0 would never move on
      content.append(chunk, static_cast<size_t>(count) > sizeof chunk ? sizeof chunk : static_cast<size_t>(count));
    }
  } catch (const std::bad_alloc &) {
    doc = RKLIDOM_Document();
    m_errorReason = "out of memory";
    m_error = m_errorReason;
    m_errorLine = m_errorColumn = 0;
    return 0;
  }
  return parseBuffer(content.data(), content.size(), doc);
}

int RKLIDOM_Parser::parseBuffer(const char *data, size_t length, RKLIDOM_Document &doc) {
  doc = RKLIDOM_Document();
  rklidom::ParseFailure failure;
  bool parsed = false;
  try {
    rklidom::TreeBuilder builder;
    parsed = rklidom::parseDocument(data ? data : "", data ? length : 0, builder, failure);
    if (parsed)
      doc = Access::document(builder.document());
  } catch (const std::bad_alloc &) {
    parsed = false;
    failure = rklidom::ParseFailure();
    failure.reason = "out of memory";
  }
  if (parsed) {
    m_error.clear();
    m_errorReason.clear();
    m_errorLine = m_errorColumn = 0;
    return 1;
  }
  m_errorReason = failure.reason.empty() ? "cannot parse the document" : failure.reason;
  m_errorLine = failure.line;
  m_errorColumn = failure.column;
  if (failure.line > 0) {
    RKLByteBuffer text(256, 256);
    text.printf("line %d, column %d: %s", failure.line, failure.column, m_errorReason.c_str());
    m_error = text.str();
  } else {
    m_error = m_errorReason;
  }
  return 0;
}

//===----------------------------------------------------------------------===//
// Searches
//===----------------------------------------------------------------------===//

RKLIDOM_Element RKLIDOM_Helper::findFirstElementWithName(const RKLIDOM_Node &node, const char *tagName) {
  const NodeData *top = Access::data(node);
  if (!top || !tagName)
    return RKLIDOM_Element();
  for (const NodeData *n = rklidom::firstBelow(top); n; n = rklidom::nextBelow(n, top))
    if (n->type == RKLIDOM_Node::ELEMENT_NODE && n->name == tagName)
      return RKLIDOM_Element(Access::node(Access::owner(node), n));
  return RKLIDOM_Element();
}

RKLIDOM_Element RKLIDOM_Helper::findFirstElement(const RKLIDOM_Node &node, const char *tagName) {
  return findFirstElementWithName(node, tagName);
}

RKLIDOM_Element RKLIDOM_Helper::findElementWithAttribute(const RKLIDOM_Node &node, const char *tagName,
                                                         const char *attrName, const char *attrValue) {
  const NodeData *top = Access::data(node);
  if (!top || !tagName || !attrName)
    return RKLIDOM_Element();
  const char *wanted = attrValue ? attrValue : "";
  for (const NodeData *n = rklidom::firstBelow(top); n; n = rklidom::nextBelow(n, top)) {
    if (n->type != RKLIDOM_Node::ELEMENT_NODE || n->name != tagName)
      continue;
    const rklidom::Attribute *attribute = rklidom::findAttribute(n, attrName);
    if ((attribute ? attribute->value : std::string()) == wanted)
      return RKLIDOM_Element(Access::node(Access::owner(node), n));
  }
  return RKLIDOM_Element();
}

I18NString RKLIDOM_Helper::getElementText(const RKLIDOM_Element &element) {
  const NodeData *node = Access::data(element);
  if (!node)
    return I18NString();
  std::string text;
  for (const NodeData *child : node->children)
    if (child->type == RKLIDOM_Node::TEXT_NODE || child->type == RKLIDOM_Node::CDATA_SECTION_NODE)
      text += child->value;
  return I18NString(std::move(text));
}
