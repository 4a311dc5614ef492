//===- XmlTestSupport.h - Streams and parse shortcuts for the XML tests ---===//
//
// An input stream over a string that hands out its bytes in small pieces, so
// that the parser sees a document arrive in many reads, and shortcuts that
// parse a text and fail the test with the parser's reason when it does not
// parse.
//
//===----------------------------------------------------------------------===//
#ifndef XMLTESTSUPPORT_H
#define XMLTESTSUPPORT_H

#include "oktstreams.h"
#include "rklidom.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace xmltest {

/// Gives the bytes of a string, at most `piece` bytes per read, then -1.
class StringInputStream : public OKTInputStream {
public:
  explicit StringInputStream(std::string content, size_t piece = 4096)
      : m_content(std::move(content)), m_piece(piece) {}

  int read() override {
    if (m_position >= m_content.size())
      return -1;
    ++m_reads;
    return static_cast<unsigned char>(m_content[m_position++]);
  }
  long read(char *buf, size_t n) override {
    if (m_position >= m_content.size())
      return -1;
    size_t count = std::min({n, m_piece, m_content.size() - m_position});
    std::memcpy(buf, m_content.data() + m_position, count);
    m_position += count;
    ++m_reads;
    return static_cast<long>(count);
  }
  long read(RKLByteBuffer &buf, size_t n) override {
    if (m_position >= m_content.size())
      return -1;
    size_t count = std::min({n, m_piece, m_content.size() - m_position});
    buf.append(m_content.data() + m_position, count);
    m_position += count;
    ++m_reads;
    return static_cast<long>(count);
  }

  /// How many reads returned data.
  int reads() const { return m_reads; }
  bool atEnd() const { return m_position >= m_content.size(); }

private:
  std::string m_content;
  size_t m_piece;
  size_t m_position = 0;
  int m_reads = 0;
};

/// Parses `text`; the test fails (and the document is null) when it does not
/// parse.
inline RKLIDOM_Document parseText(const std::string &text) {
  RKLIDOM_Parser parser(0);
  RKLIDOM_Document doc;
  int result = parser.parseBuffer(text.data(), text.size(), doc);
  EXPECT_EQ(1, result) << parser.errorString();
  return doc;
}

/// The document element of `text`.
inline RKLIDOM_Element parseRoot(const std::string &text) { return parseText(text).getDocumentElement(); }

/// Parses `text` and expects failure; gives the parser's error text.
inline std::string parseError(const std::string &text) {
  RKLIDOM_Parser parser(0);
  RKLIDOM_Document doc;
  int result = parser.parseBuffer(text.data(), text.size(), doc);
  EXPECT_EQ(0, result) << "parsed although it should not: " << text.substr(0, 200);
  EXPECT_TRUE(doc.isNull());
  return parser.errorString();
}

inline bool startsWith(const std::string &text, const std::string &prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

} // namespace xmltest

#endif // XMLTESTSUPPORT_H
