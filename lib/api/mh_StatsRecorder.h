// Internal: the service's counters, kept per thread in shards of their own cache lines so that
// handler threads never write the same line (a relaxed add on a line this thread alone uses
// costs a few nanoseconds); a snapshot adds the shards up. And the stats request's reply, one
// encoder and one decoder: i32 status, u32 count, then per counter a wstring name and its value
// as two u32 (high, low). Names the decoder does not know are passed over, so that either side
// may add counters.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>

#include <mailhook/mh_Stats.h>

#include "ipc/ipc_buffer.h"
#include "mailhook_export.h"

namespace mailhook {

// Exported for the tests only; not installed.
class MAILHOOK_API CStatsRecorder {
 public:
  CStatsRecorder();
  // A scan request's answer: its status, the content's size, the handler's time and the
  // service's own around it, in microseconds.
  void Answered(int32_t status, uint64_t bytes, uint64_t scanMicros, uint64_t roadMicros);
  void Started() { Add(&Shard::started, 1); }
  void Finished() { Add(&Shard::finished, 1); }
  void Registered(bool ok) { Add(ok ? &Shard::registrations : &Shard::refusals, 1); }
  void Fenced(bool busy) {
    Add(&Shard::fences, 1);
    if (busy) Add(&Shard::fencesBusy, 1);
  }
  // Everything but pools and resources, which the service counts itself.
  void Snapshot(CServiceStats& out) const;

 private:
  static constexpr size_t kShards = 16;
  static constexpr size_t kAnswers = 8;
  struct alignas(64) Shard {
    std::atomic<uint64_t> answers[kAnswers]{}, bytes{0}, registrations{0}, refusals{0}, fences{0},
        fencesBusy{0}, started{0}, finished{0}, scanSum{0}, roadSum{0};
    std::atomic<uint64_t> scan[CLatencyHistogram::kBuckets]{}, road[CLatencyHistogram::kBuckets]{};
  };
  Shard& Mine();
  void Add(std::atomic<uint64_t> Shard::*field, uint64_t n) {
    (Mine().*field).fetch_add(n, std::memory_order_relaxed);
  }

  std::array<Shard, kShards> m_shards;
  std::chrono::steady_clock::time_point m_start;
};

MAILHOOK_API void EncodeStats(const CServiceStats& stats, CIPCMsgBuffer& out);
// False for a reply that is not a stats reply (the target is then left as it was).
MAILHOOK_API bool DecodeStats(const CIPCMsgBuffer& in, CServiceStats& stats);

}  // namespace mailhook
