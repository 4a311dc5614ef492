//===- rklhttptools.cpp - The string tokenizer ----------------------------===//
#include "rklhttptools.h"

RKLStringTokenizer::RKLStringTokenizer(const char *text, const char *delimiters, int returnDelimiters)
    : m_text(text ? text : ""), m_delimiters(delimiters ? delimiters : ""), m_returnDelimiters(returnDelimiters != 0) {}

bool RKLStringTokenizer::isDelimiter(char c) const { return m_delimiters.find(c) != std::string::npos; }

void RKLStringTokenizer::skipDelimiters() {
  if (m_returnDelimiters)
    return;
  while (m_position < m_text.size() && isDelimiter(m_text[m_position]))
    ++m_position;
}

int RKLStringTokenizer::hasMoreTokens() {
  skipDelimiters();
  return m_position < m_text.size() ? 1 : 0;
}

I18NString RKLStringTokenizer::nextToken() {
  skipDelimiters();
  if (m_position >= m_text.size())
    return I18NString();
  size_t start = m_position;
  if (m_returnDelimiters && isDelimiter(m_text[m_position])) {
    ++m_position;
    return I18NString(m_text.substr(start, 1));
  }
  while (m_position < m_text.size() && !isDelimiter(m_text[m_position]))
    ++m_position;
  return I18NString(m_text.substr(start, m_position - start));
}
