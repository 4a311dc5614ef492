//===- JovTlsTest.cpp - Secured JOV connections against a TLS test child --===//
//
// A certificate authority and server certificates are made with the openssl
// command in a temporary folder; JOV_CA_FILE points the library at the
// authority. The handshake must finish within the few establish calls that
// the service allows, and every verification failure must say why. The
// server is the Linux build's test child, on both systems.
//
//===----------------------------------------------------------------------===//
#include "JovTestSupport.h"
#include "TlsTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

using namespace jovtest;

namespace {

using tlstest::Certificates;

class JovTlsTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (!tlstest::cannotServeTls().empty())
      GTEST_SKIP() << tlstest::cannotServeTls();
    Certificates &c = Certificates::get();
    ASSERT_EQ(c.failure, "");
    std::string error;
    ASSERT_TRUE(jov.load("JOV_Crypto_Interface", error)) << error;
    const char *old = std::getenv("JOV_CA_FILE");
    m_savedCaFile = old ? std::optional<std::string>(old) : std::nullopt;
    setEnvironment("JOV_CA_FILE", c.caFile);
  }
  void TearDown() override { setEnvironment("JOV_CA_FILE", m_savedCaFile); }

  /// Starts a TLS test child with `cert`/`key` and `extra` options; its port.
  int startTlsServer(tlstest::TlsServer &child, const std::string &cert, const std::string &key,
                     std::vector<std::string> extra) {
    std::string error;
    int port = child.startTls(cert, key, extra, error);
    EXPECT_NE(port, 0) << error;
    return port;
  }

  /// Connects and runs the service's loop: Connect_Url, then EstablishSecure
  /// while it answers -23, then Connect_Url again. Returns the handle and the
  /// number of establish calls; the result of the last call in `rc`.
  JOV_HANDLE secureConnect(const std::string &url, int &establishCalls, int &rc) {
    JOV_HANDLE handle = 0;
    const std::string document = sessionDocument("IPv4");
    EXPECT_EQ(jov.Socket(&handle, document.c_str(), 0, nullptr), JOV_OK);
    establishCalls = 0;
    rc = jov.Connect_Url(handle, url.c_str(), document.c_str());
    if (rc != JOV_E_SECURE_REQUIRED)
      return handle;
    EXPECT_NE(jov.lastError(handle).find("must be established"), std::string::npos);
    do {
      rc = jov.EstablishSecure(handle, 0);
      ++establishCalls;
    } while (rc == JOV_E_IN_PROGRESS && establishCalls < 10);
    if (rc == JOV_OK)
      rc = jov.Connect_Url(handle, url.c_str(), document.c_str());
    return handle;
  }

  std::string exchange(JOV_HANDLE handle, const std::string &command, std::size_t expected) {
    EXPECT_EQ(jov.Send(handle, command.data(), static_cast<uint32_t>(command.size()), 0, nullptr, nullptr), JOV_OK)
        << jov.lastError(handle);
    std::string data;
    while (data.size() < expected) {
      JOV_POLLFD entry{handle, JOV_POLL_READABLE, 0};
      char *details = nullptr;
      int rc = jov.Poll(&entry, 1, 10000, 0, &details);
      EXPECT_GE(rc, 0) << jov.take(details);
      if (!(entry.revents & JOV_POLL_READABLE))
        break;
      char buffer[256];
      uint32_t count = 0;
      EXPECT_EQ(jov.Recv(handle, buffer, sizeof(buffer), 0, &count, nullptr), JOV_OK) << jov.lastError(handle);
      if (count == 0)
        break;
      data.append(buffer, count);
    }
    return data;
  }

  JovLibrary jov;
  testsupport::TempDir dir;

private:
  std::optional<std::string> m_savedCaFile;
};

} // namespace

TEST_F(JovTlsTest, Tls13HandshakeTakesAtMostThreeEstablishCalls) {
  if (tlstest::underWine())
    GTEST_SKIP() << "Wine's SChannel offers TLS 1.2 at most";
  tlstest::TlsServer child;
  Certificates &c = Certificates::get();
  int port = startTlsServer(child, c.serverCert, c.serverKey, {"--tls-version=1.3", "--reply=secure PONG"});
  int calls = 0, rc = 0;
  JOV_HANDLE handle = secureConnect("tls://localhost:" + std::to_string(port) + "/", calls, rc);
  ASSERT_EQ(rc, JOV_OK) << jov.lastError(handle);
  EXPECT_GE(calls, 1);
  EXPECT_LE(calls, 3);
  EXPECT_NE(jov.lastError(handle).find("TLSv1.3"), std::string::npos) << jov.lastError(handle);
  EXPECT_EQ(jov.EstablishSecure(handle, 0), JOV_OK);
  EXPECT_EQ(exchange(handle, "PING", 11), "secure PONG");
  EXPECT_EQ(jov.CloseHandle(&handle, 0, nullptr), JOV_OK);
  EXPECT_EQ(handle, 0);
}

TEST_F(JovTlsTest, Tls12HandshakeTakesAtMostThreeEstablishCalls) {
  tlstest::TlsServer child;
  Certificates &c = Certificates::get();
  int port = startTlsServer(child, c.serverCert, c.serverKey, {"--tls-version=1.2", "--reply=v1.2"});
  int calls = 0, rc = 0;
  JOV_HANDLE handle = secureConnect("https://localhost:" + std::to_string(port), calls, rc);
  ASSERT_EQ(rc, JOV_OK) << jov.lastError(handle);
  EXPECT_GE(calls, 1);
  EXPECT_LE(calls, 3);
  EXPECT_NE(jov.lastError(handle).find("TLSv1.2"), std::string::npos) << jov.lastError(handle);
  EXPECT_EQ(exchange(handle, "ask", 4), "v1.2");
  EXPECT_EQ(jov.CloseHandle(&handle, 0, nullptr), JOV_OK);
}

TEST_F(JovTlsTest, EstablishReportsProgressUntilTheHandshakeIsDone) {
  tlstest::TlsServer child;
  Certificates &c = Certificates::get();
  int port = startTlsServer(child, c.serverCert, c.serverKey, {"--reply=x"});
  JOV_HANDLE handle = 0;
  ASSERT_EQ(jov.Socket(&handle, sessionDocument("IPv4").c_str(), 0, nullptr), JOV_OK);
  const std::string url = "tls://127.0.0.1:" + std::to_string(port);
  ASSERT_EQ(jov.Connect_Url(handle, url.c_str(), nullptr), JOV_E_SECURE_REQUIRED);
  // Before the handshake, sending is refused and connecting again repeats -15.
  EXPECT_EQ(jov.Send(handle, "x", 1, 0, nullptr, nullptr), JOV_E_STATE);
  EXPECT_EQ(jov.Connect_Url(handle, url.c_str(), nullptr), JOV_E_SECURE_REQUIRED);
  // A fast peer may answer while the first call still runs, so the first
  // call may already finish the handshake.
  int rc = jov.EstablishSecure(handle, 0);
  int calls = 1;
  if (rc == JOV_E_IN_PROGRESS) {
    EXPECT_EQ(jov.lastError(handle), "the TLS handshake with 127.0.0.1:" + std::to_string(port) + " is in progress");
  }
  while (rc == JOV_E_IN_PROGRESS && calls < 10) {
    rc = jov.EstablishSecure(handle, 0);
    ++calls;
  }
  EXPECT_EQ(rc, JOV_OK) << jov.lastError(handle);
  EXPECT_LE(calls, 3);
  EXPECT_EQ(jov.Connect_Url(handle, url.c_str(), nullptr), JOV_OK);
  EXPECT_EQ(jov.Connect_Url(handle, "tls://127.0.0.1:9", nullptr), JOV_E_STATE);
  EXPECT_EQ(jov.CloseHandle(&handle, 0, nullptr), JOV_OK);
}

TEST_F(JovTlsTest, AnIpAddressIsVerifiedAgainstTheCertificate) {
  tlstest::TlsServer child;
  Certificates &c = Certificates::get();
  int port = startTlsServer(child, c.serverCert, c.serverKey, {"--reply=by address"});
  int calls = 0, rc = 0;
  JOV_HANDLE handle = secureConnect("tls://127.0.0.1:" + std::to_string(port), calls, rc);
  ASSERT_EQ(rc, JOV_OK) << jov.lastError(handle);
  EXPECT_EQ(exchange(handle, "?", 10), "by address");
  EXPECT_EQ(jov.CloseHandle(&handle, 0, nullptr), JOV_OK);
}

TEST_F(JovTlsTest, AnUntrustedAuthorityFailsWithTheReason) {
  tlstest::TlsServer child;
  Certificates &c = Certificates::get();
  int port = startTlsServer(child, c.strangerCert, c.strangerKey, {"--reply=x"});
  int calls = 0, rc = 0;
  JOV_HANDLE handle = secureConnect("tls://localhost:" + std::to_string(port), calls, rc);
  EXPECT_EQ(rc, JOV_E_VERIFY);
  std::string details = jov.lastError(handle);
  EXPECT_NE(details.find("unable to get local issuer certificate"), std::string::npos) << details;
  EXPECT_NE(details.find("TLS handshake with localhost:" + std::to_string(port) + " failed"), std::string::npos)
      << details;
  // The system's own reason comes with its code.
  EXPECT_NE(details.find(testsupport::isWindows() ? "(CERT_E_CHAINING 0x800B010A)" : "(X509 verify error 20)"),
            std::string::npos)
      << details;
  // A failed session stays failed.
  EXPECT_EQ(jov.EstablishSecure(handle, 0), JOV_E_STATE);
  uint32_t sent = 0;
  EXPECT_EQ(jov.Send(handle, "x", 1, 0, &sent, nullptr), JOV_E_STATE);
  EXPECT_EQ(jov.CloseHandle(&handle, 0, nullptr), JOV_OK);
}

TEST_F(JovTlsTest, TheSystemTrustStoreDoesNotKnowTheTestAuthority) {
  setEnvironment("JOV_CA_FILE", std::nullopt);
  tlstest::TlsServer child;
  Certificates &c = Certificates::get();
  int port = startTlsServer(child, c.serverCert, c.serverKey, {"--reply=x"});
  int calls = 0, rc = 0;
  JOV_HANDLE handle = secureConnect("tls://localhost:" + std::to_string(port), calls, rc);
  EXPECT_EQ(rc, JOV_E_VERIFY);
  EXPECT_NE(jov.lastError(handle).find("unable to get local issuer certificate"), std::string::npos)
      << jov.lastError(handle);
  EXPECT_EQ(jov.CloseHandle(&handle, 0, nullptr), JOV_OK);
}

TEST_F(JovTlsTest, ACertificateForAnotherHostFailsWithHostnameMismatch) {
  tlstest::TlsServer child;
  Certificates &c = Certificates::get();
  int port = startTlsServer(child, c.otherHostCert, c.otherHostKey, {"--reply=x"});
  int calls = 0, rc = 0;
  JOV_HANDLE handle = secureConnect("tls://localhost:" + std::to_string(port), calls, rc);
  EXPECT_EQ(rc, JOV_E_VERIFY);
  EXPECT_NE(jov.lastError(handle).find("hostname mismatch"), std::string::npos) << jov.lastError(handle);
  EXPECT_EQ(jov.CloseHandle(&handle, 0, nullptr), JOV_OK);

  handle = secureConnect("tls://127.0.0.1:" + std::to_string(port), calls, rc);
  EXPECT_EQ(rc, JOV_E_VERIFY);
  EXPECT_NE(jov.lastError(handle).find("IP address mismatch"), std::string::npos) << jov.lastError(handle);
  EXPECT_EQ(jov.CloseHandle(&handle, 0, nullptr), JOV_OK);
}

TEST_F(JovTlsTest, AnUnreadableAuthorityFileIsReported) {
  setEnvironment("JOV_CA_FILE", dir.file("missing.pem"));
  tlstest::TlsServer child;
  Certificates &c = Certificates::get();
  int port = startTlsServer(child, c.serverCert, c.serverKey, {"--reply=x"});
  JOV_HANDLE handle = 0;
  ASSERT_EQ(jov.Socket(&handle, sessionDocument("IPv4").c_str(), 0, nullptr), JOV_OK);
  EXPECT_EQ(jov.Connect_Url(handle, ("tls://localhost:" + std::to_string(port)).c_str(), nullptr), JOV_E_TLS);
  EXPECT_NE(jov.lastError(handle).find("cannot load the trusted certificates of JOV_CA_FILE"), std::string::npos)
      << jov.lastError(handle);
  EXPECT_EQ(jov.CloseHandle(&handle, 0, nullptr), JOV_OK);
}

TEST_F(JovTlsTest, PollOnASilentSecurePeerTimesOutDespiteSessionTickets) {
  tlstest::TlsServer child;
  Certificates &c = Certificates::get();
  // TLS 1.3 sends its session tickets after the handshake (Wine's SChannel
  // stops at TLS 1.2, which still shows the time limit).
  int port = startTlsServer(child, c.serverCert, c.serverKey,
                            {"--silent", tlstest::underWine() ? "--tls-version=1.2" : "--tls-version=1.3"});
  int calls = 0, rc = 0;
  JOV_HANDLE handle = secureConnect("tls://localhost:" + std::to_string(port), calls, rc);
  ASSERT_EQ(rc, JOV_OK) << jov.lastError(handle);
  ASSERT_EQ(jov.Send(handle, "hello?", 6, 0, nullptr, nullptr), JOV_OK);
  JOV_POLLFD entry{handle, JOV_POLL_READABLE, 0};
  EXPECT_EQ(jov.Poll(&entry, 1, 500, 0, nullptr), JOV_POLL_TIMEOUT);
  EXPECT_EQ(entry.revents, 0);
  EXPECT_EQ(jov.CloseHandle(&handle, 0, nullptr), JOV_OK);
}

TEST_F(JovTlsTest, ASecurePeerThatClosesGivesAReceiveOfZero) {
  tlstest::TlsServer child;
  Certificates &c = Certificates::get();
  int port = startTlsServer(child, c.serverCert, c.serverKey, {"--close"});
  int calls = 0, rc = 0;
  JOV_HANDLE handle = secureConnect("tls://localhost:" + std::to_string(port), calls, rc);
  ASSERT_EQ(rc, JOV_OK) << jov.lastError(handle);
  ASSERT_EQ(jov.Send(handle, "bye", 3, 0, nullptr, nullptr), JOV_OK);
  JOV_POLLFD entry{handle, JOV_POLL_READABLE, 0};
  ASSERT_EQ(jov.Poll(&entry, 1, 10000, 0, nullptr), 1);
  char buffer[8];
  uint32_t count = 5;
  EXPECT_EQ(jov.Recv(handle, buffer, sizeof(buffer), 0, &count, nullptr), JOV_OK) << jov.lastError(handle);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(jov.CloseHandle(&handle, 0, nullptr), JOV_OK);
}

TEST_F(JovTlsTest, ALargeReplyArrivesWhole) {
  tlstest::TlsServer child;
  Certificates &c = Certificates::get();
  std::string big;
  for (int i = 0; i < 3000; ++i)
    big += "0123456789"[i % 10];
  int port = startTlsServer(child, c.serverCert, c.serverKey, {"--reply=" + big});
  int calls = 0, rc = 0;
  JOV_HANDLE handle = secureConnect("tls://localhost:" + std::to_string(port), calls, rc);
  ASSERT_EQ(rc, JOV_OK) << jov.lastError(handle);
  EXPECT_EQ(exchange(handle, "more", big.size()), big);
  EXPECT_EQ(jov.CloseHandle(&handle, 0, nullptr), JOV_OK);
}

TEST_F(JovTlsTest, AReplyInSeveralRecordsOrSegmentsIsReadWhole) {
  Certificates &c = Certificates::get();
  tlstest::TlsServer secure;
  int port = startTlsServer(secure, c.serverCert, c.serverKey, {"--reply=first,second,third", "--reply-pieces=3"});
  tlstest::TlsServer plain;
  std::string error;
  int plainPort = plain.start({"--reply=one|two|three|four", "--reply-pieces=4"}, error);
  ASSERT_NE(plainPort, 0) << error;
  struct Case {
    std::string url;
    std::string reply;
  };
  for (const Case &each : {Case{"tls://localhost:" + std::to_string(port), "first,second,third"},
                           Case{"tcp://127.0.0.1:" + std::to_string(plainPort), "one|two|three|four"}}) {
    int calls = 0, rc = 0;
    JOV_HANDLE handle = secureConnect(each.url, calls, rc);
    ASSERT_EQ(rc, JOV_OK) << jov.lastError(handle);
    ASSERT_EQ(jov.Send(handle, "?", 1, 0, nullptr, nullptr), JOV_OK);
    JOV_POLLFD entry{handle, JOV_POLL_READABLE, 0};
    ASSERT_GE(jov.Poll(&entry, 1, 10000, 0, nullptr), 1);
    // One receive, as the service makes it, takes every piece.
    char buffer[256] = {};
    uint32_t count = 0;
    EXPECT_EQ(jov.Recv(handle, buffer, sizeof(buffer) - 1, 0, &count, nullptr), JOV_OK) << jov.lastError(handle);
    EXPECT_EQ(std::string(buffer, count), each.reply) << each.url;
    EXPECT_EQ(jov.CloseHandle(&handle, 0, nullptr), JOV_OK);
  }
}

TEST_F(JovTlsTest, SlowAStalledHandshakeEndsAtTheTimeLimit) {
  // A plain server that takes the greeting and never answers.
  tlstest::TlsServer child;
  std::string error;
  int port = child.start({"--silent"}, error);
  ASSERT_NE(port, 0) << error;
  int calls = 0, rc = 0;
  JOV_HANDLE handle = secureConnect("tls://localhost:" + std::to_string(port), calls, rc);
  EXPECT_EQ(rc, JOV_E_TIMEOUT) << jov.lastError(handle);
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(jov.lastError(handle), "TLS handshake with localhost:" + std::to_string(port) +
                                       " failed: the server did not answer within 10 seconds");
  EXPECT_EQ(jov.CloseHandle(&handle, 0, nullptr), JOV_OK);
}
