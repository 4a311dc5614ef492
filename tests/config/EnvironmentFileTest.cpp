//===- EnvironmentFileTest.cpp - The installation's environment file ------===//
//
// setEnvironment applies ../configuration/trqEnvironmentVars.ini to the test
// process itself; a real child started afterwards shows what children
// inherit.
//
//===----------------------------------------------------------------------===//
#include "ConfigTestSupport.h"
#include "TestProcess.h"
#include "service/TRQBootstrapService.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

using configtest::InstallationTest;

std::string env(const char *name) {
  const char *value = std::getenv(name);
  return value ? value : "<absent>";
}

std::vector<std::string> listed() {
  std::vector<std::string> lines;
  for (char **entry = TRQBootstrapService::m_envp; entry && *entry; ++entry)
    lines.push_back(*entry);
  return lines;
}

class EnvironmentFile : public InstallationTest {
protected:
  void writeEnvironmentFile(const std::string &content) {
    testsupport::writeFile(path("configuration/trqEnvironmentVars.ini"), content);
  }
};

TEST_F(EnvironmentFile, LinesAreAppliedInOrderAndChildrenInheritTheResult) {
  ASSERT_EQ(rklPutenv("TSLENV_GONE=inherited"), 1);
  ASSERT_EQ(rklPutenv("TSLENV_REPLACED=inherited"), 1);
  writeEnvironmentFile("TSLENV_A=a\r\n"
                       "\r\n"
                       "\n"
                       "# TSLENV_COMMENT=x\r\n"
                       "TSLENV_A=b\r\n"
                       "TSLENV_GONE=\r\n"
                       "TSLENV_REPLACED=from file\n"
                       "TSLENV_LITERAL=${temp} %PATH% \"q\"\n"
                       "TSLENV_NOEQUALS\n"
                       " #TSLENV_INDENTED=y"); // the last line has no line feed
  TRQBootstrapService service;
  service.setEnvironment();

  EXPECT_EQ(env("TSLENV_A"), "b");
  EXPECT_EQ(env("TSLENV_GONE"), "<absent>");
  EXPECT_EQ(env("TSLENV_REPLACED"), "from file");
  EXPECT_EQ(env("TSLENV_LITERAL"), "${temp} %PATH% \"q\"");
  EXPECT_EQ(env("TSLENV_COMMENT"), "<absent>");
  EXPECT_EQ(env("TSLENV_NOEQUALS"), "<absent>");
  // Every line that is not empty and not a comment is listed as read.
  EXPECT_EQ(listed(), (std::vector<std::string>{"TSLENV_A=a", "TSLENV_A=b", "TSLENV_GONE=",
                                                "TSLENV_REPLACED=from file", "TSLENV_LITERAL=${temp} %PATH% \"q\"",
                                                "TSLENV_NOEQUALS", " #TSLENV_INDENTED=y"}));

  std::string lines = logtest::markHeaders(log(), "DEBUG", "TRQBootstrapService");
  EXPECT_NE(lines.find("<H>TRQBootstrapService::setEnvironment() - enter...\n"
                     "<H>TRQBootstrapService::setEnvironment() - found file ../configuration/trqEnvironmentVars.ini\n"
                     "<H>TRQBootstrapService::setEnvironment() - putenv: \"TSLENV_A=a\"\n"
                     "<H>TRQBootstrapService::setEnvironment() - putenv: \"TSLENV_A=b\"\n"
                     "<H>TRQBootstrapService::setEnvironment() - putenv: \"TSLENV_GONE=\"\n"),
            std::string::npos)
      << lines;
  EXPECT_NE(lines.find("<H>TRQBootstrapService::setEnvironment() - putenv: \"TSLENV_NOEQUALS\"\n"
                     "<H>TRQBootstrapService::setEnvironment() - putenv: \" #TSLENV_INDENTED=y\"\n"
                     "<H>TRQBootstrapService::setEnvironment() - exit\n"),
            std::string::npos)
      << lines;

  // The dispatcher's listing of what was applied.
  service.listEnvironment();
  lines = logtest::markHeaders(log(), "DEBUG", "TRQBootstrapService");
  EXPECT_NE(lines.find("<H>m_envp is...\n<H>TSLENV_A=a\n"), std::string::npos) << lines;
  EXPECT_NE(lines.find("<H> #TSLENV_INDENTED=y\n<H>endidx=7\n"), std::string::npos) << lines;

  std::string record = path("child.record").string();
  int code = testsupport::runProgram({(testsupport::binDir() / testsupport::exeName("trqtestchild")).string(),
                                      "--record=" + record, "--env=TSLENV_A", "--env=TSLENV_GONE",
                                      "--env=TSLENV_REPLACED", "--exit=0"},
                                     bin());
  ASSERT_EQ(code, 0);
  std::string text = testsupport::readFile(record);
  EXPECT_NE(text.find("env.TSLENV_A=b\n"), std::string::npos) << text;
  EXPECT_NE(text.find("env.TSLENV_GONE\n"), std::string::npos) << text;
  EXPECT_NE(text.find("env.TSLENV_REPLACED=from file\n"), std::string::npos) << text;
}

TEST_F(EnvironmentFile, AllLinesAreAppliedAndTheFirstNineteenListed) {
  std::string content;
  for (int i = 1; i <= 25; ++i)
    content += "TSLENV_MANY_" + std::to_string(i) + "=" + std::to_string(i) + "\n";
  writeEnvironmentFile(content);
  TRQBootstrapService service;
  service.setEnvironment();
  EXPECT_EQ(env("TSLENV_MANY_1"), "1");
  EXPECT_EQ(env("TSLENV_MANY_25"), "25");
  std::vector<std::string> lines = listed();
  ASSERT_EQ(lines.size(), 19u);
  EXPECT_EQ(lines.front(), "TSLENV_MANY_1=1");
  EXPECT_EQ(lines.back(), "TSLENV_MANY_19=19");
  service.listEnvironment();
  EXPECT_TRUE(logHas("endidx=19\n")) << log();
}

TEST_F(EnvironmentFile, MissingFileChangesNothingAndCommentsOnlyGiveAnEmptyList) {
  writeEnvironmentFile("TSLENV_KEEP=1\n");
  TRQBootstrapService service;
  service.setEnvironment();
  char **before = TRQBootstrapService::m_envp;
  ASSERT_NE(before, nullptr);

  std::filesystem::remove(path("configuration/trqEnvironmentVars.ini"));
  factory()->closeAll();
  factory()->setLevel(TRQLogLevel::Debug);
  testsupport::TempDir logDir("tslenvlog");
  std::string missingLog = logDir.file("missing.log");
  factory()->addFile(missingLog.c_str(), 0);
  service.setEnvironment();
  factory()->closeAll();
  EXPECT_EQ(TRQBootstrapService::m_envp, before);
  EXPECT_EQ(env("TSLENV_KEEP"), "1");
  std::vector<std::string> lines = logtest::splitLines(logtest::readLog(missingLog));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("TRQBootstrapService TRQBootstrapService::setEnvironment() - enter..."), std::string::npos);

  factory()->setLevel(TRQLogLevel::Debug);
  writeEnvironmentFile("# only a comment\r\n\r\n");
  service.setEnvironment();
  ASSERT_NE(TRQBootstrapService::m_envp, nullptr);
  EXPECT_NE(TRQBootstrapService::m_envp, before);
  EXPECT_EQ(TRQBootstrapService::m_envp[0], nullptr);
}

} // namespace
