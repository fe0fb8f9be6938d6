// Where the service and the milter say what they do: one line per message in key=value form for
// log tools, and their start-up, reload and error lines, to syslog (the mail facility, which the
// journal takes too), to stderr (the journal under systemd) or to a file that logrotate may move
// (reopened on SIGHUP). The level test is one relaxed load: a line below the level is never built.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace mailhook {

// syslog's priorities, so that a line's level is its syslog priority.
enum class LogLevel : int { kError = 3, kWarning = 4, kNotice = 5, kInfo = 6, kDebug = 7 };

// "error", "warning", "notice", "info" or "debug"; nothing for another word.
std::optional<LogLevel> ParseLogLevel(std::string_view word);
const char* LogLevelName(LogLevel level);

extern std::atomic<int> g_iLogLevel;

inline bool LogEnabled(LogLevel level) {
  return static_cast<int>(level) <= g_iLogLevel.load(std::memory_order_relaxed);
}

// The process's log. Open once, before the threads that log start; the rest is thread-safe.
// where: "syslog", "stderr" or a file path (appended to, made 0640). component names the program
// in every line ("service" gives "mailhook service: " on stderr, "mailhook/service" to syslog and
// in a file). Throws std::runtime_error saying why when the file cannot be opened or syslog is
// not there (Windows).
void OpenLog(const std::string& where, const std::string& component, LogLevel level);
void SetLogLevel(LogLevel level);
LogLevel CurrentLogLevel();
// What the log writes to, as given to OpenLog ("stderr" before it).
std::string LogDestination();
// A file is opened again under its name (logrotate moved it); the others need nothing. False with
// the reason when it cannot be: lines go on to the file open before.
bool ReopenLog(std::string& error);
// Writes one line if the level lets it through. Warnings and errors say so at the line's start,
// as mail servers' logs do ("warning: ..."). Before OpenLog: stderr.
void Log(LogLevel level, std::string_view text);

// One key=value line. Values with a space, a quote, a backslash or '=' (or empty ones) are quoted,
// with '"' and '\' escaped and line ends made spaces: each value parses back as it was.
class CLogLine {
 public:
  CLogLine& Add(std::string_view key, std::string_view value);
  CLogLine& Add(std::string_view key, const char* value) { return Add(key, std::string_view(value)); }
  CLogLine& Add(std::string_view key, const std::string& value) { return Add(key, std::string_view(value)); }
  CLogLine& Add(std::string_view key, uint64_t value);
  CLogLine& Add(std::string_view key, int64_t value);
  CLogLine& Add(std::string_view key, int value) { return Add(key, static_cast<int64_t>(value)); }
  // Milliseconds with one decimal.
  CLogLine& Ms(std::string_view key, double ms);
  const std::string& Text() const { return m_sText; }

 private:
  void Key(std::string_view key);
  std::string m_sText;
};

}  // namespace mailhook
