//===- rklidom_builder.h - XML library inside: tree storage and builder ---===//
//
// Internal to the XML library. The portable part (rklidom.cpp) owns the tree
// and the rules that make it the same on every system; the operating-system
// part (posix/rklidom-posix.cpp over expat, win32/rklidom-win32.cpp over the
// system's XmlLite) only reads the bytes and feeds the events of the document
// to a TreeBuilder.
//
//===----------------------------------------------------------------------===//
#ifndef RKLIDOM_BUILDER_H
#define RKLIDOM_BUILDER_H

#include "rklidom.h"

#include <cstddef>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace rklidom {

struct Attribute {
  std::string name;
  std::string value;
};

/// One node of a tree. Nodes live in their document's storage and point at
/// each other with plain pointers; the document owns them all.
struct NodeData {
  int type = 0;
  std::string name;  ///< tag, PI target, or "#text" and the like
  std::string value; ///< character data, comment text, PI data
  std::vector<Attribute> attributes;
  NodeData *parent = nullptr;
  size_t indexInParent = 0;
  std::vector<NodeData *> children;
};

/// A whole tree. Storage is a deque so that nodes never move while the tree
/// grows, and it is freed flat, whatever the nesting depth.
struct DocumentData {
  DocumentData();
  std::deque<NodeData> nodes;
  NodeData *documentNode;
};

/// The only way to make handles from tree storage.
struct Access {
  /// A handle to `node` that shares ownership with `owner` (any handle of
  /// the same document, or the document's storage).
  template <class Owner> static RKLIDOM_Node node(const std::shared_ptr<Owner> &owner, const NodeData *node) {
    if (!node)
      return RKLIDOM_Node();
    return RKLIDOM_Node(std::shared_ptr<const NodeData>(owner, node));
  }
  static RKLIDOM_Document document(const std::shared_ptr<const DocumentData> &document) {
    return RKLIDOM_Document(std::shared_ptr<const NodeData>(document, document->documentNode));
  }
  /// `documentNode` must be a document's node.
  static RKLIDOM_Document document(std::shared_ptr<const NodeData> documentNode) {
    return RKLIDOM_Document(std::move(documentNode));
  }
  static const NodeData *data(const RKLIDOM_Node &handle) { return handle.m_node.get(); }
  static const std::shared_ptr<const NodeData> &owner(const RKLIDOM_Node &handle) { return handle.m_node; }
  static RKLIDOM_NodeList list(std::vector<RKLIDOM_Node> items) {
    RKLIDOM_NodeList result;
    result.m_items = std::make_shared<const std::vector<RKLIDOM_Node>>(std::move(items));
    return result;
  }
};

/// Builds a tree from the events of a parser, enforcing the rules that both
/// parsers must give the same tree for: one text node per run of character
/// data, CDATA sections as nodes of their own, no character data outside the
/// document element, no duplicate attributes, one document element, and a
/// bounded nesting depth. A method that returns false has stored the reason
/// in reason(); the parser must then stop.
class TreeBuilder {
public:
  /// Deeper nesting than this is refused, so that any code that walks the
  /// tree recursively stays within its stack.
  static constexpr size_t MaxDepth = 10000;

  TreeBuilder();

  bool startElement(const char *name, std::vector<Attribute> attributes);
  bool endElement();
  /// Character data in any number of pieces; inside a CDATA section it goes
  /// to that section.
  void characters(const char *data, size_t length);
  void startCData();
  void endCData();
  void comment(const char *text, size_t length);
  void processingInstruction(const char *target, const char *data, size_t dataLength);

  /// At the end of the input: true when exactly one document element was
  /// opened and closed.
  bool finish();

  const std::string &reason() const { return m_reason; }
  size_t depth() const { return m_depth; }
  /// The finished tree (call after finish() returned true).
  std::shared_ptr<const DocumentData> document() const { return m_document; }

private:
  NodeData *append(int type, const char *name);
  bool fail(const char *reason);

  std::shared_ptr<DocumentData> m_document;
  NodeData *m_current;
  NodeData *m_openCData = nullptr;
  size_t m_depth = 0;
  bool m_rootSeen = false;
  std::string m_reason;
};

/// Where and why a parse failed; line and column count from 1 (0 when the
/// failure has no position).
struct ParseFailure {
  int line = 0;
  int column = 0;
  std::string reason;
};

/// The reason given for any document type declaration, on every system.
extern const char *const DoctypeRefused;

/// The system's parser: feeds the document in `data` to `builder` and calls
/// its finish(). True on success; false with `failure` filled otherwise.
bool parseDocument(const char *data, size_t length, TreeBuilder &builder, ParseFailure &failure);

/// Keeps the system's XML reader loaded between initialize and terminate;
/// both are idempotent.
void loadSystemParser();
void unloadSystemParser();

} // namespace rklidom

#endif // RKLIDOM_BUILDER_H
