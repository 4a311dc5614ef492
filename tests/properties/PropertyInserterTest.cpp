//===- PropertyInserterTest.cpp - The property table and ${name} references ===//
//
// The table is one per process and keeps every entry for good, so each test
// uses names of its own, apart from the three of the documented examples,
// which always hold the same values.
//
//===----------------------------------------------------------------------===//
#include "../actions/ActionTestSupport.h"
#include "config/TRQPropertyInserter.h"

#include <gtest/gtest.h>

#include <string>

using actiontest::LogCapture;

namespace {

TRQPropertyInserter *table() { return TRQPropertyInserter::getInstance(); }

std::string substituted(std::string text) {
  table()->insertProperties(text);
  return text;
}

class PropertyInserterTest : public ::testing::Test {
protected:
  void SetUp() override {
    table()->addProperty("temp", "C:\\data\\temp");
    table()->addProperty("inner", "y");
    table()->addProperty("outer", "x${inner}");
  }
};

} // namespace

TEST_F(PropertyInserterTest, OneInstancePerProcess) {
  EXPECT_NE(table(), nullptr);
  EXPECT_EQ(table(), TRQPropertyInserter::getInstance());
}

TEST_F(PropertyInserterTest, ExamplesOfTheSubstitution) {
  EXPECT_EQ(substituted("${temp}/trq.prefs"), "C:\\data\\temp/trq.prefs");
  EXPECT_EQ(substituted("${outer}"), "xy");
  EXPECT_EQ(substituted("${none}/${temp}"), "${none}/C:\\data\\temp");
  EXPECT_EQ(substituted("${outer${inner}}"), "${outer${inner}}");
  EXPECT_EQ(substituted("${temp"), "${temp");
}

TEST_F(PropertyInserterTest, TheLastValueStoredWinsAndEveryStoreIsLogged) {
  LogCapture log;
  table()->addProperty("pi_twice", "first");
  table()->addProperty("pi_twice", "second");
  EXPECT_STREQ(table()->getProperty("pi_twice"), "second");
  EXPECT_EQ(log.count("DEBUG", "TRQPropertyInserter", "Added property pi_twice with value \"first\""), 1);
  EXPECT_EQ(log.count("DEBUG", "TRQPropertyInserter", "Added property pi_twice with value \"second\""), 1);
  EXPECT_EQ(substituted("<${pi_twice}>"), "<second>");
}

TEST_F(PropertyInserterTest, EmptyValueIsEmptyTextAndAbsentNameIsNull) {
  table()->addProperty("pi_empty", "");
  const char *empty = table()->getProperty("pi_empty");
  ASSERT_NE(empty, nullptr);
  EXPECT_STREQ(empty, "");
  EXPECT_EQ(table()->getProperty("pi_never_stored"), nullptr);
  EXPECT_EQ(table()->getProperty(nullptr), nullptr);
  EXPECT_EQ(substituted("a${pi_empty}b"), "ab");
}

TEST_F(PropertyInserterTest, NullArgumentsOfAddProperty) {
  table()->addProperty("pi_null_value", nullptr);
  ASSERT_NE(table()->getProperty("pi_null_value"), nullptr);
  EXPECT_STREQ(table()->getProperty("pi_null_value"), "");
  table()->addProperty(nullptr, "ignored"); // stores nothing, harmless
}

TEST_F(PropertyInserterTest, ReturnedTextStaysValidUntilTheSameNameIsStoredAgain) {
  table()->addProperty("pi_stable", "stable value");
  const char *value = table()->getProperty("pi_stable");
  for (int i = 0; i < 200; ++i)
    table()->addProperty(("pi_stable_other" + std::to_string(i)).c_str(), std::string(100, 'v').c_str());
  EXPECT_STREQ(value, "stable value");
  EXPECT_EQ(value, table()->getProperty("pi_stable"));
}

TEST_F(PropertyInserterTest, NamesAreCaseSensitive) {
  ASSERT_EQ(table()->getProperty("Temp"), nullptr);
  EXPECT_EQ(table()->getProperty("TEMP"), nullptr);
  EXPECT_EQ(substituted("${Temp}"), "${Temp}");
  EXPECT_EQ(substituted("${temp}"), "C:\\data\\temp");
}

TEST_F(PropertyInserterTest, EmptyReferenceNeedsAPropertyWithTheEmptyName) {
  // The empty name is stored here and nowhere else in the suite (entries
  // stay for good, so a repeated run finds it already there).
  if (!table()->getProperty("")) {
    EXPECT_EQ(substituted("a${}b"), "a${}b");
  }
  table()->addProperty("", "EMPTY");
  EXPECT_STREQ(table()->getProperty(""), "EMPTY");
  EXPECT_EQ(substituted("a${}b"), "aEMPTYb");
}

TEST_F(PropertyInserterTest, TextWithoutReferencesIsUnchangedAndNotLogged) {
  LogCapture log;
  EXPECT_EQ(substituted("plain text with $ and { and } but no reference"),
            "plain text with $ and { and } but no reference");
  EXPECT_EQ(substituted(""), "");
  EXPECT_EQ(substituted("$"), "$");
  EXPECT_EQ(substituted("${"), "${");
  EXPECT_EQ(substituted("${none_here}"), "${none_here}"); // a reference, but nothing changes
  EXPECT_EQ(log.text(), "");
}

TEST_F(PropertyInserterTest, AChangeIsLoggedWithTheTextBeforeAndAfter) {
  LogCapture log;
  EXPECT_EQ(substituted("${temp}/trq.prefs"), "C:\\data\\temp/trq.prefs");
  std::vector<actiontest::LogEntry> entries = log.entries("TRQPropertyInserter");
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].level, "DEBUG");
  EXPECT_EQ(entries[0].message, "changed \n   \"${temp}/trq.prefs\" \nto \"C:\\data\\temp/trq.prefs\"");
}

TEST_F(PropertyInserterTest, SeveralReferencesLeftToRight) {
  table()->addProperty("pi_a", "A");
  table()->addProperty("pi_b", "B");
  EXPECT_EQ(substituted("${pi_a}-${none}-${pi_b}-${none2}-${pi_a}${pi_b}"), "A-${none}-B-${none2}-AB");
  EXPECT_EQ(substituted("${none}${pi_a}"), "${none}A");
  EXPECT_EQ(substituted("${pi_a}${"), "A${");
  EXPECT_EQ(substituted("}${pi_a}}"), "}A}");
}

TEST_F(PropertyInserterTest, ReferencesInValuesAreExpandedToAnyDepth) {
  table()->addProperty("pi_level3", "3");
  table()->addProperty("pi_level2", "2${pi_level3}");
  table()->addProperty("pi_level1", "1${pi_level2}${none}${pi_level3}");
  EXPECT_EQ(substituted("[${pi_level1}]"), "[123${none}3]");
}

TEST_F(PropertyInserterTest, ValuesAreResolvedAtTheTimeOfTheCall) {
  static int run = 0; // a name of its own for every run of the test
  std::string later = "pi_later" + std::to_string(++run);
  table()->addProperty("pi_refers_later", ("<${" + later + "}>").c_str());
  EXPECT_EQ(substituted("${pi_refers_later}"), "<${" + later + "}>");
  table()->addProperty(later.c_str(), "now");
  EXPECT_EQ(substituted("${pi_refers_later}"), "<now>");
}

TEST_F(PropertyInserterTest, AReferencePairsWithTheFirstClosingBrace) {
  table()->addProperty("x", "X");
  EXPECT_EQ(substituted("${temp/${x}"), "${temp/${x}");
  EXPECT_EQ(substituted("${temp/${x}${x}"), "${temp/${x}X");
}

TEST_F(PropertyInserterTest, ADollarBeforeAReferenceCombinesWithAValueThatBeginsWithABrace) {
  table()->addProperty("pi_brace", "{temp}");
  EXPECT_EQ(substituted("$${pi_brace}"), "C:\\data\\temp");
  EXPECT_EQ(substituted("$$${pi_brace}"), "$C:\\data\\temp");
  // Two steps back: each inserted value begins with a brace again.
  table()->addProperty("pi_brace2", "{pi_brace}");
  EXPECT_EQ(substituted("$$${pi_brace2}"), "C:\\data\\temp");
}

TEST_F(PropertyInserterTest, TextBeforeAnUnknownReferenceIsNotScannedAgain) {
  table()->addProperty("pi_open", "${");
  // The inserted "${" joins the text after it into a new reference...
  EXPECT_EQ(substituted("${none}${pi_open}temp}"), "${none}C:\\data\\temp");
  // ...but a "$" in front of the unknown reference's "}" never pairs again.
  table()->addProperty("pi_brace_only", "{temp}");
  EXPECT_EQ(substituted("${none$}${pi_brace_only}"), "${none$}{temp}");
}

TEST_F(PropertyInserterTest, I18NStringIsRewrittenInPlace) {
  I18NString text("${temp}\\x");
  table()->insertProperties(text);
  EXPECT_TRUE(text == "C:\\data\\temp\\x");
  I18NString plain("plain");
  table()->insertProperties(plain);
  EXPECT_TRUE(plain == "plain");
}

//===--- Values that refer to themselves ----------------------------------===//

TEST_F(PropertyInserterTest, ASelfReferringValueEndsWithOneErrorLine) {
  table()->addProperty("pi_self", "${pi_self}");
  LogCapture log;
  std::string text = "<${pi_self}>";
  table()->insertProperties(text);
  EXPECT_EQ(text, "<${pi_self}>");
  std::vector<actiontest::LogEntry> entries = log.entries("TRQPropertyInserter");
  int errors = 0;
  for (const auto &entry : entries) {
    if (entry.level == "ERROR") {
      ++errors;
      EXPECT_NE(entry.message.find("\"<${pi_self}>\""), std::string::npos) << entry.message;
    }
  }
  EXPECT_EQ(errors, 1);
}

TEST_F(PropertyInserterTest, AMutualPairEndsWithOneErrorLine) {
  table()->addProperty("pi_ping", "${pi_pong}");
  table()->addProperty("pi_pong", "${pi_ping}");
  LogCapture log;
  std::string text = "${pi_ping}";
  table()->insertProperties(text);
  EXPECT_TRUE(text == "${pi_ping}" || text == "${pi_pong}") << text;
  auto entries = log.entries("TRQPropertyInserter");
  ASSERT_GE(entries.size(), 1u);
  int errors = 0;
  for (const auto &entry : entries)
    if (entry.level == "ERROR") {
      ++errors;
      EXPECT_NE(entry.message.find("\"${pi_ping}\""), std::string::npos) << entry.message;
    }
  EXPECT_EQ(errors, 1);
}

TEST_F(PropertyInserterTest, AValueThatGrowsItselfStopsAtTheReplacementBound) {
  table()->addProperty("pi_grow", "x${pi_grow}");
  LogCapture log;
  std::string text = "${pi_grow}";
  table()->insertProperties(text);
  EXPECT_EQ(text, std::string(TRQPropertyInserter::MaxReplacements, 'x') + "${pi_grow}");
  int errors = 0;
  for (const auto &entry : log.entries("TRQPropertyInserter"))
    if (entry.level == "ERROR") {
      ++errors;
      EXPECT_NE(entry.message.find("\"${pi_grow}\""), std::string::npos) << entry.message;
    }
  EXPECT_EQ(errors, 1);
}

TEST_F(PropertyInserterTest, AValueThatGrowsFastStopsAtTheLengthBound) {
  table()->addProperty("pi_grow_fast", ("${pi_grow_fast}" + std::string(1000, 'y') + "${pi_grow_fast}").c_str());
  LogCapture log;
  // A long text after the reference must not slow the bounded scan down.
  std::string text = "${pi_grow_fast}" + std::string(200000, 't');
  table()->insertProperties(text);
  EXPECT_LE(text.size(), 200015 + TRQPropertyInserter::MaxGrowth);
  EXPECT_GT(text.size(), 200015 + TRQPropertyInserter::MaxGrowth - 2000);
  EXPECT_EQ(text.substr(0, 15), "${pi_grow_fast}");
  EXPECT_EQ(text.substr(text.size() - 200000), std::string(200000, 't'));
  int errors = 0;
  for (const auto &entry : log.entries("TRQPropertyInserter"))
    if (entry.level == "ERROR")
      ++errors;
  EXPECT_EQ(errors, 1);
}

TEST_F(PropertyInserterTest, ACycleBehindOtherTextKeepsWhatWasDoneBeforeIt) {
  table()->addProperty("pi_cycle_tail", "${pi_cycle_tail}");
  LogCapture log;
  std::string text = "${temp}|${pi_cycle_tail}|${temp}";
  table()->insertProperties(text);
  EXPECT_EQ(text, "C:\\data\\temp|${pi_cycle_tail}|${temp}");
}

TEST_F(PropertyInserterTest, ALongTextIsSubstitutedWhateverItsOwnLength) {
  table()->addProperty("pi_long_value", "value");
  LogCapture log;
  // Longer than the growth bound by itself, with one ordinary reference.
  std::string filler(TRQPropertyInserter::MaxGrowth + 1000, 'f');
  std::string text = filler + "${pi_long_value}" + filler;
  table()->insertProperties(text);
  EXPECT_EQ(text, filler + "value" + filler);
  for (const auto &entry : log.entries("TRQPropertyInserter"))
    EXPECT_NE(entry.level, "ERROR") << entry.message;
}
