//===- IncompleteBindingTest.cpp - A library that cannot be bound completely ===//
//
// This process never binds a complete library for good: the helper is
// pointed at the build's library that lacks its last export, and at a name
// that exists nowhere. The binding must then be empty, every forwarding call
// must fail without calling anything, and every exchange must fail at handle
// creation with the empty details text. A complete library is bound only
// through acquire/release, which unload it again.
//
//===----------------------------------------------------------------------===//
#include "../crypto/CryptoTestSupport.h"
#include "crypto/TRQCryptoHelper.h"
#include "crypto/TRQSocketCommand.h"
#include "dynlib.h"
#include "rklcrypto.h"
#include "supervision/TRQSockSendAction.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

using namespace cryptotest;

namespace {

const char *const IncompleteLibrary = "JOV_Crypto_Interface_incomplete";
const char *const AbsentLibrary = "JOV_Crypto_Interface_absent";

/// True while the system has the library file `baseName` mapped into this
/// process.
bool isMapped(const std::string &baseName) {
#ifdef _WIN32
  return GetModuleHandleA((baseName + ".dll").c_str()) != nullptr;
#else
  std::string maps = testsupport::readFile("/proc/self/maps");
  return maps.find("/" + baseName + ".so") != std::string::npos;
#endif
}

/// One forwarding call of each kind, with and without a details address.
struct Forwarding {
  std::string name;
  bool hasDetails;
  std::function<int(RKLCrypto &, char **)> call;
};

std::vector<Forwarding> allForwardings() {
  static char text[] = "abc";
  std::vector<Forwarding> list = {
      {"CryptoInitialize", true,
       [](RKLCrypto &c, char **d) { return c.CryptoInitialize(TRQCryptoHelper::InitializeDocument, 0, d); }},
      {"CryptoTerminate", true,
       [](RKLCrypto &c, char **d) { return c.CryptoTerminate(TRQCryptoHelper::TerminateDocument, 0, d); }},
      {"CryptoFree", false, [](RKLCrypto &c, char **) { return c.CryptoFree(text, 0); }},
      {"CryptoGetLastErrorDetails", true, [](RKLCrypto &c, char **d) { return c.CryptoGetLastErrorDetails(1, 0, d); }},
      {"Socket", true,
       [](RKLCrypto &c, char **d) {
         JOV_HANDLE handle = 0;
         int rc = c.Socket(&handle, TRQSocketCommand::SessionConfigIPv4, 0, d);
         EXPECT_EQ(handle, 0);
         return rc;
       }},
      {"Connect_Url", false, [](RKLCrypto &c, char **) { return c.Connect_Url(1, "tcp://127.0.0.1:9", nullptr); }},
      {"EstablishSecure", false, [](RKLCrypto &c, char **) { return c.EstablishSecure(1, 0); }},
      {"Send", false,
       [](RKLCrypto &c, char **) {
         uint32_t count = 77;
         int rc = c.Send(1, "x", 1, 0, &count, nullptr);
         EXPECT_EQ(count, 77u);
         return rc;
       }},
      {"Recv", false,
       [](RKLCrypto &c, char **) {
         char buffer[4] = {'k', 'k', 'k', 'k'};
         uint32_t count = 77;
         int rc = c.Recv(1, buffer, 4, 0, &count, nullptr);
         EXPECT_EQ(count, 77u);
         EXPECT_EQ(buffer[0], 'k');
         return rc;
       }},
      {"Poll", true,
       [](RKLCrypto &c, char **d) {
         JOV_POLLFD entry{1, 0x0300, 0x55};
         int rc = c.Poll(&entry, 1, 0, 0, d);
         EXPECT_EQ(entry.revents, 0x55);
         return rc;
       }},
      {"CloseHandle", true,
       [](RKLCrypto &c, char **d) {
         JOV_HANDLE handle = 5;
         int rc = c.CloseHandle(&handle, 0, d);
         EXPECT_EQ(handle, 5);
         return rc;
       }},
  };
#define CRYPTOTEST_UNIFORM(operation, exportName)                                                                      \
  list.push_back(                                                                                                      \
      {#operation, true, [](RKLCrypto &c, char **d) { return c.operation(0, nullptr, 0, nullptr, nullptr, 0, d); }});
  RKL_CRYPTO_FOR_EACH_UNIFORM(CRYPTOTEST_UNIFORM)
#undef CRYPTOTEST_UNIFORM
  return list;
}

class IncompleteBindingTest : public ::testing::Test {
protected:
  void SetUp() override {
    TRQCryptoHelper::terminate();
    ASSERT_EQ(TRQCryptoHelper::getCrypto(), nullptr);
  }
  void TearDown() override {
    TRQCryptoHelper::terminate();
    TRQCryptoHelper::setLibraryNameForTesting(nullptr);
  }

  /// initialize() with the library `name`; the helper's log lines.
  std::vector<std::string> initializeWith(const char *name, int expected) {
    TRQCryptoHelper::setLibraryNameForTesting(name);
    EXPECT_EQ(TRQCryptoHelper::initialize(), expected);
    return log.lines("TRQCryptoHelper");
  }

  /// Runs one exchange the way the socket send action does.
  void expectExchangeFailsAtHandleCreation() {
    TRQSocketCommand command("tcp://127.0.0.1:9", "PING", 1);
    EXPECT_EQ(command.send(), -1);
    char buffer[8] = {};
    EXPECT_EQ(command.recv(4, buffer), -1);
    command.close();
    EXPECT_EQ(command.getHandle(), 0);
    EXPECT_EQ(log.lines("TRQSocketCommand"), (std::vector<std::string>{"ERROR failed to create JOV handle:  ",
                                                                       "ERROR JOV_Poll failed, JOV error:  "}));
  }

  LogCapture log;
};

} // namespace

TEST_F(IncompleteBindingTest, ALibraryLackingTheLastExportIsUnloadedAgain) {
  ASSERT_TRUE(std::filesystem::exists(testsupport::binDir() /
                                      (std::string(IncompleteLibrary) + platform::sharedLibrarySuffix())));
  std::vector<std::string> lines = initializeWith(IncompleteLibrary, 0);
  EXPECT_EQ(lines, (std::vector<std::string>{"FATAL failed to initialize crypto.",
                                      "FATAL the security library could not be loaded: " +
                                          RKLCrypto::lastLoadFailure()}));
  RKLCrypto *crypto = TRQCryptoHelper::getCrypto();
  ASSERT_NE(crypto, nullptr); // the instance stays
  EXPECT_EQ(crypto->isLoaded(), 0);
  EXPECT_EQ(RKLCrypto::boundCount(), 0);
  EXPECT_NE(RKLCrypto::lastLoadFailure().find("JOV_VerifyFileSignature"), std::string::npos)
      << RKLCrypto::lastLoadFailure();
  EXPECT_FALSE(isMapped(IncompleteLibrary));

  // A second initialize finds the instance and does nothing more.
  EXPECT_EQ(TRQCryptoHelper::initialize(), 1);
  EXPECT_EQ(TRQCryptoHelper::getCrypto(), crypto);
  EXPECT_EQ(log.lines("TRQCryptoHelper").size(), 2u);
}

TEST_F(IncompleteBindingTest, EveryForwardingCallFailsWithTheEmptyDetailsText) {
  initializeWith(IncompleteLibrary, 0);
  RKLCrypto *crypto = TRQCryptoHelper::getCrypto();
  ASSERT_NE(crypto, nullptr);
  std::vector<Forwarding> list = allForwardings();
  ASSERT_EQ(list.size(), 55u);
  for (const Forwarding &f : list) {
    char sentinel[] = "untouched";
    char *details = sentinel;
    EXPECT_EQ(f.call(*crypto, &details), -1) << f.name;
    if (f.hasDetails) {
      EXPECT_EQ(details, RKLCrypto::emptyDetails()) << f.name;
      EXPECT_STREQ(details, "") << f.name;
      // Giving the empty text back calls nothing either.
      EXPECT_EQ(crypto->CryptoFree(details, 0), -1);
    } else {
      EXPECT_EQ(details, sentinel) << f.name;
    }
    // A null details address is left alone.
    EXPECT_EQ(f.call(*crypto, nullptr), -1) << f.name;
  }
  EXPECT_STREQ(RKLCrypto::emptyDetails(), "");
}

TEST_F(IncompleteBindingTest, ExchangesFailAtHandleCreation) {
  initializeWith(IncompleteLibrary, 0);
  expectExchangeFailsAtHandleCreation();
}

TEST_F(IncompleteBindingTest, TheSocketSendActionFailsWithoutAHandle) {
  initializeWith(IncompleteLibrary, 0);
  TRQSockSendAction action;
  action.configure(parseElement("<socketSend URI=\"tcp://127.0.0.1:9\" commandString=\"PING\" "
                                "responseSize=\"4\" responseOK=\"PONG\"/>"));
  EXPECT_EQ(action.execute(), -1);
  EXPECT_EQ(log.lines("TRQSocketCommand"), std::vector<std::string>{"ERROR failed to create JOV handle:  "});
  EXPECT_EQ(action.getCommand()->getHandle(), 0);
}

TEST_F(IncompleteBindingTest, TerminateReportsTheUnboundFunction) {
  initializeWith(IncompleteLibrary, 0);
  TRQCryptoHelper::terminate();
  EXPECT_EQ(TRQCryptoHelper::getCrypto(), nullptr);
  EXPECT_EQ(log.lines("TRQCryptoHelper"),
            (std::vector<std::string>{"FATAL failed to initialize crypto.",
                                      "FATAL the security library could not be loaded: " +
                                          RKLCrypto::lastLoadFailure(),
                                      "FATAL JOV_CryptoTerminate failed, return code: -1 ",
                                      "FATAL JOV_CryptoTerminate failed, JOV error details:  "}));
}

TEST_F(IncompleteBindingTest, AnAbsentLibraryFailsTheSameWay) {
  std::vector<std::string> lines = initializeWith(AbsentLibrary, 0);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "FATAL failed to initialize crypto.");
  // The file name and the system loader's reason.
  EXPECT_EQ(lines[1], "FATAL the security library could not be loaded: " + RKLCrypto::lastLoadFailure());
  EXPECT_NE(lines[1].find(AbsentLibrary), std::string::npos) << lines[1];
  ASSERT_NE(TRQCryptoHelper::getCrypto(), nullptr);
  EXPECT_EQ(TRQCryptoHelper::getCrypto()->isLoaded(), 0);
  EXPECT_NE(RKLCrypto::lastLoadFailure().find(AbsentLibrary), std::string::npos) << RKLCrypto::lastLoadFailure();
  expectExchangeFailsAtHandleCreation();
}

TEST_F(IncompleteBindingTest, TerminateWithoutInitializeDoesNothing) {
  TRQCryptoHelper::terminate();
  EXPECT_EQ(TRQCryptoHelper::getCrypto(), nullptr);
  EXPECT_EQ(log.lines("TRQCryptoHelper"), std::vector<std::string>{});
  // Without an instance exchanges fail as with an unbound library.
  expectExchangeFailsAtHandleCreation();
}

TEST_F(IncompleteBindingTest, AcquireLoadsFromTheProgramsFolderAndTheLastReleaseUnloads) {
  // The current directory does not matter: the name is taken against the
  // program's folder.
  testsupport::TempDir elsewhere("tslcrycwd");
  std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(elsewhere.path());

  RKLCrypto crypto(AbsentLibrary); // construction tries and fails
  EXPECT_EQ(crypto.isLoaded(), 0);
  EXPECT_EQ(crypto.acquire(TRQCryptoHelper::LibraryName), 1);
  EXPECT_EQ(crypto.isLoaded(), 1);
  EXPECT_EQ(RKLCrypto::boundCount(), JOV_EXPORT_COUNT);
  EXPECT_TRUE(isMapped(TRQCryptoHelper::LibraryName));
  // Further references neither load again nor look at the name.
  EXPECT_EQ(crypto.acquire(AbsentLibrary), 1);
  {
    RKLCrypto other(AbsentLibrary); // references are held: no load is tried
    EXPECT_EQ(other.isLoaded(), 1);
  }
  crypto.release();
  EXPECT_EQ(crypto.isLoaded(), 1);
  crypto.release();
  EXPECT_EQ(crypto.isLoaded(), 0);
  EXPECT_EQ(RKLCrypto::boundCount(), 0);
  EXPECT_FALSE(isMapped(TRQCryptoHelper::LibraryName));
  char *details = nullptr;
  EXPECT_EQ(crypto.CryptoGetLastErrorDetails(0, 0, &details), -1);
  EXPECT_EQ(details, RKLCrypto::emptyDetails());

  // One release too many changes nothing: the next acquire is a first one.
  crypto.release();
  EXPECT_EQ(crypto.acquire(IncompleteLibrary), 0);
  EXPECT_EQ(crypto.isLoaded(), 0);
  crypto.release();

  std::filesystem::current_path(before);
}

TEST_F(IncompleteBindingTest, AnAbsolutePathIsLoadedAsGiven) {
  RKLCrypto crypto(AbsentLibrary);
  const std::string path = (testsupport::binDir() / TRQCryptoHelper::LibraryName).string();
  EXPECT_EQ(crypto.acquire(path.c_str()), 1) << RKLCrypto::lastLoadFailure();
  EXPECT_EQ(RKLCrypto::boundCount(), JOV_EXPORT_COUNT);
  crypto.release();
  EXPECT_EQ(crypto.isLoaded(), 0);
  // A name given with its suffix gets a second one and is not found.
  const std::string withSuffix = path + platform::sharedLibrarySuffix();
  EXPECT_EQ(crypto.acquire(withSuffix.c_str()), 0);
  crypto.release();
}

TEST_F(IncompleteBindingTest, ANullNameLoadsNothing) {
  RKLCrypto crypto(nullptr);
  EXPECT_EQ(crypto.isLoaded(), 0);
  EXPECT_EQ(crypto.load(nullptr), 0);
}
