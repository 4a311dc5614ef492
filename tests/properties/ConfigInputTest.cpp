//===- ConfigInputTest.cpp - Numbers in configuration texts, files as streams //
#include "../actions/ActionTestSupport.h"
#include "rklidom.h"
#include "support/TRQFileInputStream.h"
#include "support/TRQText.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

using testsupport::TempDir;
using testsupport::writeFile;

//===--- Numbers ----------------------------------------------------------===//

TEST(TRQText, ReadsLikeAtoi) {
  EXPECT_EQ(TRQText::toInt("42"), 42);
  EXPECT_EQ(TRQText::toInt("  -17abc"), -17);
  EXPECT_EQ(TRQText::toInt("+5"), 5);
  EXPECT_EQ(TRQText::toInt(" \t\n\v\f\r8"), 8);
  EXPECT_EQ(TRQText::toInt("007"), 7);
  EXPECT_EQ(TRQText::toInt("3.9"), 3);
  EXPECT_EQ(TRQText::toInt("-0"), 0);
}

TEST(TRQText, TextThatIsNotANumberReadsAsZero) {
  EXPECT_EQ(TRQText::toInt(""), 0);
  EXPECT_EQ(TRQText::toInt(nullptr), 0);
  EXPECT_EQ(TRQText::toInt("true"), 0);
  EXPECT_EQ(TRQText::toInt("${dispatcherStopWaitTime}"), 0);
  EXPECT_EQ(TRQText::toInt("- 5"), 0);
  EXPECT_EQ(TRQText::toInt("+-5"), 0);
  EXPECT_EQ(TRQText::toInt("x12"), 0);
  EXPECT_EQ(TRQText::toInt(std::string("12")), 12);
}

TEST(TRQText, ValuesBeyondIntAreClamped) {
  EXPECT_EQ(TRQText::toInt("2147483647"), INT_MAX);
  EXPECT_EQ(TRQText::toInt("2147483648"), INT_MAX);
  EXPECT_EQ(TRQText::toInt("-2147483648"), INT_MIN);
  EXPECT_EQ(TRQText::toInt("-2147483649"), INT_MIN);
  EXPECT_EQ(TRQText::toInt("99999999999999999999999999999999"), INT_MAX);
  EXPECT_EQ(TRQText::toInt("-99999999999999999999999999999999"), INT_MIN);
}

//===--- File input stream ------------------------------------------------===//

TEST(TRQFileInputStream, MissingFileIsClosedAndEveryReadFails) {
  TempDir dir;
  TRQFileInputStream in(dir.file("missing.xml").c_str());
  EXPECT_FALSE(in.isOpen());
  char buffer[16];
  RKLByteBuffer bytes(256, 256);
  EXPECT_EQ(in.read(), -1);
  EXPECT_EQ(in.read(buffer, sizeof buffer), -1);
  EXPECT_EQ(in.read(bytes, 16), -1);
  EXPECT_EQ(bytes.pcount(), 0u);
  EXPECT_EQ(in.open(dir.file("missing.xml").c_str()), 0);
  EXPECT_FALSE(in.isOpen());
}

TEST(TRQFileInputStream, NullPathLeavesTheStreamClosed) {
  TRQFileInputStream in(nullptr);
  EXPECT_FALSE(in.isOpen());
  EXPECT_EQ(in.open(nullptr), 0);
  TRQFileInputStream closed;
  EXPECT_FALSE(closed.isOpen());
  EXPECT_EQ(closed.read(), -1);
}

TEST(TRQFileInputStream, EmptyFileReadsAsTheEnd) {
  TempDir dir;
  writeFile(dir.file("empty.txt"), "");
  TRQFileInputStream in(dir.file("empty.txt").c_str());
  ASSERT_TRUE(in.isOpen());
  char buffer[16];
  EXPECT_EQ(in.read(buffer, sizeof buffer), -1);
  EXPECT_EQ(in.read(), -1);
  RKLByteBuffer bytes(256, 256);
  EXPECT_EQ(in.read(bytes, 16), -1);
}

TEST(TRQFileInputStream, ReadsBytesCountsAndTheEnd) {
  TempDir dir;
  std::string content = std::string("ab\r\n") + '\0' + "\xff" + "z";
  writeFile(dir.file("bytes.bin"), content);
  TRQFileInputStream in;
  ASSERT_EQ(in.open(dir.file("bytes.bin").c_str()), 1);
  EXPECT_EQ(in.read(), 'a');
  char buffer[16] = {};
  EXPECT_EQ(in.read(nullptr, 4), -1); // a null buffer reads nothing
  EXPECT_EQ(in.read(buffer, 4), 4);   // binary: the CR stays
  EXPECT_EQ(std::string(buffer, 4), std::string("b\r\n") + '\0');
  EXPECT_EQ(in.read(), 0xff); // a byte of 255 is not the end
  EXPECT_EQ(in.read(buffer, sizeof buffer), 1);
  EXPECT_EQ(buffer[0], 'z');
  EXPECT_EQ(in.read(buffer, sizeof buffer), -1);
  EXPECT_EQ(in.read(), -1);
}

TEST(TRQFileInputStream, ReadIntoAByteBufferAppends) {
  TempDir dir;
  writeFile(dir.file("text.txt"), "hello world");
  TRQFileInputStream in(dir.file("text.txt").c_str());
  RKLByteBuffer bytes(256, 256);
  bytes << "<";
  EXPECT_EQ(in.read(bytes, 5), 5);
  EXPECT_STREQ(bytes.str(), "<hello");
  EXPECT_EQ(in.read(bytes, 100), 6);
  EXPECT_STREQ(bytes.str(), "<hello world");
  EXPECT_EQ(bytes.pcount(), 12u);
  EXPECT_EQ(in.read(bytes, 100), -1);
  EXPECT_EQ(bytes.pcount(), 12u);
}

TEST(TRQFileInputStream, CloseTwiceAndOpenAgain) {
  TempDir dir;
  writeFile(dir.file("one.txt"), "1");
  writeFile(dir.file("two.txt"), "2");
  TRQFileInputStream in(dir.file("one.txt").c_str());
  EXPECT_EQ(in.read(), '1');
  in.close();
  EXPECT_FALSE(in.isOpen());
  in.close();
  EXPECT_EQ(in.read(), -1);
  EXPECT_EQ(in.open(dir.file("one.txt").c_str()), 1);
  EXPECT_EQ(in.read(), '1'); // from the start again
  EXPECT_EQ(in.open(dir.file("two.txt").c_str()), 1);
  EXPECT_EQ(in.read(), '2'); // the first file was closed and replaced
  EXPECT_EQ(in.open(dir.file("none.txt").c_str()), 0);
  EXPECT_FALSE(in.isOpen());
}

TEST(TRQFileInputStream, InheritedOperationsKeepTheirDefaults) {
  TempDir dir;
  writeFile(dir.file("x.txt"), "xyz");
  TRQFileInputStream in(dir.file("x.txt").c_str());
  OKTInputStream &stream = in;
  EXPECT_EQ(stream.available(), 0);
  EXPECT_EQ(stream.available(), 0);
  bool threw = false;
  try {
    stream.skip(1);
  } catch (const char *text) {
    threw = true;
    EXPECT_STREQ(text, "not implemented");
  }
  EXPECT_TRUE(threw);
  char buffer[3];
  EXPECT_EQ(stream.readFully(buffer, 3), 3);
  EXPECT_EQ(std::string(buffer, 3), "xyz");
}

TEST(TRQFileInputStream, DeletedThroughTheBaseItClosesItsFile) {
  TempDir dir;
  writeFile(dir.file("x.txt"), "x");
  OKTInputStream *stream = new TRQFileInputStream(dir.file("x.txt").c_str());
  EXPECT_EQ(stream->read(), 'x');
  delete stream; // the leak check of the sanitizer build sees an unclosed FILE
  // The file can be removed at once on every system: nothing holds it open.
  EXPECT_EQ(RKLFmDir::removeFile(dir.file("x.txt").c_str()), 1);
}

TEST(TRQFileInputStream, FeedsTheXmlParser) {
  TempDir dir;
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<bootstrap a=\"1\">\r\n";
  for (int i = 0; i < 5000; ++i) // well past any one read
    xml += "  <process name=\"p" + std::to_string(i) + "\"><start><spawn><path>x</path></spawn></start></process>\r\n";
  xml += "</bootstrap>\r\n";
  writeFile(dir.file("bootstrap.xml"), xml);

  TRQFileInputStream in(dir.file("bootstrap.xml").c_str());
  ASSERT_TRUE(in.isOpen());
  RKLIDOM_Parser parser(0);
  RKLIDOM_Document document;
  ASSERT_EQ(parser.parse(in, document), 1) << parser.errorString();
  RKLIDOM_Element root = document.getDocumentElement();
  EXPECT_TRUE(root.getTagName() == "bootstrap");
  EXPECT_EQ(root.getElementsByTagName("process").getLength(), 5000);
  EXPECT_TRUE(RKLIDOM_Element(root.getElementsByTagName("process").item(4999)).getAttribute("name") == "p4999");
}

TEST(TRQFileInputStream, ABrokenDocumentIsAParseFailure) {
  TempDir dir;
  writeFile(dir.file("broken.xml"), "<bootstrap><process></bootstrap>");
  TRQFileInputStream in(dir.file("broken.xml").c_str());
  RKLIDOM_Parser parser(0);
  RKLIDOM_Document document;
  EXPECT_NE(parser.parse(in, document), 1);
  EXPECT_STRNE(parser.errorString(), "");
}

TEST(TRQFileInputStream, AClosedStreamGivesTheParserNothing) {
  TRQFileInputStream in;
  RKLIDOM_Parser parser(0);
  RKLIDOM_Document document;
  EXPECT_NE(parser.parse(in, document), 1);
}
