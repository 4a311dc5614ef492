//===- fuzz_properties.cpp - Fuzz target: property substitution -----------===//
//
// The input, cut at NUL bytes, is a text followed by "name=value" entries
// for the property table. The text is substituted with the table in place,
// which must end within its bounds whatever the table holds (values that
// refer to themselves included); then the entries are removed again.
//
//===----------------------------------------------------------------------===//
#include "FuzzSupport.h"
#include "config/TRQPropertyInserter.h"
#include "rklcore.h"

#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<std::string> parts = fuzzsupport::split(data, size, '\0');
  TRQPropertyInserter *table = TRQPropertyInserter::getInstance();
  std::vector<std::string> names;
  for (size_t i = 1; i < parts.size(); ++i) {
    size_t equals = parts[i].find('=');
    names.push_back(parts[i].substr(0, equals));
    table->addProperty(names.back().c_str(), equals == std::string::npos ? nullptr : parts[i].c_str() + equals + 1);
  }
  // A NUL ends a text that the table reads, as it ends every C string.
  std::string text = parts[0].c_str();
  const std::string original = text;
  table->insertProperties(text);
  if (text.size() > original.size() + TRQPropertyInserter::MaxGrowth)
    fuzzsupport::finding("substitution grew the text beyond its bound");
  I18NString wide(original);
  table->insertProperties(wide);
  if (wide.str() != text)
    fuzzsupport::finding("the two forms of insertProperties disagree");
  for (const std::string &name : names)
    table->removeProperty(name.c_str());
  return 0;
}
