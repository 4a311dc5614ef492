//===- ThreadTest.cpp - Threads, semaphores and locks of the core library -===//
#include "TestSupport.h"
#include "rklcore.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <vector>

namespace {

class Recorder : public RKLRunnable {
public:
  void run() override {
    id = RKLThread::currentThreadId();
    ran = true;
  }
  std::atomic<bool> ran{false};
  std::atomic<uint64_t> id{0};
};

// A thread whose own run() is the body, as the service's worker threads are.
class WaitingThread : public RKLThread {
public:
  WaitingThread() : RKLThread(nullptr, 0) {}
  void run() override {
    started.post();
    release.wait();
  }
  RKLThreadSemaphore started{0};
  RKLThreadSemaphore release{0};
};

TEST(RKLThread, RunsRunnableAndJoins) {
  Recorder recorder;
  RKLThread thread(&recorder, 0);
  EXPECT_FALSE(thread.isAlive());
  thread.start();
  thread.join();
  EXPECT_TRUE(recorder.ran);
  EXPECT_FALSE(thread.isAlive());
  EXPECT_NE(recorder.id.load(), RKLThread::currentThreadId());
  EXPECT_NE(recorder.id.load(), 0u);
  thread.join(); // a second join does nothing
}

TEST(RKLThread, OwnRunAndIsAlive) {
  WaitingThread thread;
  thread.start();
  ASSERT_EQ(thread.started.timedWait(10000), 1);
  EXPECT_TRUE(thread.isAlive());
  thread.release.post();
  thread.join();
  EXPECT_FALSE(thread.isAlive());
}

TEST(RKLThread, StartWhileRunningIsRefusedAndAfterTheEndAllowed) {
  WaitingThread thread;
  thread.start();
  ASSERT_EQ(thread.started.timedWait(10000), 1);
  EXPECT_THROW(thread.start(), RKLThreadResourceError);
  thread.release.post();
  thread.join();
  // Once the body has returned the thread can run again.
  thread.start();
  ASSERT_EQ(thread.started.timedWait(10000), 1);
  thread.release.post();
  thread.join();
  EXPECT_FALSE(thread.isAlive());

  // Without an explicit join, start() joins the earlier run itself.
  Recorder recorder;
  RKLThread again(&recorder, 0);
  again.start();
  ASSERT_TRUE(testsupport::waitUntil([&] { return !again.isAlive(); }));
  recorder.ran = false;
  again.start();
  again.join();
  EXPECT_TRUE(recorder.ran);
}

TEST(RKLThread, JoinOfNeverStartedThreadReturns) {
  RKLThread thread(nullptr, 0);
  thread.join();
  EXPECT_FALSE(thread.isAlive());
}

// Uses far more stack than any system gives a thread by default (1 MiB on
// Windows, 8 MiB on Linux), so it only survives when the size is honoured.
class DeepStack : public RKLRunnable {
public:
  void run() override {
    constexpr size_t size = 12u << 20;
    volatile char block[size];
    block[0] = 1;
    block[size / 2] = 2;
    block[size - 1] = 3;
    sum = block[0] + block[size / 2] + block[size - 1];
  }
  std::atomic<int> sum{0};
};

TEST(RKLThread, StackSizeIsHonoured) {
  DeepStack deep;
  RKLThread thread(&deep, 32u << 20);
  thread.start();
  thread.join();
  EXPECT_EQ(deep.sum, 6);
}

TEST(RKLThread, CurrentThreadIdsDiffer) {
  constexpr int count = 4;
  std::vector<Recorder> recorders(count);
  std::vector<std::unique_ptr<RKLThread>> threads;
  for (auto &recorder : recorders)
    threads.push_back(std::make_unique<RKLThread>(&recorder, 0));
  for (auto &thread : threads)
    thread->start();
  for (auto &thread : threads)
    thread->join();
  std::set<uint64_t> ids;
  for (auto &recorder : recorders)
    ids.insert(recorder.id);
  ids.insert(RKLThread::currentThreadId());
  EXPECT_EQ(ids.size(), static_cast<size_t>(count + 1));
}

TEST(RKLThreadSemaphore, TimedWaitTimesOutWithZero) {
  RKLThreadSemaphore semaphore(0);
  EXPECT_EQ(semaphore.timedWait(0), 0);
  EXPECT_EQ(semaphore.timedWait(50), 0);
}

TEST(RKLThreadSemaphore, InitialCountAndPostN) {
  RKLThreadSemaphore semaphore(2);
  EXPECT_EQ(semaphore.timedWait(0), 1);
  EXPECT_EQ(semaphore.timedWait(0), 1);
  EXPECT_EQ(semaphore.timedWait(0), 0);
  semaphore.post(3);
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(semaphore.timedWait(0), 1);
  EXPECT_EQ(semaphore.timedWait(0), 0);
}

class Poster : public RKLRunnable {
public:
  explicit Poster(RKLThreadSemaphore &target) : m_target(target) {}
  void run() override {
    RKLThread::sleep(100);
    m_target.post();
  }

private:
  RKLThreadSemaphore &m_target;
};

TEST(RKLThreadSemaphore, TimedWaitReturnsOneWhenPostedFromAnotherThread) {
  RKLThreadSemaphore semaphore(0);
  Poster poster(semaphore);
  RKLThread thread(&poster, 0);
  thread.start();
  EXPECT_EQ(semaphore.timedWait(30000), 1);
  thread.join();
}

TEST(RKLThreadSemaphore, WaitReturnsWhenPosted) {
  RKLThreadSemaphore semaphore(0);
  Poster poster(semaphore);
  RKLThread thread(&poster, 0);
  thread.start();
  semaphore.wait();
  thread.join();
  EXPECT_EQ(semaphore.timedWait(0), 0);
}

// Many threads hand tokens back and forth; no post may be lost.
class PingPong : public RKLRunnable {
public:
  PingPong(RKLThreadSemaphore &in, RKLThreadSemaphore &out, int rounds) : m_in(in), m_out(out), m_rounds(rounds) {}
  void run() override {
    for (int i = 0; i < m_rounds; ++i) {
      m_in.wait();
      m_out.post();
    }
  }

private:
  RKLThreadSemaphore &m_in, &m_out;
  int m_rounds;
};

TEST(RKLThreadSemaphore, NoPostIsLostBetweenThreads) {
  RKLThreadSemaphore ping(0), pong(0);
  constexpr int rounds = 2000;
  PingPong worker(ping, pong, rounds);
  RKLThread thread(&worker, 0);
  thread.start();
  for (int i = 0; i < rounds; ++i) {
    ping.post();
    ASSERT_EQ(pong.timedWait(30000), 1) << "round " << i;
  }
  thread.join();
}

class Counter : public RKLRunnable {
public:
  Counter(RKLThreadLockable &lock, long &value) : m_lock(lock), m_value(value) {}
  void run() override {
    for (int i = 0; i < 20000; ++i) {
      RKLThreadGuard guard(m_lock);
      RKLThreadGuard again(m_lock); // locks are recursive
      ++m_value;
    }
  }

private:
  RKLThreadLockable &m_lock;
  long &m_value;
};

template <class Lock> void countUnderLock() {
  Lock lock(0);
  long value = 0;
  std::vector<std::unique_ptr<Counter>> counters;
  std::vector<std::unique_ptr<RKLThread>> threads;
  for (int i = 0; i < 4; ++i) {
    counters.push_back(std::make_unique<Counter>(lock, value));
    threads.push_back(std::make_unique<RKLThread>(counters.back().get(), 0));
  }
  for (auto &thread : threads)
    thread->start();
  for (auto &thread : threads)
    thread->join();
  EXPECT_EQ(value, 4 * 20000);
}

TEST(RKLThreadMutex, GuardSerialisesThreads) { countUnderLock<RKLThreadMutex>(); }
TEST(RKLThreadCriticalSection, GuardSerialisesThreads) { countUnderLock<RKLThreadCriticalSection>(); }

TEST(RKLThread, SleepWaitsAtLeastTheTime) {
  auto before = std::chrono::steady_clock::now();
  RKLThread::sleep(30);
  EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(29));
  RKLThread::sleep(0);
  RKLThread::sleep(-5);
}

} // namespace
