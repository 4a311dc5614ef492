//===- ScriptTestSupport.h - The fixture of the scripted-library suites ---===//
#ifndef SCRIPTTESTSUPPORT_H
#define SCRIPTTESTSUPPORT_H

#include "FakeLibrary.h"
#include "crypto/TRQCryptoHelper.h"
#include "crypto/TRQSocketCommand.h"
#include "rklcrypto.h"

#include <gtest/gtest.h>

namespace cryptotest {

/// Binds FakeJOV as the process's library (once; it stays loaded) and opens
/// a session, then starts each test with an empty script and a log capture.
class ScriptTest : public ::testing::Test {
protected:
  void SetUp() override {
    TRQCryptoHelper::setLibraryNameForTesting(FAKEJOV_LIBRARY_NAME);
    fake.script("");
    TRQCryptoHelper::initialize();
    ASSERT_NE(TRQCryptoHelper::getCrypto(), nullptr);
    ASSERT_EQ(TRQCryptoHelper::getCrypto()->isLoaded(), 1) << RKLCrypto::lastLoadFailure();
    fake.script("");
  }
  void TearDown() override { fake.expectAllDetailsFreed(); }

  EnvironmentGuard scriptGuard{"FAKEJOV_SCRIPT"};
  EnvironmentGuard replyGuard{"FAKEJOV_REPLY"};
  FakeLibrary fake;
  LogCapture log;
};

} // namespace cryptotest

#endif // SCRIPTTESTSUPPORT_H
