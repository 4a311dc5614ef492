//===- TRQCmdLineOption.cpp - Splitting a token at its first '=' ----------===//
#include "entry/TRQCmdLineOption.h"

#include <cctype>
#include <cstring>

std::unique_ptr<char[]> TRQCmdLineOption::copyText(const char *text) {
  if (!text)
    return nullptr;
  size_t length = std::strlen(text);
  std::unique_ptr<char[]> copy(new char[length + 1]);
  std::memcpy(copy.get(), text, length + 1);
  return copy;
}

TRQCmdLineOption::TRQCmdLineOption(const char *token) {
  if (!token)
    return;
  // Only the first '=' splits: a value may itself contain '='.
  if (const char *equals = std::strchr(token, '=')) {
    m_name.assign(token, static_cast<size_t>(equals - token));
    m_value = copyText(equals + 1);
  } else {
    m_name = token;
  }
}

TRQCmdLineOption::TRQCmdLineOption(const char *name, const char *value)
    : m_name(name ? name : ""), m_value(copyText(value)) {}

TRQCmdLineOption::TRQCmdLineOption(const TRQCmdLineOption &other)
    : m_name(other.m_name), m_value(copyText(other.m_value.get())) {}

TRQCmdLineOption &TRQCmdLineOption::operator=(const TRQCmdLineOption &other) {
  if (this != &other) {
    std::unique_ptr<char[]> value = copyText(other.m_value.get());
    m_name = other.m_name;
    m_value = std::move(value);
  }
  return *this;
}

TRQCmdLineOption::~TRQCmdLineOption() = default;

int TRQCmdLineOption::isNumeric() const {
  if (!m_value || m_value[0] == '\0')
    return 0;
  for (const char *c = m_value.get(); *c; ++c) {
    if (!std::isdigit(static_cast<unsigned char>(*c)))
      return 0;
  }
  return 1;
}
