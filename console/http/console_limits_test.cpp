#include "console/http/console_limits.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>

namespace kestrel::console {
namespace {

using std::chrono::milliseconds;
using Clock = LoginBackoff::Clock;

// Fails one admitted check and returns its delay.
milliseconds failOnce(LoginBackoff& backoff, const std::string& address, Clock::time_point now) {
  EXPECT_FALSE(backoff.admit(address, now).has_value()) << address;
  return std::chrono::duration_cast<milliseconds>(backoff.failed(address, now));
}

TEST(LoginBackoff, DelayDoublesPerAddressUpToEightSeconds) {
  LoginBackoff backoff;
  auto now = Clock::time_point{} + std::chrono::hours(1);
  std::vector<long> delays;
  for (int i = 0; i < 7; ++i) {
    auto delay = failOnce(backoff, "127.0.0.2", now);
    delays.push_back(delay.count());
    // Until the delay has passed the address gets no check at all, right or wrong.
    auto wait = backoff.admit("127.0.0.2", now + delay - milliseconds(1));
    ASSERT_TRUE(wait.has_value());
    EXPECT_EQ(std::chrono::duration_cast<milliseconds>(*wait), milliseconds(1));
    now += delay;
  }
  EXPECT_EQ(delays, (std::vector<long>{500, 1000, 2000, 4000, 8000, 8000, 8000}));
  // Another address is not held back by the first one's failures.
  EXPECT_FALSE(backoff.admit("127.0.0.3", now).has_value());
  backoff.succeeded("127.0.0.3");
}

TEST(LoginBackoff, OneCheckPerAddressAtATime) {
  LoginBackoff backoff;
  auto now = Clock::now();
  ASSERT_FALSE(backoff.admit("10.0.0.1", now).has_value());
  // A parallel guess from the same address while the first is checked is refused.
  EXPECT_TRUE(backoff.admit("10.0.0.1", now).has_value());
  EXPECT_FALSE(backoff.admit("10.0.0.9", now).has_value());
  backoff.succeeded("10.0.0.1");
  backoff.succeeded("10.0.0.9");
  EXPECT_FALSE(backoff.admit("10.0.0.1", now).has_value());
  backoff.succeeded("10.0.0.1");
  EXPECT_EQ(backoff.tracked(), 0u);
}

TEST(LoginBackoff, SuccessAndAQuietMinuteForgetFailures) {
  LoginBackoff backoff;
  auto now = Clock::time_point{} + std::chrono::hours(1);
  for (int i = 0; i < 4; ++i) now += failOnce(backoff, "a", now);
  EXPECT_EQ(failOnce(backoff, "a", now + std::chrono::minutes(2)), milliseconds(500));
  now += std::chrono::minutes(3);
  for (int i = 0; i < 3; ++i) now += failOnce(backoff, "b", now);
  ASSERT_FALSE(backoff.admit("b", now).has_value());
  backoff.succeeded("b");
  EXPECT_EQ(failOnce(backoff, "b", now), milliseconds(500));
}

TEST(LoginBackoff, TableStaysBoundedAndKeepsRecentOffenders) {
  LoginBackoff backoff(8);
  auto now = Clock::time_point{} + std::chrono::hours(1);
  failOnce(backoff, "recent", now);
  for (int i = 0; i < 1000; ++i) {
    now += milliseconds(1);
    failOnce(backoff, "10.1." + std::to_string(i / 256) + "." + std::to_string(i % 256), now);
    // The last offender is still held back after each eviction.
    ASSERT_LE(backoff.tracked(), 8u);
  }
  EXPECT_TRUE(backoff.admit("10.1.3.231", now).has_value());
  // The oldest made way: "recent" was the first and is forgotten.
  EXPECT_FALSE(backoff.admit("recent", now).has_value());
}

TEST(LoginBackoff, SourceKeys) {
  EXPECT_EQ(LoginBackoff::sourceKey("127.0.0.2"), "127.0.0.2");
  EXPECT_EQ(LoginBackoff::sourceKey("::ffff:192.0.2.7"), "192.0.2.7");
  // Every address of one /64 counts as one source.
  EXPECT_EQ(LoginBackoff::sourceKey("2001:db8:1:2::1"), LoginBackoff::sourceKey("2001:db8:1:2:ffff::9"));
  EXPECT_NE(LoginBackoff::sourceKey("2001:db8:1:2::1"), LoginBackoff::sourceKey("2001:db8:1:3::1"));
  EXPECT_EQ(LoginBackoff::sourceKey("::1"), "v6:0000000000000000::/64");
  EXPECT_EQ(LoginBackoff::sourceKey("not an address"), "not an address");
}

// Jobs that block until released, so the test sees how many run at once.
struct Gate {
  std::mutex mutex;
  std::condition_variable changed;
  int running = 0;
  int finished = 0;
  bool open = false;

  std::function<void()> job() {
    return [this] {
      std::unique_lock<std::mutex> lock(mutex);
      ++running;
      changed.notify_all();
      changed.wait(lock, [&] { return open; });
      --running;
      ++finished;
      changed.notify_all();
    };
  }
  // Waits (generously) until pred holds; false if it never did.
  template <typename Pred>
  bool await(Pred pred) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(30), pred);
  }
  void release() {
    std::lock_guard<std::mutex> lock(mutex);
    open = true;
    changed.notify_all();
  }
};

TEST(ConnectionWorkers, GrowOnDemandToTheLimitAndQueueBeyond) {
  Gate gate;
  ConnectionWorkers workers(5);
  EXPECT_EQ(workers.threads(), 0u);
  for (int i = 0; i < 8; ++i) workers.enqueue(gate.job());
  ASSERT_TRUE(gate.await([&] { return gate.running == 5; }));
  EXPECT_EQ(workers.threads(), 5u);
  gate.release();
  ASSERT_TRUE(gate.await([&] { return gate.finished == 8; }));
  EXPECT_EQ(workers.threads(), 5u);
  workers.shutdown();
}

TEST(ConnectionWorkers, ShutdownRunsWhatIsQueued) {
  Gate gate;
  std::atomic<int> ran{0};
  {
    ConnectionWorkers workers(1);
    workers.enqueue(gate.job());
    ASSERT_TRUE(gate.await([&] { return gate.running == 1; }));
    for (int i = 0; i < 3; ++i) workers.enqueue([&] { ++ran; });
    gate.release();
    workers.shutdown();
    EXPECT_EQ(ran.load(), 3);
    workers.enqueue([&] { ++ran; });
  }
  // A job handed over after shutdown still runs when the queue goes away (it closes a socket).
  EXPECT_EQ(ran.load(), 4);
}

}  // namespace
}  // namespace kestrel::console
