// The real engine: libclamav, one compiled engine shared by every handler thread, scanning each
// message straight from the mapped view (a memory fmap over the receiver's block: no copy).
#include <clamav.h>

#include <algorithm>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <string_view>

#include "scan_engine.h"

namespace mailhook {

namespace {

// libclamav reports load errors through one process-wide callback; the last error of this
// thread is kept so that a failed load can say what was wrong with which file.
thread_local std::string t_lastError;

void OnEngineMessage(enum cl_msg severity, const char*, const char* msg, void*) {
  if (severity != CL_MSG_ERROR || msg == nullptr) return;
  t_lastError = msg;
  while (!t_lastError.empty() && (t_lastError.back() == '\n' || t_lastError.back() == '\r'))
    t_lastError.pop_back();
}

void InitOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    cl_set_clcb_msg(OnEngineMessage);
    if (cl_error_t rc = cl_init(CL_INIT_DEFAULT); rc != CL_SUCCESS)
      throw std::runtime_error(std::string("libclamav does not start: ") + cl_strerror(rc));
  });
}

// Names reported while one scan runs. At the top level libclamav 1.4 can return CL_VIRUS with
// no name in virname (a message over the file-size limit); the alert callback still names it.
struct CScanAlerts {
  std::string m_sFirst;
};

void OnAlert(int, const char* name, void* context) {
  auto* alerts = static_cast<CScanAlerts*>(context);
  if (alerts != nullptr && name != nullptr && alerts->m_sFirst.empty()) alerts->m_sFirst = name;
}

// True when dir holds at least one file of a database kind the engine loads.
bool HoldsDatabases(const std::filesystem::path& dir) {
  static constexpr std::string_view kKinds[] = {".cvd", ".cld", ".cud", ".ndb", ".ndu", ".hdb", ".hsb",
                                                ".hdu", ".hsu", ".mdb", ".msb", ".ldb", ".ldu", ".yar"};
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator(dir, ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    std::string ext = it->path().extension().string();
    for (auto kind : kKinds)
      if (ext == kind && it->is_regular_file(ec)) return true;
  }
  return false;
}

// A compiled engine; freed by the last holder, which may be a scan that began before a reload.
struct CLoadedEngine {
  cl_engine* m_pEngine = nullptr;
  unsigned int m_uSignatures = 0;
  ~CLoadedEngine() {
    if (m_pEngine != nullptr) cl_engine_free(m_pEngine);
  }
};

std::string Failure(const char* what, const std::filesystem::path& dir, cl_error_t rc) {
  std::string text = std::string(what) + " " + dir.string() + ": " + cl_strerror(rc);
  if (!t_lastError.empty()) text += " (" + t_lastError + ")";
  return text;
}

std::shared_ptr<const CLoadedEngine> Load(const ScanEngineOptions& options,
                                          const std::filesystem::path& dir) {
  auto loaded = std::make_shared<CLoadedEngine>();
  loaded->m_pEngine = cl_engine_new();
  if (loaded->m_pEngine == nullptr) throw std::runtime_error("libclamav cannot make an engine");
  auto set = [&](cl_engine_field field, uint64_t value) {
    // The engine takes a signed number: a larger limit is no limit.
    if (value != 0)
      cl_engine_set_num(
          loaded->m_pEngine, field,
          static_cast<long long>(std::min<uint64_t>(value, std::numeric_limits<long long>::max())));
  };
  set(CL_ENGINE_MAX_SCANSIZE, options.maxScanSize);
  set(CL_ENGINE_MAX_FILESIZE, options.maxFileSize);
  set(CL_ENGINE_MAX_RECURSION, options.maxRecursion);
  set(CL_ENGINE_MAX_FILES, options.maxFiles);
  set(CL_ENGINE_MAX_SCANTIME, options.maxScanTimeMs);
  cl_engine_set_clcb_virus_found(loaded->m_pEngine, OnAlert);
  if (!options.tempDir.empty()) {
    if (cl_error_t rc = cl_engine_set_str(loaded->m_pEngine, CL_ENGINE_TMPDIR, options.tempDir.c_str());
        rc != CL_SUCCESS)
      throw std::runtime_error(Failure("cannot use the temporary folder", options.tempDir, rc));
  }
  t_lastError.clear();
  if (cl_error_t rc = cl_load(dir.c_str(), loaded->m_pEngine, &loaded->m_uSignatures, CL_DB_STDOPT);
      rc != CL_SUCCESS)
    throw std::runtime_error(Failure("cannot load the signatures in", dir, rc));
  if (loaded->m_uSignatures == 0) throw std::runtime_error("no signatures in " + dir.string());
  if (cl_error_t rc = cl_engine_compile(loaded->m_pEngine); rc != CL_SUCCESS)
    throw std::runtime_error(Failure("cannot compile the signatures in", dir, rc));
  return loaded;
}

// The limits that are not the engine's defaults, for the start-up and reload lines.
std::string Limits(const ScanEngineOptions& o) {
  std::string text;
  auto limit = [&](const char* name, uint64_t value) {
    if (value != 0)
      text += std::string(text.empty() ? "; limits: " : ", ") + name + " " + std::to_string(value);
  };
  limit("max-scan-size", o.maxScanSize);
  limit("max-file-size", o.maxFileSize);
  limit("max-recursion", o.maxRecursion);
  limit("max-files", o.maxFiles);
  limit("max-scan-time", o.maxScanTimeMs);
  return text;
}

class CClamScanEngine : public CScanEngine {
 public:
  CClamScanEngine(const ScanEngineOptions& options, std::filesystem::path dir)
      : m_options(options), m_dir(std::move(dir)), m_pLoaded(Load(options, m_dir)) {
    // Mail and every container parsed; limits that cut a scan short raise an alert instead of
    // passing the rest unread, so that such a message is reported as not scanned, never clean.
    m_scanOptions.parse = ~0u;
    m_scanOptions.general = CL_SCAN_GENERAL_HEURISTICS;
    m_scanOptions.heuristic = CL_SCAN_HEURISTIC_EXCEEDS_MAX;
  }

  ScanVerdict Scan(const void* data, size_t size) const override {
    ScanVerdict v;
    if (size == 0) return v;
    std::shared_ptr<const CLoadedEngine> engine;
    {
      std::lock_guard lock(m_swap);
      engine = m_pLoaded;
    }
    cl_fmap_t* map = cl_fmap_open_memory(data, size);
    if (map == nullptr) {
      v.kind = ScanVerdict::kUnscanned;
      v.name = "the engine cannot map the message";
      return v;
    }
    const char* reported = nullptr;
    unsigned long scanned = 0;
    cl_scan_options options = m_scanOptions;
    CScanAlerts alerts;
    cl_error_t rc =
        cl_scanmap_callback(map, nullptr, &reported, &scanned, engine->m_pEngine, &options, &alerts);
    cl_fmap_close(map);
    if (rc == CL_CLEAN) return v;
    const std::string name = reported != nullptr ? std::string(reported) : alerts.m_sFirst;
    static constexpr std::string_view kLimit = "Heuristics.Limits.Exceeded.";
    if (rc == CL_VIRUS && !name.empty() && !name.starts_with(kLimit)) {
      v.kind = ScanVerdict::kInfected;
      v.name = name;
      return v;
    }
    // A limit alert, or an alert that names nothing: the message was not read to its end.
    v.kind = ScanVerdict::kUnscanned;
    if (rc == CL_VIRUS && !name.empty())
      v.name = "limit reached (" + name.substr(kLimit.size()) + ")";
    else if (rc == CL_VIRUS)
      v.name = "the engine stopped without naming a signature";
    else if (rc == CL_ETIMEOUT)
      v.name = "limit reached (scan time)";
    else
      v.name = cl_strerror(rc);
    return v;
  }

  bool Reload(const ScanEngineOptions& options, std::string& error) override {
    std::lock_guard reloading(m_reload);
    std::shared_ptr<const CLoadedEngine> fresh;
    const std::filesystem::path dir = options.db.empty() ? m_dir : options.db;
    try {
      fresh = Load(options, dir);
    } catch (const std::exception& e) {
      error = e.what();
      return false;
    }
    std::lock_guard lock(m_swap);
    m_dir = dir;
    m_options = options;
    m_pLoaded.swap(fresh);
    // fresh now holds the old engine: freed on return (after the lock) unless a scan still holds it.
    return true;
  }

  std::string Describe() const override {
    std::lock_guard lock(m_swap);
    return std::string("libclamav ") + cl_retver() + ", " + std::to_string(m_pLoaded->m_uSignatures) +
           " signatures from " + m_dir.string() + Limits(m_options);
  }

  std::string Version() const override {
    std::lock_guard lock(m_swap);
    return std::string("libclamav ") + cl_retver() + ", " + std::to_string(m_pLoaded->m_uSignatures) +
           " signatures";
  }

 private:
  ScanEngineOptions m_options;  // what m_pLoaded was loaded with
  std::filesystem::path m_dir;
  cl_scan_options m_scanOptions{};
  std::mutex m_reload;        // one reload at a time
  mutable std::mutex m_swap;  // guards m_pLoaded, m_options and m_dir; held for a copy
  std::shared_ptr<const CLoadedEngine> m_pLoaded;
};

}  // namespace

std::unique_ptr<CScanEngine> MakeScanEngine(const ScanEngineOptions& options) {
  if (options.builtin) return MakeBuiltinScanEngine("chosen with --builtin");
  InitOnce();
  std::filesystem::path dir = options.db;
  if (dir.empty())
    dir = HoldsDatabases(cl_retdbdir()) ? std::filesystem::path(cl_retdbdir()) : OwnSignatureDir();
  return std::make_unique<CClamScanEngine>(options, dir);
}

}  // namespace mailhook
