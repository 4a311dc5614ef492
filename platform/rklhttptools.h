//===- rklhttptools.h - Tools library: the string tokenizer -------------===//
//
// Splits a text into tokens at any of a set of delimiter characters. Runs of
// adjacent delimiters separate tokens without producing empty ones, and
// delimiters at the start or end produce none either; with returnDelimiters
// set, each delimiter character is itself returned as a one-character token.
//
//===----------------------------------------------------------------------===//
#ifndef RKLHTTPTOOLS_H
#define RKLHTTPTOOLS_H

#include "rklcore.h"

#include <string>

class RKLStringTokenizer {
public:
  /// A null text has no tokens; a null delimiter set is treated as empty
  /// (the whole text is one token).
  RKLStringTokenizer(const char *text, const char *delimiters, int returnDelimiters);

  /// Nonzero while nextToken() has a token to give.
  int hasMoreTokens();
  /// The next token; the empty text when there is none left.
  I18NString nextToken();

private:
  void skipDelimiters();
  bool isDelimiter(char c) const;

  std::string m_text;
  std::string m_delimiters;
  bool m_returnDelimiters;
  size_t m_position = 0;
};

#endif // RKLHTTPTOOLS_H
