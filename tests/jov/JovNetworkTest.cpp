//===- JovNetworkTest.cpp - Plain JOV connections against trqtestchild ----===//
//
// Real exchanges on the loopback interface, IPv4 and IPv6, with the test
// child as the peer: what the service relies on (connect, send, poll, one
// receive, close) and what may go wrong (time-outs, refusals, a peer that
// closes or vanishes, a close from another thread).
//
//===----------------------------------------------------------------------===//
#include "JovTestSupport.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

using namespace jovtest;
using namespace std::chrono_literals;

namespace {

class JovNetworkTest : public ::testing::Test {
protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(jov.load("JOV_Crypto_Interface", error)) << error;
  }

  /// A handle of `family` connected to `url`; fails the test otherwise.
  JOV_HANDLE connect(const std::string &family, const std::string &url) {
    JOV_HANDLE handle = 0;
    char *details = nullptr;
    const std::string document = sessionDocument(family);
    EXPECT_EQ(jov.Socket(&handle, document.c_str(), 0, &details), JOV_OK) << jov.take(details);
    EXPECT_NE(handle, 0);
    int rc = jov.Connect_Url(handle, url.c_str(), document.c_str());
    EXPECT_EQ(rc, JOV_OK) << jov.lastError(handle);
    return handle;
  }

  /// Polls for readability and reads until `expected` bytes or the end.
  std::string receive(JOV_HANDLE handle, std::size_t expected) {
    std::string data;
    while (data.size() < expected) {
      JOV_POLLFD entry{handle, JOV_POLL_READABLE, 0};
      char *details = nullptr;
      int rc = jov.Poll(&entry, 1, 10000, 0, &details);
      EXPECT_GE(rc, 0) << jov.take(details);
      if (rc < 0 || !(entry.revents & JOV_POLL_READABLE))
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
};

} // namespace

TEST_F(JovNetworkTest, ExchangeOverIPv4Loopback) {
  ChildProcess child;
  std::string error;
  int port = startServer(child, dir, {"--command=PING", "--reply=PONG\\n", "--log=" + dir.file("child.log")}, error);
  ASSERT_NE(port, 0) << error;

  JOV_HANDLE handle = connect("IPv4", "tcp://127.0.0.1:" + std::to_string(port) + "/ping");
  uint32_t sent = 0;
  ASSERT_EQ(jov.Send(handle, "PING", 4, 0, &sent, nullptr), JOV_OK) << jov.lastError(handle);
  EXPECT_EQ(sent, 4u);

  JOV_POLLFD entry{handle, JOV_POLL_READABLE, 0};
  char *details = nullptr;
  int rc = jov.Poll(&entry, 1, 10000, 0, &details);
  ASSERT_EQ(rc, 1) << jov.take(details);
  EXPECT_EQ(entry.revents & JOV_POLL_READABLE, JOV_POLL_READABLE);

  EXPECT_EQ(receive(handle, 5), "PONG\n");
  EXPECT_EQ(jov.CloseHandle(&handle, 0, nullptr), JOV_OK);
  EXPECT_EQ(handle, 0);
  std::string log = testsupport::readFile(dir.file("child.log"));
  EXPECT_TRUE(hasLine(log, "received PING")) << log;
  EXPECT_TRUE(hasLine(log, "replied PONG\\n")) << log;
}

TEST_F(JovNetworkTest, ExchangeOverIPv6LoopbackWithBracketedLiteral) {
  ChildProcess child;
  std::string error;
  int port = startServer(child, dir, {"--ipv6", "--reply=six"}, error);
  ASSERT_NE(port, 0) << error;
  JOV_HANDLE handle = connect("IPv6", "tcp://[::1]:" + std::to_string(port));
  ASSERT_EQ(jov.Send(handle, "hello", 5, 0, nullptr, nullptr), JOV_OK);
  EXPECT_EQ(receive(handle, 3), "six");
  EXPECT_EQ(jov.CloseHandle(&handle, 0, nullptr), JOV_OK);
  EXPECT_EQ(handle, 0);
}

TEST_F(JovNetworkTest, HostNamesResolveInTheHandlesFamily) {
  ChildProcess child;
  std::string error;
  int port = startServer(child, dir, {"--reply=by name"}, error);
  ASSERT_NE(port, 0) << error;
  JOV_HANDLE handle = connect("IPv4", "http://localhost:" + std::to_string(port) + "/status");
  ASSERT_EQ(jov.Send(handle, "x", 1, 0, nullptr, nullptr), JOV_OK);
  EXPECT_EQ(receive(handle, 7), "by name");
  EXPECT_EQ(jov.CloseHandle(&handle, 0, nullptr), JOV_OK);
}

TEST_F(JovNetworkTest, AnIPv6LiteralDoesNotResolveForAnIPv4Handle) {
  JOV_HANDLE handle = 0;
  ASSERT_EQ(jov.Socket(&handle, sessionDocument("IPv4").c_str(), 0, nullptr), JOV_OK);
  EXPECT_EQ(jov.Connect_Url(handle, "tcp://[::1]:9", nullptr), JOV_E_RESOLVE);
  EXPECT_NE(jov.lastError(handle).find("cannot resolve \"::1\" as an IPv4 address"), std::string::npos)
      << jov.lastError(handle);
  EXPECT_EQ(jov.CloseHandle(&handle, 0, nullptr), JOV_OK);
}

TEST_F(JovNetworkTest, PollTimesOutWithTwoAndNoEvents) {
  ChildProcess child;
  std::string error;
  int port = startServer(child, dir, {"--silent"}, error);
  ASSERT_NE(port, 0) << error;
  JOV_HANDLE handle = connect("IPv4", "tcp://127.0.0.1:" + std::to_string(port));
  ASSERT_EQ(jov.Send(handle, "anyone?", 7, 0, nullptr, nullptr), JOV_OK);
  JOV_POLLFD entry{handle, JOV_POLL_READABLE, 0xFFFF};
  char *details = nullptr;
  EXPECT_EQ(jov.Poll(&entry, 1, 200, 0, &details), JOV_POLL_TIMEOUT);
  EXPECT_EQ(details, nullptr);
  EXPECT_EQ(entry.revents, 0);
  EXPECT_EQ(jov.Poll(&entry, 1, 0, 0, &details), JOV_POLL_TIMEOUT);
  EXPECT_EQ(entry.revents, 0);
  // Asking for writability is answered at once.
  entry.events = JOV_POLL_WRITABLE;
  EXPECT_EQ(jov.Poll(&entry, 1, 1000, 0, &details), 1);
  EXPECT_EQ(entry.revents, JOV_POLL_WRITABLE);
  EXPECT_EQ(jov.CloseHandle(&handle, 0, nullptr), JOV_OK);
}

TEST_F(JovNetworkTest, ARefusedConnectionNamesTheSystemsReason) {
  int port;
  {
    ChildProcess child;
    std::string error;
    port = startServer(child, dir, {}, error);
    ASSERT_NE(port, 0) << error;
    child.kill();
  }
  JOV_HANDLE handle = 0;
  ASSERT_EQ(jov.Socket(&handle, sessionDocument("IPv4").c_str(), 0, nullptr), JOV_OK);
  EXPECT_EQ(jov.Connect_Url(handle, ("tcp://127.0.0.1:" + std::to_string(port)).c_str(), nullptr), JOV_E_CONNECT);
  std::string details = jov.lastError(handle);
  EXPECT_NE(details.find("connecting to 127.0.0.1 port " + std::to_string(port)), std::string::npos) << details;
  if (testsupport::isWindows())
    EXPECT_NE(details.find("(WSA error 10061)"), std::string::npos) << details;
  else
    EXPECT_NE(details.find("Connection refused (errno 111)"), std::string::npos) << details;
  // The handle stays usable for another attempt, and closes normally.
  EXPECT_EQ(jov.CloseHandle(&handle, 0, nullptr), JOV_OK);
}

TEST_F(JovNetworkTest, AReplyWithControlBytesArrivesIntact) {
  ChildProcess child;
  std::string error;
  int port = startServer(child, dir, {"--reply=A\\r\\nB\\0C\\t\\\\\\x7F\\xFFend"}, error);
  ASSERT_NE(port, 0) << error;
  JOV_HANDLE handle = connect("IPv4", "tcp://127.0.0.1:" + std::to_string(port));
  ASSERT_EQ(jov.Send(handle, "go", 2, 0, nullptr, nullptr), JOV_OK);
  const std::string expected("A\r\nB\0C\t\\\x7F\xFF"
                             "end",
                             13);
  EXPECT_EQ(receive(handle, expected.size() + 1), expected);
  EXPECT_EQ(jov.CloseHandle(&handle, 0, nullptr), JOV_OK);
}

TEST_F(JovNetworkTest, APeerThatClosesGivesAReceiveOfZero) {
  ChildProcess child;
  std::string error;
  int port = startServer(child, dir, {"--close"}, error);
  ASSERT_NE(port, 0) << error;
  JOV_HANDLE handle = connect("IPv4", "tcp://127.0.0.1:" + std::to_string(port));
  ASSERT_EQ(jov.Send(handle, "bye", 3, 0, nullptr, nullptr), JOV_OK);
  JOV_POLLFD entry{handle, JOV_POLL_READABLE, 0};
  ASSERT_EQ(jov.Poll(&entry, 1, 10000, 0, nullptr), 1);
  EXPECT_NE(entry.revents & JOV_POLL_READABLE, 0);
  char buffer[16];
  uint32_t count = 99;
  EXPECT_EQ(jov.Recv(handle, buffer, sizeof(buffer), 0, &count, nullptr), JOV_OK);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(jov.CloseHandle(&handle, 0, nullptr), JOV_OK);
}

TEST_F(JovNetworkTest, ARecvReadsAtMostTheCapacity) {
  ChildProcess child;
  std::string error;
  int port = startServer(child, dir, {"--reply=0123456789"}, error);
  ASSERT_NE(port, 0) << error;
  JOV_HANDLE handle = connect("IPv4", "tcp://127.0.0.1:" + std::to_string(port));
  ASSERT_EQ(jov.Send(handle, "?", 1, 0, nullptr, nullptr), JOV_OK);
  JOV_POLLFD entry{handle, JOV_POLL_READABLE, 0};
  ASSERT_EQ(jov.Poll(&entry, 1, 10000, 0, nullptr), 1);
  char buffer[4] = {};
  uint32_t count = 0;
  ASSERT_EQ(jov.Recv(handle, buffer, sizeof(buffer), 0, &count, nullptr), JOV_OK);
  ASSERT_GE(count, 1u);
  ASSERT_LE(count, 4u);
  std::string data(buffer, count);
  data += receive(handle, 10 - count);
  EXPECT_EQ(data, "0123456789");
  EXPECT_EQ(jov.CloseHandle(&handle, 0, nullptr), JOV_OK);
}

TEST_F(JovNetworkTest, SendingToAVanishedPeerFailsWithoutEndingTheProcess) {
  ChildProcess child;
  std::string error;
  int port = startServer(child, dir, {"--silent"}, error);
  ASSERT_NE(port, 0) << error;
  JOV_HANDLE handle = connect("IPv4", "tcp://127.0.0.1:" + std::to_string(port));
  ASSERT_EQ(jov.Send(handle, "first", 5, 0, nullptr, nullptr), JOV_OK);
  child.kill();
  int rc = JOV_OK;
  std::string chunk(4096, 'x');
  for (int attempt = 0; attempt < 200 && rc == JOV_OK; ++attempt) {
    rc = jov.Send(handle, chunk.data(), static_cast<uint32_t>(chunk.size()), 0, nullptr, nullptr);
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(rc, JOV_E_SEND);
  EXPECT_NE(jov.lastError(handle).find("sending to 127.0.0.1:" + std::to_string(port) + " failed"), std::string::npos)
      << jov.lastError(handle);
  EXPECT_EQ(jov.CloseHandle(&handle, 0, nullptr), JOV_OK);
}

TEST_F(JovNetworkTest, ClosingFromAnotherThreadEndsABlockedReceive) {
  ChildProcess child;
  std::string error;
  int port = startServer(child, dir, {"--silent"}, error);
  ASSERT_NE(port, 0) << error;
  JOV_HANDLE handle = connect("IPv4", "tcp://127.0.0.1:" + std::to_string(port));
  const JOV_HANDLE shared = handle;
  auto reading = std::async(std::launch::async, [&] {
    char buffer[16];
    uint32_t count = 0;
    return jov.Recv(shared, buffer, sizeof(buffer), 0, &count, nullptr);
  });
  EXPECT_EQ(reading.wait_for(300ms), std::future_status::timeout);
  EXPECT_EQ(jov.CloseHandle(&handle, 0, nullptr), JOV_OK);
  ASSERT_EQ(reading.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(reading.get(), JOV_E_CLOSED);
}

TEST_F(JovNetworkTest, DifferentHandlesWorkFromDifferentThreadsAtOnce) {
  ChildProcess child;
  std::string error;
  int port = startServer(child, dir, {"--command=\\n", "--reply=ok"}, error);
  ASSERT_NE(port, 0) << error;
  const std::string url = "tcp://127.0.0.1:" + std::to_string(port);
  auto worker = [&](int id) {
    int good = 0;
    for (int round = 0; round < 5; ++round) {
      JOV_HANDLE handle = 0;
      if (jov.Socket(&handle, sessionDocument("IPv4").c_str(), 0, nullptr) != JOV_OK)
        continue;
      std::string line = "worker " + std::to_string(id) + "\n";
      if (jov.Connect_Url(handle, url.c_str(), nullptr) == JOV_OK &&
          jov.Send(handle, line.data(), static_cast<uint32_t>(line.size()), 0, nullptr, nullptr) == JOV_OK) {
        JOV_POLLFD entry{handle, JOV_POLL_READABLE, 0};
        char buffer[8] = {};
        uint32_t count = 0;
        if (jov.Poll(&entry, 1, 10000, 0, nullptr) == 1 &&
            jov.Recv(handle, buffer, sizeof(buffer), 0, &count, nullptr) == JOV_OK &&
            std::string(buffer, count) == "ok")
          ++good;
      }
      jov.CloseHandle(&handle, 0, nullptr);
    }
    return good;
  };
  std::vector<std::future<int>> workers;
  for (int id = 0; id < 4; ++id)
    workers.push_back(std::async(std::launch::async, worker, id));
  for (auto &result : workers) {
    ASSERT_EQ(result.wait_for(60s), std::future_status::ready);
    EXPECT_EQ(result.get(), 5);
  }
}

TEST_F(JovNetworkTest, PollReportsOnlyTheReadyEntries) {
  ChildProcess talking, silent;
  std::string error;
  int talkingPort = startServer(talking, dir, {"--reply=here"}, error);
  ASSERT_NE(talkingPort, 0) << error;
  int silentPort = startServer(silent, dir, {"--silent"}, error);
  ASSERT_NE(silentPort, 0) << error;
  JOV_HANDLE quiet = connect("IPv4", "tcp://127.0.0.1:" + std::to_string(silentPort));
  JOV_HANDLE loud = connect("IPv4", "tcp://127.0.0.1:" + std::to_string(talkingPort));
  ASSERT_EQ(jov.Send(quiet, "a", 1, 0, nullptr, nullptr), JOV_OK);
  ASSERT_EQ(jov.Send(loud, "b", 1, 0, nullptr, nullptr), JOV_OK);
  JOV_POLLFD entries[2] = {{quiet, JOV_POLL_READABLE, 0}, {loud, JOV_POLL_READNORM, 0}};
  ASSERT_EQ(jov.Poll(entries, 2, 10000, 0, nullptr), 1);
  EXPECT_EQ(entries[0].revents, 0);
  EXPECT_EQ(entries[1].revents & JOV_POLL_READABLE, JOV_POLL_READABLE);
  EXPECT_EQ(jov.CloseHandle(&quiet, 0, nullptr), JOV_OK);
  EXPECT_EQ(jov.CloseHandle(&loud, 0, nullptr), JOV_OK);
}

TEST_F(JovNetworkTest, ConnectingAgainToTheSameUrlIsConfirmedAndToAnotherRefused) {
  ChildProcess child;
  std::string error;
  int port = startServer(child, dir, {"--silent"}, error);
  ASSERT_NE(port, 0) << error;
  const std::string url = "tcp://127.0.0.1:" + std::to_string(port);
  JOV_HANDLE handle = connect("IPv4", url);
  EXPECT_EQ(jov.Connect_Url(handle, url.c_str(), nullptr), JOV_OK);
  EXPECT_EQ(jov.Connect_Url(handle, "tcp://127.0.0.1:9", nullptr), JOV_E_STATE);
  EXPECT_EQ(jov.lastError(handle), "handle " + std::to_string(handle) + " is already connected to " + url);
  EXPECT_EQ(jov.EstablishSecure(handle, 0), JOV_E_STATE);
  EXPECT_EQ(jov.Send(handle, "x", 1, 7, nullptr, nullptr), JOV_E_INVALID_ARGUMENT);
  EXPECT_EQ(jov.Send(handle, nullptr, 1, 0, nullptr, nullptr), JOV_E_INVALID_ARGUMENT);
  EXPECT_EQ(jov.Send(handle, nullptr, 0, 0, nullptr, nullptr), JOV_OK);
  EXPECT_EQ(jov.CloseHandle(&handle, 0, nullptr), JOV_OK);
}
