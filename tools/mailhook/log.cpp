#include "log.h"

#include <cinttypes>
#include <cstdio>
#include <mutex>

#include "log_sink.h"

namespace mailhook {

std::atomic<int> g_iLogLevel{static_cast<int>(LogLevel::kInfo)};

namespace {

constexpr const char* kNames[] = {"error", "warning", "notice", "info", "debug"};

std::mutex g_destinationLock;
std::string g_sDestination = "stderr";

}  // namespace

std::optional<LogLevel> ParseLogLevel(std::string_view word) {
  for (int i = 0; i < 5; ++i)
    if (word == kNames[i]) return static_cast<LogLevel>(i + static_cast<int>(LogLevel::kError));
  return std::nullopt;
}

const char* LogLevelName(LogLevel level) {
  return kNames[static_cast<int>(level) - static_cast<int>(LogLevel::kError)];
}

void OpenLog(const std::string& where, const std::string& component, LogLevel level) {
  logsink::Open(where, "mailhook/" + component);
  {
    std::lock_guard lock(g_destinationLock);
    g_sDestination = where;
  }
  SetLogLevel(level);
}

void SetLogLevel(LogLevel level) {
  g_iLogLevel.store(static_cast<int>(level), std::memory_order_relaxed);
}

LogLevel CurrentLogLevel() {
  return static_cast<LogLevel>(g_iLogLevel.load(std::memory_order_relaxed));
}

std::string LogDestination() {
  std::lock_guard lock(g_destinationLock);
  return g_sDestination;
}

bool ReopenLog(std::string& error) {
  return logsink::Reopen(error);
}

void Log(LogLevel level, std::string_view text) {
  if (!LogEnabled(level)) return;
  if (level > LogLevel::kWarning) return logsink::Write(level, text);
  std::string line = LogLevelName(level);
  line += ": ";
  line += text;
  logsink::Write(level, line);
}

void CLogLine::Key(std::string_view key) {
  if (!m_sText.empty()) m_sText += ' ';
  m_sText += key;
  m_sText += '=';
}

CLogLine& CLogLine::Add(std::string_view key, std::string_view value) {
  Key(key);
  bool quote = value.empty();
  for (char ch : value)
    if (ch == ' ' || ch == '"' || ch == '\\' || ch == '=' || ch == '\t' || ch == '\r' || ch == '\n')
      quote = true;
  if (!quote) {
    m_sText += value;
    return *this;
  }
  m_sText += '"';
  for (char ch : value) {
    if (ch == '"' || ch == '\\') m_sText += '\\';
    m_sText += (ch == '\r' || ch == '\n') ? ' ' : ch;
  }
  m_sText += '"';
  return *this;
}

CLogLine& CLogLine::Add(std::string_view key, uint64_t value) {
  Key(key);
  char buf[24];
  std::snprintf(buf, sizeof buf, "%" PRIu64, value);
  m_sText += buf;
  return *this;
}

CLogLine& CLogLine::Add(std::string_view key, int64_t value) {
  Key(key);
  char buf[24];
  std::snprintf(buf, sizeof buf, "%" PRId64, value);
  m_sText += buf;
  return *this;
}

CLogLine& CLogLine::Ms(std::string_view key, double ms) {
  Key(key);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", ms);
  m_sText += buf;
  return *this;
}

}  // namespace mailhook
