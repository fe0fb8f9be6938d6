// The service's statistics as an administrator reads them: `mailhook stats` (a table or JSON,
// asked of the running service over its link) and the Prometheus text file the service rewrites
// for node_exporter's textfile collector (--metrics-file).
#pragma once

#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include <mailhook/mh_Stats.h>

namespace mailhook {

std::string StatsTable(const CServiceStats& stats);
std::string StatsJson(const CServiceStats& stats);
// Prometheus text exposition format 0.0.4: HELP and TYPE before each family, counters ending in
// _total, histograms in seconds with cumulative buckets.
std::string StatsPrometheus(const CServiceStats& stats);

struct StatsCommandOptions {
  bool json = false;
};
// `mailhook stats`: 0 with the table or JSON on stdout; 2 when no service answers.
int RunStatsCommand(const StatsCommandOptions& options);

// Rewrites path every interval from snapshot(), through a temporary file in the same folder
// renamed over it, so that a reader never sees half a file; once more when it is destroyed.
class CMetricsFile {
 public:
  CMetricsFile(std::filesystem::path path, double intervalSeconds, std::function<CServiceStats()> snapshot);
  ~CMetricsFile();
  CMetricsFile(const CMetricsFile&) = delete;
  CMetricsFile& operator=(const CMetricsFile&) = delete;
  // Writes now; false with the reason when it cannot.
  bool Write(std::string& error);

 private:
  std::filesystem::path m_path;
  double m_dInterval;
  std::function<CServiceStats()> m_snapshot;
  std::mutex m_lock;
  std::condition_variable m_wake;
  bool m_bStop = false;
  std::thread m_thread;
};

}  // namespace mailhook
