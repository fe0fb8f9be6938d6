// The log's destinations on Windows: stderr or a file. Windows has no syslog; its event log is
// not offered (the service runs as a console program there).
#include <process.h>

#include <cstdio>
#include <ctime>
#include <mutex>
#include <stdexcept>

#include "log_sink.h"

namespace mailhook::logsink {

namespace {

std::mutex g_lock;  // guards the file and the prefixes
std::string g_sIdent = "mailhook";
std::string g_sStderrPrefix = "mailhook: ";
std::string g_sPath;
std::FILE* g_pFile = nullptr;

}  // namespace

void Open(const std::string& where, const std::string& ident) {
  if (where == "syslog")
    throw std::runtime_error("--log syslog: Windows has no syslog; give stderr or a file");
  if (where.empty()) throw std::runtime_error("--log: empty: stderr or a file path");
  std::lock_guard lock(g_lock);
  g_sIdent = ident;
  g_sStderrPrefix = ident;
  if (const size_t slash = g_sStderrPrefix.find('/'); slash != std::string::npos)
    g_sStderrPrefix[slash] = ' ';
  g_sStderrPrefix += ": ";
  if (where == "stderr") return;
  std::FILE* file = std::fopen(where.c_str(), "a");
  if (file == nullptr) throw std::runtime_error("cannot open the log file " + where);
  if (g_pFile != nullptr) std::fclose(g_pFile);
  g_pFile = file;
  g_sPath = where;
}

void Write(LogLevel, std::string_view line) {
  std::lock_guard lock(g_lock);
  if (g_pFile == nullptr) {
    std::fprintf(stderr, "%s%.*s\n", g_sStderrPrefix.c_str(), static_cast<int>(line.size()), line.data());
    std::fflush(stderr);
    return;
  }
  char date[32];
  const std::time_t now = std::time(nullptr);
  std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", std::localtime(&now));
  std::fprintf(g_pFile, "%s %s[%d]: %.*s\n", date, g_sIdent.c_str(), _getpid(), static_cast<int>(line.size()),
               line.data());
  std::fflush(g_pFile);
}

bool Reopen(std::string& error) {
  std::lock_guard lock(g_lock);
  if (g_pFile == nullptr) return true;
  std::FILE* file = std::fopen(g_sPath.c_str(), "a");
  if (file == nullptr) {
    error = "cannot reopen the log file " + g_sPath;
    return false;
  }
  std::fclose(g_pFile);
  g_pFile = file;
  return true;
}

}  // namespace mailhook::logsink
