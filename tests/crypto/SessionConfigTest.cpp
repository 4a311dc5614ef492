//===- SessionConfigTest.cpp - Which protocol family a URI's host gets -----===//
//
// Addresses decide by themselves; host names follow the startup
// configuration's "networkConfiguration", which a test configuration
// provides and whose lookups it counts.
//
//===----------------------------------------------------------------------===//
#include "CryptoTestSupport.h"
#include "crypto/TRQSocketCommand.h"
#include "jov/JOV_Crypto_Interface.h"

#include <gtest/gtest.h>

using namespace cryptotest;

namespace {

const std::string IPv4 = TRQSocketCommand::SessionConfigIPv4;
const std::string IPv6 = TRQSocketCommand::SessionConfigIPv6;

class SessionConfigTest : public ::testing::Test {
protected:
  /// The document chosen for `uri`.
  std::string choose(const std::string &uri) {
    TRQSocketCommand command(uri.c_str(), "x", 5);
    return command.chooseSessionConfig();
  }
  void setNetwork(const char *value) {
    if (value)
      settings.configuration.values["networkConfiguration"] = value;
    else
      settings.configuration.values.erase("networkConfiguration");
  }
  int lookups() const { return settings.configuration.getValueCalls; }

  ConfigurationOverride settings;
};

} // namespace

TEST_F(SessionConfigTest, TheDocumentsAreOneLineEach) {
  EXPECT_EQ(IPv4, std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?><sessionConfigDocument xmlns=\"") +
                      JOV_CRYPTO_NAMESPACE +
                      "\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xsi:schemaLocation=\"" +
                      JOV_CRYPTO_NAMESPACE +
                      "crypto.xsd\"><serviceID>gateway</serviceID><protocolFamily>IPv4</protocolFamily>"
                      "</sessionConfigDocument>");
  std::string expected6 = IPv4;
  expected6.replace(expected6.find("IPv4"), 4, "IPv6");
  EXPECT_EQ(IPv6, expected6);
}

TEST_F(SessionConfigTest, ADottedAddressIsIPv4WithoutLookingAtTheConfiguration) {
  setNetwork("IPv6");
  EXPECT_EQ(choose("tls://127.0.0.1:8443/ping"), IPv4);
  EXPECT_EQ(choose("tcp://10.1.2.3:80"), IPv4);
  EXPECT_EQ(choose("tcp://192.168.0.1"), IPv4);
  EXPECT_EQ(lookups(), 0);
}

TEST_F(SessionConfigTest, ABracketedIPv6LiteralIsIPv6) {
  setNetwork("IPv4");
  EXPECT_EQ(choose("tls://[::1]:8443"), IPv6);
  EXPECT_EQ(choose("tcp://[fe80::1:2]:80/path"), IPv6);
  EXPECT_EQ(choose("tcp://[2001:db8::7]:1"), IPv6);
  EXPECT_EQ(lookups(), 0);
}

TEST_F(SessionConfigTest, AHostNameFollowsTheNetworkConfiguration) {
  setNetwork("IPv6");
  EXPECT_EQ(choose("tls://localhost:8443"), IPv6);
  EXPECT_EQ(settings.configuration.lastName, "networkConfiguration");
  EXPECT_EQ(lookups(), 1);
  EXPECT_EQ(choose("tls://server.example.com:8443/a/b"), IPv6);
  EXPECT_EQ(lookups(), 2);

  // Anything but the exact word gives IPv4.
  setNetwork("ipv6");
  EXPECT_EQ(choose("tls://localhost:8443"), IPv4);
  setNetwork("IPv6 ");
  EXPECT_EQ(choose("tls://localhost:8443"), IPv4);
  setNetwork("IPv4");
  EXPECT_EQ(choose("tls://localhost:8443"), IPv4);
  setNetwork("");
  EXPECT_EQ(choose("tls://localhost:8443"), IPv4);
  setNetwork(nullptr);
  EXPECT_EQ(choose("tls://localhost:8443"), IPv4);
  EXPECT_EQ(lookups(), 7);
}

TEST_F(SessionConfigTest, DigitsWithoutADotAreAHostName) {
  setNetwork("IPv6");
  EXPECT_EQ(choose("tcp://12345:80"), IPv6);
  EXPECT_EQ(lookups(), 1);
  // A dot with other characters is a name as well.
  EXPECT_EQ(choose("tcp://1.2.3.x:80"), IPv6);
  EXPECT_EQ(lookups(), 2);
}

TEST_F(SessionConfigTest, AColonInThePathIsNotThePorts) {
  setNetwork("IPv4");
  EXPECT_EQ(choose("tcp://10.0.0.1/a:b"), IPv4);
  EXPECT_EQ(choose("tcp://10.0.0.1:80/a:b"), IPv4);
  EXPECT_EQ(lookups(), 0);
  // A host name: the configuration decides, not the path's colon.
  EXPECT_EQ(choose("tcp://host:8080/a:b"), IPv4);
  EXPECT_EQ(choose("tcp://name/x:y"), IPv4);
  EXPECT_EQ(lookups(), 2);
  EXPECT_EQ(choose("tcp://[::1]:80/a:b"), IPv6);
}

TEST_F(SessionConfigTest, WithoutAPortAndWithoutAColonTheHostEndsAtTheFirstSlash) {
  setNetwork("IPv6");
  EXPECT_EQ(choose("tcp://10.0.0.1/ping"), IPv4);
  EXPECT_EQ(choose("tcp://10.0.0.1"), IPv4);
  EXPECT_EQ(lookups(), 0);
  EXPECT_EQ(choose("tcp://host/ping"), IPv6);
  EXPECT_EQ(lookups(), 1);
}

TEST_F(SessionConfigTest, WithoutDoubleSlashTheHostStartsAtTheSecondCharacter) {
  setNetwork("IPv6");
  // "x10.0.0.1:80": the host is "10.0.0.1".
  EXPECT_EQ(choose("x10.0.0.1:80"), IPv4);
  EXPECT_EQ(lookups(), 0);
  // "110.0.0.1:80": the host is "10.0.0.1" as well.
  EXPECT_EQ(choose("110.0.0.1:80"), IPv4);
  // "[::1]:80" without "//": the host is "::1]", which holds a colon.
  EXPECT_EQ(choose("[::1]:80"), IPv6);
  EXPECT_EQ(lookups(), 0);
  // "a:80": the host would be empty, which is a name.
  EXPECT_EQ(choose("a:80"), IPv6);
  EXPECT_EQ(lookups(), 1);
}

TEST_F(SessionConfigTest, AColonBeforeTheHostIsNotAPort) {
  setNetwork("IPv6");
  // The only colon is the scheme's, before the host: the host ends at the
  // first slash behind it.
  EXPECT_EQ(choose("tcp://10.0.0.1/path"), IPv4);
  EXPECT_EQ(choose("tcp://localhost/path"), IPv6);
  EXPECT_EQ(lookups(), 1);
}

TEST_F(SessionConfigTest, DegenerateUrisGiveAHostName) {
  setNetwork("IPv6");
  EXPECT_EQ(choose(""), IPv6);
  EXPECT_EQ(choose("x"), IPv6);
  EXPECT_EQ(choose("tcp://"), IPv6);
  EXPECT_EQ(choose("tcp://:80"), IPv6);
  EXPECT_EQ(lookups(), 4);
}
