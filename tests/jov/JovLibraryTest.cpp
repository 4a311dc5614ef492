//===- JovLibraryTest.cpp - Exports, documents and handle rules of JOV ----===//
//
// The library as the service binds it: all 55 names exported (and the test
// build lacking exactly the last), the session documents checked, stale and
// unknown handles refused with details, bad URLs refused before any network
// traffic, and the dynamic-library layer's own failure reports.
//
//===----------------------------------------------------------------------===//
#include "JovTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace jovtest;

namespace {

const char kInitializeDocument[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><initializeDocument><serviceID>DOLV</serviceID></initializeDocument>";
const char kTerminateDocument[] = "<terminateDocument><serviceID>DOLV</serviceID></terminateDocument>";

struct Export {
  int number;
  const char *name;
};

const Export kExports[] = {
#define JOV_TEST_EXPORT(number, name) {number, #name},
    JOV_FOR_EACH_EXPORT(JOV_TEST_EXPORT)
#undef JOV_TEST_EXPORT
};

/// The exports that the service calls; the others share the uniform signature.
bool isCalledExport(const std::string &name) {
  static const char *const called[] = {"JOV_CryptoInitialize", "JOV_CryptoTerminate", "JOV_CryptoFree",
                                       "JOV_CryptoGetLastErrorDetails", "JOV_Socket", "JOV_Connect_Url",
                                       "JOV_EstablishSecure", "JOV_Send", "JOV_Recv", "JOV_Poll",
                                       "JOV_CloseHandle"};
  for (const char *entry : called)
    if (name == entry)
      return true;
  return false;
}

class JovLibraryTest : public ::testing::Test {
protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(jov.load("JOV_Crypto_Interface", error)) << error;
  }
  JovLibrary jov;
};

} // namespace

TEST(JovExports, TheTableListsFiftyFiveExportsInOrder) {
  ASSERT_EQ(sizeof(kExports) / sizeof(kExports[0]), static_cast<std::size_t>(JOV_EXPORT_COUNT));
  for (std::size_t i = 0; i < sizeof(kExports) / sizeof(kExports[0]); ++i)
    EXPECT_EQ(kExports[i].number, static_cast<int>(i + 1));
  EXPECT_STREQ(kExports[0].name, "JOV_CryptoInitialize");
  EXPECT_STREQ(kExports[38].name, "AS_EncryptText");
  EXPECT_STREQ(kExports[54].name, "JOV_VerifyFileSignature");
}

TEST(JovExports, TheFullLibraryExportsAllFiftyFiveNames) {
  platform::DynamicLibrary library;
  ASSERT_TRUE(library.open(libraryPath("JOV_Crypto_Interface"))) << library.errorText();
  for (const Export &entry : kExports)
    EXPECT_NE(library.symbol(entry.name), nullptr) << entry.number << " " << entry.name << ": " << library.errorText();
}

TEST(JovExports, TheIncompleteLibraryLacksOnlyVerifyFileSignature) {
  platform::DynamicLibrary library;
  ASSERT_TRUE(library.open(libraryPath("JOV_Crypto_Interface_incomplete"))) << library.errorText();
  for (const Export &entry : kExports) {
    if (entry.number == 55)
      continue;
    EXPECT_NE(library.symbol(entry.name), nullptr) << entry.name;
  }
  EXPECT_EQ(library.symbol("JOV_VerifyFileSignature"), nullptr);
  EXPECT_NE(library.errorText(), "");
  EXPECT_NE(library.errorText().find("JOV_VerifyFileSignature"), std::string::npos) << library.errorText();
}

TEST(DynamicLibrary, AMissingFileIsReportedWithTheSystemsReason) {
  testsupport::TempDir dir;
  platform::DynamicLibrary library;
  EXPECT_FALSE(library.open(dir.file("absent" + platform::sharedLibrarySuffix())));
  EXPECT_FALSE(library.isOpen());
  if (testsupport::isWindows()) {
    EXPECT_NE(library.errorCode(), 0);
    EXPECT_NE(library.errorText().find("(error " + std::to_string(library.errorCode()) + ")"), std::string::npos)
        << library.errorText();
  } else {
    EXPECT_NE(library.errorText().find("absent"), std::string::npos) << library.errorText();
  }
  EXPECT_EQ(library.symbol("JOV_Socket"), nullptr);
  EXPECT_EQ(library.errorText(), "no library is open to look up JOV_Socket");
}

TEST(DynamicLibrary, AFileThatIsNoLibraryIsRefused) {
  testsupport::TempDir dir;
  std::string path = dir.file("garbage" + platform::sharedLibrarySuffix());
  testsupport::writeFile(path, "this is not a shared library");
  platform::DynamicLibrary library;
  EXPECT_FALSE(library.open(path));
  EXPECT_NE(library.errorText(), "");
}

TEST(DynamicLibrary, MovingHandsTheModuleOver) {
  platform::DynamicLibrary first;
  ASSERT_TRUE(first.open(libraryPath("JOV_Crypto_Interface")));
  platform::DynamicLibrary second(std::move(first));
  EXPECT_FALSE(first.isOpen());
  EXPECT_TRUE(second.isOpen());
  EXPECT_NE(second.symbol("JOV_Poll"), nullptr);
  second.close();
  EXPECT_FALSE(second.isOpen());
  EXPECT_EQ(platform::sharedLibrarySuffix(), testsupport::isWindows() ? ".dll" : ".so");
}

TEST_F(JovLibraryTest, EveryUncalledExportIsNotSupportedAndSaysSo) {
  int checked = 0;
  for (const Export &entry : kExports) {
    if (isCalledExport(entry.name))
      continue;
    auto function = reinterpret_cast<JOV_PFN_Uniform>(jov.library.symbol(entry.name));
    ASSERT_NE(function, nullptr) << entry.name;
    char *details = nullptr;
    uint32_t outputLength = 0;
    EXPECT_EQ(function(0, nullptr, 0, nullptr, &outputLength, 0, &details), JOV_E_NOT_SUPPORTED) << entry.name;
    EXPECT_EQ(jov.take(details), std::string(entry.name) + " is not supported by this library");
    // Without a details address nothing is written and the code is the same.
    EXPECT_EQ(function(1, "x", 1, nullptr, nullptr, 0, nullptr), JOV_E_NOT_SUPPORTED) << entry.name;
    ++checked;
  }
  EXPECT_EQ(checked, 44);
}

TEST_F(JovLibraryTest, InitializeAndTerminateAcceptTheServiceDocuments) {
  char *details = nullptr;
  ASSERT_EQ(jov.CryptoInitialize(kInitializeDocument, 0, &details), JOV_OK) << jov.take(details);
  EXPECT_EQ(details, nullptr);
  ASSERT_EQ(jov.CryptoTerminate(kTerminateDocument, 0, &details), JOV_OK) << jov.take(details);
  EXPECT_EQ(details, nullptr);
}

TEST_F(JovLibraryTest, InitializeRefusesOtherDocumentsWithDetails) {
  struct Case {
    const char *document;
    const char *expected;
  };
  const Case cases[] = {
      {nullptr, "missing"},
      {"", "empty"},
      {"<?xml version=\"1.0\"?>", "empty"},
      {kTerminateDocument, "root element is <terminateDocument>, not <initializeDocument>"},
      {"<initializeDocument></initializeDocument>", "no <serviceID>"},
      {"<initializeDocument/>", "no <serviceID>"},
      {"<initializeDocument><serviceID>  </serviceID></initializeDocument>",
       "<serviceID> of the initializeDocument is empty"},
      {"<initializeDocument><serviceID>DOLV</serviceID>", "not closed"},
      {"<initializeDocument><serviceID>DOLV</serviceID></initializeDocument>trailing", "text after"},
      {"<initializeDocumentX><serviceID>DOLV</serviceID></initializeDocumentX>",
       "root element is <initializeDocumentX>"},
      {"<?xml version=\"1.0\" <initializeDocument>", "unterminated"},
  };
  for (const Case &c : cases) {
    char *details = nullptr;
    EXPECT_EQ(jov.CryptoInitialize(c.document, 0, &details), JOV_E_BAD_DOCUMENT) << (c.document ? c.document : "null");
    std::string text = jov.take(details);
    EXPECT_NE(text.find(c.expected), std::string::npos) << text;
    EXPECT_EQ(text.rfind("JOV_CryptoInitialize: ", 0), 0u) << text;
  }
  // A null details address is allowed.
  EXPECT_EQ(jov.CryptoInitialize("<x/>", 0, nullptr), JOV_E_BAD_DOCUMENT);
}

TEST_F(JovLibraryTest, InitializeAcceptsBlanksCommentsAndAttributes) {
  const char *document = "\xEF\xBB\xBF<?xml version=\"1.0\"?>\n<!-- session -->\n<initializeDocument xmlns=\""
                         JOV_CRYPTO_NAMESPACE "\">\n  <serviceID>DOLV</serviceID>\n</initializeDocument>\n";
  char *details = nullptr;
  ASSERT_EQ(jov.CryptoInitialize(document, 0, &details), JOV_OK) << jov.take(details);
  EXPECT_EQ(jov.CryptoTerminate(kTerminateDocument, 0, nullptr), JOV_OK);
}

TEST_F(JovLibraryTest, TerminateNeedsAnOpenSessionAndItsOwnDocument) {
  // Close whatever sessions are open, then one terminate too many.
  for (int i = 0; i < 100 && jov.CryptoTerminate(kTerminateDocument, 0, nullptr) == JOV_OK; ++i) {
  }
  char *details = nullptr;
  EXPECT_EQ(jov.CryptoTerminate(kTerminateDocument, 0, &details), JOV_E_STATE);
  EXPECT_EQ(jov.take(details), "JOV_CryptoTerminate: no crypto session is open");

  ASSERT_EQ(jov.CryptoInitialize(kInitializeDocument, 0, nullptr), JOV_OK);
  EXPECT_EQ(jov.CryptoTerminate(kInitializeDocument, 0, &details), JOV_E_BAD_DOCUMENT);
  EXPECT_NE(jov.take(details).find("not <terminateDocument>"), std::string::npos);
  // Sessions are counted: two initializes need two terminates.
  ASSERT_EQ(jov.CryptoInitialize(kInitializeDocument, 0, nullptr), JOV_OK);
  EXPECT_EQ(jov.CryptoTerminate(kTerminateDocument, 0, nullptr), JOV_OK);
  EXPECT_EQ(jov.CryptoTerminate(kTerminateDocument, 0, nullptr), JOV_OK);
  EXPECT_EQ(jov.CryptoTerminate(kTerminateDocument, 0, nullptr), JOV_E_STATE);
}

TEST_F(JovLibraryTest, CryptoFreeAcceptsNull) { EXPECT_EQ(jov.CryptoFree(nullptr, 0), JOV_OK); }

TEST_F(JovLibraryTest, SocketNeedsAKnownProtocolFamily) {
  JOV_HANDLE handle = 0;
  char *details = nullptr;
  EXPECT_EQ(jov.Socket(&handle, "<sessionConfigDocument><serviceID>gateway</serviceID></sessionConfigDocument>", 0,
                       &details),
            JOV_E_BAD_DOCUMENT);
  EXPECT_EQ(jov.take(details), "JOV_Socket: the session configuration document has no <protocolFamily> element");
  EXPECT_EQ(handle, 0);

  EXPECT_EQ(jov.Socket(&handle, sessionDocument("IPv5").c_str(), 0, &details), JOV_E_BAD_DOCUMENT);
  EXPECT_NE(jov.take(details).find("unknown protocol family \"IPv5\""), std::string::npos);
  EXPECT_EQ(jov.Socket(&handle, sessionDocument("ipv4").c_str(), 0, &details), JOV_E_BAD_DOCUMENT);
  jov.take(details);
  EXPECT_EQ(jov.Socket(&handle, nullptr, 0, &details), JOV_E_BAD_DOCUMENT);
  EXPECT_NE(jov.take(details).find("missing"), std::string::npos);
  EXPECT_EQ(jov.Socket(nullptr, sessionDocument("IPv4").c_str(), 0, &details), JOV_E_INVALID_ARGUMENT);
  jov.take(details);
  EXPECT_EQ(handle, 0);
}

TEST_F(JovLibraryTest, HandlesAreDistinctNonZeroAndInvalidOnceClosed) {
  JOV_HANDLE first = 0, second = 0;
  ASSERT_EQ(jov.Socket(&first, sessionDocument("IPv4").c_str(), 0, nullptr), JOV_OK);
  ASSERT_EQ(jov.Socket(&second, sessionDocument("IPv6").c_str(), 0, nullptr), JOV_OK);
  EXPECT_NE(first, 0);
  EXPECT_NE(second, 0);
  EXPECT_NE(first, second);

  const JOV_HANDLE stale = first;
  EXPECT_EQ(jov.CloseHandle(&first, 0, nullptr), JOV_OK);
  EXPECT_EQ(first, 0);
  JOV_HANDLE again = stale;
  EXPECT_EQ(jov.CloseHandle(&again, 0, nullptr), JOV_E_INVALID_HANDLE);
  EXPECT_EQ(again, stale);
  uint32_t count = 7;
  EXPECT_EQ(jov.Send(stale, "x", 1, 0, &count, nullptr), JOV_E_INVALID_HANDLE);
  EXPECT_EQ(count, 0u);
  char buffer[4];
  EXPECT_EQ(jov.Recv(stale, buffer, sizeof(buffer), 0, &count, nullptr), JOV_E_INVALID_HANDLE);
  EXPECT_EQ(jov.Connect_Url(stale, "tcp://127.0.0.1:1/", nullptr), JOV_E_INVALID_HANDLE);
  EXPECT_EQ(jov.EstablishSecure(stale, 0), JOV_E_INVALID_HANDLE);
  char *details = nullptr;
  EXPECT_EQ(jov.CryptoGetLastErrorDetails(stale, 0, &details), JOV_E_INVALID_HANDLE);
  EXPECT_EQ(jov.take(details), "handle " + std::to_string(stale) + " is not an open JOV handle");
  JOV_POLLFD entry{stale, JOV_POLL_READABLE, 0};
  EXPECT_EQ(jov.Poll(&entry, 1, 0, 0, &details), JOV_E_INVALID_HANDLE);
  EXPECT_NE(jov.take(details).find("not an open JOV handle"), std::string::npos);
  JOV_HANDLE zero = 0;
  EXPECT_EQ(jov.CloseHandle(&zero, 0, nullptr), JOV_E_INVALID_HANDLE);
  EXPECT_EQ(jov.CloseHandle(nullptr, 0, nullptr), JOV_E_INVALID_ARGUMENT);

  EXPECT_EQ(jov.CloseHandle(&second, 0, nullptr), JOV_OK);
  EXPECT_EQ(second, 0);
}

TEST_F(JovLibraryTest, AnUnconnectedHandleRefusesTransfers) {
  JOV_HANDLE handle = 0;
  ASSERT_EQ(jov.Socket(&handle, sessionDocument("IPv4").c_str(), 0, nullptr), JOV_OK);
  uint32_t count = 0;
  EXPECT_EQ(jov.Send(handle, "x", 1, 0, &count, nullptr), JOV_E_STATE);
  EXPECT_EQ(jov.lastError(handle), "handle " + std::to_string(handle) + " is not connected");
  char buffer[8];
  EXPECT_EQ(jov.Recv(handle, buffer, sizeof(buffer), 0, &count, nullptr), JOV_E_STATE);
  EXPECT_EQ(jov.EstablishSecure(handle, 0), JOV_E_STATE);
  JOV_POLLFD entry{handle, JOV_POLL_READABLE, 0};
  char *details = nullptr;
  EXPECT_EQ(jov.Poll(&entry, 1, 0, 0, &details), JOV_E_STATE);
  EXPECT_NE(jov.take(details).find("is not connected"), std::string::npos);
  EXPECT_EQ(jov.CloseHandle(&handle, 0, nullptr), JOV_OK);
}

TEST_F(JovLibraryTest, BadUrlsAreRefusedWithTheReason) {
  struct Case {
    const char *url;
    const char *expected;
  };
  const Case cases[] = {
      {"tcp://127.0.0.1", "has no port"},
      {"tcp://127.0.0.1:/x", "has no port"},
      {"tcp://127.0.0.1/with:colon", "has no port"},
      {"ftp://127.0.0.1:21", "unknown scheme \"ftp\""},
      {"127.0.0.1:80", "has no scheme"},
      {"tcp://:80", "has no host"},
      {"tcp://127.0.0.1:http", "invalid port \"http\""},
      {"tcp://127.0.0.1:70000", "outside 1 to 65535"},
      {"tcp://127.0.0.1:0", "outside 1 to 65535"},
      {"tcp://::1:80", "not enclosed in brackets"},
      {"tcp://[::1:80", "unterminated IPv6 literal"},
      {"tcp://user@127.0.0.1:80", "user information"},
      {"", "empty"},
  };
  for (const Case &c : cases) {
    JOV_HANDLE handle = 0;
    ASSERT_EQ(jov.Socket(&handle, sessionDocument("IPv4").c_str(), 0, nullptr), JOV_OK);
    EXPECT_EQ(jov.Connect_Url(handle, c.url, nullptr), JOV_E_BAD_URL) << c.url;
    std::string details = jov.lastError(handle);
    EXPECT_NE(details.find(c.expected), std::string::npos) << c.url << ": " << details;
    EXPECT_EQ(jov.CloseHandle(&handle, 0, nullptr), JOV_OK);
  }
  JOV_HANDLE handle = 0;
  ASSERT_EQ(jov.Socket(&handle, sessionDocument("IPv4").c_str(), 0, nullptr), JOV_OK);
  EXPECT_EQ(jov.Connect_Url(handle, nullptr, nullptr), JOV_E_BAD_URL);
  EXPECT_EQ(jov.CloseHandle(&handle, 0, nullptr), JOV_OK);
}

TEST_F(JovLibraryTest, TheSessionDocumentOfConnectMustMatchTheHandlesFamily) {
  JOV_HANDLE handle = 0;
  ASSERT_EQ(jov.Socket(&handle, sessionDocument("IPv4").c_str(), 0, nullptr), JOV_OK);
  EXPECT_EQ(jov.Connect_Url(handle, "tcp://127.0.0.1:9/", sessionDocument("IPv6").c_str()), JOV_E_BAD_DOCUMENT);
  EXPECT_EQ(jov.lastError(handle), "the session configuration document names IPv6, but handle " +
                                       std::to_string(handle) + " was created for IPv4");
  EXPECT_EQ(jov.CloseHandle(&handle, 0, nullptr), JOV_OK);
}

TEST_F(JovLibraryTest, ThreadDetailsDescribeTheLastFailureOfTheCallingThread) {
  JOV_HANDLE handle = 0;
  ASSERT_EQ(jov.Socket(&handle, sessionDocument("IPv4").c_str(), 0, nullptr), JOV_OK);
  EXPECT_EQ(jov.Connect_Url(handle, "gopher://127.0.0.1:70", nullptr), JOV_E_BAD_URL);
  EXPECT_NE(jov.lastError(0).find("unknown scheme \"gopher\""), std::string::npos);
  EXPECT_EQ(jov.CloseHandle(&handle, 0, nullptr), JOV_OK);
  EXPECT_EQ(jov.CryptoGetLastErrorDetails(0, 0, nullptr), JOV_E_INVALID_ARGUMENT);
}

TEST_F(JovLibraryTest, PollRefusesNullEntries) {
  char *details = nullptr;
  EXPECT_EQ(jov.Poll(nullptr, 1, 0, 0, &details), JOV_E_INVALID_ARGUMENT);
  EXPECT_EQ(jov.take(details), "JOV_Poll: the entries are null");
  // No entries: nothing can become ready, so the time limit passes.
  EXPECT_EQ(jov.Poll(nullptr, 0, 10, 0, nullptr), JOV_POLL_TIMEOUT);
}
