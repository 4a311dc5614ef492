//===- ConnectScriptTest.cpp - Creating, connecting and securing a handle --===//
//
// The connect step's one budget of five repetitions, shared by the connect
// and the establish calls, counted call by call against scripted answers.
//
//===----------------------------------------------------------------------===//
#include "ScriptTestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace cryptotest;

namespace {

class ConnectScriptTest : public ScriptTest {
protected:
  /// send() of a fresh command to `uri`, closed afterwards.
  int send(const std::string &uri = "tls://127.0.0.1:8443/ping") {
    TRQSocketCommand command(uri.c_str(), "PING", 5);
    int result = command.send();
    command.close();
    return result;
  }

  /// `count` copies of `line`.
  static std::vector<std::string> times(int count, const std::string &line) {
    return std::vector<std::string>(static_cast<std::size_t>(count), line);
  }

  std::string repeat(int count, const std::string &words) {
    std::string result;
    for (int i = 0; i < count; ++i)
      result += (result.empty() ? "" : " ") + words;
    return result;
  }

  // The steps of a handshake are logged at DEBUG; the answer that ends the
  // attempt, at ERROR.
  const std::string connectStep = "DEBUG failed to connect, JOV error: fake JOV_Connect_Url returned -15 ";
  const std::string connectFailed = "ERROR failed to connect, JOV error: fake JOV_Connect_Url returned -15 ";
  const std::string establishStep = "DEBUG failed to establish, JOV error: fake JOV_EstablishSecure returned -23 ";
  const std::string establishBusy = "ERROR failed to establish, JOV error: fake JOV_EstablishSecure returned -23 ";
};

} // namespace

TEST_F(ConnectScriptTest, APlainConnectionConnectsOnce) {
  EXPECT_EQ(send("tcp://127.0.0.1:80"), 1);
  EXPECT_EQ(fake.calls(), "Socket Connect_Url Send CloseHandle");
  EXPECT_EQ(fake.query("url"), "tcp://127.0.0.1:80");
  EXPECT_EQ(fake.query("sent"), "PING");
  EXPECT_EQ(log.lines("TRQSocketCommand"), std::vector<std::string>{});
}

TEST_F(ConnectScriptTest, TheSessionDocumentGoesToSocketAndConnect) {
  send("tcp://127.0.0.1:80");
  EXPECT_EQ(fake.document("Socket"), TRQSocketCommand::SessionConfigIPv4);
  EXPECT_EQ(fake.document("Connect_Url"), TRQSocketCommand::SessionConfigIPv4);
  send("tcp://[::1]:80");
  EXPECT_EQ(fake.document("Socket"), TRQSocketCommand::SessionConfigIPv6);
  EXPECT_EQ(fake.document("Connect_Url"), TRQSocketCommand::SessionConfigIPv6);
}

TEST_F(ConnectScriptTest, AHostNameAsksTheConfigurationForTheFamily) {
  ConfigurationOverride settings;
  settings.configuration.values["networkConfiguration"] = "IPv6";
  send("tls://appserver:8443");
  EXPECT_EQ(fake.document("Socket"), TRQSocketCommand::SessionConfigIPv6);
  EXPECT_EQ(settings.configuration.getValueCalls, 1);
  settings.configuration.values["networkConfiguration"] = "IPv4";
  send("tls://appserver:8443");
  EXPECT_EQ(fake.document("Socket"), TRQSocketCommand::SessionConfigIPv4);
}

TEST_F(ConnectScriptTest, SecureRequiredThenEstablishedThenConnected) {
  fake.script("Connect_Url=-15,0;EstablishSecure=-23,-23,0");
  EXPECT_EQ(send(), 1);
  EXPECT_EQ(fake.calls(), "Socket Connect_Url EstablishSecure EstablishSecure EstablishSecure Connect_Url Send "
                          "CloseHandle");
  std::vector<std::string> expected = {connectStep, establishStep, establishStep};
  EXPECT_EQ(log.lines("TRQSocketCommand"), expected);
}

TEST_F(ConnectScriptTest, SixEstablishCallsAnsweringInProgressFail) {
  fake.script("Connect_Url=-15;EstablishSecure=-23");
  EXPECT_EQ(send(), -1);
  EXPECT_EQ(fake.calls("Connect_Url"), 1);
  EXPECT_EQ(fake.calls("EstablishSecure"), 6);
  EXPECT_EQ(fake.calls("Send"), 0);
  EXPECT_EQ(fake.calls("CloseHandle"), 1);
  std::vector<std::string> expected = {connectStep};
  for (const std::string &line : times(5, establishStep))
    expected.push_back(line);
  expected.push_back(establishBusy);
  EXPECT_EQ(log.lines("TRQSocketCommand"), expected);
}

TEST_F(ConnectScriptTest, FiveInProgressAnswersUseUpTheBudget) {
  // The sixth establish call succeeds, but connecting again would be a
  // sixth repetition, which the budget no longer allows.
  fake.script("Connect_Url=-15,0;EstablishSecure=-23x5,0");
  EXPECT_EQ(send(), -1);
  EXPECT_EQ(fake.calls("EstablishSecure"), 6);
  EXPECT_EQ(fake.calls("Connect_Url"), 1);
}

TEST_F(ConnectScriptTest, FourInProgressAnswersLeaveRoomToConnect) {
  fake.script("Connect_Url=-15,0;EstablishSecure=-23x4,0");
  EXPECT_EQ(send(), 1);
  EXPECT_EQ(fake.calls("EstablishSecure"), 5);
  EXPECT_EQ(fake.calls("Connect_Url"), 2);
}

TEST_F(ConnectScriptTest, ConnectAndEstablishAlternateSixTimesThenFail) {
  fake.script("Connect_Url=-15;EstablishSecure=0");
  EXPECT_EQ(send(), -1);
  EXPECT_EQ(fake.calls(), "Socket " + repeat(6, "Connect_Url EstablishSecure") + " CloseHandle");
  std::vector<std::string> expected = times(5, connectStep);
  expected.push_back(connectFailed);
  EXPECT_EQ(log.lines("TRQSocketCommand"), expected);
}

TEST_F(ConnectScriptTest, TheSixthConnectMaySucceed) {
  fake.script("Connect_Url=-15x5,0;EstablishSecure=0");
  EXPECT_EQ(send(), 1);
  EXPECT_EQ(fake.calls(), "Socket " + repeat(5, "Connect_Url EstablishSecure") + " Connect_Url Send CloseHandle");
}

TEST_F(ConnectScriptTest, OneBudgetServesBothLoops) {
  // Four repetitions go to establishing, the fifth to connecting again, and
  // the second round's first in-progress answer finds the budget spent.
  fake.script("Connect_Url=-15;EstablishSecure=-23x4,0,-23");
  EXPECT_EQ(send(), -1);
  EXPECT_EQ(fake.calls(), "Socket Connect_Url " + repeat(5, "EstablishSecure") +
                              " Connect_Url EstablishSecure "
                              "CloseHandle");
}

TEST_F(ConnectScriptTest, AnotherConnectFailureEndsAtOnce) {
  fake.script("Connect_Url=-7");
  EXPECT_EQ(send(), -1);
  EXPECT_EQ(fake.calls(), "Socket Connect_Url CloseHandle");
  EXPECT_EQ(log.lines("TRQSocketCommand"),
            std::vector<std::string>{"ERROR failed to connect, JOV error: fake JOV_Connect_Url returned -7 "});
}

TEST_F(ConnectScriptTest, AnotherEstablishFailureEndsAtOnce) {
  fake.script("Connect_Url=-15;EstablishSecure=-23,-13");
  EXPECT_EQ(send(), -1);
  EXPECT_EQ(fake.calls(), "Socket Connect_Url EstablishSecure EstablishSecure CloseHandle");
  EXPECT_EQ(log.lines("TRQSocketCommand"),
            (std::vector<std::string>{connectStep, establishStep,
                                      "ERROR failed to establish, JOV error: fake JOV_EstablishSecure returned -13 "}));
}

TEST_F(ConnectScriptTest, FailuresWithoutDetailsAreNotLogged) {
  fake.script("Connect_Url=-15;EstablishSecure=-23;NoDetails=1");
  EXPECT_EQ(send(), -1);
  EXPECT_EQ(fake.calls("EstablishSecure"), 6);
  EXPECT_EQ(fake.calls("CryptoGetLastErrorDetails"), 7);
  EXPECT_EQ(log.lines("TRQSocketCommand"), std::vector<std::string>{});
}

TEST_F(ConnectScriptTest, AFailedHandleCreationLogsItsDetails) {
  fake.script("Socket=-18");
  EXPECT_EQ(send(), -1);
  EXPECT_EQ(fake.calls(), "Socket");
  EXPECT_EQ(log.lines("TRQSocketCommand"),
            std::vector<std::string>{"ERROR failed to create JOV handle: fake JOV_Socket returned -18 "});
}

TEST_F(ConnectScriptTest, AFailedHandleCreationWithoutDetailsLogsNothing) {
  fake.script("Socket=-18;NoDetails=1");
  EXPECT_EQ(send(), -1);
  EXPECT_EQ(log.lines("TRQSocketCommand"), std::vector<std::string>{});
}

TEST_F(ConnectScriptTest, APositiveSocketResultIsAHandle) {
  fake.script("Socket=3");
  EXPECT_EQ(send(), 1);
  EXPECT_EQ(fake.calls(), "Socket Connect_Url Send CloseHandle");
}

TEST_F(ConnectScriptTest, AFailedSendLogsItsDetails) {
  fake.script("Send=-9");
  EXPECT_EQ(send(), -1);
  EXPECT_EQ(fake.calls(), "Socket Connect_Url Send CloseHandle");
  EXPECT_EQ(log.lines("TRQSocketCommand"),
            std::vector<std::string>{"ERROR failed to send, JOV error: fake JOV_Send returned -9 "});
}

TEST_F(ConnectScriptTest, CloseIsCalledOnlyForAnOpenHandle) {
  TRQSocketCommand command("tcp://127.0.0.1:80", "PING", 5);
  command.close(); // no handle yet
  EXPECT_EQ(fake.calls("CloseHandle"), 0);
  EXPECT_EQ(command.send(), 1);
  EXPECT_NE(command.getHandle(), 0);
  command.close();
  EXPECT_EQ(command.getHandle(), 0);
  command.close();
  EXPECT_EQ(fake.calls("CloseHandle"), 1);
}

TEST_F(ConnectScriptTest, TheDestructorClosesAnOpenHandle) {
  {
    TRQSocketCommand command("tcp://127.0.0.1:80", "PING", 5);
    EXPECT_EQ(command.send(), 1);
  }
  EXPECT_EQ(fake.calls(), "Socket Connect_Url Send CloseHandle");
}

TEST_F(ConnectScriptTest, AHandleLeftOpenIsClosedBeforeTheNextConnection) {
  TRQSocketCommand command("tcp://127.0.0.1:80", "PING", 5);
  EXPECT_EQ(command.send(), 1);
  EXPECT_EQ(command.send(), 1);
  command.close();
  EXPECT_EQ(fake.calls(), "Socket Connect_Url Send CloseHandle Socket Connect_Url Send CloseHandle");
}
