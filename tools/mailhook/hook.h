// The mail server's side of the mailhook command: worker threads carrying messages through the
// layer's hook client (api/mh_HookClient.h), each round trip checked byte for byte unless told not to.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "messages.h"

namespace mailhook {

class CHookClient;

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
  // Appended per served message, flushed per line: "SEQUENCE CONTENT HEADERS UPDATES BACK", the
  // digests of the content and header list written, of the update headers read back and of the
  // content as it came back, as 16 hex digits.
  std::filesystem::path digestLog;
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
  uint64_t newSize = 0;               // content size after a replacement
  std::vector<CHeaderValue> updates;  // the update-header list as read back
  std::string newContent;             // the replacement content (verify runs only)
  std::string digests;                // the digest log's line after the sequence (logging runs only)
};

struct RunSummary {
  uint64_t messages = 0, failed = 0, infected = 0, changedContent = 0;
  uint64_t bytes = 0;
  double seconds = 0;
};

// Carries the command's messages on worker threads through the layer's hook client, and checks
// each round trip when asked.
class HookRunner {
 public:
  explicit HookRunner(const HookOptions& options);
  ~HookRunner();  // backing files stay
  HookRunner(const HookRunner&) = delete;
  HookRunner& operator=(const HookRunner&) = delete;

  // Prepares the backing files, registers the pool with the service and connects the holders.
  // Throws CMailhookError on failure.
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
  MessageResult Carry(const Message& message, uint64_t sequence);

  HookOptions m_options;
  std::unique_ptr<CHookClient> m_client;
  std::atomic<bool> m_stop{false};
  std::FILE* m_digestLog = nullptr;
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
