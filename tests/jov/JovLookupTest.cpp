//===- JovLookupTest.cpp - The JOV library's bounded name lookup ----------===//
//
// The lookup that the library's connections make runs on a thread of its
// own and is waited for only until the connection's limit or a close from
// another thread. These cases hand it lookups that stall until the test
// lets them go, which the system's resolver does only with a silent name
// server; the real resolver is met in the network suite.
//
//===----------------------------------------------------------------------===//
#include "jov/jovlookup.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

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
