#include "ftp/session_registry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace kestrel::ftp {
namespace {

struct FakeSession {
  int tag = 0;
};
using Registry = BasicSessionRegistry<FakeSession>;

TEST(SessionRegistry, NumbersCountUpAndListNewestFirst) {
  Registry registry;
  FakeSession a{1}, b{2}, c{3};
  EXPECT_EQ(registry.add(&a), 1);
  EXPECT_EQ(registry.add(&b), 2);
  EXPECT_EQ(registry.add(&c), 3);
  registry.remove(&b);
  std::vector<std::pair<int, int>> seen;
  registry.forEach([&](std::uint16_t number, FakeSession& s) { seen.push_back({number, s.tag}); });
  EXPECT_EQ(seen, (std::vector<std::pair<int, int>>{{3, 3}, {1, 1}}));
  // A number is never handed out again while the counter has not wrapped.
  FakeSession d{4};
  EXPECT_EQ(registry.add(&d), 4);
}

TEST(SessionRegistry, WithSessionFindsByNumberOnly) {
  Registry registry;
  FakeSession a{10}, b{20};
  registry.add(&a);
  std::uint16_t second = registry.add(&b);
  int found = 0;
  EXPECT_TRUE(registry.withSession(second, [&](FakeSession& s) { found = s.tag; }));
  EXPECT_EQ(found, 20);
  EXPECT_FALSE(registry.withSession(99, [&](FakeSession&) { ADD_FAILURE(); }));
  EXPECT_FALSE(registry.withSession(-1, [&](FakeSession&) { ADD_FAILURE(); }));
  registry.remove(&b);
  EXPECT_FALSE(registry.withSession(second, [&](FakeSession&) { ADD_FAILURE(); }));
}

TEST(SessionRegistry, NumbersWrapAfter65535AndTheNewestOfANumberAnswers) {
  Registry registry;
  FakeSession old{1};
  EXPECT_EQ(registry.add(&old), 1);
  FakeSession filler;
  for (int i = 2; i <= 65535; ++i) {
    registry.add(&filler);
    registry.remove(&filler);
  }
  FakeSession zero{0};
  EXPECT_EQ(registry.add(&zero), 0);
  FakeSession again{2};
  EXPECT_EQ(registry.add(&again), 1);
  int found = -1;
  EXPECT_TRUE(registry.withSession(1, [&](FakeSession& s) { found = s.tag; }));
  EXPECT_EQ(found, 2);
}

// The fault this guards against: a session was listed before its number was
// written, so SITE WHO and UMSG on other threads could read a number still
// being assigned (or 0). Numbers now travel with the entry, under the lock.
TEST(SessionRegistry, ASessionIsNeverSeenWithoutItsNumber) {
  Registry registry;
  constexpr int kSessions = 2000;
  std::vector<FakeSession> sessions(kSessions);
  std::vector<std::atomic<int>> numberOf(kSessions);
  for (int i = 0; i < kSessions; ++i) {
    sessions[i].tag = i;
    numberOf[i] = -1;
  }
  std::atomic<bool> done{false};
  std::atomic<int> mismatches{0};
  std::thread reader([&] {
    while (!done) {
      registry.forEach([&](std::uint16_t number, FakeSession& s) {
        if (number == 0) ++mismatches;  // the counter starts at 1 and does not wrap here
        int published = numberOf[s.tag].load();
        if (published != -1 && published != number) ++mismatches;
      });
    }
  });
  for (int i = 0; i < kSessions; ++i) numberOf[i] = registry.add(&sessions[i]);
  done = true;
  reader.join();
  EXPECT_EQ(mismatches.load(), 0);
  for (int i = 0; i < kSessions; ++i) {
    int found = -1;
    ASSERT_TRUE(registry.withSession(numberOf[i], [&](FakeSession& s) { found = s.tag; }));
    EXPECT_EQ(found, i);
  }
}

TEST(UserSessionCounts, AdmitsUpToTheLimitPerUser) {
  UserSessionCounts counts;
  EXPECT_FALSE(counts.admit(7, 0));  // a limit of 0 admits nobody
  EXPECT_TRUE(counts.admit(7, 2));
  EXPECT_TRUE(counts.admit(7, 2));
  EXPECT_FALSE(counts.admit(7, 2));
  EXPECT_TRUE(counts.admit(8, 1));  // each user has a count of their own
  EXPECT_EQ(counts.count(7), 2);
  counts.release(7);
  EXPECT_TRUE(counts.admit(7, 2));
  counts.release(9);  // never admitted: nothing to release
  EXPECT_EQ(counts.count(9), 0);
}

}  // namespace
}  // namespace kestrel::ftp
