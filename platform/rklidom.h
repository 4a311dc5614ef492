//===- rklidom.h - XML library: read-only DOM of configuration files ------===//
//
// Configuration files are parsed into an in-memory tree and read through
// handles. Handles are small value objects: copy and assign them freely; every
// handle shares ownership of its whole document, so a node stays valid for as
// long as some handle to it (or to any other node of its document) exists.
// A default-constructed handle is null; every operation on a null handle is
// harmless and answers "nothing" (0, empty text, null handle, empty list).
//
// The tree is the same on every system:
//   - adjacent character data (text split by the parser at entity references
//     or buffer edges) is one text node; white-space-only text is kept;
//   - CDATA sections, comments and processing instructions are nodes of their
//     own; the XML declaration is not a node;
//   - names are the qualified names as written ("vtn:parameter", "xsi:type");
//     there is no namespace processing, and xmlns attributes are ordinary
//     attributes;
//   - texts are UTF-8, whatever the file's encoding (UTF-8 or UTF-16);
//   - documents cannot reach outside themselves: a document with a document
//     type declaration is rejected, so there are no external entities, no DTD
//     loading and no entity expansion beyond the predefined entities.
//
// Trees are never changed after parsing, so several threads may read one
// document at the same time.
//
//===----------------------------------------------------------------------===//
#ifndef RKLIDOM_H
#define RKLIDOM_H

#include "oktstreams.h"
#include "rklcore.h"

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace rklidom {
struct NodeData;
struct Access;
} // namespace rklidom

class RKLIDOM_NodeList;
class RKLIDOM_Document;

/// Process-wide set-up of the XML library. On Windows initialize() loads the
/// system's XML reader once and keeps it loaded until terminate(); elsewhere
/// both do nothing. Both may be called any number of times, in any order:
/// parsing works without initialize() too (the reader is then loaded for each
/// parse), and initialize() after terminate() loads it again. Documents stay
/// readable after terminate().
class RKLIDOM_DOMImplementation {
public:
  static void initialize();
  static void terminate();
};

/// Any node of a document.
class RKLIDOM_Node {
public:
  /// Node types, numbered as in the W3C DOM. A null handle has type 0.
  enum NodeType : int {
    ELEMENT_NODE = 1,
    TEXT_NODE = 3,
    CDATA_SECTION_NODE = 4,
    PROCESSING_INSTRUCTION_NODE = 7,
    COMMENT_NODE = 8,
    DOCUMENT_NODE = 9,
  };

  RKLIDOM_Node() = default;

  bool isNull() const { return !m_node; }
  int getNodeType() const;
  /// The tag name of an element, "#text", "#cdata-section", "#comment", the
  /// target of a processing instruction, or "#document".
  I18NString getNodeName() const;
  /// The text of a text, CDATA or comment node, the data of a processing
  /// instruction; empty for elements and documents.
  I18NString getNodeValue() const;
  /// A snapshot of the children, in document order.
  RKLIDOM_NodeList getChildNodes() const;
  RKLIDOM_Node getFirstChild() const;
  RKLIDOM_Node getLastChild() const;
  /// The parent: an element or the document; null for the document itself.
  RKLIDOM_Node getParentNode() const;
  RKLIDOM_Node getNextSibling() const;
  RKLIDOM_Node getPreviousSibling() const;
  bool hasChildNodes() const;
  /// The document that the node belongs to (the document itself for a
  /// document node).
  RKLIDOM_Document getOwnerDocument() const;

  bool operator==(std::nullptr_t) const { return isNull(); }
  bool operator!=(std::nullptr_t) const { return !isNull(); }
  /// Identity: the same node of the same document (two null handles are
  /// equal).
  bool operator==(const RKLIDOM_Node &other) const { return m_node == other.m_node; }
  bool operator!=(const RKLIDOM_Node &other) const { return m_node != other.m_node; }

protected:
  friend struct rklidom::Access;
  explicit RKLIDOM_Node(std::shared_ptr<const rklidom::NodeData> node) : m_node(std::move(node)) {}

  /// Points into the document's node storage and owns the whole document.
  std::shared_ptr<const rklidom::NodeData> m_node;
};

/// A snapshot list of nodes, taken when the list was asked for.
class RKLIDOM_NodeList {
public:
  RKLIDOM_NodeList() = default;

  /// The number of nodes (int, so that the usual int loop compiles cleanly).
  int getLength() const;
  /// Node `index` counted from 0; a null node when out of range.
  RKLIDOM_Node item(int index) const;

private:
  friend struct rklidom::Access;
  std::shared_ptr<const std::vector<RKLIDOM_Node>> m_items;
};

/// An element. Built from any node handle with the explicit constructor,
/// which gives a null element unless the node is an element.
class RKLIDOM_Element : public RKLIDOM_Node {
public:
  RKLIDOM_Element() = default;
  explicit RKLIDOM_Element(const RKLIDOM_Node &node);

  I18NString getTagName() const;
  /// The attribute's value; the empty text when it is absent (or `name` is
  /// null).
  I18NString getAttribute(const char *name) const;
  bool hasAttribute(const char *name) const;
  /// Every element below this one (not this one) whose tag is `name`, in
  /// document order; "*" matches every element.
  RKLIDOM_NodeList getElementsByTagName(const char *name) const;
};

/// Character data: a text node (type 3) or a CDATA section (type 4). Built
/// from any node with the explicit constructor, which gives a null handle
/// for nodes of other types.
class RKLIDOM_Text : public RKLIDOM_Node {
public:
  RKLIDOM_Text() = default;
  explicit RKLIDOM_Text(const RKLIDOM_Node &node);

  I18NString getData() const;
};

/// A parsed document; null until a parser has filled it.
class RKLIDOM_Document : public RKLIDOM_Node {
public:
  RKLIDOM_Document() = default;

  /// The root element; null for a null document.
  RKLIDOM_Element getDocumentElement() const;
  /// Every element of the document whose tag is `name`, in document order.
  RKLIDOM_NodeList getElementsByTagName(const char *name) const;

private:
  friend struct rklidom::Access;
  using RKLIDOM_Node::RKLIDOM_Node;
};

/// Parses whole documents. One parser may parse many documents one after
/// another; each parse replaces the previous error text.
class RKLIDOM_Parser {
public:
  /// The argument is kept for the library's interface and ignored.
  explicit RKLIDOM_Parser(int options = 0);

  /// Reads `in` to its end (a read of -1) and parses what it gave. 1 and
  /// `doc` set to the new document on success; 0 on failure, with `doc` made
  /// null and errorString() describing the failure.
  int parse(OKTInputStream &in, RKLIDOM_Document &doc);
  /// The same for a document held in memory.
  int parseBuffer(const char *data, size_t length, RKLIDOM_Document &doc);

  /// After a failure: "line L, column C: reason" (lines and columns counted
  /// from 1), or only the reason when the failure has no position (the
  /// system's XML reader could not be loaded). Empty after a success.
  const char *errorString() const { return m_error.c_str(); }
  /// The position of the last failure; 0 when there is none.
  int getErrorLine() const { return m_errorLine; }
  int getErrorColumn() const { return m_errorColumn; }
  /// The reason alone, without the position.
  const char *getErrorReason() const { return m_errorReason.c_str(); }

private:
  std::string m_error;
  std::string m_errorReason;
  int m_errorLine = 0;
  int m_errorColumn = 0;
};

/// Searches used by the configuration readers. All of them look only below
/// the given node (never at the node itself) and walk in document order, so
/// "first" means the first start tag in the file. A null node finds nothing.
class RKLIDOM_Helper {
public:
  /// The first element below `node` whose tag is `tagName`, or null.
  static RKLIDOM_Element findFirstElementWithName(const RKLIDOM_Node &node, const char *tagName);
  /// Same contract as findFirstElementWithName.
  static RKLIDOM_Element findFirstElement(const RKLIDOM_Node &node, const char *tagName);
  /// The first element below `node` whose tag is `tagName` and whose
  /// attribute `attrName` equals `attrValue` exactly, or null. An absent
  /// attribute reads as the empty text, and a null `attrValue` is the empty
  /// text.
  static RKLIDOM_Element findElementWithAttribute(const RKLIDOM_Node &node, const char *tagName,
                                                  const char *attrName, const char *attrValue);
  /// The element's own character data: its direct text and CDATA children
  /// joined in order (text inside child elements and comments is not part of
  /// it). A null element gives the empty text.
  static I18NString getElementText(const RKLIDOM_Element &element);
};

#endif // RKLIDOM_H
