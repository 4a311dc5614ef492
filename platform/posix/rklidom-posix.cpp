//===- rklidom-posix.cpp - XML library: documents parsed with expat -------===//
//
// Feeds a document through expat into the portable tree builder. expat is
// linked in, so there is nothing to load or unload. Document type
// declarations are refused as soon as they start, before any entity can be
// declared; expat is never given a handler for external entities, so it
// never reads anything but the bytes handed to it.
//
//===----------------------------------------------------------------------===//
#include "rklidom_builder.h"

#include <expat.h>

#include <climits>
#include <memory>
#include <new>

namespace rklidom {

void loadSystemParser() {}
void unloadSystemParser() {}

namespace {

struct ParserDeleter {
  void operator()(XML_ParserStruct *parser) const { XML_ParserFree(parser); }
};
using ParserOwner = std::unique_ptr<XML_ParserStruct, ParserDeleter>;

/// What the callbacks share. Callbacks run inside expat's C code, so no
/// exception may leave them: failures are recorded and the parser stopped.
struct Context {
  XML_Parser parser;
  TreeBuilder &builder;
  ParseFailure &failure;
  bool stopped = false;
};

int clampToInt(unsigned long long value) { return value > INT_MAX ? INT_MAX : static_cast<int>(value); }

/// expat counts columns from 0; the library's positions count from 1.
void recordPosition(XML_Parser parser, ParseFailure &failure) {
  failure.line = clampToInt(XML_GetCurrentLineNumber(parser));
  failure.column = clampToInt(XML_GetCurrentColumnNumber(parser)) + 1;
}

void stop(Context &context, const std::string &reason) {
  if (context.stopped)
    return;
  context.stopped = true;
  context.failure.reason = reason;
  recordPosition(context.parser, context.failure);
  XML_StopParser(context.parser, XML_FALSE);
}

template <class Body> void guarded(void *userData, Body body) {
  Context &context = *static_cast<Context *>(userData);
  if (context.stopped)
    return;
  try {
    body(context);
  } catch (const std::bad_alloc &) {
    stop(context, "out of memory");
  } catch (...) {
    stop(context, "internal error while building the document");
  }
}

void XMLCALL onStartElement(void *userData, const XML_Char *name, const XML_Char **attributes) {
  guarded(userData, [&](Context &context) {
    std::vector<Attribute> list;
    for (const XML_Char **a = attributes; a && a[0]; a += 2)
      list.push_back(Attribute{a[0], a[1] ? a[1] : ""});
    if (!context.builder.startElement(name, std::move(list)))
      stop(context, context.builder.reason());
  });
}

void XMLCALL onEndElement(void *userData, const XML_Char *) {
  guarded(userData, [&](Context &context) {
    if (!context.builder.endElement())
      stop(context, context.builder.reason());
  });
}

void XMLCALL onCharacters(void *userData, const XML_Char *data, int length) {
  guarded(userData, [&](Context &context) { context.builder.characters(data, length > 0 ? static_cast<size_t>(length) : 0); });
}

void XMLCALL onStartCData(void *userData) {
  guarded(userData, [&](Context &context) { context.builder.startCData(); });
}

void XMLCALL onEndCData(void *userData) {
  guarded(userData, [&](Context &context) { context.builder.endCData(); });
}

void XMLCALL onComment(void *userData, const XML_Char *text) {
  guarded(userData, [&](Context &context) { context.builder.comment(text, std::char_traits<char>::length(text)); });
}

void XMLCALL onProcessingInstruction(void *userData, const XML_Char *target, const XML_Char *data) {
  guarded(userData, [&](Context &context) {
    context.builder.processingInstruction(target, data ? data : "", data ? std::char_traits<char>::length(data) : 0);
  });
}

// Markup without a handler of its own comes here, the opening "<!DOCTYPE"
// among it: refusing it here reports where the declaration starts.
void XMLCALL onOtherMarkup(void *userData, const XML_Char *data, int length) {
  static const char opening[] = "<!DOCTYPE";
  const int openingLength = static_cast<int>(sizeof opening) - 1;
  if (length >= openingLength && std::char_traits<char>::compare(data, opening, openingLength) == 0)
    guarded(userData, [&](Context &context) { stop(context, DoctypeRefused); });
}

// Second line of defence: should a declaration ever get past the markup
// handler, it is still refused before its first entity is declared, or at its
// end when it declares none.
void XMLCALL onEntityDeclaration(void *userData, const XML_Char *, int, const XML_Char *, int, const XML_Char *,
                                 const XML_Char *, const XML_Char *, const XML_Char *) {
  guarded(userData, [&](Context &context) { stop(context, DoctypeRefused); });
}

void XMLCALL onEndDoctype(void *userData) {
  guarded(userData, [&](Context &context) { stop(context, DoctypeRefused); });
}

} // namespace

bool parseDocument(const char *data, size_t length, TreeBuilder &builder, ParseFailure &failure) {
  ParserOwner parser(XML_ParserCreate(nullptr));
  if (!parser) {
    failure.reason = "out of memory";
    return false;
  }
  Context context{parser.get(), builder, failure};
  XML_SetUserData(parser.get(), &context);
  XML_SetElementHandler(parser.get(), onStartElement, onEndElement);
  XML_SetCharacterDataHandler(parser.get(), onCharacters);
  XML_SetCdataSectionHandler(parser.get(), onStartCData, onEndCData);
  XML_SetCommentHandler(parser.get(), onComment);
  XML_SetProcessingInstructionHandler(parser.get(), onProcessingInstruction);
  // The expanding form keeps references to the predefined entities going to
  // the character handler.
  XML_SetDefaultHandlerExpand(parser.get(), onOtherMarkup);
  XML_SetEntityDeclHandler(parser.get(), onEntityDeclaration);
  XML_SetEndDoctypeDeclHandler(parser.get(), onEndDoctype);
  XML_SetParamEntityParsing(parser.get(), XML_PARAM_ENTITY_PARSING_NEVER);

  // expat takes an int length; larger documents go in pieces.
  const size_t piece = 1u << 20;
  size_t offset = 0;
  do {
    size_t count = length - offset < piece ? length - offset : piece;
    bool last = offset + count == length;
    if (XML_Parse(parser.get(), data + offset, static_cast<int>(count), last ? XML_TRUE : XML_FALSE) != XML_STATUS_OK) {
      if (!context.stopped) {
        failure.reason = XML_ErrorString(XML_GetErrorCode(parser.get()));
        recordPosition(parser.get(), failure);
      }
      return false;
    }
    offset += count;
  } while (offset < length);

  if (!builder.finish()) {
    failure.reason = builder.reason();
    recordPosition(parser.get(), failure);
    return false;
  }
  return true;
}

} // namespace rklidom
