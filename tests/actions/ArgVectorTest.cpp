//===- ArgVectorTest.cpp - Argument lists and their conditional params ----===//
#include "ActionTestSupport.h"
#include "config/TRQPropertyInserter.h"
#include "supervision/TRQArgVector.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using actiontest::LogCapture;
using actiontest::parseElement;

namespace {

/// The included values of the `param` elements of `actionXml`.
std::vector<std::string> paramsOf(const std::string &actionXml) {
  TRQArgVector args;
  args.addParams(parseElement(actionXml));
  std::vector<std::string> values;
  for (char *entry : args)
    values.push_back(entry ? entry : "<null>");
  return values;
}

/// Whether one `param` with the given attributes is included.
bool included(const std::string &attributes) {
  return paramsOf("<spawn><param " + attributes + ">v</param></spawn>").size() == 1;
}

class ArgVectorTest : public ::testing::Test {
protected:
  void SetUp() override {
    TRQPropertyInserter::getInstance()->addProperty("av_yes", "yes");
    TRQPropertyInserter::getInstance()->addProperty("av_empty", "");
    TRQPropertyInserter::getInstance()->addProperty("av_ten", "10");
  }
};

} // namespace

//===--- The list itself --------------------------------------------------===//

TEST_F(ArgVectorTest, AddArgCopiesAndNullAddsANullEntry) {
  TRQArgVector args;
  char source[] = "original";
  args.addArg(source);
  std::strcpy(source, "changed!");
  args.addArg(nullptr);
  args.addArg("");
  args.addTerminator();
  ASSERT_EQ(args.size(), 4u);
  EXPECT_NE(args[0], source);
  EXPECT_STREQ(args[0], "original");
  EXPECT_EQ(args[1], nullptr);
  ASSERT_NE(args[2], nullptr);
  EXPECT_STREQ(args[2], "");
  EXPECT_EQ(args[3], nullptr);
}

TEST_F(ArgVectorTest, ClearFreesEveryEntryOnceAndKeepsTheStorage) {
  // The sanitizer build reports a double free or a leak here.
  TRQArgVector args;
  for (int i = 0; i < 50; ++i) {
    args.addArg(("entry " + std::to_string(i)).c_str());
    if (i % 7 == 0)
      args.addArg(nullptr);
  }
  args.addTerminator();
  size_t capacity = args.capacity();
  args.clear();
  EXPECT_TRUE(args.empty());
  EXPECT_EQ(args.capacity(), capacity);
  args.clear(); // nothing left to free
  args.addArg("again");
  args.addTerminator();
  EXPECT_STREQ(args[0], "again");
  // The destructor frees "again" and only that.
}

TEST_F(ArgVectorTest, ItIsAnArgvStyleVectorWithAVirtualDestructor) {
  static_assert(std::is_base_of_v<std::vector<char *>, TRQArgVector>);
  static_assert(std::has_virtual_destructor_v<TRQArgVector>);
  TRQArgVector args;
  args.addArg("prog");
  args.addArg("-x");
  args.addTerminator();
  char **argv = args.data();
  EXPECT_STREQ(argv[0], "prog");
  EXPECT_STREQ(argv[1], "-x");
  EXPECT_EQ(argv[2], nullptr);
}

//===--- Element text -----------------------------------------------------===//

TEST_F(ArgVectorTest, ElementTextIsTheLastNonEmptyTextChild) {
  auto textOf = [](const std::string &xml) {
    I18NString out("unchanged");
    readElementText(parseElement(xml), out);
    return std::string(out.c_str());
  };
  EXPECT_EQ(textOf("<param>plain</param>"), "plain");
  EXPECT_EQ(textOf("<param>a<!-- split -->b</param>"), "b");
  EXPECT_EQ(textOf("<param> </param>"), " ");
  EXPECT_EQ(textOf("<param>  padded  </param>"), "  padded  ");
  EXPECT_EQ(textOf("<param>a<x>inner</x></param>"), "a");
  EXPECT_EQ(textOf("<param>a<x/> </param>"), " ");
  EXPECT_EQ(textOf("<param><![CDATA[cdata]]></param>"), "unchanged");
  EXPECT_EQ(textOf("<param>text<![CDATA[cdata]]></param>"), "text");
  EXPECT_EQ(textOf("<param><!-- only a comment --></param>"), "unchanged");
  EXPECT_EQ(textOf("<param/>"), "unchanged");
  EXPECT_EQ(textOf("<param>a &amp; b</param>"), "a & b");
  I18NString out("kept");
  readElementText(RKLIDOM_Element(), out); // a null element has no text
  EXPECT_TRUE(out == "kept");
}

//===--- Params -----------------------------------------------------------===//

TEST_F(ArgVectorTest, NoParamsAddNothing) {
  EXPECT_TRUE(paramsOf("<spawn><path>p</path></spawn>").empty());
}

TEST_F(ArgVectorTest, ParamsInDocumentOrderAtAnyDepth) {
  EXPECT_EQ(paramsOf("<spawn><param>1</param><group><param>2</param><deeper><param>3</param></deeper></group>"
                     "<param>4</param></spawn>"),
            (std::vector<std::string>{"1", "2", "3", "4"}));
}

TEST_F(ArgVectorTest, ParamTextIsSubstitutedAndLogged) {
  LogCapture log;
  EXPECT_EQ(paramsOf("<spawn><param>-Dflag=${av_yes}</param><param>${av_unknown}</param></spawn>"),
            (std::vector<std::string>{"-Dflag=yes", "${av_unknown}"}));
  EXPECT_EQ(log.count("DEBUG", "TRQArgVector", "adding arg \"-Dflag=yes\""), 1);
  EXPECT_EQ(log.count("DEBUG", "TRQArgVector", "adding arg \"${av_unknown}\""), 1);
}

TEST_F(ArgVectorTest, AnIncludedParamWithoutTextAddsAnEmptyArgument) {
  EXPECT_EQ(paramsOf("<spawn><param/><param><!-- c --></param></spawn>"), (std::vector<std::string>{"", ""}));
}

TEST_F(ArgVectorTest, TextSplitByACommentGivesTheLastPart) {
  EXPECT_EQ(paramsOf("<spawn><param>a<!-- comment -->b</param></spawn>"), (std::vector<std::string>{"b"}));
}

TEST_F(ArgVectorTest, ASingleBlankIsKept) {
  EXPECT_EQ(paramsOf("<spawn><param> </param></spawn>"), (std::vector<std::string>{" "}));
}

//===--- Conditions -------------------------------------------------------===//

TEST_F(ArgVectorTest, ASubstitutedNameComparedWithALiteral) {
  EXPECT_TRUE(included("condName=\"${av_yes}\" condValue=\"yes\""));
  EXPECT_FALSE(included("condName=\"${av_yes}\" condValue=\"no\""));
  EXPECT_FALSE(included("condName=\"${av_yes}\" condValue=\"YES\""));
  // The value is a literal: it is never substituted.
  EXPECT_FALSE(included("condName=\"${av_yes}\" condValue=\"${av_yes}\""));
  // A reference to a name not stored compares as written.
  EXPECT_TRUE(included("condName=\"${av_unknown}\" condValue=\"${av_unknown}\""));
  EXPECT_TRUE(included("condName=\"x-${av_yes}\" condValue=\"x-yes\""));
}

TEST_F(ArgVectorTest, ComparisonIsTextual) {
  EXPECT_FALSE(included("condName=\"${av_ten}\" condOp=\"gt\" condValue=\"9\""));
  EXPECT_TRUE(included("condName=\"${av_ten}\" condOp=\"lt\" condValue=\"9\""));
  EXPECT_TRUE(included("condName=\"ab\" condOp=\"lt\" condValue=\"abc\""));
  EXPECT_FALSE(included("condName=\"ab\" condOp=\"eq\" condValue=\"abc\""));
  EXPECT_TRUE(included("condName=\"abc\" condOp=\"gt\" condValue=\"ab\""));
  // Bytes are unsigned: a UTF-8 letter sorts after every ASCII one.
  EXPECT_TRUE(included("condName=\"\xC3\xA9\" condOp=\"gt\" condValue=\"z\""));
  EXPECT_FALSE(included("condName=\"\xC3\xA9\" condOp=\"lt\" condValue=\"z\""));
}

TEST_F(ArgVectorTest, EveryOperator) {
  struct Case {
    const char *op;
    bool less, equal, greater; // results for A < B, A == B, A > B
  };
  const Case cases[] = {
      {"", false, true, false},   {"eq", false, true, false},   {"gt", false, false, true},
      {"gteq", false, true, true}, {"lt", true, false, false},    {"lteq", true, true, false},
      {"ne", false, true, false}, {"EQ", false, true, false},   {"GT", false, true, false},
      {"eq ", false, true, false}, {" lt", false, true, false},  {"gte", false, true, false},
  };
  for (const Case &c : cases) {
    std::string op = std::string(" condOp=\"") + c.op + "\"";
    EXPECT_EQ(included("condName=\"b\"" + op + " condValue=\"c\""), c.less) << "op '" << c.op << "' b<c";
    EXPECT_EQ(included("condName=\"b\"" + op + " condValue=\"b\""), c.equal) << "op '" << c.op << "' b=b";
    EXPECT_EQ(included("condName=\"b\"" + op + " condValue=\"a\""), c.greater) << "op '" << c.op << "' b>a";
  }
}

TEST_F(ArgVectorTest, ASlotWithoutValueOrWithAnEmptyNameIsIgnored) {
  EXPECT_TRUE(included("condName=\"${av_yes}\""));
  EXPECT_TRUE(included("condName=\"${av_yes}\" condValue=\"\""));
  EXPECT_TRUE(included("condName=\"${av_yes}\" condOp=\"gt\""));
  EXPECT_TRUE(included("condName=\"${av_empty}\" condValue=\"anything\""));
  // An ignored slot does not stop the others.
  EXPECT_FALSE(included("condName=\"${av_empty}\" condValue=\"x\" condName0=\"a\" condValue0=\"b\""));
}

TEST_F(ArgVectorTest, SlotsZeroAndOneAreOptionalEachOnItsOwn) {
  // Only slot 1.
  EXPECT_FALSE(included("condName0=\"a\" condValue0=\"b\""));
  EXPECT_TRUE(included("condName0=\"a\" condValue0=\"a\""));
  // Only slot 2 (condName1): slots 0 and 1 are skipped, slot 2 is evaluated.
  EXPECT_FALSE(included("condName1=\"a\" condValue1=\"b\""));
  EXPECT_TRUE(included("condName1=\"a\" condValue1=\"a\""));
  // Slot 0 and slot 2 without slot 1.
  EXPECT_FALSE(included("condName=\"a\" condValue=\"a\" condName1=\"a\" condValue1=\"b\""));
}

TEST_F(ArgVectorTest, SlotsFromTwoOnMustBeContiguous) {
  // condName1 absent: the scan stops at slot 2, condName2 is never read.
  EXPECT_TRUE(included("condName2=\"a\" condValue2=\"b\""));
  EXPECT_TRUE(included("condName=\"a\" condValue=\"a\" condName2=\"a\" condValue2=\"b\""));
  // With slot 2 present, slot 3 is read.
  EXPECT_FALSE(included("condName1=\"a\" condValue1=\"a\" condName2=\"a\" condValue2=\"b\""));
  // A gap later on stops the scan there as well.
  EXPECT_TRUE(included("condName1=\"a\" condValue1=\"a\" condName3=\"a\" condValue3=\"b\""));
}

TEST_F(ArgVectorTest, TheLastSlotIsCondName8AndCondName9IsNeverRead) {
  std::string contiguous;
  for (int digit = 1; digit <= 7; ++digit)
    contiguous += " condName" + std::to_string(digit) + "=\"a\" condValue" + std::to_string(digit) + "=\"a\"";
  EXPECT_TRUE(included(contiguous + " condName8=\"a\" condValue8=\"a\""));
  EXPECT_FALSE(included(contiguous + " condName8=\"a\" condValue8=\"b\""));
  EXPECT_TRUE(included(contiguous + " condName8=\"a\" condValue8=\"a\" condName9=\"a\" condValue9=\"b\""));
  EXPECT_TRUE(included("condName9=\"a\" condValue9=\"b\""));
}

TEST_F(ArgVectorTest, AFailingSlotIsNotUndoneByAHoldingOne) {
  EXPECT_FALSE(included("condName=\"a\" condValue=\"b\" condName0=\"a\" condValue0=\"a\""));
  EXPECT_FALSE(included("condName=\"a\" condValue=\"a\" condName0=\"a\" condValue0=\"b\" condName1=\"c\" "
                        "condValue1=\"c\""));
  EXPECT_TRUE(included("condName=\"a\" condValue=\"a\" condName0=\"a\" condValue0=\"a\" condName1=\"c\" "
                       "condValue1=\"c\""));
}

TEST_F(ArgVectorTest, OnlyIncludedParamsAreLoggedAndAdded) {
  LogCapture log;
  EXPECT_EQ(paramsOf("<spawn><param condName=\"${av_yes}\" condValue=\"yes\">in</param>"
                     "<param condName=\"${av_yes}\" condValue=\"no\">out</param></spawn>"),
            (std::vector<std::string>{"in"}));
  std::vector<actiontest::LogEntry> entries = log.entries("TRQArgVector");
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].message, "adding arg \"in\"");
}
