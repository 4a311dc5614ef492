//===- rklidom-win32.cpp - XML library: documents parsed with XmlLite -----===//
//
// Reads a document with the XmlLite reader of the system (xmllite.dll, loaded
// from the system folder at run time, never linked) and feeds its nodes to
// the portable tree builder. Document type processing is prohibited, so the
// reader refuses any document type declaration itself.
//
// Some XmlLite implementations (Wine's among them) do not report the end of a
// truncated document: they hand out the last node again and again. The read
// loop therefore treats a node that repeats at the same position as the end
// of the input, and never reads more nodes than the input has bytes. The same
// implementations read nothing from big-endian UTF-16, which is therefore
// handed over as little-endian.
//
//===----------------------------------------------------------------------===//
#include "rklidom_builder.h"

#include <windows.h>

#include <objbase.h>
#include <shlwapi.h>
#include <xmllite.h>

#include <climits>
#include <cstdio>
#include <mutex>
#include <string>
#include <utility>

namespace rklidom {

namespace {

const char *const ReaderLibrary = "xmllite.dll";

HMODULE loadReaderLibrary() {
  // Only the copy in the system folder: a document reader must not be
  // planted beside the program.
  return LoadLibraryExA(ReaderLibrary, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

/// The reference that initialize() holds until terminate().
std::mutex moduleMutex;
HMODULE heldModule = nullptr;

/// One reference to the reader library for the span of one parse, so that
/// terminate() on another thread cannot pull the code away from under it.
class LibraryReference {
public:
  LibraryReference() : m_module(loadReaderLibrary()), m_error(m_module ? 0 : GetLastError()) {}
  ~LibraryReference() {
    if (m_module)
      FreeLibrary(m_module);
  }
  LibraryReference(const LibraryReference &) = delete;
  LibraryReference &operator=(const LibraryReference &) = delete;
  HMODULE get() const { return m_module; }
  DWORD error() const { return m_error; }

private:
  HMODULE m_module;
  DWORD m_error;
};

/// Owns one COM interface pointer.
template <class T> class ComRef {
public:
  ComRef() = default;
  ~ComRef() {
    if (m_pointer)
      m_pointer->Release();
  }
  ComRef(const ComRef &) = delete;
  ComRef &operator=(const ComRef &) = delete;
  T *get() const { return m_pointer; }
  T *operator->() const { return m_pointer; }
  T **out() { return &m_pointer; }
  void **outVoid() { return reinterpret_cast<void **>(&m_pointer); }
  explicit operator bool() const { return m_pointer != nullptr; }
  void reset(T *pointer) {
    if (m_pointer)
      m_pointer->Release();
    m_pointer = pointer;
  }

private:
  T *m_pointer = nullptr;
};

using CreateXmlReaderFunction = HRESULT(WINAPI *)(REFIID, void **, IMalloc *);

std::string toUtf8(const WCHAR *text, UINT length) {
  if (!text || length == 0)
    return std::string();
  int wide = length > INT_MAX ? INT_MAX : static_cast<int>(length);
  int bytes = WideCharToMultiByte(CP_UTF8, 0, text, wide, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0)
    return std::string();
  std::string result(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, wide, result.data(), bytes, nullptr, nullptr);
  return result;
}

/// A readable reason for the reader's failure codes; the texts of the common
/// ones follow the wording that the Linux build's parser uses.
std::string reasonFor(HRESULT code) {
  switch (static_cast<unsigned long>(code)) {
  case MX_E_INPUTEND: return "unexpected end of input";
  case MX_E_ENCODING: return "invalid character in the document's encoding";
  case MX_E_ENCODINGSWITCH: return "cannot switch to the declared encoding";
  case MX_E_ENCODINGSIGNATURE: return "unrecognised encoding signature";
  case WC_E_WHITESPACE: return "white space expected";
  case WC_E_SEMICOLON: return "';' expected";
  case WC_E_GREATERTHAN: return "'>' expected";
  case WC_E_QUOTE: return "quote expected";
  case WC_E_EQUAL: return "'=' expected";
  case WC_E_LESSTHAN: return "'<' not allowed here";
  case WC_E_HEXDIGIT: return "hexadecimal digit expected";
  case WC_E_DIGIT: return "digit expected";
  case WC_E_LEFTBRACKET: return "'[' expected";
  case WC_E_LEFTPAREN: return "'(' expected";
  case WC_E_XMLCHARACTER: return "invalid character";
  case WC_E_NAMECHARACTER: return "invalid character in a name";
  case WC_E_SYNTAX: return "syntax error";
  case WC_E_CDSECT: return "malformed CDATA section";
  case WC_E_COMMENT: return "malformed comment";
  case WC_E_CONDSECT: return "malformed conditional section";
  case WC_E_DECLATTLIST: return "malformed attribute list declaration";
  case WC_E_DECLDOCTYPE: return DoctypeRefused;
  case WC_E_DECLELEMENT: return "malformed element declaration";
  case WC_E_DECLENTITY: return "malformed entity declaration";
  case WC_E_DECLNOTATION: return "malformed notation declaration";
  case WC_E_NAME: return "name expected";
  case WC_E_ROOTELEMENT: return "junk after document element";
  case WC_E_ELEMENTMATCH: return "mismatched tag";
  case WC_E_UNIQUEATTRIBUTE: return "duplicate attribute";
  case WC_E_TEXTXMLDECL: return "malformed text declaration";
  case WC_E_LEADINGXML: return "reserved name \"xml\" used";
  case WC_E_XMLDECL: return "malformed XML declaration";
  case WC_E_ENCNAME: return "unknown encoding";
  case WC_E_NORECURSION: return "recursive entity reference";
  case WC_E_UNDECLAREDENTITY: return "undefined entity";
  case WC_E_PARSEDENTITY: return "reference to an unparsed entity";
  case WC_E_NOEXTERNALENTITYREF: return "reference to an external entity";
  case WC_E_PI: return "malformed processing instruction";
  case WC_E_QUESTIONMARK: return "'?' expected";
  case WC_E_CDSECTEND: return "\"]]>\" not allowed in text";
  case WC_E_MOREDATA: return "more data expected";
  case WC_E_DTDPROHIBITED: return DoctypeRefused;
  case NC_E_QNAMECHARACTER: return "invalid character in a qualified name";
  case NC_E_QNAMECOLON: return "misplaced colon in a qualified name";
  case NC_E_NAMECOLON: return "colon in a name that may not have one";
  case NC_E_DECLAREDPREFIX: return "prefix declared twice";
  case NC_E_UNDECLAREDPREFIX: return "undeclared namespace prefix";
  case NC_E_EMPTYURI: return "empty namespace name";
  case SC_E_MAXELEMENTDEPTH: return "elements nested too deeply";
  case SC_E_MAXENTITYEXPANSION: return "entity expansion limit exceeded";
  case XML_E_INVALID_DECIMAL: return "invalid decimal character reference";
  case XML_E_INVALID_HEXIDECIMAL: return "invalid hexadecimal character reference";
  case XML_E_INVALID_UNICODE: return "character reference to an invalid character";
  case XML_E_INVALIDENCODING: return "invalid encoding";
  case static_cast<unsigned long>(E_OUTOFMEMORY): return "out of memory";
  default: break;
  }
  char text[32];
  std::snprintf(text, sizeof text, "error 0x%08lx", static_cast<unsigned long>(code));
  return text;
}

int clampPosition(UINT value) { return value < 1 ? 1 : value > INT_MAX ? INT_MAX : static_cast<int>(value); }

void recordPosition(IXmlReader *reader, ParseFailure &failure) {
  UINT line = 0;
  UINT column = 0;
  reader->GetLineNumber(&line);
  reader->GetLinePosition(&column);
  failure.line = clampPosition(line);
  failure.column = clampPosition(column);
}

bool fail(IXmlReader *reader, ParseFailure &failure, std::string reason) {
  failure.reason = std::move(reason);
  recordPosition(reader, failure);
  return false;
}

std::string currentName(IXmlReader *reader) {
  const WCHAR *name = nullptr;
  UINT length = 0;
  if (FAILED(reader->GetQualifiedName(&name, &length)))
    return std::string();
  return toUtf8(name, length);
}

std::string currentValue(IXmlReader *reader) {
  const WCHAR *value = nullptr;
  UINT length = 0;
  if (FAILED(reader->GetValue(&value, &length)))
    return std::string();
  return toUtf8(value, length);
}

/// Recognises a reader that hands out the same node again instead of
/// reporting the end of a truncated document.
class RepeatGuard {
public:
  /// True when the node just read is the same as the previous one for the
  /// fourth time in a row.
  bool repeats(XmlNodeType type, UINT line, UINT column, const std::string &name, const std::string &value) {
    if (type == m_type && line == m_line && column == m_column && name == m_name && value == m_value)
      return ++m_count >= 3;
    m_type = type;
    m_line = line;
    m_column = column;
    m_name = name;
    m_value = value;
    m_count = 0;
    return false;
  }

private:
  XmlNodeType m_type = XmlNodeType_None;
  UINT m_line = 0;
  UINT m_column = 0;
  std::string m_name;
  std::string m_value;
  int m_count = 0;
};

bool readElement(IXmlReader *reader, TreeBuilder &builder, const std::string &name, ParseFailure &failure) {
  // IsEmptyElement describes the element node, so ask before visiting the
  // attributes.
  bool empty = reader->IsEmptyElement() != FALSE;
  std::vector<Attribute> attributes;
  HRESULT result = reader->MoveToFirstAttribute();
  while (result == S_OK) {
    attributes.push_back(Attribute{currentName(reader), currentValue(reader)});
    result = reader->MoveToNextAttribute();
  }
  if (FAILED(result))
    return fail(reader, failure, reasonFor(result));
  reader->MoveToElement();
  if (!builder.startElement(name.c_str(), std::move(attributes)))
    return fail(reader, failure, builder.reason());
  if (empty && !builder.endElement())
    return fail(reader, failure, builder.reason());
  return true;
}

} // namespace

void loadSystemParser() {
  std::lock_guard<std::mutex> lock(moduleMutex);
  if (!heldModule)
    heldModule = loadReaderLibrary();
}

void unloadSystemParser() {
  std::lock_guard<std::mutex> lock(moduleMutex);
  if (heldModule) {
    FreeLibrary(heldModule);
    heldModule = nullptr;
  }
}

bool parseDocument(const char *data, size_t length, TreeBuilder &builder, ParseFailure &failure) {
  LibraryReference library;
  if (!library.get()) {
    failure.reason = "cannot load " + std::string(ReaderLibrary) + " (error " + std::to_string(library.error()) + ")";
    return false;
  }
  auto create = reinterpret_cast<CreateXmlReaderFunction>(
      reinterpret_cast<void (*)()>(GetProcAddress(library.get(), "CreateXmlReader")));
  if (!create) {
    failure.reason = "cannot find CreateXmlReader in " + std::string(ReaderLibrary) + " (error " +
                     std::to_string(GetLastError()) + ")";
    return false;
  }
  if (length > UINT_MAX) {
    failure.reason = "document too large";
    return false;
  }

  ComRef<IXmlReader> reader;
  HRESULT result = create(__uuidof(IXmlReader), reader.outVoid(), nullptr);
  if (FAILED(result) || !reader) {
    failure.reason = "cannot create the XML reader: " + reasonFor(result);
    return false;
  }
  reader->SetProperty(XmlReaderProperty_DtdProcessing, DtdProcessing_Prohibit);
  // The tree builder bounds the depth the same way on every system.
  reader->SetProperty(XmlReaderProperty_MaxElementDepth, 0);

  // Some XmlLite implementations (Wine's) read nothing from big-endian
  // UTF-16; handed over as little-endian, the document reads the same.
  std::string swapped;
  if (length >= 2 && static_cast<unsigned char>(data[0]) == 0xFE && static_cast<unsigned char>(data[1]) == 0xFF) {
    swapped.assign(data, length & ~static_cast<size_t>(1));
    for (size_t i = 0; i + 1 < swapped.size(); i += 2)
      std::swap(swapped[i], swapped[i + 1]);
    data = swapped.data();
    length = swapped.size();
  }

  static const BYTE nothing[1] = {0};
  ComRef<IStream> stream;
  stream.reset(SHCreateMemStream(length ? reinterpret_cast<const BYTE *>(data) : nothing, static_cast<UINT>(length)));
  if (!stream) {
    failure.reason = "out of memory";
    return false;
  }
  result = reader->SetInput(stream.get());
  if (FAILED(result)) {
    failure.reason = "cannot read the document: " + reasonFor(result);
    return false;
  }

  RepeatGuard guard;
  const size_t maxNodes = length + 16;
  size_t nodes = 0;
  for (;;) {
    XmlNodeType type = XmlNodeType_None;
    result = reader->Read(&type);
    if (result == S_FALSE)
      break;
    if (result != S_OK)
      return fail(reader.get(), failure, reasonFor(result));

    UINT line = 0;
    UINT column = 0;
    reader->GetLineNumber(&line);
    reader->GetLinePosition(&column);
    std::string name = currentName(reader.get());
    std::string value = type == XmlNodeType_Element ? std::string() : currentValue(reader.get());
    if (guard.repeats(type, line, column, name, value) || ++nodes > maxNodes)
      return fail(reader.get(), failure, reasonFor(MX_E_INPUTEND));

    switch (type) {
    case XmlNodeType_Element:
      if (!readElement(reader.get(), builder, name, failure))
        return false;
      break;
    case XmlNodeType_EndElement:
      if (!builder.endElement())
        return fail(reader.get(), failure, builder.reason());
      break;
    case XmlNodeType_Text:
    case XmlNodeType_Whitespace:
      builder.characters(value.data(), value.size());
      break;
    case XmlNodeType_CDATA:
      builder.startCData();
      builder.characters(value.data(), value.size());
      builder.endCData();
      break;
    case XmlNodeType_Comment:
      builder.comment(value.data(), value.size());
      break;
    case XmlNodeType_ProcessingInstruction:
      builder.processingInstruction(name.c_str(), value.data(), value.size());
      break;
    case XmlNodeType_DocumentType:
      return fail(reader.get(), failure, DoctypeRefused);
    default:
      break; // the XML declaration and anything else carry no content
    }
  }

  if (!builder.finish())
    return fail(reader.get(), failure, builder.reason());
  return true;
}

} // namespace rklidom
