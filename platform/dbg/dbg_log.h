// Debug-log stand-in: the one entry point the library writes its trace through.
//
// Lines go to the sink named by MAILHOOK_LOG ("stderr", or a file path; no lines when unset)
// if their level is at least MAILHOOK_LOG_LEVEL (a number, or "trace" = 0, "error" = 0x1000;
// default 0). Each written line carries time, process id, thread id, level, file, line and
// text. Safe under concurrent calls. The level test comes before any formatting, so a line
// that nobody will see costs one call and one load.
//
// Formats are UTF-16 printf-style: %d %u %x %X %p %s %c %% with optional flags (-, 0), width
// and the length modifiers l (32 bits, as on Windows), ll and I64; %s takes a const char16_t*.
// Widths count UTF-16 units. Text is written as UTF-8.
#pragma once

#include <atomic>
#include <cstdarg>
#include <string>
#include <vector>

#include "mh_dbg_export.h"
#include "win32/win32.h"

namespace DBG {

// The level OutputDebugStringA lines are written at on POSIX.
constexpr int LEVEL_DEBUG_STRING = 0x0101;

MH_DBG_API void DebugLogEx(HINSTANCE module, int level, const char16_t* file, int line,
                           const char16_t* format, ...);

// True when a line of this level would be written or captured.
MH_DBG_API bool IsLevelEnabled(int level);

// The lowest level anybody wants (sink or capture); everything until the configuration has
// been read. Kept by this library; callers only read it, through MayLog.
MH_DBG_API extern std::atomic<int> g_iLowestWanted;

// IsLevelEnabled for hot paths: a level nobody wants costs one load and a compare, no call.
inline bool MayLog(int level) {
  return level >= g_iLowestWanted.load(std::memory_order_relaxed) && IsLevelEnabled(level);
}

// Writes one narrow-character line at LEVEL_DEBUG_STRING (the POSIX OutputDebugStringA).
MH_DBG_API void DebugString(const char* text);

// Formats like DebugLogEx and returns the text as UTF-8; exposed for tests and tools.
MH_DBG_API std::string FormatV(const char16_t* format, va_list args);
MH_DBG_API std::string Format(const char16_t* format, ...);

// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
MH_DBG_API std::string ToUtf8(const char16_t* text);
MH_DBG_API std::string ToUtf8(const std::u16string& text);
// UTF-8 to UTF-16; malformed sequences become U+FFFD.
MH_DBG_API std::u16string FromUtf8(const std::string& text);

// Re-reads MAILHOOK_LOG and MAILHOOK_LOG_LEVEL (they are read once, on the first call).
MH_DBG_API void ReloadConfiguration();

struct CapturedLine {
  HINSTANCE module;
  int level;
  std::string file;  // UTF-8, as passed
  int line;
  std::string text;  // formatted, UTF-8
};

// While an instance lives, every line of every level is also recorded in it, from any thread.
// Instances nest; each records what was written during its own lifetime.
class MH_DBG_API CLogCapture {
 public:
  CLogCapture();
  ~CLogCapture();
  CLogCapture(const CLogCapture&) = delete;
  CLogCapture& operator=(const CLogCapture&) = delete;

  std::vector<CapturedLine> Lines() const;
  // Only the lines of one level.
  std::vector<CapturedLine> Lines(int level) const;
  // Only the texts, in order, optionally of one level (-1 = all).
  std::vector<std::string> Texts(int level = -1) const;
  void Clear();

  struct Impl;

 private:
  Impl* m_pImpl;
};

}  // namespace DBG
