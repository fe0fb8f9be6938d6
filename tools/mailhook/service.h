// The master scanning service of the mailhook command.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "log.h"
#include "scan_engine.h"

namespace mailhook {

class CScanMessage;

struct ServiceOptions {
  // Backing files named by a registration must lie inside this folder.
  std::filesystem::path workDir;
  // Where its lines go (log.h) and from which level on.
  std::string log = "stderr";
  LogLevel logLevel = LogLevel::kInfo;
  // What RunService loads the engine from.
  ScanEngineOptions scan;
  // The engine a Service scans with; null: the built-in scan.
  std::shared_ptr<CScanEngine> engine;
  // Appended per served request, flushed per line: "SEQUENCE CONTENT HEADERS UPDATES NEW" with
  // the digests of the content and header list read and of the update headers and new content
  // written ("-": none), as 16 hex digits.
  std::filesystem::path digestLog;
  // The statistics as a Prometheus text file, rewritten every metricsInterval seconds; empty: none.
  std::filesystem::path metricsFile;
  double metricsInterval = 5;
  // Reads the options again (the configuration file as it is now, the flags over it) for SIGHUP;
  // false with the reason when they do not read. Null: only the signatures are reloaded.
  std::function<bool(ServiceOptions& fresh, std::string& error)> reread;
};

// The command's handler for the layer's scan service: scans each message with the engine, writes
// the verdict and the digests of what it read as update headers, and replaces infected content.
// Called from any number of connection threads at once.
class Service {
 public:
  explicit Service(const ServiceOptions& options);
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  bool Scan(CScanMessage& message);
  uint64_t Scanned() const;
  uint64_t Infected() const;
  uint64_t Clean() const;
  uint64_t Unscanned() const;
  double EngineSeconds() const;  // spent scanning, summed over threads

 private:
  struct State;
  State* m_pState;
};

// Listens until SIGINT or SIGTERM; prints "ready" on stdout once it accepts requests. SIGHUP
// reopens a log file, reads the options again (log level, signature folder and engine limits
// change live; what cannot is kept and said), reloads the signatures and prints "reloaded: ..."
// or "reload failed: <why>" on stdout. Refuses to start (status 2) when the signatures cannot be
// loaded.
int RunService(const ServiceOptions& options);

}  // namespace mailhook
