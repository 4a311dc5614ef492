//===- TRQArgVector.cpp - The argument list of a spawned program ----------===//
#include "supervision/TRQArgVector.h"

#include "config/TRQPropertyInserter.h"
#include "logging/TRQLogger.h"
#include "logging/TRQLoggerFactory.h"

#include <cstdlib>
#include <cstring>
#include <string>

TRQLogger *TRQArgVector::s_logger = TRQLoggerFactory::getInstance()->getLogger("TRQArgVector");

namespace {

struct ConditionSlot {
  const char *name;
  const char *op;
  const char *value;
};

const ConditionSlot kSlots[10] = {
    {"condName", "condOp", "condValue"},    {"condName0", "condOp0", "condValue0"},
    {"condName1", "condOp1", "condValue1"}, {"condName2", "condOp2", "condValue2"},
    {"condName3", "condOp3", "condValue3"}, {"condName4", "condOp4", "condValue4"},
    {"condName5", "condOp5", "condValue5"}, {"condName6", "condOp6", "condValue6"},
    {"condName7", "condOp7", "condValue7"}, {"condName8", "condOp8", "condValue8"},
};

/// Whether `a op b` holds. std::string::compare orders the bytes as unsigned
/// values and a text before every longer text that begins with it, so "10"
/// is less than "9".
bool conditionHolds(const std::string &a, const I18NString &op, const std::string &b) {
  int order = a.compare(b);
  if (op == "gt")
    return order > 0;
  if (op == "gteq")
    return order >= 0;
  if (op == "lt")
    return order < 0;
  if (op == "lteq")
    return order <= 0;
  return order == 0; // "", "eq" and any other word
}

} // namespace

void readElementText(RKLIDOM_Element e, I18NString &out) {
  RKLIDOM_NodeList children = e.getChildNodes();
  for (int i = 0; i < children.getLength(); ++i) {
    RKLIDOM_Node child = children.item(i);
    if (child.getNodeType() != RKLIDOM_Node::TEXT_NODE)
      continue;
    I18NString value = child.getNodeValue();
    if (value.size() > 0)
      out = value;
  }
}

TRQArgVector::TRQArgVector() = default;

TRQArgVector::~TRQArgVector() { clear(); }

void TRQArgVector::addArg(const char *s) {
  char *copy = nullptr;
  if (s) {
    size_t size = std::strlen(s) + 1;
    copy = static_cast<char *>(std::malloc(size));
    if (copy)
      std::memcpy(copy, s, size);
  }
  try {
    push_back(copy);
  } catch (...) {
    std::free(copy);
    throw;
  }
}

void TRQArgVector::addTerminator() { addArg(nullptr); }

void TRQArgVector::addParams(RKLIDOM_Element action) {
  TRQPropertyInserter *properties = TRQPropertyInserter::getInstance();
  RKLIDOM_NodeList params = action.getElementsByTagName("param");
  for (int i = 0; i < params.getLength(); ++i) {
    RKLIDOM_Element param(params.item(i));
    I18NString text;
    readElementText(param, text);

    bool include = true;
    for (int slot = 0; slot < 10; ++slot) {
      I18NString name = param.getAttribute(kSlots[slot].name);
      if (name.empty()) {
        if (slot < 2)
          continue;
        break;
      }
      std::string a = name.c_str();
      properties->insertProperties(a);
      if (a.empty())
        continue;
      I18NString value = param.getAttribute(kSlots[slot].value);
      if (value.empty())
        continue;
      std::string b = value.c_str();
      I18NString op = param.getAttribute(kSlots[slot].op);
      // A failed slot excludes the param; the later slots are still read.
      if (!conditionHolds(a, op, b))
        include = false;
    }

    if (include) {
      std::string arg = text.c_str();
      properties->insertProperties(arg);
      s_logger->log(TRQLogLevel::Debug, "adding arg \"%s\"", arg.c_str());
      addArg(arg.c_str());
    }
  }
}

void TRQArgVector::clear() {
  for (char *entry : *this)
    std::free(entry);
  std::vector<char *>::clear();
}
