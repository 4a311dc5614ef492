//===- TRQPropertyInserter.cpp - The property table and ${name} substitution //
#include "config/TRQPropertyInserter.h"

#include "logging/TRQLogger.h"
#include "logging/TRQLoggerFactory.h"

TRQLogger *TRQPropertyInserter::s_logger = TRQLoggerFactory::getInstance()->getLogger("TRQPropertyInserter");

TRQPropertyInserter *TRQPropertyInserter::getInstance() {
  // Never destroyed: loggers and late readers may use the table while the
  // process ends.
  static TRQPropertyInserter *instance = new TRQPropertyInserter();
  return instance;
}

TRQPropertyInserter::TRQPropertyInserter() = default;

TRQPropertyInserter::~TRQPropertyInserter() = default;

void TRQPropertyInserter::addProperty(const char *name, const char *value) {
  if (!name)
    return;
  if (!value)
    value = "";
  s_logger->log(TRQLogLevel::Debug, "Added property %s with value \"%s\"", name, value);
  // Assigning to the existing entry keeps the map node; only this name's
  // earlier characters become invalid.
  m_properties[name] = value;
}

const char *TRQPropertyInserter::getProperty(const char *name) const {
  if (!name)
    return nullptr;
  auto it = m_properties.find(name);
  return it == m_properties.end() ? nullptr : it->second.c_str();
}

void TRQPropertyInserter::removeProperty(const char *name) {
  if (name)
    m_properties.erase(name);
}

void TRQPropertyInserter::insertProperties(std::string &text) const {
  if (text.find("${") == std::string::npos)
    return;
  const std::string original = text;

  // The text is held as two halves around the scan position: `done` before
  // it, `rest` after it in reverse order (rest.back() is the next byte). A
  // replacement then only touches the end of `rest`, whatever the length of
  // the text around it, so even a bounded cycle costs little.
  //
  // The scan itself is the plain one: after a replacement at p, look again
  // for the first "${" at or after the restart position; after a reference
  // to an unknown name, look on behind its "}". Nothing before p changes in
  // a replacement, and that stretch held no "${" when it was scanned, so the
  // only new reference that can start before p is a "$" at p - 1 followed by
  // a value that begins with "{"; that is the one look back made here. A
  // look back never passes the "}" of an unknown reference, which is where
  // the plain scan restarts.
  std::string done;
  done.reserve(text.size());
  std::string rest(text.rbegin(), text.rend());
  std::size_t replacements = 0;
  bool bounded = false;
  bool afterReplacement = false;

  for (;;) {
    bool found = false;
    if (afterReplacement && !done.empty() && done.back() == '$' && !rest.empty() && rest.back() == '{') {
      rest.push_back('$');
      done.pop_back();
      found = true;
    }
    afterReplacement = false;
    while (!found && rest.size() >= 2) {
      if (rest.back() == '$' && rest[rest.size() - 2] == '{') {
        found = true;
        break;
      }
      done.push_back(rest.back());
      rest.pop_back();
    }
    if (!found || rest.size() < 3)
      break;

    // The first "}" after the "${" closes the reference; without one, the
    // rest of the text stays as it is.
    std::size_t close = rest.rfind('}', rest.size() - 3);
    if (close == std::string::npos)
      break;
    std::size_t referenceLength = rest.size() - close;
    std::string name(rest.rbegin() + 2, rest.rbegin() + static_cast<std::ptrdiff_t>(referenceLength - 1));

    auto it = m_properties.find(name);
    if (it == m_properties.end()) {
      for (std::size_t i = 0; i < referenceLength; ++i) {
        done.push_back(rest.back());
        rest.pop_back();
      }
      continue;
    }

    const std::string &value = it->second;
    std::size_t newLength = done.size() + rest.size() - referenceLength + value.size();
    if (replacements >= MaxReplacements || newLength > original.size() + MaxGrowth) {
      bounded = true;
      break;
    }
    rest.resize(rest.size() - referenceLength);
    rest.append(value.rbegin(), value.rend());
    ++replacements;
    afterReplacement = true;
  }

  done.append(rest.rbegin(), rest.rend());
  text.swap(done);

  if (bounded)
    s_logger->log(TRQLogLevel::Error,
                  "substitution of \"%s\" stopped after %d replacements at %d bytes: its properties refer to "
                  "themselves",
                  original.c_str(), static_cast<int>(replacements), static_cast<int>(text.size()));
  if (text != original)
    s_logger->log(TRQLogLevel::Debug, "changed \n   \"%s\" \nto \"%s\"", original.c_str(), text.c_str());
}

void TRQPropertyInserter::insertProperties(I18NString &text) const {
  std::string bytes = text.str();
  insertProperties(bytes);
  text = I18NString(std::move(bytes));
}
