#include "stats.h"

#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <system_error>

#include <mailhook/mh_Error.h>

#include "common.h"

#if defined(_WIN32)
#include <process.h>
#define MH_GETPID _getpid
#else
#include <unistd.h>
#define MH_GETPID getpid
#endif

namespace mailhook {

namespace {

// value with that many decimals; -1: the shortest form ("%g", as bucket bounds are written).
std::string Format(int decimals, double value) {
  char buf[64];
  if (decimals < 0)
    std::snprintf(buf, sizeof buf, "%g", value);
  else
    std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
  return buf;
}

std::string Count(uint64_t n) {
  return std::to_string(n);
}

// "<= 2 ms": a quantile is known up to its bucket's bound.
std::string Bound(double seconds) {
  if (std::isinf(seconds)) return "> 67 s";
  if (seconds < 1e-3) return "<= " + Format(0, seconds * 1e6) + " us";
  if (seconds < 1) return "<= " + Format(0, seconds * 1e3) + " ms";
  return "<= " + Format(0, seconds) + " s";
}

std::string Latency(const CLatencyHistogram& h) {
  if (h.count == 0) return "-";
  const double mean = static_cast<double>(h.sumMicros) / static_cast<double>(h.count) / 1000.0;
  return "mean " + Format(2, mean) + " ms, p50 " + Bound(h.Quantile(0.5)) + ", p90 " +
         Bound(h.Quantile(0.9)) + ", p99 " + Bound(h.Quantile(0.99)) + " (" + Count(h.count) + ")";
}

std::string Uptime(uint64_t s) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%" PRIu64 "d %02" PRIu64 ":%02" PRIu64 ":%02" PRIu64, s / 86400,
                s / 3600 % 24, s / 60 % 60, s % 60);
  return buf;
}

std::string Pairs(const std::vector<std::pair<std::string, uint64_t>>& pairs) {
  std::string out;
  for (const auto& [name, n] : pairs) out += (out.empty() ? "" : ", ") + name + " " + Count(n);
  return out.empty() ? "-" : out;
}

std::string JsonLatency(const CLatencyHistogram& h) {
  const double mean = h.count ? static_cast<double>(h.sumMicros) / static_cast<double>(h.count) / 1000.0 : 0;
  auto q = [&](double p) {
    const double s = h.Quantile(p);
    return std::isinf(s) ? std::string("null") : Format(3, s * 1000);
  };
  return "{\"count\":" + Count(h.count) + ",\"mean\":" + Format(3, mean) + ",\"p50\":" + q(0.5) +
         ",\"p90\":" + q(0.9) + ",\"p99\":" + q(0.99) + "}";
}

std::string JsonObject(const std::vector<std::pair<std::string, uint64_t>>& pairs) {
  std::string out = "{";
  for (const auto& [name, n] : pairs) out += (out.size() > 1 ? "," : "") + ("\"" + name + "\":") + Count(n);
  return out + "}";
}

// A label value as the text format takes it: backslash, quote and line feed escaped.
std::string Label(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '"')
      out += "\\\"";
    else if (c == '\n')
      out += "\\n";
    else
      out += c;
  }
  return out;
}

void Family(std::string& out, const std::string& name, const char* type, const char* help) {
  out += "# HELP " + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void Histogram(std::string& out, const std::string& name, const char* help, const CLatencyHistogram& h) {
  Family(out, name, "histogram", help);
  uint64_t cumulative = 0;
  for (size_t i = 0; i < CLatencyHistogram::kBuckets; ++i) {
    cumulative += h.counts[i];
    const double upper = CLatencyHistogram::UpperSeconds(i);
    out += name + "_bucket{le=\"" + (std::isinf(upper) ? std::string("+Inf") : Format(-1, upper)) + "\"} " +
           Count(cumulative) + "\n";
  }
  out += name + "_sum " + Format(6, static_cast<double>(h.sumMicros) / 1e6) + "\n";
  out += name + "_count " + Count(cumulative) + "\n";
}

}  // namespace

std::string StatsTable(const CServiceStats& s) {
  std::string t;
  auto row = [&](const char* what, const std::string& value) {
    char head[24];
    std::snprintf(head, sizeof head, "%-16s", what);
    t += head + value + "\n";
  };
  row("up", Uptime(s.uptimeSeconds));
  row("messages", Pairs(s.handler));
  row("answers", Pairs(s.answers));
  row("bytes", HumanBytes(static_cast<double>(s.bytes)) + " (" + Count(s.bytes) + ")");
  row("registrations", Count(s.registrations) + " (" + Count(s.refusals) + " refused)");
  row("fences", Count(s.fences) + " (" + Count(s.fencesBusy) + " busy)");
  row("in use",
      Count(s.inFlight) + " requests, " + Count(s.pools) + " pools, " + Count(s.resources) + " resources");
  row("scan time", Latency(s.scan));
  row("road time", Latency(s.road));
  return t;
}

std::string StatsJson(const CServiceStats& s) {
  return "{\"uptime_s\":" + Count(s.uptimeSeconds) + ",\"messages\":" + JsonObject(s.handler) +
         ",\"answers\":" + JsonObject(s.answers) + ",\"bytes\":" + Count(s.bytes) +
         ",\"registrations\":" + Count(s.registrations) + ",\"refusals\":" + Count(s.refusals) +
         ",\"fences\":" + Count(s.fences) + ",\"fences_busy\":" + Count(s.fencesBusy) +
         ",\"in_flight\":" + Count(s.inFlight) + ",\"pools\":" + Count(s.pools) +
         ",\"resources\":" + Count(s.resources) + ",\"scan_ms\":" + JsonLatency(s.scan) +
         ",\"road_ms\":" + JsonLatency(s.road) + "}\n";
}

std::string StatsPrometheus(const CServiceStats& s) {
  std::string out;
  Family(out, "mailhook_uptime_seconds", "gauge", "Seconds since the scanning service started.");
  out += "mailhook_uptime_seconds " + Count(s.uptimeSeconds) + "\n";
  Family(out, "mailhook_messages_total", "counter", "Messages scanned, by verdict.");
  for (const auto& [name, n] : s.handler)
    out += "mailhook_messages_total{verdict=\"" + Label(name) + "\"} " + Count(n) + "\n";
  Family(out, "mailhook_requests_total", "counter", "Scan requests, by the service's answer.");
  for (const auto& [name, n] : s.answers)
    out += "mailhook_requests_total{answer=\"" + Label(name) + "\"} " + Count(n) + "\n";
  Family(out, "mailhook_scanned_bytes_total", "counter", "Content bytes of the messages answered.");
  out += "mailhook_scanned_bytes_total " + Count(s.bytes) + "\n";
  Family(out, "mailhook_registrations_total", "counter", "Pool registrations, by result.");
  out += "mailhook_registrations_total{result=\"ok\"} " + Count(s.registrations) + "\n";
  out += "mailhook_registrations_total{result=\"refused\"} " + Count(s.refusals) + "\n";
  Family(out, "mailhook_fences_total", "counter", "Fences raised by hooks after a time-out, by answer.");
  out += "mailhook_fences_total{answer=\"ok\"} " + Count(s.fences - std::min(s.fences, s.fencesBusy)) + "\n";
  out += "mailhook_fences_total{answer=\"busy\"} " + Count(s.fencesBusy) + "\n";
  Family(out, "mailhook_requests_in_flight", "gauge", "Scan requests being served (hook holders in use).");
  out += "mailhook_requests_in_flight " + Count(s.inFlight) + "\n";
  Family(out, "mailhook_pools", "gauge", "Hook pools the service holds.");
  out += "mailhook_pools " + Count(s.pools) + "\n";
  Family(out, "mailhook_resources", "gauge", "Backing-file resources of those pools.");
  out += "mailhook_resources " + Count(s.resources) + "\n";
  Histogram(out, "mailhook_scan_seconds", "Time the scan of a message took.", s.scan);
  Histogram(out, "mailhook_road_seconds", "The service's own time per scan request, the scan left out.",
            s.road);
  return out;
}

int RunStatsCommand(const StatsCommandOptions& options) {
  try {
    const CServiceStats stats = QueryServiceStats();
    std::fputs((options.json ? StatsJson(stats) : StatsTable(stats)).c_str(), stdout);
    return 0;
  } catch (const CMailhookError& e) {
    std::fprintf(stderr, "mailhook stats: %s\n", e.what());
    return 2;
  }
}

CMetricsFile::CMetricsFile(std::filesystem::path path, double intervalSeconds,
                           std::function<CServiceStats()> snapshot)
    : m_path(std::move(path)), m_dInterval(intervalSeconds), m_snapshot(std::move(snapshot)) {
  m_thread = std::thread([this] {
    std::unique_lock lock(m_lock);
    while (!m_wake.wait_for(lock, std::chrono::duration<double>(m_dInterval), [this] { return m_bStop; })) {
      lock.unlock();
      std::string error;
      Write(error);  // a folder that comes back later is written again then
      lock.lock();
    }
  });
}

CMetricsFile::~CMetricsFile() {
  {
    std::lock_guard lock(m_lock);
    m_bStop = true;
  }
  m_wake.notify_all();
  m_thread.join();
  std::string error;
  Write(error);
}

bool CMetricsFile::Write(std::string& error) {
  const std::string text = StatsPrometheus(m_snapshot());
  std::filesystem::path temporary = m_path;
  temporary += ".tmp." + std::to_string(MH_GETPID());
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    if (!out) {
      error = "cannot write " + temporary.string();
      std::error_code ec;
      std::filesystem::remove(temporary, ec);
      return false;
    }
  }
  std::error_code ec;
  // node_exporter reads it as its own user; the service's umask would keep it out.
  std::filesystem::permissions(temporary, std::filesystem::perms(0644), ec);
  std::filesystem::rename(temporary, m_path, ec);
  if (ec) {
    error = "cannot replace " + m_path.string() + ": " + ec.message();
    std::filesystem::remove(temporary, ec);
    return false;
  }
  return true;
}

}  // namespace mailhook
