//===- SockSendConfigureTest.cpp - Reading a socketSend element -----------===//
//
// Which attributes are read, in which order, with which messages; the
// defaults; substitution of the URI and the command; and the markers, which
// are read only when a reply is expected and disabled when they are longer
// than it.
//
//===----------------------------------------------------------------------===//
#include "../crypto/CryptoTestSupport.h"
#include "config/TRQPropertyInserter.h"
#include "crypto/TRQSocketCommand.h"
#include "supervision/TRQBadConfigException.h"
#include "supervision/TRQSockSendAction.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace cryptotest;

namespace {

class SockSendConfigureTest : public ::testing::Test {
protected:
  /// Configures `action` from `<socketSend attributes/>`.
  void configure(TRQSockSendAction &action, const std::string &attributes) {
    action.configure(parseElement("<socketSend " + attributes + "/>"));
  }
  std::vector<std::string> lines() const { return log.lines("TRQSockSendAction"); }

  LogCapture log;
};

} // namespace

TEST_F(SockSendConfigureTest, TheSmallestElementTakesTheDefaults) {
  TRQSockSendAction action;
  EXPECT_EQ(action.getCommand(), nullptr);
  configure(action, "URI=\"tcp://127.0.0.1:8005\" commandString=\"PING\"");
  ASSERT_NE(action.getCommand(), nullptr);
  EXPECT_EQ(action.getCommand()->getUri(), "tcp://127.0.0.1:8005");
  EXPECT_EQ(action.getCommand()->getCommand(), "PING");
  EXPECT_EQ(action.getCommand()->getIOTimeoutSec(), 60u);
  EXPECT_EQ(action.getResponseSize(), 0);
  EXPECT_EQ(action.getWaitTime(), -1);
  EXPECT_EQ(lines(), (std::vector<std::string>{"DEBUG preparing", "DEBUG URI is tcp://127.0.0.1:8005",
                                               "DEBUG command string is \"PING\"", "DEBUG socket I/O timeout is 60"}));
}

TEST_F(SockSendConfigureTest, EveryAttributeIsReadAndLogged) {
  TRQSockSendAction action;
  configure(action, "wait_time=\"2\" URI=\"tls://app:8443/ping\" commandString=\"are you there?\" "
                    "sockIOTimeoutSec=\"15\" responseSize=\"32\" responseOK=\"yes\" responseFatal=\"FATAL\" "
                    "responseRetry=\"busy\" dependency=\"SOMETHING\"");
  EXPECT_EQ(action.getWaitTime(), 2000);
  EXPECT_EQ(action.getCommand()->getIOTimeoutSec(), 15u);
  EXPECT_EQ(action.getResponseSize(), 32);
  EXPECT_EQ(action.getResponseOK(), "yes");
  EXPECT_EQ(action.getResponseFatal(), "FATAL");
  EXPECT_EQ(action.getResponseRetry(), "busy");
  EXPECT_EQ(lines(),
            (std::vector<std::string>{"DEBUG preparing", "DEBUG URI is tls://app:8443/ping",
                                      "DEBUG command string is \"are you there?\"", "DEBUG socket I/O timeout is 15",
                                      "DEBUG responseSize is \"32\"", "DEBUG responseOK is \"yes\"",
                                      "DEBUG responseFatal is \"FATAL\"", "DEBUG responseRetry is \"busy\""}));
  EXPECT_EQ(log.count("TRQAction", "DEBUG configured wait_time is 2000 ms."), 1);
}

TEST_F(SockSendConfigureTest, URIAndCommandAreSubstitutedButMarkersAreNot) {
  TRQPropertyInserter::getInstance()->addProperty("crytest_port", "8443");
  TRQPropertyInserter::getInstance()->addProperty("crytest_cmd", "STATUS");
  TRQSockSendAction action;
  configure(action, "URI=\"tls://localhost:${crytest_port}\" commandString=\"${crytest_cmd}\\n\" "
                    "responseSize=\"20\" responseOK=\"${crytest_cmd}\"");
  EXPECT_EQ(action.getCommand()->getUri(), "tls://localhost:8443");
  EXPECT_EQ(action.getCommand()->getCommand(), "STATUS\\n");
  EXPECT_EQ(action.getResponseOK(), "${crytest_cmd}");
}

TEST_F(SockSendConfigureTest, AMissingURIIsAConfigurationError) {
  TRQSockSendAction action;
  try {
    configure(action, "commandString=\"PING\"");
    FAIL() << "no exception";
  } catch (const TRQBadConfigException &e) {
    EXPECT_STREQ(e.getMessage(), "ping action must have URI");
  }
  EXPECT_EQ(lines(), (std::vector<std::string>{"DEBUG preparing", "ERROR missing URI attribute"}));
  EXPECT_EQ(action.getCommand(), nullptr);
}

TEST_F(SockSendConfigureTest, AURIWhoseSchemeCannotBeServedIsAConfigurationError) {
  for (const char *uri : {"ftp://127.0.0.1:21", "127.0.0.1:8005"}) {
    TRQSockSendAction action;
    try {
      configure(action, std::string("URI=\"") + uri + "\" commandString=\"PING\"");
      FAIL() << "no exception for " << uri;
    } catch (const TRQBadConfigException &e) {
      EXPECT_STREQ(e.getMessage(), "ping action URI must start with tcp://, http://, tls:// or https://");
    }
    EXPECT_EQ(lines().back(),
              std::string("ERROR URI ") + uri + " cannot be served: its scheme must be tcp, http, tls or https");
    EXPECT_EQ(action.getCommand(), nullptr);
  }
  // Schemes are read in any case.
  TRQSockSendAction upper;
  configure(upper, "URI=\"TLS://app:8443\" commandString=\"PING\"");
  EXPECT_NE(upper.getCommand(), nullptr);
}

TEST_F(SockSendConfigureTest, AnEmptyURIIsMissing) {
  TRQSockSendAction action;
  EXPECT_THROW(configure(action, "URI=\"\" commandString=\"PING\""), TRQBadConfigException);
}

TEST_F(SockSendConfigureTest, AMissingCommandStringIsAConfigurationError) {
  TRQSockSendAction action;
  try {
    configure(action, "URI=\"tcp://127.0.0.1:1\" commandString=\"\"");
    FAIL() << "no exception";
  } catch (const TRQBadConfigException &e) {
    EXPECT_STREQ(e.getMessage(), "ping action must have commandString attribute.");
  }
  EXPECT_EQ(lines(), (std::vector<std::string>{"DEBUG preparing", "DEBUG URI is tcp://127.0.0.1:1",
                                               "ERROR missing commandString attribute"}));
}

TEST_F(SockSendConfigureTest, ATimeLimitOfMinusOneMeansNoPoll) {
  TRQSockSendAction action;
  configure(action, "URI=\"tcp://127.0.0.1:1\" commandString=\"x\" sockIOTimeoutSec=\"-1\"");
  EXPECT_EQ(action.getCommand()->getIOTimeoutSec(), TRQSocketCommand::NoPoll);
  EXPECT_EQ(log.count("TRQSockSendAction", "DEBUG socket I/O timeout is -1"), 1);
}

TEST_F(SockSendConfigureTest, NumbersAreReadLikeAtoi) {
  TRQSockSendAction action;
  configure(action, "URI=\"tcp://127.0.0.1:1\" commandString=\"x\" sockIOTimeoutSec=\"soon\" "
                    "responseSize=\" 12 bytes\"");
  EXPECT_EQ(action.getCommand()->getIOTimeoutSec(), 0u);
  EXPECT_EQ(action.getResponseSize(), 12);
  EXPECT_EQ(log.count("TRQSockSendAction", "DEBUG socket I/O timeout is 0"), 1);
  EXPECT_EQ(log.count("TRQSockSendAction", "DEBUG responseSize is \"12\""), 1);
}

TEST_F(SockSendConfigureTest, WithoutResponseSizeTheMarkersAreNotRead) {
  TRQSockSendAction action;
  configure(action, "URI=\"tcp://127.0.0.1:1\" commandString=\"x\" responseOK=\"OK\" responseFatal=\"F\" "
                    "responseRetry=\"R\"");
  EXPECT_EQ(action.getResponseOK(), "");
  EXPECT_EQ(action.getResponseFatal(), "");
  EXPECT_EQ(action.getResponseRetry(), "");
  EXPECT_EQ(lines().size(), 4u);
}

TEST_F(SockSendConfigureTest, AZeroOrNegativeResponseSizeReadsNoMarkers) {
  TRQSockSendAction zero;
  configure(zero, "URI=\"tcp://127.0.0.1:1\" commandString=\"x\" responseSize=\"0\" responseOK=\"OK\"");
  EXPECT_EQ(zero.getResponseOK(), "");
  TRQSockSendAction negative;
  configure(negative, "URI=\"tcp://127.0.0.1:1\" commandString=\"x\" responseSize=\"-5\" responseOK=\"OK\"");
  EXPECT_EQ(negative.getResponseSize(), -5);
  EXPECT_EQ(negative.getResponseOK(), "");
  EXPECT_EQ(log.count("TRQSockSendAction", "DEBUG responseSize is \"-5\""), 1);
  EXPECT_EQ(log.count("TRQSockSendAction", "DEBUG responseOK is \"OK\""), 0);
}

TEST_F(SockSendConfigureTest, AMarkerLongerThanTheResponseIsDisabled) {
  TRQSockSendAction action;
  configure(action, "URI=\"tcp://127.0.0.1:1\" commandString=\"x\" responseSize=\"5\" responseOK=\"123456789\" "
                    "responseFatal=\"FATAL!\" responseRetry=\"RETRY?\"");
  EXPECT_EQ(action.getResponseOK(), "");
  EXPECT_EQ(action.getResponseFatal(), "");
  EXPECT_EQ(action.getResponseRetry(), "");
  std::vector<std::string> all = lines();
  std::vector<std::string> markers(all.begin() + 5, all.end());
  EXPECT_EQ(markers,
            (std::vector<std::string>{
                "ERROR configured OK response is longer that the response length.", "DEBUG responseOK is \"\"",
                "ERROR configured FATAL response is longer that the response length.", "DEBUG responseFatal is \"\"",
                "ERROR configured RETRY response is longer that the response length.", "DEBUG responseRetry is \"\""}));
}

TEST_F(SockSendConfigureTest, AMarkerAsLongAsTheResponseIsKept) {
  TRQSockSendAction action;
  configure(action, "URI=\"tcp://127.0.0.1:1\" commandString=\"x\" responseSize=\"5\" responseOK=\"12345\" "
                    "responseRetry=\"busy\"");
  EXPECT_EQ(action.getResponseOK(), "12345");
  EXPECT_EQ(action.getResponseRetry(), "busy");
  std::vector<std::string> all = lines();
  std::vector<std::string> markers(all.begin() + 5, all.end());
  EXPECT_EQ(markers, (std::vector<std::string>{"DEBUG responseOK is \"12345\"", "DEBUG responseRetry is \"busy\""}));
}

TEST_F(SockSendConfigureTest, MarkerLengthCountsBytes) {
  // "é" is two bytes in UTF-8: three characters, four bytes.
  TRQSockSendAction action;
  configure(action, "URI=\"tcp://127.0.0.1:1\" commandString=\"x\" responseSize=\"3\" responseOK=\"Ok\xC3\xA9\"");
  EXPECT_EQ(action.getResponseOK(), "");
  EXPECT_EQ(log.count("TRQSockSendAction", "ERROR configured OK response is longer that the response length."), 1);
}

TEST_F(SockSendConfigureTest, ConfiguringAgainReplacesTheCommand) {
  TRQSockSendAction action;
  configure(action, "URI=\"tcp://127.0.0.1:1\" commandString=\"one\" responseSize=\"4\" responseOK=\"OK\"");
  configure(action, "URI=\"tcp://127.0.0.1:2\" commandString=\"two\"");
  EXPECT_EQ(action.getCommand()->getUri(), "tcp://127.0.0.1:2");
  EXPECT_EQ(action.getCommand()->getCommand(), "two");
  EXPECT_EQ(action.getResponseSize(), 0);
  EXPECT_EQ(action.getResponseOK(), "");
}
