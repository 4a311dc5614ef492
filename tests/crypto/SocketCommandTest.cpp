//===- SocketCommandTest.cpp - Exchanges with a real test child over loopback ===//
//
// The built JOV library and trqtestchild as the peer, on 127.0.0.1 and ::1:
// replies arrive byte for byte, a silent peer runs into the time limit, a
// closing peer gives 0 bytes, and failures log the library's own reasons.
//
//===----------------------------------------------------------------------===//
#include "CryptoTestSupport.h"
#include "crypto/TRQCryptoHelper.h"
#include "crypto/TRQSocketCommand.h"
#include "rklcrypto.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include <string>
#include <vector>

using namespace cryptotest;

namespace {

class SocketCommandTest : public ::testing::Test {
protected:
  void SetUp() override {
    TRQCryptoHelper::initialize();
    ASSERT_NE(TRQCryptoHelper::getCrypto(), nullptr);
    ASSERT_EQ(TRQCryptoHelper::getCrypto()->isLoaded(), 1) << RKLCrypto::lastLoadFailure();
  }

  int startServer(TestServer &server, const std::vector<std::string> &options) {
    std::string error;
    int port = server.start(options, error);
    EXPECT_NE(port, 0) << error;
    return port;
  }

  /// A name that the library resolves to the IPv6 loopback address, found
  /// by connecting to the IPv6 server at `port`; "" when there is none.
  std::string ipv6LoopbackName(int port) {
    RKLCrypto *crypto = TRQCryptoHelper::getCrypto();
    for (const char *name : {"localhost", "ip6-localhost", "ip6-loopback"}) {
      JOV_HANDLE handle = 0;
      if (crypto->Socket(&handle, TRQSocketCommand::SessionConfigIPv6, 0, nullptr) < 0)
        continue;
      const std::string url = std::string("tcp://") + name + ":" + std::to_string(port);
      int rc = crypto->Connect_Url(handle, url.c_str(), nullptr);
      crypto->CloseHandle(&handle, 0, nullptr);
      if (rc == 0)
        return name;
    }
    return "";
  }

  /// send, then recv of `size` bytes; the bytes read, or "<-1>" and the like.
  std::string exchange(TRQSocketCommand &command, unsigned size) {
    int sent = command.send();
    if (sent != 1)
      return "<send " + std::to_string(sent) + ">";
    std::string buffer(size + 1, '\0');
    int received = command.recv(size, buffer.data());
    command.close();
    if (received < 0)
      return "<" + std::to_string(received) + ">";
    EXPECT_EQ(buffer[size], '\0');
    return buffer.substr(0, static_cast<std::size_t>(received));
  }

  LogCapture log;
};

} // namespace

TEST_F(SocketCommandTest, ExchangeOverIPv4) {
  TestServer server;
  int port = startServer(server, {"--command=PING", "--reply=PONG"});
  TRQSocketCommand command(("tcp://127.0.0.1:" + std::to_string(port)).c_str(), "PING", 10);
  EXPECT_EQ(exchange(command, 64), "PONG");
  EXPECT_EQ(command.getHandle(), 0);
  EXPECT_TRUE(server.waitForLogLine("received PING"));
  EXPECT_EQ(log.lines("TRQSocketCommand"), std::vector<std::string>{});
}

TEST_F(SocketCommandTest, ExchangeOverIPv6WithABracketedLiteral) {
  TestServer server;
  int port = startServer(server, {"--ipv6", "--reply=six"});
  TRQSocketCommand command(("tcp://[::1]:" + std::to_string(port)).c_str(), "hello", 10);
  EXPECT_EQ(command.chooseSessionConfig(), std::string(TRQSocketCommand::SessionConfigIPv6));
  EXPECT_EQ(exchange(command, 16), "six");
  EXPECT_EQ(log.lines("TRQSocketCommand"), std::vector<std::string>{});
}

TEST_F(SocketCommandTest, AHostNameUsesIPv6WhenTheConfigurationSaysSo) {
  ConfigurationOverride settings;
  settings.configuration.values["networkConfiguration"] = "IPv6";
  TestServer server;
  int port = startServer(server, {"--ipv6", "--reply=by name"});
  const std::string name = ipv6LoopbackName(port);
  if (name.empty()) {
    // No name of this machine stands for ::1: the library then says that it
    // looked the name up as an IPv6 address.
    TRQSocketCommand command(("tcp://localhost:" + std::to_string(port)).c_str(), "?", 10);
    EXPECT_EQ(command.send(), -1);
    command.close();
    std::vector<std::string> lines = log.lines("TRQSocketCommand");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("cannot resolve \"localhost\" as an IPv6 address"), std::string::npos) << lines[0];
    return;
  }
  TRQSocketCommand command(("tcp://" + name + ":" + std::to_string(port) + "/").c_str(), "?", 10);
  EXPECT_EQ(exchange(command, 16), "by name");
  EXPECT_EQ(settings.configuration.getValueCalls, 1);
}

TEST_F(SocketCommandTest, AHostNameUsesIPv4Otherwise) {
  ConfigurationOverride settings;
  settings.configuration.values["networkConfiguration"] = "ipv6";
  TestServer server;
  int port = startServer(server, {"--reply=by name"});
  TRQSocketCommand command(("tcp://localhost:" + std::to_string(port)).c_str(), "?", 10);
  EXPECT_EQ(exchange(command, 16), "by name");
}

TEST_F(SocketCommandTest, RepliesArriveByteForByte) {
  TestServer server;
  int port = startServer(server, {"--reply=a\\r\\nb\\0c\\xFF"});
  TRQSocketCommand command(("tcp://127.0.0.1:" + std::to_string(port)).c_str(), "x", 10);
  EXPECT_EQ(exchange(command, 32), std::string("a\r\nb\0c\xFF", 7));
}

TEST_F(SocketCommandTest, ReadsAtMostTheGivenSize) {
  TestServer server;
  int port = startServer(server, {"--reply=0123456789"});
  TRQSocketCommand command(("tcp://127.0.0.1:" + std::to_string(port)).c_str(), "x", 10);
  EXPECT_EQ(exchange(command, 4), "0123");
}

TEST_F(SocketCommandTest, EachExchangeUsesAFreshConnection) {
  TestServer server;
  int port = startServer(server, {"--reply=again"});
  TRQSocketCommand command(("tcp://127.0.0.1:" + std::to_string(port)).c_str(), "x", 10);
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(exchange(command, 16), "again") << i;
}

TEST_F(SocketCommandTest, ASilentPeerRunsIntoTheTimeLimit) {
  TestServer server;
  int port = startServer(server, {"--silent"});
  TRQSocketCommand command(("tcp://127.0.0.1:" + std::to_string(port)).c_str(), "anyone?", 1);
  EXPECT_EQ(exchange(command, 16), "<-1>");
  EXPECT_EQ(log.lines("TRQSocketCommand"), std::vector<std::string>{"ERROR no response,  JOV_Poll timed out."});
  EXPECT_EQ(command.getHandle(), 0);
}

TEST_F(SocketCommandTest, WithoutTimeLimitTheReplyIsReadAtOnce) {
  TestServer server;
  int port = startServer(server, {"--reply=direct"});
  TRQSocketCommand command(("tcp://127.0.0.1:" + std::to_string(port)).c_str(), "x", TRQSocketCommand::NoPoll);
  EXPECT_EQ(command.getIOTimeoutSec(), 0xFFFFFFFFu);
  EXPECT_EQ(exchange(command, 16), "direct");
  EXPECT_EQ(log.lines("TRQSocketCommand"), std::vector<std::string>{});
}

TEST_F(SocketCommandTest, ACancelFromAnotherThreadEndsAnExchangeThatWouldWaitLong) {
  TestServer server;
  int port = startServer(server, {"--silent"});
  // Read at once, and a negative limit that would wrap: both wait a minute
  // at most, and a cancel ends them sooner.
  for (unsigned limit : {TRQSocketCommand::NoPoll, 0xFFFFFFFEu}) {
    TRQSocketCommand command(("tcp://127.0.0.1:" + std::to_string(port)).c_str(), "anyone?", limit);
    auto result = std::async(std::launch::async, [&] {
      std::string buffer(16, '\0');
      int sent = command.send();
      return sent == 1 ? command.recv(16, buffer.data()) : sent;
    });
    // Well below the minute of the longest wait.
    bool ended = false;
    for (int i = 0; i < 600 && !ended; ++i) {
      command.cancel();
      ended = result.wait_for(std::chrono::milliseconds(50)) == std::future_status::ready;
    }
    ASSERT_TRUE(ended) << limit;
    EXPECT_EQ(result.get(), -1) << limit;
    command.close();
    EXPECT_EQ(command.getHandle(), 0);
  }
}

TEST_F(SocketCommandTest, ACancelEndsTheConnectPauseAndOnlyACancelForGoodOutlivesTheExchange) {
  TestServer server;
  int port = startServer(server, {"--command=PING", "--reply=PONG"});
  const std::string uri = "tcp://127.0.0.1:" + std::to_string(port);
  TRQSocketCommand command(uri.c_str(), "PING", 10);
  {
    // A pause far longer than the test's bound: only the cancel ends it.
    TRQSocketCommand::setConnectPauseMsForTesting(600000);
    auto sent = std::async(std::launch::async, [&] { return command.send(); });
    bool ended = false;
    for (int i = 0; i < 600 && !ended; ++i) {
      command.cancel();
      ended = sent.wait_for(std::chrono::milliseconds(50)) == std::future_status::ready;
    }
    TRQSocketCommand::setConnectPauseMsForTesting(0);
    ASSERT_TRUE(ended);
    EXPECT_EQ(sent.get(), -1);
    EXPECT_EQ(command.getHandle(), 0);
    command.close();
  }
  // A cancel between exchanges is forgotten; one for good refuses the next.
  command.cancel();
  EXPECT_EQ(exchange(command, 16), "PONG");
  command.cancel(true);
  EXPECT_EQ(command.send(), -1);
  EXPECT_EQ(command.getHandle(), 0);
  command.close();
  std::vector<std::string> lines = log.lines("TRQSocketCommand");
  ASSERT_EQ(lines.size(), 2u);
  for (const std::string &line : lines)
    EXPECT_EQ(line, "DEBUG the exchange with " + uri + " was cancelled before it connected.");
}

TEST_F(SocketCommandTest, APeerThatClosesGivesZeroBytes) {
  TestServer server;
  int port = startServer(server, {"--close"});
  TRQSocketCommand command(("tcp://127.0.0.1:" + std::to_string(port)).c_str(), "bye", 10);
  EXPECT_EQ(exchange(command, 16), "");
  EXPECT_EQ(log.lines("TRQSocketCommand"), std::vector<std::string>{});
}

TEST_F(SocketCommandTest, ARefusedConnectionLogsTheLibrarysReason) {
  int port = closedPort();
  ASSERT_NE(port, 0);
  TRQSocketCommand command(("tcp://127.0.0.1:" + std::to_string(port)).c_str(), "x", 10);
  EXPECT_EQ(command.send(), -1);
  std::vector<std::string> lines = log.lines("TRQSocketCommand");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("ERROR failed to connect, JOV error: ", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find(std::to_string(port)), std::string::npos) << lines[0];
  EXPECT_EQ(lines[0].back(), ' ');
  // The handle was created; close releases it.
  EXPECT_NE(command.getHandle(), 0);
  command.close();
  EXPECT_EQ(command.getHandle(), 0);
  command.close();
}

TEST_F(SocketCommandTest, AUrlWithoutPortFailsToConnect) {
  TRQSocketCommand command("tcp://127.0.0.1/ping", "x", 10);
  EXPECT_EQ(command.send(), -1);
  std::vector<std::string> lines = log.lines("TRQSocketCommand");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("ERROR failed to connect, JOV error: ", 0), 0u) << lines[0];
}

TEST_F(SocketCommandTest, AnIPv6LiteralCannotReachAnIPv4OnlyPeer) {
  TestServer server;
  int port = startServer(server, {"--reply=four"});
  TRQSocketCommand command(("tcp://[::1]:" + std::to_string(port)).c_str(), "x", 10);
  EXPECT_EQ(command.send(), -1);
  EXPECT_EQ(log.lines("TRQSocketCommand").size(), 1u);
  command.close();
}

TEST_F(SocketCommandTest, TheDestructorReleasesAHandleLeftOpen) {
  TestServer server;
  int port = startServer(server, {"--silent"});
  {
    TRQSocketCommand command(("tcp://127.0.0.1:" + std::to_string(port)).c_str(), "held open", 10);
    ASSERT_EQ(command.send(), 1);
    EXPECT_NE(command.getHandle(), 0);
  }
  EXPECT_TRUE(server.waitForLogLine("received held open"));
  EXPECT_EQ(log.lines("TRQSocketCommand"), std::vector<std::string>{});
}

TEST_F(SocketCommandTest, WithoutAnInstanceEveryExchangeFailsAtHandleCreation) {
  TRQCryptoHelper::terminate();
  ASSERT_EQ(TRQCryptoHelper::getCrypto(), nullptr);
  TRQSocketCommand command("tcp://127.0.0.1:9", "x", 1);
  EXPECT_EQ(command.send(), -1);
  char buffer[8] = {};
  EXPECT_EQ(command.recv(4, buffer), -1);
  command.close();
  TRQSocketCommand noPoll("tcp://127.0.0.1:9", "x", TRQSocketCommand::NoPoll);
  EXPECT_EQ(noPoll.recv(4, buffer), -1);
  EXPECT_EQ(log.lines("TRQSocketCommand"),
            (std::vector<std::string>{"ERROR failed to create JOV handle:  ", "ERROR JOV_Poll failed, JOV error:  ",
                                      "ERROR JOV_Poll failed, JOV error:  "}));
  EXPECT_EQ(TRQCryptoHelper::initialize(), 1);
}
