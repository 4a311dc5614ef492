//===- TextTest.cpp - Texts, byte buffers and the tokenizer ---------------===//
#include "rklcore.h"
#include "rklhttptools.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(I18NString, NullIsEmptyAndComparesWholeText) {
  I18NString none(nullptr);
  EXPECT_TRUE(none.empty());
  EXPECT_STREQ(none.c_str(), "");
  I18NString text("Tomcat");
  EXPECT_TRUE(text == "Tomcat");
  EXPECT_FALSE(text == "tomcat");
  EXPECT_FALSE(text == "Tom");
  EXPECT_TRUE(none == nullptr);
  text += "/bin";
  text += static_cast<const char *>(nullptr);
  EXPECT_STREQ(text.c_str(), "Tomcat/bin");
  EXPECT_EQ(text.length(), 10u);
  EXPECT_EQ(text.size(), 10u);
  text = static_cast<const char *>(nullptr);
  EXPECT_TRUE(text.empty());
}

TEST(RKLByteBuffer, GrowsFarPastItsInitialSize) {
  RKLByteBuffer buffer(16, 8);
  std::string expected;
  for (int i = 0; i < 5000; ++i) {
    buffer.printf("line %d: %s\n", i, "some text that is longer than the initial size");
    expected += "line " + std::to_string(i) + ": some text that is longer than the initial size\n";
    buffer << "n=" << i << ' ' << -7L << ' ' << 18446744073709551615ull << '\n';
    expected += "n=" + std::to_string(i) + " -7 18446744073709551615\n";
  }
  EXPECT_EQ(buffer.pcount(), expected.size());
  EXPECT_EQ(std::string(buffer.str()), expected);
}

TEST(RKLByteBuffer, PrintfOfOneLongPieceAndReset) {
  RKLByteBuffer buffer(256, 256);
  std::string big(100000, 'x');
  buffer.printf("[%s]", big.c_str());
  EXPECT_EQ(buffer.pcount(), big.size() + 2);
  EXPECT_EQ(buffer.str()[0], '[');
  EXPECT_EQ(buffer.str()[buffer.pcount() - 1], ']');
  EXPECT_EQ(buffer.str()[buffer.pcount()], '\0');
  buffer.reset();
  EXPECT_EQ(buffer.pcount(), 0u);
  EXPECT_STREQ(buffer.str(), "");
  buffer << static_cast<const char *>(nullptr) << "a" << 42 << 7u;
  EXPECT_STREQ(buffer.str(), "a427");
}

TEST(RKLByteBuffer, AppendKeepsNulBytesAndReserveCommit) {
  RKLByteBuffer buffer(4, 4);
  buffer.append("a\0b", 3);
  EXPECT_EQ(buffer.pcount(), 3u);
  EXPECT_EQ(std::string(buffer.str(), 3), std::string("a\0b", 3));
  char *room = buffer.reserve(1000);
  for (int i = 0; i < 1000; ++i)
    room[i] = 'z';
  buffer.commit(1000);
  EXPECT_EQ(buffer.pcount(), 1003u);
  EXPECT_EQ(buffer.str()[1003], '\0');
}

std::vector<std::string> tokens(const char *text, const char *delimiters, int returnDelimiters = 0) {
  RKLStringTokenizer tokenizer(text, delimiters, returnDelimiters);
  std::vector<std::string> result;
  while (tokenizer.hasMoreTokens())
    result.push_back(tokenizer.nextToken().c_str());
  return result;
}

TEST(RKLStringTokenizer, SingleBlankDelimiter) {
  EXPECT_EQ(tokens("-serviceClass=Tomcat -d", " "), (std::vector<std::string>{"-serviceClass=Tomcat", "-d"}));
  // Tabs are not delimiters when only the blank is.
  EXPECT_EQ(tokens("a\tb c", " "), (std::vector<std::string>{"a\tb", "c"}));
}

TEST(RKLStringTokenizer, AdjacentBlanksGiveNoEmptyTokens) {
  EXPECT_EQ(tokens("  a   b  ", " "), (std::vector<std::string>{"a", "b"}));
}

TEST(RKLStringTokenizer, NoTokens) {
  EXPECT_TRUE(tokens("", " ").empty());
  EXPECT_TRUE(tokens("    ", " ").empty());
  EXPECT_TRUE(tokens(nullptr, " ").empty());
  RKLStringTokenizer tokenizer("", " ", 0);
  EXPECT_EQ(tokenizer.hasMoreTokens(), 0);
  EXPECT_TRUE(tokenizer.nextToken().empty());
}

TEST(RKLStringTokenizer, ReturnedDelimitersAndSeveralDelimiters) {
  EXPECT_EQ(tokens("a,b;;c", ",;", 1), (std::vector<std::string>{"a", ",", "b", ";", ";", "c"}));
  EXPECT_EQ(tokens("a,b;;c", ",;"), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(tokens("abc", nullptr), (std::vector<std::string>{"abc"}));
}

} // namespace
