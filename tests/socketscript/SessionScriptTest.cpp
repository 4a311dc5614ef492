//===- SessionScriptTest.cpp - The crypto session as the library sees it --===//
#include "ScriptTestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace cryptotest;

namespace {
class SessionScriptTest : public ScriptTest {};
} // namespace

TEST_F(SessionScriptTest, InitializeSendsTheDocumentOnceAndTerminateClosesIt) {
  TRQCryptoHelper::terminate();
  fake.script("");
  EXPECT_EQ(TRQCryptoHelper::initialize(), 1);
  EXPECT_EQ(fake.calls("CryptoInitialize"), 1);
  EXPECT_EQ(fake.document("CryptoInitialize"), "<?xml version=\"1.0\" encoding=\"UTF-8\"?><initializeDocument>"
                                               "<serviceID>DOLV</serviceID></initializeDocument>");
  EXPECT_EQ(TRQCryptoHelper::initialize(), 1);
  EXPECT_EQ(TRQCryptoHelper::initialize(), 1);
  EXPECT_EQ(fake.calls("CryptoInitialize"), 1);

  TRQCryptoHelper::terminate();
  EXPECT_EQ(fake.calls("CryptoTerminate"), 1);
  EXPECT_EQ(fake.document("CryptoTerminate"), "<terminateDocument><serviceID>DOLV</serviceID></terminateDocument>");
  TRQCryptoHelper::terminate();
  EXPECT_EQ(fake.calls("CryptoTerminate"), 1);
  EXPECT_EQ(fake.calls(), "CryptoInitialize CryptoTerminate");
  EXPECT_EQ(log.lines("TRQCryptoHelper"), std::vector<std::string>{});
}

TEST_F(SessionScriptTest, AFailedInitializeLogsTheCodeAndTheDetails) {
  TRQCryptoHelper::terminate();
  fake.script("CryptoInitialize=-4");
  EXPECT_EQ(TRQCryptoHelper::initialize(), 0);
  EXPECT_EQ(log.lines("TRQCryptoHelper"),
            (std::vector<std::string>{"FATAL JOV_CryptoInitialize failed, return code: -4 ",
                                      "FATAL JOV_CryptoInitialize failed, JOV error details: fake "
                                      "JOV_CryptoInitialize returned -4 "}));
  EXPECT_EQ(fake.calls("CryptoFree"), 1);
  // The instance stays, bound: a second initialize sends nothing.
  ASSERT_NE(TRQCryptoHelper::getCrypto(), nullptr);
  EXPECT_EQ(TRQCryptoHelper::getCrypto()->isLoaded(), 1);
  EXPECT_EQ(TRQCryptoHelper::initialize(), 1);
  EXPECT_EQ(fake.calls("CryptoInitialize"), 1);
}

TEST_F(SessionScriptTest, AFailedInitializeWithoutDetailsLogsOnlyTheCode) {
  TRQCryptoHelper::terminate();
  fake.script("CryptoInitialize=7;NoDetails=1");
  EXPECT_EQ(TRQCryptoHelper::initialize(), 0);
  EXPECT_EQ(log.lines("TRQCryptoHelper"),
            std::vector<std::string>{"FATAL JOV_CryptoInitialize failed, return code: 7 "});
  EXPECT_EQ(fake.calls("CryptoFree"), 0);
}

TEST_F(SessionScriptTest, AFailedTerminateLogsTheCodeAndTheDetails) {
  fake.script("CryptoTerminate=-16");
  TRQCryptoHelper::terminate();
  EXPECT_EQ(TRQCryptoHelper::getCrypto(), nullptr);
  EXPECT_EQ(log.lines("TRQCryptoHelper"),
            (std::vector<std::string>{"FATAL JOV_CryptoTerminate failed, return code: -16 ",
                                      "FATAL JOV_CryptoTerminate failed, JOV error details: fake "
                                      "JOV_CryptoTerminate returned -16 "}));
  EXPECT_EQ(fake.calls("CryptoFree"), 1);
}

TEST_F(SessionScriptTest, AFailedTerminateWithoutDetailsLogsOnlyTheCode) {
  fake.script("CryptoTerminate=3;NoDetails=1");
  TRQCryptoHelper::terminate();
  EXPECT_EQ(log.lines("TRQCryptoHelper"),
            std::vector<std::string>{"FATAL JOV_CryptoTerminate failed, return code: 3 "});
}

TEST_F(SessionScriptTest, ExchangesDoNotCheckTheSession) {
  // initialize failed, but the library is bound: exchanges still run.
  TRQCryptoHelper::terminate();
  fake.script("CryptoInitialize=-1");
  EXPECT_EQ(TRQCryptoHelper::initialize(), 0);
  fake.script("", "ok");
  TRQSocketCommand command("tcp://127.0.0.1:1", "x", 5);
  EXPECT_EQ(command.send(), 1);
  char buffer[4] = {};
  EXPECT_EQ(command.recv(3, buffer), 2);
  command.close();
  EXPECT_EQ(fake.calls(), "Socket Connect_Url Send Poll Recv CloseHandle");
}
