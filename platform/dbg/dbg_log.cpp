// Sinks, levels and capture of the debug-log stand-in.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "dbg/dbg_log.h"

#if !defined(_WIN32)
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace DBG {

std::atomic<int> g_iLowestWanted{INT32_MIN};

struct CLogCapture::Impl {
  mutable std::mutex mutex;
  std::vector<CapturedLine> lines;
};

namespace {

constexpr int kOff = 0x7FFFFFFF;

struct State {
  std::mutex mutex;  // guards the sink and the capture list
  std::FILE* sink = nullptr;
  bool ownsSink = false;
  int sinkThreshold = kOff;  // lines at or above go to the sink
  std::vector<CLogCapture::Impl*> captures;
  std::once_flag configured;
};

State& TheState() {
  // Never destroyed: lines may be written from other libraries' static destructors.
  static State* state = new State;
  return *state;
}

int ParseLevel(const char* text) {
  if (!text || !*text) return 0;
  std::string t(text);
  if (t == "trace" || t == "all") return 0;
  if (t == "error") return 0x1000;
  if (t == "off" || t == "none") return kOff;
  char* end = nullptr;
  long v = std::strtol(text, &end, 0);
  return (end && *end == 0) ? static_cast<int>(v) : 0;
}

// Called with the mutex held.
void Recompute(State& s) {
  int t = s.sink ? s.sinkThreshold : kOff;
  if (!s.captures.empty()) t = INT32_MIN;
  g_iLowestWanted.store(t, std::memory_order_relaxed);
}

void Configure(State& s) {
  std::lock_guard lock(s.mutex);
  if (s.ownsSink && s.sink) std::fclose(s.sink);
  s.sink = nullptr;
  s.ownsSink = false;
  const char* target = std::getenv("MAILHOOK_LOG");
  if (target && *target) {
    std::string t(target);
    if (t == "stderr") {
      s.sink = stderr;
    } else if (t == "stdout") {
      s.sink = stdout;
    } else if (std::FILE* f = std::fopen(target, "a")) {
      s.sink = f;
      s.ownsSink = true;
    }
  }
  s.sinkThreshold = ParseLevel(std::getenv("MAILHOOK_LOG_LEVEL"));
  Recompute(s);
}

State& Configured() {
  State& s = TheState();
  std::call_once(s.configured, [&] { Configure(s); });
  return s;
}

// The system's own ids, as a debugger or ps shows them. Not through the Win32 stand-in on
// POSIX: that library logs through this one, so this one must not need it.
#if defined(_WIN32)
unsigned long ProcessId() {
  return GetCurrentProcessId();
}
unsigned long ThreadId() {
  return GetCurrentThreadId();
}
#else
unsigned long ProcessId() {
  return static_cast<unsigned long>(getpid());
}
unsigned long ThreadId() {
  return static_cast<unsigned long>(syscall(SYS_gettid));
}
#endif

void Emit(HINSTANCE module, int level, const std::string& file, int line, const std::string& text) {
  State& s = Configured();
  std::lock_guard lock(s.mutex);
  for (auto* c : s.captures) {
    std::lock_guard clock(c->mutex);
    c->lines.push_back(CapturedLine{module, level, file, line, text});
  }
  if (s.sink && level >= s.sinkThreshold) {
    auto now = std::chrono::system_clock::now();
    std::time_t secs = std::chrono::system_clock::to_time_t(now);
    auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count() % 1000000;
    std::tm tm{};
#if defined(_WIN32)
    localtime_s(&tm, &secs);
#else
    localtime_r(&secs, &tm);
#endif
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
    char head[128];
    std::snprintf(head, sizeof head, "%s.%06lld pid=%lu tid=%lu level=0x%04x ", stamp,
                  static_cast<long long>(micros), ProcessId(), ThreadId(), static_cast<unsigned>(level));
    // One write per line, so that processes appending to the same file never interleave.
    std::string out = head + file + ":" + std::to_string(line) + " " + text + "\n";
    std::fwrite(out.data(), 1, out.size(), s.sink);
    std::fflush(s.sink);
  }
}

}  // namespace

bool IsLevelEnabled(int level) {
  Configured();
  return level >= g_iLowestWanted.load(std::memory_order_relaxed);
}

void DebugLogEx(HINSTANCE module, int level, const char16_t* file, int line, const char16_t* format, ...) {
  if (!IsLevelEnabled(level)) return;
  va_list args;
  va_start(args, format);
  std::string text = FormatV(format, args);
  va_end(args);
  Emit(module, level, ToUtf8(file), line, text);
}

void DebugString(const char* text) {
  if (!IsLevelEnabled(LEVEL_DEBUG_STRING)) return;
  std::string t = text ? text : "";
  while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
  Emit(nullptr, LEVEL_DEBUG_STRING, "OutputDebugStringA", 0, t);
}

void ReloadConfiguration() {
  Configure(Configured());
}

CLogCapture::CLogCapture() : m_pImpl(new Impl) {
  State& s = Configured();
  std::lock_guard lock(s.mutex);
  s.captures.push_back(m_pImpl);
  Recompute(s);
}

CLogCapture::~CLogCapture() {
  State& s = Configured();
  {
    std::lock_guard lock(s.mutex);
    std::erase(s.captures, m_pImpl);
    Recompute(s);
  }
  delete m_pImpl;
}

std::vector<CapturedLine> CLogCapture::Lines() const {
  std::lock_guard lock(m_pImpl->mutex);
  return m_pImpl->lines;
}

std::vector<CapturedLine> CLogCapture::Lines(int level) const {
  std::vector<CapturedLine> out;
  for (auto& l : Lines())
    if (l.level == level) out.push_back(l);
  return out;
}

std::vector<std::string> CLogCapture::Texts(int level) const {
  std::vector<std::string> out;
  for (auto& l : Lines())
    if (level == -1 || l.level == level) out.push_back(l.text);
  return out;
}

void CLogCapture::Clear() {
  std::lock_guard lock(m_pImpl->mutex);
  m_pImpl->lines.clear();
}

}  // namespace DBG
