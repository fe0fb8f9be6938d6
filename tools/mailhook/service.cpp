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
#include "messages.h"
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

bool Service::Scan(CScanMessage& message) {
  // Every record, copied out of the hook's list once.
  const std::vector<CHeaderValue>& records = message.Headers().Values();

  // Every content byte, read in place; read once more for a digest only when the hook asked for
  // proof of what was read (its checks, the tests) or this service keeps a digest log.
  const std::string_view content = message.Content();
  const bool prove = m_pState->digestLog != nullptr || message.Headers().Find(kHdrProveReading) != nullptr;
  const uint64_t contentDigest = prove ? DigestBytes(content.data(), content.size()) : 0;
  auto scanStart = std::chrono::steady_clock::now();
  const ScanVerdict verdict = m_pState->options.engine->Scan(content.data(), content.size());
  m_pState->engineNanos += static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - scanStart)
          .count());
  const bool infected = verdict.kind == ScanVerdict::kInfected;
  FaultPoint("headers");

  // In ascending id order, as the hook reads a list back: the digest logs of both sides agree.
  const std::string engine = m_pState->options.engine->Version();
  std::vector<CHeaderValue> updates{
      CHeaderValue::Text(kHdrVerdict, verdict.HeaderText()),
      CHeaderValue::Int64(kHdrScannedBytes, static_cast<int64_t>(content.size())),
      CHeaderValue::Int(kHdrHeadersSeen, static_cast<int32_t>(records.size()))};
  const uint64_t headersDigest = prove ? DigestHeaders(records) : 0;
  if (prove) {
    updates.push_back(CHeaderValue::Int64(kHdrHeadersDigest, static_cast<int64_t>(headersDigest)));
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
    if (!message.ReplaceContent(std::string_view(kNotice, sizeof kNotice - 1))) return false;
    FaultPoint("content");
    message.MarkInfected();
    ++m_pState->infected;
  }
  if (m_pState->digestLog != nullptr) {
    // Read back against the hook's own log: what this service saw and wrote, by request.
    std::lock_guard lock(m_pState->digestLogLock);
    std::fprintf(m_pState->digestLog, "%d %s %s %s %s\n", message.Sequence(),
                 DigestText(contentDigest).c_str(), DigestText(headersDigest).c_str(),
                 DigestText(DigestHeaders(updates)).c_str(),
                 infected ? DigestText(DigestBytes(kNotice, sizeof kNotice - 1)).c_str() : "-");
    std::fflush(m_pState->digestLog);
  }
  ++m_pState->scanned;
  if (verdict.kind == ScanVerdict::kClean) ++m_pState->clean;
  if (verdict.kind == ScanVerdict::kUnscanned) ++m_pState->unscanned;
  m_pState->bytes += content.size();
  return true;
}

int RunService(const ServiceOptions& given) {
  // Stop and reload requests are taken by Wait below, in this thread only.
  StopRequest stop(/*withReload=*/true);

  ServiceOptions options = given;
  RaiseDescriptorLimit();
  try {
    EnsurePrivateDir(RuntimeDir());
    if (options.scan.tempDir.empty()) options.scan.tempDir = RuntimeDir() / "scan-tmp";
    if (options.scan.maxScanTimeMs == 0) options.scan.maxScanTimeMs = RpcTimeoutMs() / 2;
    EnsurePrivateDir(options.scan.tempDir);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mailhook service: %s\n", e.what());
    return 2;
  }
  if (!options.engine) {
    try {
      options.engine = MakeScanEngine(options.scan);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "mailhook service: not started: %s\n", e.what());
      return 2;
    }
  }
  if (!options.quiet)
    std::fprintf(stderr, "mailhook service: scanning with %s\n", options.engine->Describe().c_str());
  std::unique_ptr<Service> made;
  try {
    made = std::make_unique<Service>(options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mailhook service: %s\n", e.what());
    return 2;
  }
  Service& service = *made;
  CScanServiceOptions serviceOptions;
  serviceOptions.folder = options.workDir;
  const bool quiet = options.quiet;
  serviceOptions.log = [quiet](const std::string& line) {
    // Refusals and dropped pools always; adoptions only when not quiet.
    if (!quiet || line.rfind("adopted", 0) != 0) std::fprintf(stderr, "mailhook service: %s\n", line.c_str());
  };
  serviceOptions.onStep = FaultPoint;
  CScanService scanService(serviceOptions, [&service](CScanMessage& m) { return service.Scan(m); });
  try {
    scanService.Start();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mailhook service: %s\n", e.what());
    return 2;
  }
  if (!options.quiet) {
    std::fprintf(stderr, "mailhook service: %s\n", StorageSummary(options.workDir).c_str());
  }
  std::printf("ready\n");
  std::fflush(stdout);

  stop.Wait([&options] {
    // Scans under way finish on the engine they began with.
    std::string error;
    if (options.engine->Reload(error))
      std::printf("reloaded: %s\n", options.engine->Describe().c_str());
    else
      std::printf("reload failed: %s; the signatures loaded before stay in use\n", error.c_str());
    std::fflush(stdout);
  });
  scanService.Stop();
  if (!options.quiet)
    std::fprintf(
        stderr,
        "mailhook service: stopped; %llu messages scanned (%llu clean, %llu infected, %llu not scanned), "
        "%llu failed; %.3f s in the engine\n",
        static_cast<unsigned long long>(service.Scanned()), static_cast<unsigned long long>(service.Clean()),
        static_cast<unsigned long long>(service.Infected()),
        static_cast<unsigned long long>(service.Unscanned()),
        static_cast<unsigned long long>(scanService.Failed()), service.EngineSeconds());
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
