// `mailhook milter`: the hook for mail servers that take filters through the milter protocol
// (Postfix smtpd_milters, Sendmail INPUT_MAIL_FILTER), on libmilter. Each message's envelope and
// header fields become header-list records and the message is written into its backing files as
// the mail server hands it over, then scanned by the service; the verdict becomes the answer.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "log.h"

namespace mailhook {

struct MilterOptions {
  // Where libmilter listens: "unix:/path" (or "local:"), "inet:PORT@HOST", "inet6:PORT@HOST".
  std::string socket;
  uint32_t socketMode = 0660;  // a Unix socket's mode: the mail server connects as its own user
  std::string socketGroup;     // and group, when set
  int connections = 16;        // messages carried at once (the hook's holders)
  std::filesystem::path workDir;
  int poolId = 1;
  enum class Infected { kReject, kDiscard, kQuarantine, kTag } onInfected = Infected::kReject;
  bool tempfailUnscanned = false;  // a message the engine gave up on: accepted, saying so, by default
  bool acceptUnavailable = false;  // no service, or no answer: tempfail by default
  uint32_t maxMessage = 64u << 20;
  bool rejectOversize = false;  // larger than maxMessage: accepted, saying so, by default
  double retryFor = 5;          // seconds a message waits for a service that is down
  double drainFor = 30;         // seconds a stop waits for the messages under way
  std::string log = "stderr";   // where its lines go (log.h)
  LogLevel logLevel = LogLevel::kInfo;
  // Reads the options again for SIGHUP (the configuration file as it is now, the flags over it);
  // the policies (on-*) and the log level change live, the rest is kept until a restart.
  std::function<bool(MilterOptions& fresh, std::string& error)> reread;
};

int RunMilter(const MilterOptions& options);

}  // namespace mailhook
