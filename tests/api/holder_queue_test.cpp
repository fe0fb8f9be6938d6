// The hook client's holder queue against a clock and a link of the test's own: a holder whose
// request went unanswered stays out of use until the service has fenced it, is fenced again on a
// doubling pause, and a message gives up only when every holder is held back past its deadline.
#include <chrono>
#include <deque>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "api/mh_HolderQueue.h"

namespace {

using namespace std::chrono_literals;
using Queue = mailhook::CHolderQueue<int>;
using TimePoint = Queue::TimePoint;

// Holders 1..n in a group; a fake service that answers fences as told, and a clock that moves
// only when the queue would wait.
struct FakeHook {
  explicit FakeHook(int holders) {
    for (int i = 1; i <= holders; ++i) free.push_back(i);
  }
  Queue::Calls Calls() {
    Queue::Calls c;
    c.fence = [this](int* holder, uint32_t generation) {
      fences.push_back({*holder, generation, now - start});
      return answers.empty() ? false : (answers.pop_front(), true);
    };
    c.take = [this] {
      int* h = &ids[static_cast<size_t>(free.front())];
      free.pop_front();
      return h;
    };
    c.give = [this](int* holder) { free.push_back(*holder); };
    c.now = [this] { return now; };
    // A queue that would wait for nothing, or past any deadline given, fails the test instead of
    // hanging it.
    c.waitUntil = [this](std::unique_lock<std::mutex>&, std::condition_variable&, TimePoint until) {
      if (until == TimePoint::max()) throw std::logic_error("the queue waits with nothing to wake it");
      now = std::max(now, until);
      if (now - start > 24h) throw std::logic_error("the queue waits past every deadline");
    };
    return c;
  }
  struct Fence {
    int holder;
    uint32_t generation;
    std::chrono::steady_clock::duration at;
  };
  std::vector<int> ids{0, 1, 2, 3, 4};
  std::deque<int> free;
  std::deque<bool> answers;  // true: the next fence is confirmed
  std::vector<Fence> fences;
  TimePoint start = TimePoint(1h), now = start;
};

}  // namespace

TEST(HolderQueue, AHeldBackHolderIsFencedOnADoublingPauseUntilTheServiceConfirms) {
  FakeHook fake(2);
  Queue queue(2, fake.Calls());
  int* a = queue.Take(fake.now + 10s);
  int* b = queue.Take(fake.now + 10s);
  ASSERT_TRUE(a && b);
  queue.HoldBack(a, 7);
  fake.now += 10ms;  // their turns come at different times
  queue.HoldBack(b, 8);
  fake.now -= 10ms;

  // Every holder held back: a message fences each at once, then on the pause, and gives up at its
  // deadline with nothing confirmed.
  EXPECT_EQ(queue.Take(fake.now + 10s), nullptr);
  ASSERT_GE(fake.fences.size(), 4u);
  EXPECT_EQ(fake.fences[0].holder, 1);
  EXPECT_EQ(fake.fences[0].generation, 7u);
  EXPECT_EQ(fake.fences[1].generation, 8u);
  std::vector<std::chrono::milliseconds> tries;
  for (const auto& f : fake.fences)
    if (f.holder == 1) tries.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(f.at));
  // At once, then after pauses of 25, 50, 100, ... ms, none longer than 2 s.
  ASSERT_GE(tries.size(), 9u);
  EXPECT_EQ(tries[0], 0ms);
  for (size_t i = 1; i < tries.size(); ++i)
    EXPECT_EQ(tries[i] - tries[i - 1], std::min(25ms * (1 << (i - 1)), 2000ms)) << "try " << i;
  EXPECT_LE(tries.back(), 10s);
  EXPECT_EQ(queue.HeldBackCount(), 2u);

  // The service confirms at the next try: that holder comes back (into the group, then taken),
  // and the other is fenced again at once rather than at its own turn.
  fake.fences.clear();
  fake.answers = {true};
  int* back = queue.Take(fake.now + 10s);
  ASSERT_NE(back, nullptr);
  ASSERT_EQ(fake.fences.size(), 2u);
  EXPECT_EQ(*back, fake.fences[0].holder);
  EXPECT_NE(fake.fences[1].holder, fake.fences[0].holder);
  EXPECT_EQ(fake.fences[1].at, fake.fences[0].at);
  EXPECT_EQ(queue.HeldBackCount(), 1u);
  fake.answers = {true};
  EXPECT_EQ(queue.ReturnHeldBack(), 0u);
  queue.Give(back);
  EXPECT_EQ(fake.free.size(), 2u);
}

TEST(HolderQueue, OnlyAQueueOfHeldBackHoldersGivesUpAndAStopEndsTheWaitAtOnce) {
  FakeHook fake(2);
  Queue queue(2, fake.Calls());
  int* a = queue.Take(fake.now);
  queue.HoldBack(a, 1);
  // One holder still free: taken whatever the deadline, after one fence of the held-back one.
  int* b = queue.Take(fake.now - 1s);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(*b, 2);
  EXPECT_EQ(fake.fences.size(), 1u);
  queue.Give(b);

  queue.Stop();
  // Stopped: a message still gets the free holder, but with every holder held back it returns at
  // once instead of waiting for its deadline.
  EXPECT_NE(queue.Take(fake.now + 1h), nullptr);
  queue.HoldBack(b, 2);
  const auto stopped = fake.now;
  EXPECT_EQ(queue.Take(fake.now + 1h), nullptr);
  EXPECT_LT(fake.now - stopped, 1h);
}
