//===- SocketCommandTlsTest.cpp - Secured exchanges against a TLS test child ===//
//
// The library answers a secured URL with "establish first" (-15) and then
// "in progress" (-23) while the handshake runs; the socket command's loop
// must carry it through to the exchange, logging those steps at DEBUG, and
// must log why a peer that does not verify is refused. Certificates come
// from the openssl command and the library trusts the test authority through
// JOV_CA_FILE; the server is the Linux build's test child on both systems.
//
//===----------------------------------------------------------------------===//
#include "CryptoTestSupport.h"
#include "TlsTestSupport.h"
#include "crypto/TRQCryptoHelper.h"
#include "crypto/TRQSocketCommand.h"
#include "rklcrypto.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace cryptotest;
using tlstest::Certificates;
using tlstest::TlsServer;

namespace {

class SocketCommandTlsTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (!tlstest::cannotServeTls().empty())
      GTEST_SKIP() << tlstest::cannotServeTls();
    Certificates &c = Certificates::get();
    ASSERT_EQ(c.failure, "");
    setEnvironment("JOV_CA_FILE", c.caFile);
    TRQCryptoHelper::initialize();
    ASSERT_NE(TRQCryptoHelper::getCrypto(), nullptr);
    ASSERT_EQ(TRQCryptoHelper::getCrypto()->isLoaded(), 1) << RKLCrypto::lastLoadFailure();
  }

  int startTlsServer(TlsServer &server, const std::string &cert, const std::string &key,
                     std::vector<std::string> options) {
    std::string error;
    int port = server.startTls(cert, key, options, error);
    EXPECT_NE(port, 0) << error;
    return port;
  }

  /// The first `count` log lines of the connect step: the library's
  /// "establish first", then its "in progress" answers.
  void expectHandshakeLines(const std::vector<std::string> &lines, const std::string &endpoint, std::size_t count) {
    ASSERT_GE(lines.size(), count);
    ASSERT_GE(count, 1u);
    EXPECT_EQ(lines[0], "DEBUG failed to connect, JOV error: connected to " + endpoint +
                            "; the secure session must be established (JOV_EstablishSecure) ");
    for (std::size_t i = 1; i < count; ++i)
      EXPECT_EQ(lines[i],
                "DEBUG failed to establish, JOV error: the TLS handshake with " + endpoint + " is in progress ");
  }

  EnvironmentGuard caFile{"JOV_CA_FILE"};
  LogCapture log;
};

} // namespace

TEST_F(SocketCommandTlsTest, TheHandshakeLoopLeadsToTheExchange) {
  Certificates &c = Certificates::get();
  TlsServer server;
  int port = startTlsServer(server, c.serverCert, c.serverKey, {"--command=PING", "--reply=secure PONG"});
  TRQSocketCommand command(("tls://localhost:" + std::to_string(port) + "/ping").c_str(), "PING", 10);
  ASSERT_EQ(command.send(), 1);
  char buffer[32] = {};
  EXPECT_EQ(command.recv(31, buffer), 11);
  EXPECT_STREQ(buffer, "secure PONG");
  command.close();
  EXPECT_EQ(command.getHandle(), 0);

  std::vector<std::string> lines = log.lines("TRQSocketCommand");
  // One "establish first", then at most the four "in progress" answers that
  // a handshake of at most five establish calls gives.
  ASSERT_GE(lines.size(), 1u);
  EXPECT_LE(lines.size(), 5u);
  expectHandshakeLines(lines, "localhost:" + std::to_string(port), lines.size());
}

TEST_F(SocketCommandTlsTest, AReplyCutShortWithoutTheSessionsEndIsAnError) {
  Certificates &c = Certificates::get();
  TlsServer server;
  int port = startTlsServer(server, c.serverCert, c.serverKey, {"--reply=half a rep", "--no-close-notify"});
  TRQSocketCommand command(("tls://localhost:" + std::to_string(port)).c_str(), "PING", 10);
  ASSERT_EQ(command.send(), 1);
  char buffer[32] = {};
  EXPECT_EQ(command.recv(31, buffer), -1);
  command.close();
  std::vector<std::string> lines = log.lines("TRQSocketCommand");
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines.back().find("JOV_recv failed, JOV error: "), std::string::npos) << lines.back();
  EXPECT_NE(lines.back().find("without closing the secured session"), std::string::npos) << lines.back();
}

TEST_F(SocketCommandTlsTest, HttpsToAnAddressWorksToo) {
  Certificates &c = Certificates::get();
  TlsServer server;
  int port = startTlsServer(server, c.serverCert, c.serverKey, {"--reply=by address"});
  TRQSocketCommand command(("https://127.0.0.1:" + std::to_string(port)).c_str(), "?", 10);
  ASSERT_EQ(command.send(), 1);
  char buffer[32] = {};
  EXPECT_EQ(command.recv(31, buffer), 10);
  EXPECT_STREQ(buffer, "by address");
  command.close();
}

TEST_F(SocketCommandTlsTest, AnUntrustedAuthorityIsRefusedWithTheReason) {
  Certificates &c = Certificates::get();
  TlsServer server;
  int port = startTlsServer(server, c.strangerCert, c.strangerKey, {"--reply=x"});
  const std::string endpoint = "localhost:" + std::to_string(port);
  TRQSocketCommand command(("tls://" + endpoint).c_str(), "x", 10);
  EXPECT_EQ(command.send(), -1);
  command.close();
  std::vector<std::string> lines = log.lines("TRQSocketCommand");
  ASSERT_GE(lines.size(), 2u);
  expectHandshakeLines(lines, endpoint, lines.size() - 1);
  const std::string &failure = lines.back();
  EXPECT_EQ(failure.rfind("ERROR failed to establish, JOV error: TLS handshake with " + endpoint + " failed: ", 0), 0u)
      << failure;
  EXPECT_NE(failure.find("unable to get local issuer certificate"), std::string::npos) << failure;
}

TEST_F(SocketCommandTlsTest, ACertificateForAnotherHostIsRefusedWithTheReason) {
  Certificates &c = Certificates::get();
  TlsServer server;
  int port = startTlsServer(server, c.otherHostCert, c.otherHostKey, {"--reply=x"});
  TRQSocketCommand command(("tls://localhost:" + std::to_string(port)).c_str(), "x", 10);
  EXPECT_EQ(command.send(), -1);
  command.close();
  std::vector<std::string> lines = log.lines("TRQSocketCommand");
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines.back().rfind("ERROR failed to establish, JOV error: ", 0), 0u) << lines.back();
  EXPECT_NE(lines.back().find("hostname mismatch"), std::string::npos) << lines.back();
}

TEST_F(SocketCommandTlsTest, ASilentSecurePeerRunsIntoTheTimeLimit) {
  Certificates &c = Certificates::get();
  TlsServer server;
  int port = startTlsServer(server, c.serverCert, c.serverKey, {"--silent"});
  TRQSocketCommand command(("tls://localhost:" + std::to_string(port)).c_str(), "hello?", 1);
  ASSERT_EQ(command.send(), 1);
  char buffer[8] = {};
  EXPECT_EQ(command.recv(7, buffer), -1);
  command.close();
  std::vector<std::string> lines = log.lines("TRQSocketCommand");
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "ERROR no response,  JOV_Poll timed out.");
}
