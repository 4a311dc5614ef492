//===- CmdLineTest.cpp - Tokenising, quoting and looking up options -------===//
#include "LogTestSupport.h"
#include "entry/TRQCmdLine.h"
#include "entry/TRQCmdLineOption.h"
#include "rklcore.h"

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <string>
#include <vector>

using namespace logtest;

namespace {

// The options as "name" or "name=value" texts, for whole-list comparisons.
std::vector<std::string> describe(const TRQCmdLine &line) {
  std::vector<std::string> options;
  for (int i = 0; i < line.count(); ++i) {
    const TRQCmdLineOption &option = line.option(i);
    std::string text = option.getName();
    if (option.hasValue())
      text += std::string("=") + option.getValue();
    options.push_back(text);
  }
  return options;
}

using Options = std::vector<std::string>;

//===----------------------------------------------------------------------===//
// Tokens and their names and values
//===----------------------------------------------------------------------===//

TEST(TRQCmdLineOption, SplitsAtTheFirstEquals) {
  TRQCmdLineOption plain("-d");
  EXPECT_STREQ(plain.getName(), "-d");
  EXPECT_EQ(plain.getValue(), nullptr);
  EXPECT_EQ(plain.hasValue(), 0);

  TRQCmdLineOption valued("-a=b=c");
  EXPECT_STREQ(valued.getName(), "-a");
  EXPECT_STREQ(valued.getValue(), "b=c");
  EXPECT_EQ(valued.hasValue(), 1);

  TRQCmdLineOption empty("-x=");
  EXPECT_STREQ(empty.getName(), "-x");
  ASSERT_NE(empty.getValue(), nullptr);
  EXPECT_STREQ(empty.getValue(), "");
  EXPECT_EQ(empty.hasValue(), 1);

  TRQCmdLineOption noName("=value");
  EXPECT_STREQ(noName.getName(), "");
  EXPECT_STREQ(noName.getValue(), "value");

  TRQCmdLineOption null(nullptr);
  EXPECT_STREQ(null.getName(), "");
  EXPECT_EQ(null.getValue(), nullptr);
}

TEST(TRQCmdLineOption, NumericMeansDigitsOnly) {
  EXPECT_EQ(TRQCmdLineOption("-t=5").isNumeric(), 1);
  EXPECT_EQ(TRQCmdLineOption("-t=0123456789").isNumeric(), 1);
  EXPECT_EQ(TRQCmdLineOption("-t=-5").isNumeric(), 0);
  EXPECT_EQ(TRQCmdLineOption("-t=+5").isNumeric(), 0);
  EXPECT_EQ(TRQCmdLineOption("-t=5s").isNumeric(), 0);
  EXPECT_EQ(TRQCmdLineOption("-t= 5").isNumeric(), 0);
  EXPECT_EQ(TRQCmdLineOption("-t=5.0").isNumeric(), 0);
  EXPECT_EQ(TRQCmdLineOption("-t=\xD9\xA5").isNumeric(), 0); // a digit of another script
  EXPECT_EQ(TRQCmdLineOption("-t=").isNumeric(), 0);
  EXPECT_EQ(TRQCmdLineOption("-t").isNumeric(), 0);
}

TEST(TRQCmdLineOption, CopiesOwnTheirValue) {
  TRQCmdLineOption original("-name=My Service");
  TRQCmdLineOption copy(original);
  EXPECT_STREQ(copy.getName(), "-name");
  EXPECT_STREQ(copy.getValue(), "My Service");
  EXPECT_NE(copy.getValue(), original.getValue());

  TRQCmdLineOption assigned("-other");
  assigned = original;
  EXPECT_STREQ(assigned.getName(), "-name");
  EXPECT_STREQ(assigned.getValue(), "My Service");
  EXPECT_NE(assigned.getValue(), original.getValue());

  assigned = TRQCmdLineOption("-bare");
  EXPECT_STREQ(assigned.getName(), "-bare");
  EXPECT_EQ(assigned.getValue(), nullptr);

  const TRQCmdLineOption &self = original;
  original = self;
  EXPECT_STREQ(original.getValue(), "My Service");

  TRQCmdLineOption built("-java_home", "C:/java");
  EXPECT_STREQ(built.getName(), "-java_home");
  EXPECT_STREQ(built.getValue(), "C:/java");
  EXPECT_EQ(TRQCmdLineOption("-d", nullptr).hasValue(), 0);
}

//===----------------------------------------------------------------------===//
// The command string and its quote rule
//===----------------------------------------------------------------------===//

TEST(TRQCmdLine, EmptyOrNullStringGivesNoOptions) {
  EXPECT_EQ(TRQCmdLine("").count(), 0);
  EXPECT_EQ(TRQCmdLine("     ").count(), 0);
  EXPECT_EQ(TRQCmdLine(static_cast<const char *>(nullptr)).count(), 0);
  EXPECT_EQ(TRQCmdLine("\"\"").count(), 0);
}

TEST(TRQCmdLine, BlanksSeparateTokens) {
  EXPECT_EQ(describe(TRQCmdLine("-serviceClass=Tomcat -d runAsDaemon")),
            (Options{"-serviceClass=Tomcat", "-d", "runAsDaemon"}));
  // Runs of blanks, and blanks at either end, make no empty options.
  EXPECT_EQ(describe(TRQCmdLine("  -a   -b  ")), (Options{"-a", "-b"}));
  // Only the blank separates: a tab stays in its token.
  EXPECT_EQ(describe(TRQCmdLine("-a\t-b -c")), (Options{"-a\t-b", "-c"}));
}

TEST(TRQCmdLine, EqualsSplitsOnlyOnce) {
  EXPECT_EQ(describe(TRQCmdLine("-a=b=c -x= =v")), (Options{"-a=b=c", "-x=", "=v"}));
  TRQCmdLine line("-a=b=c");
  EXPECT_STREQ(line.option(0).getName(), "-a");
  EXPECT_STREQ(line.option(0).getValue(), "b=c");
}

TEST(TRQCmdLine, QuotedBlanksBelongToTheToken) {
  TRQCmdLine line("-name=\"My Service\" -d");
  ASSERT_EQ(line.count(), 2);
  EXPECT_STREQ(line.option(0).getName(), "-name");
  EXPECT_STREQ(line.option(0).getValue(), "My Service");
  EXPECT_STREQ(line.option(1).getName(), "-d");

  // A quoted run at the start of a token: the blank is part of the name.
  EXPECT_EQ(describe(TRQCmdLine("\"a b\" c")), (Options{"a b", "c"}));
  // Several blanks inside quotes are all kept.
  EXPECT_EQ(describe(TRQCmdLine("-x=\"a  b   c\"")), (Options{"-x=a  b   c"}));
}

TEST(TRQCmdLine, QuotesAnywhereAreDropped) {
  // Inside a token, in the name and in the value.
  EXPECT_EQ(describe(TRQCmdLine("-na\"me x\"=1")), (Options{"-name x=1"}));
  EXPECT_EQ(describe(TRQCmdLine("-p=C:\\\"Program Files\"\\x")), (Options{"-p=C:\\Program Files\\x"}));
  // At the end of a token, with and without content.
  EXPECT_EQ(describe(TRQCmdLine("-v=abc\"\" -w")), (Options{"-v=abc", "-w"}));
  EXPECT_EQ(describe(TRQCmdLine("-v=\"abc\" -w")), (Options{"-v=abc", "-w"}));
  // An empty quoted run is no token; quoted text without blanks is unchanged.
  EXPECT_EQ(describe(TRQCmdLine("-a \"\" -b")), (Options{"-a", "-b"}));
  // Two quoted runs join with the text between them.
  EXPECT_EQ(describe(TRQCmdLine("\"a b\"c\"d e\"")), (Options{"a bcd e"}));
  // Closing a run and going on with a blank separates as usual.
  EXPECT_EQ(describe(TRQCmdLine("\"-a\" \"-b\"")), (Options{"-a", "-b"}));
}

TEST(TRQCmdLine, TextEndingInsideQuotesEndsThere) {
  TRQCmdLine line("-name=\"abc");
  ASSERT_EQ(line.count(), 1);
  EXPECT_STREQ(line.option(0).getName(), "-name");
  EXPECT_STREQ(line.option(0).getValue(), "abc");

  EXPECT_EQ(describe(TRQCmdLine("-d -name=\"My Service")), (Options{"-d", "-name=My Service"}));
  EXPECT_EQ(describe(TRQCmdLine("-d \"")), (Options{"-d"}));
}

TEST(TRQCmdLine, NewlinesInTheTextBecomeBlanksInsideTokens) {
  // The tokenizer splits at blanks only, and newlines are how quoted blanks
  // travel through it: a newline typed outside quotes comes out as a blank.
  EXPECT_EQ(describe(TRQCmdLine("-a\n-b -c")), (Options{"-a -b", "-c"}));
}

//===----------------------------------------------------------------------===//
// The argument vector
//===----------------------------------------------------------------------===//

TEST(TRQCmdLine, ArgumentVectorSkipsTheProgramName) {
  std::vector<std::string> storage = {"tslbootstrapservice", "-serviceClass=Tomcat", "-name=My Service",
                                      "\"quoted\"", "-a=b=c", "-x="};
  std::vector<char *> argv;
  for (std::string &arg : storage)
    argv.push_back(arg.data());
  argv.push_back(nullptr);

  TRQCmdLine line(static_cast<int>(storage.size()), argv.data());
  // Arguments are taken as they are: blanks and quotes stay.
  EXPECT_EQ(describe(line), (Options{"-serviceClass=Tomcat", "-name=My Service", "\"quoted\"", "-a=b=c", "-x="}));
  EXPECT_EQ(line.findOption("tslbootstrapservice"), -1);

  EXPECT_EQ(TRQCmdLine(1, argv.data()).count(), 0);
  EXPECT_EQ(TRQCmdLine(0, argv.data()).count(), 0);
  EXPECT_EQ(TRQCmdLine(0, nullptr).count(), 0);
}

//===----------------------------------------------------------------------===//
// Lookups
//===----------------------------------------------------------------------===//

TEST(TRQCmdLine, FindOptionComparesWholeNamesIgnoringCase) {
  TRQCmdLine line("-START -start2 -Stop=now runAsDaemon");
  EXPECT_EQ(line.findOption("-start", 0), 0);
  EXPECT_EQ(line.findOption("-Start", 0), 0);
  EXPECT_EQ(line.findOption("-start2", 0), 1);
  EXPECT_EQ(line.findOption("-stop", 0), 2);
  EXPECT_EQ(line.findOption("RUNASDAEMON", 0), 3);
  EXPECT_EQ(line.findOption("-sta", 0), -1);
  EXPECT_EQ(line.findOption("-startup", 0), -1);
  EXPECT_EQ(line.findOption("-stop=now", 0), -1);
  EXPECT_EQ(line.findOption(nullptr, 0), -1);

  // Only ASCII letters fold: other bytes must match exactly.
  TRQCmdLine accented("-\xC3\x89t\xC3\xA9");
  EXPECT_EQ(accented.findOption("-\xC3\x89T\xC3\xA9"), 0);
  EXPECT_EQ(accented.findOption("-\xC3\xA9t\xC3\xA9"), -1);
}

TEST(TRQCmdLine, FindOptionFromAStartIndex) {
  TRQCmdLine line("-d -x -D");
  EXPECT_EQ(line.findOption("-d", 0), 0);
  EXPECT_EQ(line.findOption("-d"), 0);
  EXPECT_EQ(line.findOption("-d", 1), 2);
  EXPECT_EQ(line.findOption("-d", 2), 2);
  EXPECT_EQ(line.findOption("-d", 3), -1);
  EXPECT_EQ(line.findOption("-d", 100), -1);
  EXPECT_EQ(line.findOption("-d", -5), 0);
  EXPECT_EQ(TRQCmdLine("").findOption("-d", 0), -1);
}

TEST(TRQCmdLine, GetValue) {
  TRQCmdLine line("-serviceClass=Tomcat -x= -d -SERVICECLASS=Other -name=\"My Service\"");
  I18NString value("unchanged");
  EXPECT_EQ(line.getValue("-serviceclass", value, 0), 1);
  EXPECT_TRUE(value == "Tomcat"); // the first occurrence wins
  EXPECT_EQ(line.getValue("-serviceClass", value, 1), 1);
  EXPECT_TRUE(value == "Other");
  EXPECT_EQ(line.getValue("-name", value, 0), 1);
  EXPECT_TRUE(value == "My Service");
  EXPECT_EQ(line.getValue("-x", value, 0), 1);
  EXPECT_TRUE(value == "");

  value = "unchanged";
  EXPECT_EQ(line.getValue("-d", value, 0), 0); // present without a value
  EXPECT_TRUE(value == "unchanged");
  EXPECT_EQ(line.getValue("-missing", value, 0), 0);
  EXPECT_TRUE(value == "unchanged");

  std::string text = "unchanged";
  EXPECT_EQ(line.getValue("-SERVICECLASS", text), 1);
  EXPECT_EQ(text, "Tomcat");
  EXPECT_EQ(line.getValue("-x", text), 1);
  EXPECT_EQ(text, "");
  text = "unchanged";
  EXPECT_EQ(line.getValue("-d", text), 0);
  EXPECT_EQ(line.getValue("-missing", text), 0);
  EXPECT_EQ(text, "unchanged");
}

TEST(TRQCmdLine, GetIntValueOnlyForDigits) {
  TRQCmdLine line("-timeLimitSec=30 -a=-5 -b=5s -c=+5 -x= -d -zero=007 -big=99999999999999999999 -max=2147483647 "
                  "-over=2147483648");
  int value = -1;
  EXPECT_EQ(line.getIntValue("-timelimitsec", value, 0), 1);
  EXPECT_EQ(value, 30);
  EXPECT_EQ(line.getIntValue("-zero", value, 0), 1);
  EXPECT_EQ(value, 7);
  EXPECT_EQ(line.getIntValue("-max", value, 0), 1);
  EXPECT_EQ(value, INT_MAX);
  EXPECT_EQ(line.getIntValue("-over", value, 0), 1);
  EXPECT_EQ(value, INT_MAX);
  EXPECT_EQ(line.getIntValue("-big", value, 0), 1);
  EXPECT_EQ(value, INT_MAX);

  for (const char *name : {"-a", "-b", "-c", "-x", "-d", "-missing"}) {
    value = 1234;
    EXPECT_EQ(line.getIntValue(name, value, 0), 0) << name;
    EXPECT_EQ(value, 1234) << name;
  }
}

TEST(TRQCmdLine, CopyOptionsIsADeepCopy) {
  std::vector<TRQCmdLineOption> copy;
  const char *originalValue = nullptr;
  {
    TRQCmdLine line("$$dispatcherMaxMemory=1024 -d $$noValue -name=\"My Service\"");
    copy = line.copyOptions();
    ASSERT_EQ(copy.size(), 4u);
    originalValue = line.option(0).getValue();
    EXPECT_NE(copy[0].getValue(), originalValue);
    EXPECT_NE(copy[3].getValue(), line.option(3).getValue());
  }
  // The copies outlive the command line.
  EXPECT_STREQ(copy[0].getName(), "$$dispatcherMaxMemory");
  EXPECT_STREQ(copy[0].getValue(), "1024");
  EXPECT_STREQ(copy[1].getName(), "-d");
  EXPECT_EQ(copy[1].getValue(), nullptr);
  EXPECT_STREQ(copy[2].getName(), "$$noValue");
  EXPECT_EQ(copy[2].hasValue(), 0);
  EXPECT_STREQ(copy[3].getValue(), "My Service");
}

//===----------------------------------------------------------------------===//
// What the command line logs
//===----------------------------------------------------------------------===//

TEST_F(LoggingTest, ParsedLineIsLoggedAsOneDebugMessage) {
  std::string path = file("cmdline.log");
  factory()->addFile(path.c_str(), 0);
  factory()->setLevel(TRQLogLevel::Debug);

  TRQCmdLine line("-serviceClass=Tomcat -d -name=\"My Service\"");
  ASSERT_EQ(line.count(), 3);
  line.print();
  factory()->closeAll();

  const std::string parsed = "Command line as parsed:\n"
                             "-serviceClass=\"Tomcat\"\n"
                             "-d\n"
                             "-name=\"My Service\"";
  EXPECT_EQ(markHeaders(readLog(path), "DEBUG", "TRQCmdLine"),
            "<H>Preparing cmdline from string: \"-serviceClass=Tomcat -d -name=\"My Service\"\"\n"
            "<H>" + parsed + "\n"
            "<H>" + parsed + "\n");
}

TEST_F(LoggingTest, OptionTextIsNeverReadAsAFormat) {
  std::string path = file("format.log");
  factory()->addFile(path.c_str(), 0);
  TRQCmdLine line("%s%n=%d%n -x=100% %x");
  factory()->closeAll();

  EXPECT_EQ(markHeaders(readLog(path), "DEBUG", "TRQCmdLine"),
            "<H>Preparing cmdline from string: \"%s%n=%d%n -x=100% %x\"\n"
            "<H>Command line as parsed:\n%s%n=\"%d%n\"\n-x=\"100%\"\n%x\n");
}

TEST_F(LoggingTest, EmptyAndNullCommandStrings) {
  std::string path = file("empty.log");
  factory()->addFile(path.c_str(), 0);
  TRQCmdLine empty("");
  TRQCmdLine null(static_cast<const char *>(nullptr));
  factory()->closeAll();

  // A null text is announced and then nothing is parsed or printed.
  EXPECT_EQ(markHeaders(readLog(path), "DEBUG", "TRQCmdLine"),
            "<H>Preparing cmdline from string: \"\"\n"
            "<H>Command line as parsed:\n"
            "<H>Preparing cmdline from string: \"(null)\"\n");
}

TEST_F(LoggingTest, NothingBelowDebugAndNothingFromTheArgumentVector) {
  std::string path = file("quiet.log");
  factory()->addFile(path.c_str(), 0);
  factory()->setLevel(TRQLogLevel::Info);
  TRQCmdLine fromString("-d -serviceClass=Tomcat");
  fromString.print();

  factory()->setLevel(TRQLogLevel::Debug);
  std::string program = "tslbootstrapservice";
  std::string option = "-d";
  char *argv[] = {program.data(), option.data(), nullptr};
  TRQCmdLine fromArgs(2, argv);
  EXPECT_EQ(fromArgs.count(), 1);
  factory()->closeAll();

  EXPECT_EQ(readLog(path), "");
}

} // namespace
