//===- CryptoBindingTest.cpp - Binding the built JOV library and its crypto session ===//
//
// The library of the build is bound once for the whole process, as in the
// service. Each of the 44 functions that the service never calls answers
// with a text naming itself, which shows that every operation reaches its
// own export; the session functions show through the library's session count
// that a second initialize sends nothing.
//
//===----------------------------------------------------------------------===//
#include "CryptoTestSupport.h"
#include "crypto/TRQCryptoHelper.h"
#include "rklcrypto.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

using namespace cryptotest;

namespace {

struct UniformOperation {
  const char *exportName;
  std::function<int(RKLCrypto &, char **)> call;
};

std::vector<UniformOperation> uniformOperations() {
  std::vector<UniformOperation> operations;
#define CRYPTOTEST_UNIFORM(operation, exportName)                                                                      \
  operations.push_back({#exportName, [](RKLCrypto &crypto, char **details) {                                           \
                          return crypto.operation(0, nullptr, 0, nullptr, nullptr, 0, details);                        \
                        }});
  RKL_CRYPTO_FOR_EACH_UNIFORM(CRYPTOTEST_UNIFORM)
#undef CRYPTOTEST_UNIFORM
  return operations;
}

class CryptoBindingTest : public ::testing::Test {
protected:
  void SetUp() override {
    TRQCryptoHelper::initialize();
    crypto = TRQCryptoHelper::getCrypto();
    ASSERT_NE(crypto, nullptr);
    ASSERT_EQ(crypto->isLoaded(), 1) << RKLCrypto::lastLoadFailure();
  }

  std::string take(char *details) {
    if (!details)
      return "<null>";
    std::string text(details);
    crypto->CryptoFree(details, 0);
    return text;
  }

  RKLCrypto *crypto = nullptr;
};

} // namespace

TEST_F(CryptoBindingTest, AllExportsOfTheLibraryAreBound) {
  EXPECT_EQ(RKLCrypto::boundCount(), JOV_EXPORT_COUNT);
  EXPECT_EQ(RKLCrypto::lastLoadFailure(), "");
}

TEST_F(CryptoBindingTest, EachUniformOperationReachesItsOwnExport) {
  std::vector<UniformOperation> operations = uniformOperations();
  ASSERT_EQ(operations.size(), 44u);
  for (const UniformOperation &operation : operations) {
    char *details = nullptr;
    EXPECT_EQ(operation.call(*crypto, &details), JOV_E_NOT_SUPPORTED) << operation.exportName;
    EXPECT_EQ(take(details), std::string(operation.exportName) + " is not supported by this library");
    // A null details address is passed on as null.
    EXPECT_EQ(operation.call(*crypto, nullptr), JOV_E_NOT_SUPPORTED) << operation.exportName;
  }
}

TEST_F(CryptoBindingTest, CalledOperationsReachTheirExports) {
  char *details = nullptr;
  EXPECT_EQ(crypto->CryptoGetLastErrorDetails(987654, 0, &details), JOV_E_INVALID_HANDLE);
  EXPECT_EQ(take(details), "handle 987654 is not an open JOV handle");

  JOV_HANDLE handle = 0;
  details = nullptr;
  EXPECT_EQ(crypto->Socket(&handle,
                           "<sessionConfigDocument><protocolFamily>IPv5</protocolFamily>"
                           "</sessionConfigDocument>",
                           0, &details),
            JOV_E_BAD_DOCUMENT);
  EXPECT_NE(take(details).find("IPv5"), std::string::npos);

  ASSERT_EQ(crypto->Socket(&handle, TRQSocketCommand::SessionConfigIPv4, 0, nullptr), 0);
  EXPECT_NE(handle, 0);
  EXPECT_EQ(crypto->Connect_Url(handle, "tcp://127.0.0.1", nullptr), JOV_E_BAD_URL);
  EXPECT_EQ(crypto->EstablishSecure(handle, 0), JOV_E_STATE);
  uint32_t count = 7;
  EXPECT_EQ(crypto->Send(handle, "x", 1, 0, &count, nullptr), JOV_E_STATE);
  char buffer[4];
  EXPECT_EQ(crypto->Recv(handle, buffer, sizeof buffer, 0, &count, nullptr), JOV_E_STATE);
  JOV_POLLFD entry{handle, 0x0300, 0};
  details = nullptr;
  EXPECT_EQ(crypto->Poll(&entry, 1, 0, 0, &details), JOV_E_STATE);
  EXPECT_NE(take(details), "<null>");
  EXPECT_EQ(crypto->CloseHandle(&handle, 0, nullptr), 0);
  EXPECT_EQ(handle, 0);
  EXPECT_EQ(crypto->CryptoFree(nullptr, 0), 0);
}

TEST_F(CryptoBindingTest, ASecondInstanceSharesTheBindingAndDestroyingItUnloadsNothing) {
  {
    RKLCrypto other("no_such_library_is_tried");
    EXPECT_EQ(other.isLoaded(), 1);
    EXPECT_EQ(other.load("no_such_library_is_tried"), 1);
  }
  EXPECT_EQ(crypto->isLoaded(), 1);
  EXPECT_EQ(RKLCrypto::boundCount(), JOV_EXPORT_COUNT);
}

TEST_F(CryptoBindingTest, SessionOpensOnceAndClosesOnTerminate) {
  LogCapture log;
  TRQCryptoHelper::terminate();
  EXPECT_EQ(TRQCryptoHelper::getCrypto(), nullptr);
  // Without an instance terminate does nothing at all.
  TRQCryptoHelper::terminate();
  EXPECT_EQ(TRQCryptoHelper::getCrypto(), nullptr);

  EXPECT_EQ(TRQCryptoHelper::initialize(), 1);
  RKLCrypto *first = TRQCryptoHelper::getCrypto();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(TRQCryptoHelper::initialize(), 1);
  EXPECT_EQ(TRQCryptoHelper::getCrypto(), first);
  EXPECT_EQ(log.lines("TRQCryptoHelper"), std::vector<std::string>{});

  // Exactly one session is open: one terminate closes it, a second finds none.
  char *details = nullptr;
  EXPECT_EQ(first->CryptoTerminate(TRQCryptoHelper::TerminateDocument, 0, &details), 0);
  EXPECT_EQ(details, nullptr);
  EXPECT_EQ(first->CryptoTerminate(TRQCryptoHelper::TerminateDocument, 0, &details), JOV_E_STATE);
  crypto = first;
  EXPECT_EQ(take(details), "JOV_CryptoTerminate: no crypto session is open");

  // So the helper's own terminate now fails, and says why.
  TRQCryptoHelper::terminate();
  EXPECT_EQ(TRQCryptoHelper::getCrypto(), nullptr);
  EXPECT_EQ(log.lines("TRQCryptoHelper"),
            (std::vector<std::string>{"FATAL JOV_CryptoTerminate failed, return code: -16 ",
                                      "FATAL JOV_CryptoTerminate failed, JOV error details: JOV_CryptoTerminate: no "
                                      "crypto session is open "}));

  // The library stayed loaded; a new instance opens a new session.
  EXPECT_EQ(TRQCryptoHelper::initialize(), 1);
  ASSERT_NE(TRQCryptoHelper::getCrypto(), nullptr);
  EXPECT_EQ(TRQCryptoHelper::getCrypto()->isLoaded(), 1);
  TRQCryptoHelper::terminate();
  EXPECT_EQ(log.lines("TRQCryptoHelper").size(), 2u);
  EXPECT_EQ(TRQCryptoHelper::initialize(), 1);
}

TEST_F(CryptoBindingTest, TheDocumentsAreTheSessionTexts) {
  EXPECT_STREQ(TRQCryptoHelper::InitializeDocument, "<?xml version=\"1.0\" encoding=\"UTF-8\"?><initializeDocument>"
                                                    "<serviceID>DOLV</serviceID></initializeDocument>");
  EXPECT_STREQ(TRQCryptoHelper::TerminateDocument,
               "<terminateDocument><serviceID>DOLV</serviceID></terminateDocument>");
  EXPECT_STREQ(TRQCryptoHelper::LibraryName, "JOV_Crypto_Interface");
}
