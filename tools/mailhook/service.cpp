// `mailhook service`: the master scanning service, on the layer's scan service (listening,
// adopting pools, the checks against hostile hooks): for each message it reads the headers and
// the content in place, scans the content where it lies (scan_engine.h), writes its verdict as an
// update header and replaces infected content with a notice.
#include "service.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <mailhook/mh_ScanService.h>

#include "common.h"
#include "log.h"
#include "messages.h"
#include "stats.h"
#include "stop.h"

namespace mailhook {

namespace {

const char kNotice[] =
    "Subject: [mailhook] message replaced\r\n"
    "Content-Type: text/plain; charset=us-ascii\r\n"
    "\r\n"
    "This message carried malware and was replaced by the mailhook service.\r\n";

// Fault injection for the tests that kill or stop the service between the steps of a request:
// MAILHOOK_FAULT=kill@<step> or stop@<step>, step one of "adopted", "receiver", "headers",
// "update", "content". Read once; unset costs one comparison per step.
struct FaultPlan {
  int signal = 0;
  std::string step;
  FaultPlan() {
    const char* text = std::getenv("MAILHOOK_FAULT");
    if (text == nullptr) return;
    std::string_view plan(text);
    auto at = plan.find('@');
    if (at == std::string_view::npos) return;
    auto action = plan.substr(0, at);
    signal = action == "kill" ? kSelfKill : action == "stop" ? kSelfStop : 0;
    step = plan.substr(at + 1);
  }
};

// Fires once: a stopped service that is let go serves on normally.
void FaultPoint(const char* step) {
  static const FaultPlan plan;
  static std::atomic<bool> fired{false};
  if (plan.signal != 0 && plan.step == step && !fired.exchange(true)) SignalSelf(plan.signal);
}

}  // namespace

struct Service::State {
  ServiceOptions options;
  std::atomic<uint64_t> scanned{0}, infected{0}, bytes{0}, clean{0}, unscanned{0};
  std::atomic<uint64_t> engineNanos{0};  // time spent in the engine, for the summary
  std::FILE* digestLog = nullptr;
  std::mutex digestLogLock;
};

Service::Service(const ServiceOptions& options) : m_pState(new State) {
  m_pState->options = options;
  if (!m_pState->options.engine) m_pState->options.engine = MakeBuiltinScanEngine("no engine given");
  if (!options.digestLog.empty()) {
    m_pState->digestLog = std::fopen(options.digestLog.string().c_str(), "a");
    if (m_pState->digestLog == nullptr)
      throw std::runtime_error("cannot open the digest log " + options.digestLog.string());
  }
}

Service::~Service() {
  if (m_pState->digestLog != nullptr) std::fclose(m_pState->digestLog);
  delete m_pState;
}

namespace {

// The message's line: what an administrator follows a message by (the mail server's queue id,
// when the hook sent one) and what the service made of it.
void LogMessage(CScanMessage& message, const std::string& queue, size_t size, const ScanVerdict& verdict,
                double scanMs, double ms) {
  CLogLine line;
  line.Add("seq", message.Sequence());
  if (!queue.empty()) line.Add("queue", queue);
  line.Add("size", static_cast<uint64_t>(size));
  switch (verdict.kind) {
    case ScanVerdict::kClean:
      line.Add("verdict", "clean");
      break;
    case ScanVerdict::kInfected:
      line.Add("verdict", "infected").Add("signature", verdict.name);
      break;
    case ScanVerdict::kUnscanned:
      line.Add("verdict", "unscanned").Add("reason", verdict.name);
      break;
  }
  line.Ms("scan_ms", scanMs).Ms("ms", ms);
  Log(LogLevel::kInfo, line.Text());
}

double MsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

bool Service::Scan(CScanMessage& message) {
  const auto start = std::chrono::steady_clock::now();
  // Every record, read in place: counted, and the two the service looks for taken out.
  size_t headersSeen = 0;
  std::string queue;
  bool prove = m_pState->digestLog != nullptr;
  message.ForEachHeader([&](const CHeaderField& field) {
    ++headersSeen;
    if (field.id == kHdrQueueId && queue.empty()) queue = field.Utf8();
    prove = prove || field.id == kHdrProveReading;
  });

  // Every record and every content byte read once more for a digest only when the hook asked for
  // proof of what was read (its checks, the tests) or this service keeps a digest log.
  const std::string_view content = message.Content();
  const uint64_t contentDigest = prove ? DigestBytes(content.data(), content.size()) : 0;
  CHeaderDigest headersDigest;
  if (prove) message.ForEachHeader([&](const CHeaderField& field) { headersDigest.Add(field); });
  const auto scanStart = std::chrono::steady_clock::now();
  const ScanVerdict verdict = m_pState->options.engine->Scan(content.data(), content.size());
  const auto scanEnd = std::chrono::steady_clock::now();
  m_pState->engineNanos += static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(scanEnd - scanStart).count());
  const bool infected = verdict.kind == ScanVerdict::kInfected;
  FaultPoint("headers");

  // In ascending id order, as the hook reads a list back: the digest logs of both sides agree.
  const std::string engine = m_pState->options.engine->Version();
  std::vector<CHeaderValue> updates{
      CHeaderValue::Text(kHdrVerdict, verdict.HeaderText()),
      CHeaderValue::Int64(kHdrScannedBytes, static_cast<int64_t>(content.size())),
      CHeaderValue::Int(kHdrHeadersSeen, static_cast<int32_t>(headersSeen))};
  if (prove) {
    updates.push_back(CHeaderValue::Int64(kHdrHeadersDigest, static_cast<int64_t>(headersDigest.Value())));
    updates.push_back(CHeaderValue::Int64(kHdrContentDigest, static_cast<int64_t>(contentDigest)));
  }
  updates.push_back(CHeaderValue::Int(kHdrAnswered, message.Sequence()));
  updates.push_back(CHeaderValue::Text(kHdrEngine, engine));
  // For a mail server behind the milter: the verdict and what reached it, in the message.
  updates.push_back(
      CHeaderValue::Text(kHdrAddField, "X-Mailhook-Scan: " + verdict.HeaderText() + " (" + engine + ")"));
  CHeaderListWriter& writer = message.UpdateHeaders();
  for (const auto& v : updates) writer.Add(v);
  FaultPoint("update");

  if (infected) {
    if (!message.ReplaceContent(std::string_view(kNotice, sizeof kNotice - 1))) {
      Log(LogLevel::kError,
          "seq=" + std::to_string(message.Sequence()) +
              " the hook's content file cannot take the notice that replaces infected content");
      return false;
    }
    FaultPoint("content");
    message.MarkInfected();
    ++m_pState->infected;
  }
  if (m_pState->digestLog != nullptr) {
    // Read back against the hook's own log: what this service saw and wrote, by request.
    std::lock_guard lock(m_pState->digestLogLock);
    std::fprintf(m_pState->digestLog, "%d %s %s %s %s\n", message.Sequence(),
                 DigestText(contentDigest).c_str(), DigestText(headersDigest.Value()).c_str(),
                 DigestText(DigestHeaders(updates)).c_str(),
                 infected ? DigestText(DigestBytes(kNotice, sizeof kNotice - 1)).c_str() : "-");
    std::fflush(m_pState->digestLog);
  }
  ++m_pState->scanned;
  if (verdict.kind == ScanVerdict::kClean) ++m_pState->clean;
  if (verdict.kind == ScanVerdict::kUnscanned) ++m_pState->unscanned;
  m_pState->bytes += content.size();
  if (LogEnabled(LogLevel::kInfo))
    LogMessage(message, queue, content.size(), verdict,
               std::chrono::duration<double, std::milli>(scanEnd - scanStart).count(), MsSince(start));
  return true;
}

namespace {

// Defaults that depend on where the service runs, filled in at start and again at each reload.
void PrepareScanOptions(ScanEngineOptions& scan) {
  if (scan.tempDir.empty()) scan.tempDir = RuntimeDir() / "scan-tmp";
  if (scan.maxScanTimeMs == 0) scan.maxScanTimeMs = RpcTimeoutMs() / 2;
}

// SIGHUP: the log file reopened (logrotate), the options read again and what can change taken,
// the signatures loaded again. Said on stdout (for whoever sent the signal) and in the log.
void Reload(ServiceOptions& options) {
  std::string error;
  if (!ReopenLog(error)) Log(LogLevel::kError, error);
  std::vector<std::string> changed, kept;
  ScanEngineOptions scan = options.scan;
  ServiceOptions fresh;
  if (options.reread && !options.reread(fresh, error)) {
    Log(LogLevel::kError, "reload: the configuration does not read (" + error +
                              "); the settings in use stay, the signatures are loaded again");
  } else if (options.reread) {
    if (fresh.logLevel != CurrentLogLevel()) {
      changed.push_back(std::string("log-level ") + LogLevelName(CurrentLogLevel()) + " -> " +
                        LogLevelName(fresh.logLevel));
      SetLogLevel(fresh.logLevel);
      options.logLevel = fresh.logLevel;
    }
    auto keep = [&](const char* name, bool differs) {
      if (differs) kept.push_back(name);
    };
    keep("dir", fresh.workDir != options.workDir);
    keep("log", fresh.log != options.log);
    keep("builtin", fresh.scan.builtin != options.scan.builtin);
    keep("digest-log", fresh.digestLog != options.digestLog);
    keep("metrics-file", fresh.metricsFile != options.metricsFile);
    keep("metrics-interval", fresh.metricsInterval != options.metricsInterval);
    fresh.scan.builtin = options.scan.builtin;
    PrepareScanOptions(fresh.scan);
    scan = fresh.scan;
  }
  // Scans under way finish on the engine they began with.
  if (options.engine->Reload(scan, error)) {
    options.scan = scan;
    std::printf("reloaded: %s\n", options.engine->Describe().c_str());
    std::string line = "reloaded: " + options.engine->Describe();
    for (const auto& c : changed) line += "; " + c;
    if (!kept.empty()) {
      line += "; kept until a restart:";
      for (size_t i = 0; i < kept.size(); ++i) line += (i ? ", " : " ") + kept[i];
    }
    Log(LogLevel::kNotice, line);
  } else {
    std::printf("reload failed: %s; the signatures loaded before stay in use\n", error.c_str());
    Log(LogLevel::kError,
        "reload failed: " + error + "; the signatures and limits loaded before stay in use");
  }
  std::fflush(stdout);
}

}  // namespace

int RunService(const ServiceOptions& given) {
  // Stop and reload requests are taken by Wait below, in this thread only.
  StopRequest stop(/*withReload=*/true);

  ServiceOptions options = given;
  try {
    OpenLog(options.log, "service", options.logLevel);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mailhook service: %s\n", e.what());
    return 2;
  }
  auto fail = [](const std::string& why) {
    Log(LogLevel::kError, why);
    return 2;
  };
  RaiseDescriptorLimit();
  try {
    EnsurePrivateDir(RuntimeDir());
    PrepareScanOptions(options.scan);
    EnsurePrivateDir(options.scan.tempDir);
  } catch (const std::exception& e) {
    return fail(e.what());
  }
  if (!options.engine) {
    try {
      options.engine = MakeScanEngine(options.scan);
    } catch (const std::exception& e) {
      return fail(std::string("not started: ") + e.what());
    }
  }
  Log(LogLevel::kNotice, "scanning with " + options.engine->Describe());
  std::unique_ptr<Service> made;
  try {
    made = std::make_unique<Service>(options);
  } catch (const std::exception& e) {
    return fail(e.what());
  }
  Service& service = *made;
  CScanServiceOptions serviceOptions;
  serviceOptions.folder = options.workDir;
  serviceOptions.log = [](const std::string& line) {
    // Adopting a pool and forgetting it when its hook has gone are the service at work;
    // refusals need an administrator.
    const bool work = line.rfind("adopted", 0) == 0 || line.rfind("forgot pool", 0) == 0;
    Log(work ? LogLevel::kInfo : LogLevel::kWarning, line);
  };
  serviceOptions.onStep = FaultPoint;
  serviceOptions.counters = [&service] {
    return std::vector<std::pair<std::string, uint64_t>>{
        {"clean", service.Clean()}, {"infected", service.Infected()}, {"unscanned", service.Unscanned()}};
  };
  CScanService scanService(serviceOptions, [&service](CScanMessage& m) { return service.Scan(m); });
  try {
    scanService.Start();
  } catch (const std::exception& e) {
    return fail(e.what());
  }
  Log(LogLevel::kNotice, StorageSummary(options.workDir));
  std::unique_ptr<CMetricsFile> metrics;
  if (!options.metricsFile.empty()) {
    metrics = std::make_unique<CMetricsFile>(options.metricsFile, options.metricsInterval,
                                             [&scanService] { return scanService.Stats(); });
    std::string error;
    if (!metrics->Write(error)) return fail(error);
  }
  std::printf("ready\n");
  std::fflush(stdout);

  stop.Wait([&options] { Reload(options); });
  scanService.Stop();
  metrics.reset();  // the last counts written
  char summary[256];
  std::snprintf(summary, sizeof summary,
                "stopped; %llu messages scanned (%llu clean, %llu infected, %llu not scanned), %llu failed; "
                "%.3f s in the engine",
                static_cast<unsigned long long>(service.Scanned()),
                static_cast<unsigned long long>(service.Clean()),
                static_cast<unsigned long long>(service.Infected()),
                static_cast<unsigned long long>(service.Unscanned()),
                static_cast<unsigned long long>(scanService.Failed()), service.EngineSeconds());
  Log(LogLevel::kNotice, summary);
  return 0;
}

uint64_t Service::Scanned() const {
  return m_pState->scanned;
}
uint64_t Service::Infected() const {
  return m_pState->infected;
}
uint64_t Service::Clean() const {
  return m_pState->clean;
}
uint64_t Service::Unscanned() const {
  return m_pState->unscanned;
}
double Service::EngineSeconds() const {
  return static_cast<double>(m_pState->engineNanos.load()) / 1e9;
}

}  // namespace mailhook
