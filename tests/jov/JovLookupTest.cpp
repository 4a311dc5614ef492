//===- JovLookupTest.cpp - The JOV library's bounded name lookup ----------===//
//
// The lookup that the library's connections make runs on a thread of its
// own and is waited for only until the connection's limit or a close from
// another thread. These cases hand it lookups that stall until the test
// lets them go. On Linux the library's connections also meet a resolver
// whose name server never answers: in a network and mount namespace of
// their own, where the resolver's configuration names a silent server on
// loopback.
//
//===----------------------------------------------------------------------===//
#include "JovTestSupport.h"
#include "TestProcess.h"
#include "jov/jovlookup.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

using namespace std::chrono_literals;

namespace {

/// A lookup that does not end before the test releases it, then finds
/// `list`; it counts what it was asked to free.
struct StalledLookup {
  std::mutex lock;
  std::condition_variable changed;
  bool started = false;
  bool released = false;
  int list = 0;
  static std::atomic<void *> freed;

  bool waitUntilStarted() {
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, 10s, [this] { return started; });
  }
  void release() {
    std::lock_guard<std::mutex> guard(lock);
    released = true;
    changed.notify_all();
  }
};
std::atomic<void *> StalledLookup::freed{nullptr};

/// The lookup of `stalled`, which it keeps alive for as long as it runs.
jov::Resolver resolverOf(const std::shared_ptr<StalledLookup> &stalled) {
  jov::Resolver resolver;
  resolver.lookup = [stalled] {
    std::unique_lock<std::mutex> guard(stalled->lock);
    stalled->started = true;
    stalled->changed.notify_all();
    // Bounded, so that a failed case cannot leave the thread for ever.
    stalled->changed.wait_for(guard, 60s, [&] { return stalled->released; });
    return jov::LookupResult{0, 0, &stalled->list};
  };
  resolver.release = [](void *found) { StalledLookup::freed.store(found); };
  return resolver;
}

bool waitUntilFreed(void *list) {
  auto until = std::chrono::steady_clock::now() + 10s;
  while (StalledLookup::freed.load() != list && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(10ms);
  return StalledLookup::freed.load() == list;
}

class JovLookupTest : public ::testing::Test {
protected:
  void SetUp() override { StalledLookup::freed.store(nullptr); }
  void TearDown() override { stalled->release(); }

  std::shared_ptr<StalledLookup> stalled = std::make_shared<StalledLookup>();
  std::atomic<bool> cancel{false};
  jov::LookupResult result;
  jov::Failure failure;
};

} // namespace

TEST_F(JovLookupTest, AStalledLookupEndsTheWaitAtTheDeadline) {
  EXPECT_FALSE(jov::boundedLookup("stalled.example", resolverOf(stalled), jov::Clock::now() + 300ms, cancel, result,
                                  failure));
  EXPECT_EQ(failure.code, JOV_E_TIMEOUT);
  EXPECT_EQ(failure.text, "resolving \"stalled.example\" took longer than the connection may");
  EXPECT_EQ(result.found, nullptr);
  // What the lookup finds after its caller has gone is freed by the lookup.
  ASSERT_TRUE(stalled->waitUntilStarted());
  stalled->release();
  EXPECT_TRUE(waitUntilFreed(&stalled->list));
}

TEST_F(JovLookupTest, ACancelEndsTheWaitBeforeTheDeadline) {
  auto waiting = std::async(std::launch::async, [&] {
    return jov::boundedLookup("stalled.example", resolverOf(stalled), jov::Clock::now() + 600s, cancel, result,
                              failure);
  });
  ASSERT_TRUE(stalled->waitUntilStarted());
  cancel.store(true);
  ASSERT_EQ(waiting.wait_for(20s), std::future_status::ready);
  EXPECT_FALSE(waiting.get());
  EXPECT_EQ(failure.code, JOV_E_CLOSED);
  EXPECT_EQ(failure.text, "the handle was closed while \"stalled.example\" was being resolved");
  stalled->release();
  EXPECT_TRUE(waitUntilFreed(&stalled->list));
}

TEST_F(JovLookupTest, ALookupThatEndsInTimeHandsOverItsResult) {
  stalled->release();
  ASSERT_TRUE(jov::boundedLookup("quick.example", resolverOf(stalled), jov::Clock::now() + 600s, cancel, result,
                                 failure));
  EXPECT_EQ(result.rc, 0);
  EXPECT_EQ(result.found, &stalled->list);
  EXPECT_EQ(failure.code, JOV_OK);
  // The caller owns the list now.
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(StalledLookup::freed.load(), nullptr);
}

TEST_F(JovLookupTest, AFailedLookupIsTheResolversErrorInTheHandlesFamily) {
  jov::AddressList found = jov::resolveAddresses(
      jov::Family::IPv4, "::1", "80", jov::Clock::now() + 10s, cancel,
      [](int rc, int) { return "code " + std::to_string(rc != 0); }, failure);
  EXPECT_EQ(found.get(), nullptr);
  EXPECT_EQ(failure.code, JOV_E_RESOLVE);
  EXPECT_EQ(failure.text, "cannot resolve \"::1\" as an IPv4 address: code 1");
}

#ifndef _WIN32

namespace {

/// Runs `args` (found on the PATH) in the test's folder; its exit code.
int run(const std::vector<std::string> &args, std::chrono::milliseconds timeout) {
  testsupport::TempDir dir{"tsllookup"};
  return testsupport::runProgram(args, dir.path(), timeout);
}

/// Waits until a query reaches the silent server, and takes it.
bool queryArrives(int server) {
  pollfd entry{server, POLLIN, 0};
  if (::poll(&entry, 1, 20000) != 1)
    return false;
  char packet[512];
  return ::recv(server, packet, sizeof(packet), 0) > 0;
}

} // namespace

TEST(JovLookupThroughTheLibrary, AResolverThatGetsNoAnswerEndsAtTheConnectLimitOrAClose) {
  if (geteuid() != 0 || run({"unshare", "--mount", "--net", "--", "true"}, 30s) != 0)
    GTEST_SKIP() << "no network and mount namespace of its own can be made here";
  testsupport::TempDir dir{"tsliso"};
  EXPECT_EQ(run({"unshare", "--mount", "--net", "--", (testsupport::binDir() / "tests_jov").string(),
                 "--gtest_also_run_disabled_tests",
                 "--gtest_filter=JovLookupIsolated.DISABLED_AResolverThatGetsNoAnswerEndsAtTheConnectLimitOrAClose",
                 "--gtest_output=xml:" + dir.file("isolated.xml")},
                120s),
            0);
}

// Runs in new network and mount namespaces (see above): nothing of it
// reaches the machine's network or its files.
TEST(JovLookupIsolated, DISABLED_AResolverThatGetsNoAnswerEndsAtTheConnectLimitOrAClose) {
  int control = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(control, 0);
  ifreq loopback{};
  std::strcpy(loopback.ifr_name, "lo");
  ASSERT_EQ(::ioctl(control, SIOCGIFFLAGS, &loopback), 0);
  loopback.ifr_flags = static_cast<short>(loopback.ifr_flags | IFF_UP);
  ASSERT_EQ(::ioctl(control, SIOCSIFFLAGS, &loopback), 0);
  ::close(control);

  int server = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(server, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(53);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(server, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);

  testsupport::TempDir dir{"tslresolver"};
  testsupport::writeFile(dir.file("resolv.conf"), "nameserver 127.0.0.1\noptions timeout:30 attempts:1\n");
  testsupport::writeFile(dir.file("nsswitch.conf"), "hosts: dns\n");
  ASSERT_EQ(::mount(dir.file("resolv.conf").c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr), 0);
  ASSERT_EQ(::mount(dir.file("nsswitch.conf").c_str(), "/etc/nsswitch.conf", nullptr, MS_BIND, nullptr), 0);

  jovtest::JovLibrary jov;
  std::string error;
  ASSERT_TRUE(jov.load("JOV_Crypto_Interface", error)) << error;
  const std::string document = jovtest::sessionDocument("IPv4");

  // A close from another thread ends the connection while it resolves.
  JOV_HANDLE handle = 0;
  ASSERT_EQ(jov.Socket(&handle, document.c_str(), 0, nullptr), JOV_OK);
  auto connecting = std::async(std::launch::async, [&jov, handle] {
    return jov.Connect_Url(handle, "tcp://stalled.example:80", nullptr);
  });
  ASSERT_TRUE(queryArrives(server));
  JOV_HANDLE closing = handle;
  EXPECT_EQ(jov.CloseHandle(&closing, 0, nullptr), JOV_OK);
  ASSERT_EQ(connecting.wait_for(20s), std::future_status::ready);
  EXPECT_EQ(connecting.get(), JOV_E_CLOSED);

  // Without one, the connection's own limit ends it.
  ASSERT_EQ(jov.Socket(&handle, document.c_str(), 0, nullptr), JOV_OK);
  connecting = std::async(std::launch::async, [&jov, handle] {
    return jov.Connect_Url(handle, "tcp://silent.example:80", nullptr);
  });
  ASSERT_TRUE(queryArrives(server));
  ASSERT_EQ(connecting.wait_for(60s), std::future_status::ready);
  EXPECT_EQ(connecting.get(), JOV_E_TIMEOUT); // after the ten seconds of a connection
  EXPECT_NE(jov.lastError(handle).find("resolving \"silent.example\" took longer than the connection may"),
            std::string::npos)
      << jov.lastError(handle);
  EXPECT_EQ(jov.CloseHandle(&handle, 0, nullptr), JOV_OK);
  ::close(server);
}

#endif
