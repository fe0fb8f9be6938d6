// Internal: which of a hook client's holders a message may take. A holder is free, in use, or held
// back: its last request went unanswered and the service may still serve it later, writing into
// its resources, so it stays out of use until the service has fenced those resources (a fence
// answers only once no request of the service still uses them). Nobody else brings a held-back
// holder back: a message that wants a holder first fences those whose turn has come, with a
// pause between tries that doubles from 25 ms to 2 s.
//
// The holders live elsewhere (the client manager's group); the queue counts the free ones and
// keeps the held-back ones, and reaches the rest through Calls, so that a test can give it a
// clock and a link of its own. Thread-safe; no call is made under the queue's lock.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace mailhook {

template <class Holder>
class CHolderQueue {
 public:
  using Clock = std::chrono::steady_clock;
  using TimePoint = Clock::time_point;

  struct Calls {
    // Fences the holder's resources at generation; true when the service says no request of its
    // own uses them any more (or it does not know the pool: none of its requests can).
    std::function<bool(Holder*, uint32_t generation)> fence;
    // A free holder out of the group, which has one: the queue counted it.
    std::function<Holder*()> take;
    // The holder into the group again.
    std::function<void(Holder*)> give;
    std::function<TimePoint()> now = [] { return Clock::now(); };
    // Waits for a notification or until the time; a test's clock moves on instead.
    std::function<void(std::unique_lock<std::mutex>&, std::condition_variable&, TimePoint)> waitUntil =
        [](std::unique_lock<std::mutex>& lock, std::condition_variable& cv, TimePoint until) {
          if (until == TimePoint::max())
            cv.wait(lock);
          else
            cv.wait_until(lock, until);
        };
  };

  static constexpr std::chrono::milliseconds kFirstPause{25};
  static constexpr std::chrono::milliseconds kLongestPause{2000};

  CHolderQueue(size_t holders, Calls calls)
      : m_uHolders(holders), m_uFree(holders), m_Calls(std::move(calls)) {}
  CHolderQueue(const CHolderQueue&) = delete;
  CHolderQueue& operator=(const CHolderQueue&) = delete;

  // A holder for one message: fences held-back holders whose turn has come, then takes a free
  // one, waiting while all are in use. Null only when every holder is held back and the deadline
  // has passed or the queue is stopped.
  Holder* Take(TimePoint deadline) {
    std::unique_lock lock(m_Lock);
    for (;;) {
      // The clock is read only when some holder is held back: not once per message.
      if (!m_HeldBack.empty()) {
        const TimePoint now = m_Calls.now();
        auto due = std::find_if(m_HeldBack.begin(), m_HeldBack.end(),
                                [&](const HeldBack& h) { return !h.probing && h.due <= now; });
        if (due != m_HeldBack.end()) {
          Probe(lock, due->holder);
          continue;
        }
      }
      if (m_uFree > 0) {
        --m_uFree;
        lock.unlock();
        return m_Calls.take();
      }
      const bool allHeldBack = m_HeldBack.size() == m_uHolders;
      if (allHeldBack && (m_bStop || m_Calls.now() >= deadline)) return nullptr;
      TimePoint wake = allHeldBack ? deadline : TimePoint::max();
      for (const auto& h : m_HeldBack)
        if (!h.probing) wake = std::min(wake, h.due);
      m_Calls.waitUntil(lock, m_Changed, wake);
    }
  }

  void Give(Holder* holder) {
    m_Calls.give(holder);
    {
      std::lock_guard lock(m_Lock);
      ++m_uFree;
    }
    m_Changed.notify_one();
  }

  // Keeps the holder out of use until its resources are fenced at generation; the first fence
  // is tried by the next message that wants a holder.
  void HoldBack(Holder* holder, uint32_t generation) {
    {
      std::lock_guard lock(m_Lock);
      m_HeldBack.push_back({holder, generation, m_Calls.now(), kFirstPause, false});
    }
    m_Changed.notify_all();
  }

  // Fences every held-back holder once now; how many are still held back.
  size_t ReturnHeldBack() {
    std::unique_lock lock(m_Lock);
    std::vector<Holder*> due;
    for (const auto& h : m_HeldBack)
      if (!h.probing) due.push_back(h.holder);
    for (Holder* holder : due) Probe(lock, holder);
    return m_HeldBack.size();
  }

  // Messages waiting only for held-back holders stop waiting.
  void Stop() {
    {
      std::lock_guard lock(m_Lock);
      m_bStop = true;
    }
    m_Changed.notify_all();
  }

  size_t HeldBackCount() const {
    std::lock_guard lock(m_Lock);
    return m_HeldBack.size();
  }

 private:
  struct HeldBack {
    Holder* holder;
    uint32_t generation;  // its resources' fence
    TimePoint due;        // when to fence next
    std::chrono::milliseconds pause;
    bool probing;  // a fence is on its way
  };

  // Fences one held-back holder; lock held on entry and exit, not meanwhile. True when it came back.
  bool Probe(std::unique_lock<std::mutex>& lock, Holder* holder) {
    auto find = [&] {
      return std::find_if(m_HeldBack.begin(), m_HeldBack.end(),
                          [&](const HeldBack& h) { return h.holder == holder; });
    };
    auto it = find();
    if (it == m_HeldBack.end() || it->probing) return false;
    it->probing = true;
    const uint32_t generation = it->generation;
    lock.unlock();
    const bool done = m_Calls.fence(holder, generation);
    lock.lock();
    it = find();
    if (done) {
      m_HeldBack.erase(it);
      // The service answers again: the others may well be through too.
      const TimePoint now = m_Calls.now();
      for (auto& h : m_HeldBack) h.due = std::min(h.due, now);
      lock.unlock();
      Give(holder);
      lock.lock();
    } else {
      it->probing = false;
      it->due = m_Calls.now() + it->pause;
      it->pause = std::min(it->pause * 2, kLongestPause);
      // Whoever waits for a holder meanwhile wakes for this one's next turn.
      m_Changed.notify_all();
    }
    return done;
  }

  const size_t m_uHolders;
  size_t m_uFree;  // in the group, not yet promised to a message
  Calls m_Calls;
  mutable std::mutex m_Lock;  // over the counts and the held-back list; never held across a call
  std::condition_variable m_Changed;
  std::vector<HeldBack> m_HeldBack;
  bool m_bStop = false;
};

}  // namespace mailhook
