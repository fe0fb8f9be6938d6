// The master scanning service of the mailhook command.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>

#include "scan_engine.h"

class CIPCMsgBuffer;

namespace mailhook {

struct ServiceOptions {
  // Backing files named by a registration must lie inside this folder.
  std::filesystem::path workDir;
  bool quiet = false;
  // What RunService loads the engine from.
  ScanEngineOptions scan;
  // The engine a Service scans with; null: the built-in scan.
  std::shared_ptr<CScanEngine> engine;
};

// Handles requests from any number of connection threads at once.
class Service {
 public:
  explicit Service(const ServiceOptions& options);
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  void Handle(const CIPCMsgBuffer& request, CIPCMsgBuffer& reply);
  uint64_t Scanned() const;
  uint64_t Infected() const;
  uint64_t Failed() const;
  uint64_t Clean() const;
  uint64_t Unscanned() const;
  double EngineSeconds() const;  // spent scanning, summed over threads

 private:
  int32_t Register(const CIPCMsgBuffer& request, int32_t& adopted);
  int32_t Scan(int32_t poolId, int32_t headerId, int32_t contentId, int32_t updateId, int32_t& flags);
  int32_t ScanShared(int32_t poolId, int32_t headerId, int32_t contentId, int32_t updateId, int32_t& flags);

  struct State;
  State* m_pState;
};

// Listens until SIGINT or SIGTERM; prints "ready" on stdout once it accepts requests. SIGHUP
// reloads the signatures and prints "reloaded" or "reload failed: <why>" on stdout. Refuses to
// start (status 2) when the signatures cannot be loaded.
int RunService(const ServiceOptions& options);

}  // namespace mailhook
