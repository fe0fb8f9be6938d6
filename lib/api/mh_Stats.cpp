#include <mailhook/mh_Error.h>
#include <mailhook/mh_Stats.h>

#include <cmath>
#include <limits>
#include <map>

#include "api/mh_Protocol.h"
#include "api/mh_StatsRecorder.h"
#include "ipc/rpc.h"
#include "rpc/hook_RpcCommunicationResource.h"

namespace mailhook {

namespace {

// The scan statuses a reply can carry, by name; the last takes any other.
constexpr std::pair<int32_t, const char*> kAnswerNames[] = {
    {kStatusOk, "ok"},
    {kStatusFailed, "failed"},
    {kStatusStale, "stale"},
    {kStatusResourceBusy, "busy"},
    {kStatusPoolUnknown, "pool_unknown"},
    {kStatusResourceUnknown, "resource_unknown"},
    {kStatusBadRequest, "bad_request"},
    {0, "other"},
};
constexpr size_t kAnswerCount = sizeof kAnswerNames / sizeof kAnswerNames[0];

size_t AnswerIndex(int32_t status) {
  for (size_t i = 0; i + 1 < kAnswerCount; ++i)
    if (kAnswerNames[i].first == status) return i;
  return kAnswerCount - 1;
}

constexpr uint32_t kMaxCounters = 1024;
constexpr size_t kMaxName = 64;

}  // namespace

double CLatencyHistogram::UpperSeconds(size_t i) {
  if (i + 1 >= kBuckets) return std::numeric_limits<double>::infinity();
  return std::ldexp(1e-6, static_cast<int>(i));
}

size_t CLatencyHistogram::BucketOf(uint64_t micros) {
  size_t i = 0;
  // Bucket i holds times up to 2^i µs.
  while (i + 1 < kBuckets && micros > (uint64_t{1} << i)) ++i;
  return i;
}

double CLatencyHistogram::Quantile(double q) const {
  if (count == 0) return 0;
  const double rank = std::ceil(q * static_cast<double>(count));
  uint64_t seen = 0;
  for (size_t i = 0; i < kBuckets; ++i) {
    seen += counts[i];
    if (static_cast<double>(seen) >= rank) return UpperSeconds(i);
  }
  return UpperSeconds(kBuckets - 1);
}

uint64_t CServiceStats::Answers(const std::string& name) const {
  for (const auto& [n, v] : answers)
    if (n == name) return v;
  return 0;
}

CStatsRecorder::CStatsRecorder() : m_start(std::chrono::steady_clock::now()) {}

CStatsRecorder::Shard& CStatsRecorder::Mine() {
  static std::atomic<size_t> next{0};
  thread_local const size_t mine = next.fetch_add(1, std::memory_order_relaxed) % kShards;
  return m_shards[mine];
}

void CStatsRecorder::Answered(int32_t status, uint64_t bytes, uint64_t scanMicros, uint64_t roadMicros) {
  Shard& s = Mine();
  constexpr auto relaxed = std::memory_order_relaxed;
  s.answers[AnswerIndex(status)].fetch_add(1, relaxed);
  if (status == kStatusOk) {
    s.bytes.fetch_add(bytes, relaxed);
    s.scan[CLatencyHistogram::BucketOf(scanMicros)].fetch_add(1, relaxed);
    s.scanSum.fetch_add(scanMicros, relaxed);
  }
  s.road[CLatencyHistogram::BucketOf(roadMicros)].fetch_add(1, relaxed);
  s.roadSum.fetch_add(roadMicros, relaxed);
}

void CStatsRecorder::Snapshot(CServiceStats& out) const {
  constexpr auto relaxed = std::memory_order_relaxed;
  out.uptimeSeconds = static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - m_start).count());
  out.answers.assign(kAnswerCount, {});
  for (size_t i = 0; i < kAnswerCount; ++i) out.answers[i].first = kAnswerNames[i].second;
  out.bytes = out.registrations = out.refusals = out.fences = out.fencesBusy = 0;
  out.scan = out.road = CLatencyHistogram{};
  uint64_t started = 0, finished = 0;
  for (const Shard& s : m_shards) {
    for (size_t i = 0; i < kAnswerCount; ++i) out.answers[i].second += s.answers[i].load(relaxed);
    out.bytes += s.bytes.load(relaxed);
    out.registrations += s.registrations.load(relaxed);
    out.refusals += s.refusals.load(relaxed);
    out.fences += s.fences.load(relaxed);
    out.fencesBusy += s.fencesBusy.load(relaxed);
    started += s.started.load(relaxed);
    finished += s.finished.load(relaxed);
    out.scan.sumMicros += s.scanSum.load(relaxed);
    out.road.sumMicros += s.roadSum.load(relaxed);
    for (size_t i = 0; i < CLatencyHistogram::kBuckets; ++i) {
      out.scan.counts[i] += s.scan[i].load(relaxed);
      out.road.counts[i] += s.road[i].load(relaxed);
    }
  }
  for (size_t i = 0; i < CLatencyHistogram::kBuckets; ++i) {
    out.scan.count += out.scan.counts[i];
    out.road.count += out.road.counts[i];
  }
  // Read apart from each other, a request that finished between the two reads could count as
  // finished and not started.
  out.inFlight = started > finished ? started - finished : 0;
}

void EncodeStats(const CServiceStats& stats, CIPCMsgBuffer& out) {
  std::vector<std::pair<std::string, uint64_t>> all{{"uptime_s", stats.uptimeSeconds},
                                                    {"bytes", stats.bytes},
                                                    {"registrations", stats.registrations},
                                                    {"refusals", stats.refusals},
                                                    {"fences", stats.fences},
                                                    {"fences_busy", stats.fencesBusy},
                                                    {"in_flight", stats.inFlight},
                                                    {"pools", stats.pools},
                                                    {"resources", stats.resources},
                                                    {"scan.sum_us", stats.scan.sumMicros},
                                                    {"road.sum_us", stats.road.sumMicros}};
  for (const auto& [name, n] : stats.answers) all.emplace_back("answer." + name, n);
  for (size_t i = 0; i < CLatencyHistogram::kBuckets; ++i) {
    all.emplace_back("scan.b" + std::to_string(i), stats.scan.counts[i]);
    all.emplace_back("road.b" + std::to_string(i), stats.road.counts[i]);
  }
  for (const auto& [name, n] : stats.handler) all.emplace_back("handler." + name, n);
  out << static_cast<int32_t>(kStatusOk) << static_cast<uint32_t>(all.size());
  for (const auto& [name, n] : all)
    out << OS::x_wstring(std::u16string(name.begin(), name.end())) << static_cast<uint32_t>(n >> 32)
        << static_cast<uint32_t>(n);
}

bool DecodeStats(const CIPCMsgBuffer& in, CServiceStats& stats) {
  CServiceStats got;
  in.Rewind();
  try {
    int32_t status = 0;
    uint32_t count = 0;
    in >> status >> count;
    if (status != kStatusOk || count > kMaxCounters) return false;
    std::map<std::string, uint64_t> answers;
    for (uint32_t i = 0; i < count; ++i) {
      OS::x_wstring wide;
      uint32_t high = 0, low = 0;
      in >> wide >> high >> low;
      if (wide.size() > kMaxName) return false;
      std::string name;
      for (char16_t c : wide) {
        if (c < 0x21 || c > 0x7e) return false;  // names are printable ASCII
        name += static_cast<char>(c);
      }
      const uint64_t n = (uint64_t{high} << 32) | low;
      auto bucket = [&](const char* prefix, CLatencyHistogram& h) {
        const std::string p = prefix;
        if (name.rfind(p, 0) != 0) return false;
        const std::string index = name.substr(p.size());
        if (index.empty() || index.size() > 2 || index.find_first_not_of("0123456789") != std::string::npos)
          return false;
        const size_t at = std::stoul(index);
        if (at < CLatencyHistogram::kBuckets) h.counts[at] = n;
        return true;
      };
      if (name == "uptime_s")
        got.uptimeSeconds = n;
      else if (name == "bytes")
        got.bytes = n;
      else if (name == "registrations")
        got.registrations = n;
      else if (name == "refusals")
        got.refusals = n;
      else if (name == "fences")
        got.fences = n;
      else if (name == "fences_busy")
        got.fencesBusy = n;
      else if (name == "in_flight")
        got.inFlight = n;
      else if (name == "pools")
        got.pools = n;
      else if (name == "resources")
        got.resources = n;
      else if (name == "scan.sum_us")
        got.scan.sumMicros = n;
      else if (name == "road.sum_us")
        got.road.sumMicros = n;
      else if (name.rfind("answer.", 0) == 0)
        got.answers.emplace_back(name.substr(7), n);
      else if (name.rfind("handler.", 0) == 0)
        got.handler.emplace_back(name.substr(8), n);
      else if (bucket("scan.b", got.scan) || bucket("road.b", got.road))
        continue;
    }
    if (!in.AtEnd()) return false;
  } catch (const std::exception&) {
    return false;
  }
  for (auto* h : {&got.scan, &got.road})
    for (uint64_t c : h->counts) h->count += c;
  stats = std::move(got);
  return true;
}

CServiceStats QueryServiceStats() {
  CIPCMsgBuffer request(64, false), reply(4096, false);
  request << static_cast<int32_t>(kCmdStats);
  try {
    CRpcCommunicationResource link(kCmdStats, 0);
    link.Connect();
    link.SendRequest(request, reply);
  } catch (const CRPCError& e) {
    const bool gone = e.GetCode() == CRPCError::NOT_LISTENING || e.GetCode() == CRPCError::PEER_CLOSED;
    throw CMailhookError(gone                                ? CMailhookError::SERVICE_UNAVAILABLE
                         : e.GetCode() == CRPCError::TIMEOUT ? CMailhookError::TIMEOUT
                                                             : CMailhookError::PROTOCOL,
                         std::string("asking the service for its statistics: ") + e.what());
  }
  CServiceStats stats;
  if (!DecodeStats(reply, stats))
    throw CMailhookError(CMailhookError::PROTOCOL, "the service's statistics reply does not decode");
  return stats;
}

}  // namespace mailhook
