//===- TRQCmdLine.cpp - Tokenising and querying the command line ----------===//
//
// The Windows entry receives its command line as one string and splits it
// here, with a quote rule of its own: a blank inside double quotes belongs to
// its token, and the quotes never reach a name or value. Quoted blanks are
// hidden as newlines while the text is split at blanks, then turned back.
//
//===----------------------------------------------------------------------===//
#include "entry/TRQCmdLine.h"

#include "logging/TRQLogger.h"
#include "logging/TRQLoggerFactory.h"
#include "rklhttptools.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

TRQLogger *TRQCmdLine::s_logger = TRQLoggerFactory::getInstance()->getLogger("TRQCmdLine");

namespace {

char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsIgnoringCase(const char *left, const char *right) {
  for (; *left && *right; ++left, ++right) {
    if (asciiLower(*left) != asciiLower(*right))
      return false;
  }
  return *left == *right;
}

} // namespace

TRQCmdLine::TRQCmdLine(const char *text) { parseString(text); }

TRQCmdLine::TRQCmdLine(int argc, char **argv) { parseArgs(argc, argv); }

TRQCmdLine::~TRQCmdLine() = default;

void TRQCmdLine::parseArgs(int argc, char **argv) {
  if (!argv)
    return;
  // The run-time library has already split and unquoted the arguments.
  for (int i = 1; i < argc; ++i) {
    if (argv[i])
      m_options.emplace_back(argv[i]);
  }
}

void TRQCmdLine::parseString(const char *text) {
  s_logger->log(TRQLogLevel::Debug, "Preparing cmdline from string: \"%s\"", text ? text : "(null)");
  if (!text)
    return;

  // The quote characters are dropped, so the copy is never longer than the
  // text; a text that ends inside quotes simply ends the copy.
  std::string buffer;
  buffer.reserve(std::strlen(text));
  bool quoted = false;
  for (const char *c = text; *c; ++c) {
    if (*c == '"')
      quoted = !quoted;
    else if (quoted && *c == ' ')
      buffer += '\n';
    else
      buffer += *c;
  }

  RKLStringTokenizer tokenizer(buffer.c_str(), " ", 0);
  while (tokenizer.hasMoreTokens()) {
    std::string token = tokenizer.nextToken().str();
    for (char &c : token) {
      if (c == '\n')
        c = ' ';
    }
    m_options.emplace_back(token.c_str());
  }
  print();
}

int TRQCmdLine::findOption(const char *name, int start) const {
  if (!name)
    return -1;
  for (int i = start < 0 ? 0 : start; i < count(); ++i) {
    if (equalsIgnoringCase(m_options[static_cast<size_t>(i)].getName(), name))
      return i;
  }
  return -1;
}

const TRQCmdLineOption *TRQCmdLine::valueOption(const char *name, int start) const {
  int index = findOption(name, start);
  if (index < 0 || !m_options[static_cast<size_t>(index)].hasValue())
    return nullptr;
  return &m_options[static_cast<size_t>(index)];
}

int TRQCmdLine::getValue(const char *name, I18NString &out, int start) const {
  const TRQCmdLineOption *found = valueOption(name, start);
  if (!found)
    return 0;
  out = found->getValue();
  return 1;
}

int TRQCmdLine::getValue(const char *name, std::string &out, int start) const {
  const TRQCmdLineOption *found = valueOption(name, start);
  if (!found)
    return 0;
  out = found->getValue();
  return 1;
}

int TRQCmdLine::getIntValue(const char *name, int &out, int start) const {
  int index = findOption(name, start);
  if (index < 0 || !m_options[static_cast<size_t>(index)].isNumeric())
    return 0;
  // Digits only, so the number is never negative; a value too large for an
  // int is capped rather than wrapped, so that a huge limit stays huge.
  errno = 0;
  unsigned long long value = std::strtoull(m_options[static_cast<size_t>(index)].getValue(), nullptr, 10);
  out = (errno == ERANGE || value > static_cast<unsigned long long>(INT_MAX)) ? INT_MAX : static_cast<int>(value);
  return 1;
}

void TRQCmdLine::print() const {
  if (!s_logger->isEnabled(TRQLogLevel::Debug))
    return;
  RKLByteBuffer text(256, 256);
  text << "Command line as parsed:";
  for (const TRQCmdLineOption &option : m_options) {
    text << "\n" << option.getName();
    if (option.hasValue())
      text << "=\"" << option.getValue() << "\"";
  }
  // Names and values are the user's text: never a format.
  s_logger->logText(TRQLogLevel::Debug, text.str());
}
