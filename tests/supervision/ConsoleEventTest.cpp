//===- ConsoleEventTest.cpp - Receiving console control events ------------===//
//
// Installing the handler changes the signal state of the whole process, so
// each case runs in a process of its own: this suite's program started again
// with only that case (the DISABLED_ cases below, which a normal run skips).
// The case's outcome is the exit code of that process.
//
// Linux only: on Windows the events come from the console, and Wine cannot
// generate them.
//
//===----------------------------------------------------------------------===//
#include "SupervisionTestSupport.h"
#include "console.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <pthread.h>
#include <unistd.h>
#endif

namespace {

/// Runs one DISABLED_ case of ConsoleEventsIsolated in a new process; its
/// exit code, or -1 when it did not end in time.
int runIsolated(const std::string &name) { return suptest::runIsolatedCase("ConsoleEventsIsolated.DISABLED_" + name); }

#define SKIP_ON_WINDOWS()                                                                                              \
  if (testsupport::isWindows())                                                                                        \
  GTEST_SKIP() << "console control events come from the console, and Wine cannot generate them"

#ifndef _WIN32

struct Received {
  std::mutex lock;
  std::vector<unsigned> events;
  std::set<std::thread::id> threads;
  std::atomic<bool> release{false};
  std::atomic<int> declined{0};
};

Received *g_received = nullptr;

/// Records the event, then holds its thread until released, so that later
/// events can only be handled on threads of their own.
int holdingHandler(unsigned controlType) {
  {
    std::lock_guard<std::mutex> guard(g_received->lock);
    g_received->events.push_back(controlType);
    g_received->threads.insert(std::this_thread::get_id());
  }
  testsupport::waitUntil([] { return g_received->release.load(); }, std::chrono::seconds(30));
  return 1;
}

int decliningHandler(unsigned) {
  g_received->declined.fetch_add(1);
  return 0;
}

size_t eventCount() {
  std::lock_guard<std::mutex> guard(g_received->lock);
  return g_received->events.size();
}

bool blockedHere(int signal) {
  sigset_t mask;
  pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  return sigismember(&mask, signal) == 1;
}

#endif

} // namespace

TEST(ConsoleEvents, EachEventRunsTheHandlerOnAThreadOfItsOwn) {
  SKIP_ON_WINDOWS();
  EXPECT_EQ(runIsolated("EachEventRunsTheHandlerOnAThreadOfItsOwn"), 0);
}

TEST(ConsoleEvents, ThreadsStartedLaterKeepTheSignalsBlocked) {
  SKIP_ON_WINDOWS();
  EXPECT_EQ(runIsolated("ThreadsStartedLaterKeepTheSignalsBlocked"), 0);
}

TEST(ConsoleEvents, ADeclinedEventTakesTheDefaultAction) {
  SKIP_ON_WINDOWS();
  EXPECT_EQ(runIsolated("ADeclinedEventTakesTheDefaultAction"), 128 + 2); // ended by SIGINT
}

TEST(ConsoleEvents, InstallingAgainOnlyReplacesTheHandler) {
  SKIP_ON_WINDOWS();
  EXPECT_EQ(runIsolated("InstallingAgainOnlyReplacesTheHandler"), 0);
}

TEST(ConsoleEvents, AnIgnoredSignalStaysIgnored) {
  SKIP_ON_WINDOWS();
  EXPECT_EQ(runIsolated("AnIgnoredSignalStaysIgnored"), 0);
}

#ifndef _WIN32

TEST(ConsoleEventsIsolated, DISABLED_EachEventRunsTheHandlerOnAThreadOfItsOwn) {
  g_received = new Received();
  platform::installConsoleControlHandler(holdingHandler);
  // One at a time, so that the order is known; each handler keeps its thread
  // until all three have arrived.
  ASSERT_EQ(kill(getpid(), SIGINT), 0);
  ASSERT_TRUE(testsupport::waitUntil([] { return eventCount() == 1; }));
  ASSERT_EQ(kill(getpid(), SIGHUP), 0);
  ASSERT_TRUE(testsupport::waitUntil([] { return eventCount() == 2; }));
  ASSERT_EQ(kill(getpid(), SIGTERM), 0);
  ASSERT_TRUE(testsupport::waitUntil([] { return eventCount() == 3; }));
  ASSERT_EQ(kill(getpid(), SIGQUIT), 0);
  ASSERT_TRUE(testsupport::waitUntil([] { return eventCount() == 4; }));
  g_received->release.store(true);
  std::lock_guard<std::mutex> guard(g_received->lock);
  EXPECT_EQ(g_received->events, (std::vector<unsigned>{0, 2, 2, 1}));
  EXPECT_EQ(g_received->threads.size(), 4u);
  EXPECT_EQ(g_received->threads.count(std::this_thread::get_id()), 0u);
}

TEST(ConsoleEventsIsolated, DISABLED_ThreadsStartedLaterKeepTheSignalsBlocked) {
  g_received = new Received();
  g_received->release.store(true);
  platform::installConsoleControlHandler(holdingHandler);
  EXPECT_TRUE(blockedHere(SIGINT));
  bool blockedInThread = false;
  std::thread([&] {
    blockedInThread = blockedHere(SIGINT) && blockedHere(SIGTERM) && blockedHere(SIGHUP) && blockedHere(SIGQUIT);
  }).join();
  EXPECT_TRUE(blockedInThread);
  // A signal sent to the process still reaches the handler.
  ASSERT_EQ(kill(getpid(), SIGTERM), 0);
  ASSERT_TRUE(testsupport::waitUntil([] { return eventCount() == 1; }));
}

TEST(ConsoleEventsIsolated, DISABLED_ADeclinedEventTakesTheDefaultAction) {
  g_received = new Received();
  platform::installConsoleControlHandler(decliningHandler);
  ASSERT_EQ(kill(getpid(), SIGINT), 0);
  // The default action ends the process; getting past the wait is a failure.
  testsupport::waitUntil([] { return false; }, std::chrono::seconds(20));
  ADD_FAILURE() << "still running; the handler was called " << g_received->declined.load() << " times";
}

TEST(ConsoleEventsIsolated, DISABLED_InstallingAgainOnlyReplacesTheHandler) {
  g_received = new Received();
  g_received->release.store(true);
  platform::installConsoleControlHandler(decliningHandler);
  platform::installConsoleControlHandler(holdingHandler);
  ASSERT_EQ(kill(getpid(), SIGINT), 0);
  ASSERT_TRUE(testsupport::waitUntil([] { return eventCount() == 1; }));
  // A second watching thread would have run the handler twice.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(eventCount(), 1u);
  EXPECT_EQ(g_received->declined.load(), 0);
}

TEST(ConsoleEventsIsolated, DISABLED_AnIgnoredSignalStaysIgnored) {
  g_received = new Received();
  g_received->release.store(true);
  signal(SIGHUP, SIG_IGN);
  platform::installConsoleControlHandler(holdingHandler);
  ASSERT_EQ(kill(getpid(), SIGHUP), 0);
  ASSERT_EQ(kill(getpid(), SIGINT), 0);
  ASSERT_TRUE(testsupport::waitUntil([] { return eventCount() == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::lock_guard<std::mutex> guard(g_received->lock);
  EXPECT_EQ(g_received->events, (std::vector<unsigned>{0}));
}

#endif
