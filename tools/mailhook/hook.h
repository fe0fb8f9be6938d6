// The mail server's side of the mailhook command: a pool of backing files, a group of
// per-message holders each with its own link to the service, and worker threads carrying
// messages through the seven steps (take a holder, take three resources, write headers and
// content, send the request, read back what changed, give everything back).
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <shared_mutex>
#include <string>
#include <vector>

#include "messages.h"

class CHookSharedResource;
class CMemMapResource;
class CRpcCommunicationResource;

namespace mailhook {

class BusGuard;

struct HookOptions {
  std::filesystem::path workDir;  // backing files; created owner-only
  int poolId = 1;
  int threads = 4;
  int holders = 0;                  // 0: one per thread
  uint64_t repeat = 1;              // times the whole input is carried
  bool verify = true;               // check every round trip byte for byte
  uint32_t maxMessage = 64u << 20;  // largest content a resource may grow to
  // How long a message (and the set-up's registration) waits for a service that is not there
  // or restarting before it fails as "service unavailable"; 0: fail at once.
  double retryFor = 30;
};

struct MessageResult {
  uint64_t sequence = 0;
  std::string name;
  uint64_t size = 0;
  size_t headers = 0;
  bool ok = false;
  std::string error;
  std::string verdict;
  int flags = 0;
  uint64_t newSize = 0;              // content size after a replacement
  std::vector<HeaderValue> updates;  // the update-header list as read back
  std::string newContent;            // the replacement content (verify runs only)
};

struct RunSummary {
  uint64_t messages = 0, failed = 0, infected = 0, changedContent = 0;
  uint64_t bytes = 0;
  double seconds = 0;
};

class HookRunner {
 public:
  explicit HookRunner(const HookOptions& options);
  // Tears down in order: the client manager, then the pool manager. Backing files stay.
  ~HookRunner();
  HookRunner(const HookRunner&) = delete;
  HookRunner& operator=(const HookRunner&) = delete;

  // Creates the pool and its backing files, registers it with the service, creates and
  // connects the holders. Throws std::runtime_error on failure.
  void Setup();
  // Carries every message (repeat times) on the worker threads; onResult is called for each,
  // one at a time.
  RunSummary Run(const std::vector<Message>& messages,
                 const std::function<void(const MessageResult&)>& onResult);

  // Makes Run return once the messages under way are done; safe from any thread.
  void Stop();

  // Free holders and resources, for checks after a run.
  size_t FreeHolders() const;
  uint64_t FreeResources() const;
  uint64_t ResourceCount() const;

 private:
  int32_t Register();
  MessageResult Carry(const Message& message, uint64_t sequence);
  // False when the exchange failed because no service was there (or it died mid-request) and
  // the message is to be carried again from its start.
  bool CarryHeld(CHookSharedResource* holder, const BusGuard& guard, const Message& message,
                 uint64_t sequence, bool lastTry, MessageResult& r);
  // Registers, waiting for a service until the retry deadline; throws CMailhookError.
  void RegisterWaiting();
  bool MendResources(CHookSharedResource* holder);

  HookOptions m_options;
  CRpcCommunicationResource* m_pRegisterLink = nullptr;
  uint64_t m_resourceCount = 0;
  bool m_setUp = false;
  std::atomic<bool> m_stop{false};
  std::vector<CMemMapResource*> m_resources;    // every resource of the pool, owned by it
  std::vector<CHookSharedResource*> m_holders;  // owned by the client manager
  // Shared while resources are handed out or given back; unique while the pool's lists are read
  // whole (a registration) or its resources are mended.
  std::shared_mutex m_poolLists;
};

// `mailhook hook`: carries messages from input (or the built-in set) and prints each result.
struct HookCommandOptions {
  HookOptions hook;
  std::string input;
  bool quiet = false;
  bool json = false;
};
int RunHookCommand(const HookCommandOptions& options);

// Prints one result line as the demo and the hook command show it.
void PrintResult(const MessageResult& r);
void PrintSummary(const RunSummary& s);

}  // namespace mailhook
