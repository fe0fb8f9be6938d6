// What a running scanning service has done since it started: counters and latency histograms the
// service's side of the layer keeps for every request, plus the counters of the program's own
// handler. A program asks its own service with CScanService::Stats(), and any other process of
// the service's user asks the running one over its link with QueryServiceStats().
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <mailhook/mailhook_export.h>

namespace mailhook {

// Times in buckets whose upper bounds grow by a factor of two from 1 µs: the last one is open.
struct MAILHOOK_API CLatencyHistogram {
  static constexpr size_t kBuckets = 28;  // 1 µs ... 2^26 µs (67 s), then everything above
  std::array<uint64_t, kBuckets> counts{};
  uint64_t count = 0;
  uint64_t sumMicros = 0;

  // The upper bound of bucket i in seconds; infinity for the last.
  static double UpperSeconds(size_t i);
  // The bucket a time falls in.
  static size_t BucketOf(uint64_t micros);
  // The q-quantile (0 < q <= 1), as the upper bound of the bucket that holds it, in seconds;
  // 0 without a sample. At most twice the true value, never below it.
  double Quantile(double q) const;
};

struct MAILHOOK_API CServiceStats {
  uint64_t uptimeSeconds = 0;
  // Scan requests by their answer, in the order of kStatusNames.
  std::vector<std::pair<std::string, uint64_t>> answers;
  uint64_t bytes = 0;          // content bytes of the messages answered ok
  uint64_t registrations = 0;  // pools registered (again) ...
  uint64_t refusals = 0;       // ... and registrations refused
  uint64_t fences = 0;         // fences raised, answered ok or busy
  uint64_t fencesBusy = 0;     // of which a request still used a resource
  uint64_t inFlight = 0;       // scan requests being served now (each holds one hook holder)
  uint64_t pools = 0;          // pools the service holds now
  uint64_t resources = 0;      // their resources (three per hook holder)
  CLatencyHistogram scan;      // the handler's time per message
  CLatencyHistogram road;      // the service's own time per scan request, the handler's left out
  // The handler's own counters (the command's: messages by verdict), as it named them.
  std::vector<std::pair<std::string, uint64_t>> handler;

  uint64_t Answers(const std::string& name) const;
};

// Asks the scanning service that listens for this user (the runtime folder's) for its statistics.
// Throws CMailhookError: SERVICE_UNAVAILABLE when none listens, TIMEOUT, PROTOCOL for a reply that
// does not decode.
MAILHOOK_API CServiceStats QueryServiceStats();

}  // namespace mailhook
