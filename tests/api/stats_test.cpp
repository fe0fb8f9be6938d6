// The service's statistics: latency buckets and their quantiles, and the stats reply's codec
// (exact round trip, counters a decoder does not know passed over, every cut-off refused).
#include <cmath>

#include <gtest/gtest.h>

#include "api/mh_StatsRecorder.h"

namespace {

using mailhook::CLatencyHistogram;
using mailhook::CServiceStats;

TEST(Stats, BucketsAndQuantilesNeverUnderstate) {
  EXPECT_EQ(CLatencyHistogram::BucketOf(0), 0u);
  EXPECT_EQ(CLatencyHistogram::BucketOf(1), 0u);
  EXPECT_EQ(CLatencyHistogram::BucketOf(2), 1u);
  EXPECT_EQ(CLatencyHistogram::BucketOf(3), 2u);
  EXPECT_EQ(CLatencyHistogram::BucketOf(1024), 10u);
  EXPECT_EQ(CLatencyHistogram::BucketOf(1025), 11u);
  EXPECT_EQ(CLatencyHistogram::BucketOf(UINT64_MAX), CLatencyHistogram::kBuckets - 1);
  EXPECT_TRUE(std::isinf(CLatencyHistogram::UpperSeconds(CLatencyHistogram::kBuckets - 1)));

  // 90 requests of 100 µs, 10 of 5 ms, through the recorder as the service counts them.
  mailhook::CStatsRecorder recorder;
  for (int i = 0; i < 90; ++i) recorder.Answered(0, 10, 100, 3);
  for (int i = 0; i < 10; ++i) recorder.Answered(0, 10, 5000, 3);
  recorder.Answered(-10, 0, 0, 7);  // stale: no scan time, no bytes
  recorder.Started();
  CServiceStats s;
  recorder.Snapshot(s);
  EXPECT_EQ(s.scan.count, 100u);
  EXPECT_EQ(s.road.count, 101u);
  EXPECT_EQ(s.bytes, 1000u);
  EXPECT_EQ(s.Answers("ok"), 100u);
  EXPECT_EQ(s.Answers("stale"), 1u);
  EXPECT_EQ(s.inFlight, 1u);
  EXPECT_EQ(s.scan.sumMicros, 90u * 100 + 10u * 5000);
  EXPECT_DOUBLE_EQ(s.scan.Quantile(0.5), 128e-6);  // 100 µs lies in (64, 128]
  EXPECT_DOUBLE_EQ(s.scan.Quantile(0.9), 128e-6);
  EXPECT_DOUBLE_EQ(s.scan.Quantile(0.91), 8192e-6);  // 5 ms lies in (4096, 8192]
  EXPECT_EQ(CLatencyHistogram{}.Quantile(0.5), 0);
}

TEST(Stats, ReplyRoundTripsAndCutOffsAreRefused) {
  CServiceStats s;
  s.uptimeSeconds = 77;
  s.answers = {{"ok", 5}, {"busy", 1}};
  s.bytes = (uint64_t{1} << 40) + 3;  // past 32 bits
  s.registrations = 2;
  s.refusals = 1;
  s.fences = 4;
  s.fencesBusy = 1;
  s.inFlight = 3;
  s.pools = 1;
  s.resources = 12;
  s.scan.counts[3] = 5;
  s.scan.sumMicros = 40;
  s.road.counts[CLatencyHistogram::kBuckets - 1] = 6;
  s.handler = {{"clean", 4}, {"infected", 1}};
  CIPCMsgBuffer buffer;
  mailhook::EncodeStats(s, buffer);
  CServiceStats got;
  ASSERT_TRUE(mailhook::DecodeStats(buffer, got));
  EXPECT_EQ(got.uptimeSeconds, 77u);
  EXPECT_EQ(got.answers, s.answers);
  EXPECT_EQ(got.bytes, s.bytes);
  EXPECT_EQ(got.registrations, 2u);
  EXPECT_EQ(got.refusals, 1u);
  EXPECT_EQ(got.fences, 4u);
  EXPECT_EQ(got.fencesBusy, 1u);
  EXPECT_EQ(got.inFlight, 3u);
  EXPECT_EQ(got.pools, 1u);
  EXPECT_EQ(got.resources, 12u);
  EXPECT_EQ(got.scan.counts, s.scan.counts);
  EXPECT_EQ(got.scan.count, 5u);
  EXPECT_EQ(got.scan.sumMicros, 40u);
  EXPECT_EQ(got.road.count, 6u);
  EXPECT_EQ(got.handler, s.handler);

  // A counter of a later service is passed over; a name that is not printable is refused.
  CIPCMsgBuffer later;
  later << int32_t{0} << uint32_t{2} << OS::x_wstring(u"bytes") << uint32_t{0} << uint32_t{9}
        << OS::x_wstring(u"from.the.future") << uint32_t{0} << uint32_t{1};
  ASSERT_TRUE(mailhook::DecodeStats(later, got));
  EXPECT_EQ(got.bytes, 9u);
  CIPCMsgBuffer bad;
  bad << int32_t{0} << uint32_t{1} << OS::x_wstring(u"by tes") << uint32_t{0} << uint32_t{9};
  EXPECT_FALSE(mailhook::DecodeStats(bad, got));
  EXPECT_EQ(got.bytes, 9u);  // left as it was

  // Every cut-off of the reply is refused, and so are bytes after it and a claimed count past the bound.
  for (size_t n = 0; n < buffer.GetSize(); ++n) {
    CIPCMsgBuffer cut;
    cut.Load(buffer.GetData(), n);
    EXPECT_FALSE(mailhook::DecodeStats(cut, got)) << n;
  }
  CIPCMsgBuffer longer = buffer;
  longer << int32_t{1};
  EXPECT_FALSE(mailhook::DecodeStats(longer, got));
  CIPCMsgBuffer huge;
  huge << int32_t{0} << uint32_t{1u << 30};
  EXPECT_FALSE(mailhook::DecodeStats(huge, got));
}

}  // namespace
