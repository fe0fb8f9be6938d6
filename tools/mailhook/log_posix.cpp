// The log's destinations on POSIX. syslog(3) with the mail facility: journald takes it from
// /dev/log, and a syslog daemon files it beside the mail server's own lines (mail.log), which is
// where an administrator follows a message. A file is written with O_APPEND, one write(2) per
// line; a reopen swaps the file under the same descriptor (dup2), so writers never see a closed one.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <stdexcept>

#include "log_sink.h"

namespace mailhook::logsink {

namespace {

enum class Kind { kStderr, kSyslog, kFile };

// Set by Open before the threads that log start; read-only afterwards (the file's descriptor
// number included: a reopen puts the new file under the same number).
Kind g_kind = Kind::kStderr;
std::string g_sIdent = "mailhook";
std::string g_sStderrPrefix = "mailhook: ";
std::string g_sPath;
int g_iFile = -1;

int OpenFile(const std::string& path, std::string& error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0640);
  if (fd < 0) error = "cannot open the log file " + path + ": " + std::strerror(errno);
  return fd;
}

void WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // a full disk loses the line, never the message
    done += static_cast<size_t>(n);
  }
}

// "2026-12-06T18:20:01.123+0100", local time as syslog files have it.
std::string Now() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  tm local{};
  localtime_r(&tv.tv_sec, &local);
  char date[32], zone[8];
  std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
  std::strftime(zone, sizeof zone, "%z", &local);
  char out[48];
  std::snprintf(out, sizeof out, "%s.%03d%s", date, static_cast<int>(tv.tv_usec / 1000), zone);
  return out;
}

}  // namespace

void Open(const std::string& where, const std::string& ident) {
  g_sIdent = ident;
  g_sStderrPrefix = ident;
  if (const size_t slash = g_sStderrPrefix.find('/'); slash != std::string::npos)
    g_sStderrPrefix[slash] = ' ';
  g_sStderrPrefix += ": ";
  if (where == "stderr") {
    g_kind = Kind::kStderr;
  } else if (where == "syslog") {
    // The identity string must outlive openlog: g_sIdent is not changed again.
    openlog(g_sIdent.c_str(), LOG_PID | LOG_NDELAY, LOG_MAIL);
    g_kind = Kind::kSyslog;
  } else {
    if (where.empty()) throw std::runtime_error("--log: empty: syslog, stderr or a file path");
    std::string error;
    const int fd = OpenFile(where, error);
    if (fd < 0) throw std::runtime_error(error);
    if (g_iFile >= 0) ::close(g_iFile);
    g_iFile = fd;
    g_sPath = where;
    g_kind = Kind::kFile;
  }
}

void Write(LogLevel level, std::string_view line) {
  std::string text;
  switch (g_kind) {
    case Kind::kSyslog:
      syslog(static_cast<int>(level), "%.*s", static_cast<int>(line.size()), line.data());
      return;
    case Kind::kStderr:
      text.reserve(g_sStderrPrefix.size() + line.size() + 1);
      text = g_sStderrPrefix;
      text += line;
      text += '\n';
      WriteAll(STDERR_FILENO, text);
      return;
    case Kind::kFile:
      text = Now();
      text += ' ';
      text += g_sIdent;
      text += '[';
      text += std::to_string(getpid());
      text += "]: ";
      text += line;
      text += '\n';
      WriteAll(g_iFile, text);
      return;
  }
}

bool Reopen(std::string& error) {
  if (g_kind != Kind::kFile) return true;
  const int fd = OpenFile(g_sPath, error);
  if (fd < 0) return false;
  const bool ok = ::dup2(fd, g_iFile) >= 0;
  if (!ok) error = std::string("cannot reopen the log file: ") + std::strerror(errno);
  ::close(fd);
  return ok;
}

}  // namespace mailhook::logsink
