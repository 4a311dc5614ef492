//===- ProgramTest.cpp - The built program in an installation tree --------===//
#include "TestProcess.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;
using testsupport::binDir;
using testsupport::exeName;
using testsupport::runProgram;
using testsupport::TempDir;

namespace {

std::string service() { return (binDir() / exeName("tslbootstrapservice")).string(); }

class ProgramTest : public ::testing::Test {
protected:
  void SetUp() override {
    fs::create_directories(m_root.path() / "bin");
    fs::create_directories(m_root.path() / "logs");
  }
  fs::path bin() const { return m_root.path() / "bin"; }
  fs::path logs() const { return m_root.path() / "logs"; }

  TempDir m_root{"tslprogram"};
};

TEST_F(ProgramTest, InitialLogFileNamedAfterTheServiceClass) {
  EXPECT_EQ(runProgram({service(), "-serviceClass=Tomcat", "-anything"}, bin()), 0);
  EXPECT_TRUE(fs::exists(logs() / "trq_init_Tomcat.log"));
  EXPECT_FALSE(fs::exists(logs() / "trq_init.log"));
}

TEST_F(ProgramTest, InitialLogFileWithoutServiceClass) {
  EXPECT_EQ(runProgram({service(), "-anything"}, bin()), 0);
  EXPECT_TRUE(fs::exists(logs() / "trq_init.log"));
}

TEST_F(ProgramTest, EmptyServiceClassGivesTrailingUnderscore) {
  EXPECT_EQ(runProgram({service(), "-serviceClass=", "-anything"}, bin()), 0);
  EXPECT_TRUE(fs::exists(logs() / "trq_init_.log"));
}

TEST_F(ProgramTest, LogFileIsRelativeToTheCurrentDirectory) {
  // Started in the installation root, "../logs" is beside the root.
  fs::create_directories(m_root.path() / "inner");
  EXPECT_EQ(runProgram({service(), "-serviceClass=Inner", "-x"}, m_root.path() / "inner"), 0);
  EXPECT_TRUE(fs::exists(logs() / "trq_init_Inner.log"));
}

TEST_F(ProgramTest, MissingLogFolderCostsOnlyTheLog) {
  fs::remove_all(logs());
  EXPECT_EQ(runProgram({service(), "-serviceClass=Tomcat", "-anything"}, bin()), 0);
  EXPECT_FALSE(fs::exists(logs()));
}

TEST_F(ProgramTest, HelpAndDaemonCommandsEndWithZero) {
  EXPECT_EQ(runProgram({service(), "-help", "-start"}, bin()), 0);
  EXPECT_EQ(runProgram({service(), "-fakeUnix", "-stop"}, bin()), 0);
  EXPECT_EQ(runProgram({service(), "-fakeUnix", "-help"}, bin()), 0);
}

} // namespace
