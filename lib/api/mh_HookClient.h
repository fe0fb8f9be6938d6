// The hook's side of the layer: a pool of owner-only backing files registered with the scanning
// service, per-message holders each with its own link, and Carry, which writes one message's
// header list and content into a holder's resources, sends the scan request and returns what the
// service made of it. The client waits for a service that is down or restarting (until the
// retry deadline) and registers its pool again with a service that does not know it.
//
// Thread-safe: Carry is called from any number of threads at once (each call waits for a free
// holder). One client per process: it owns the process's pool and holder managers.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string_view>

#include "mailhook_export.h"

class COutputHookHeaders;
class COutputHookContent;

namespace mailhook {

class CHookClient;

struct CHookClientOptions {
  std::filesystem::path folder;  // backing files; created owner-only
  int poolId = 1;
  int holders = 1;                  // messages carried at once
  uint32_t maxMessage = 64u << 20;  // largest content a resource may grow to
  // Seconds a message (and the registration) waits for a service that is not there or went away
  // mid-request; past it, CMailhookError(SERVICE_UNAVAILABLE). 0: fail at once.
  double retryFor = 30;
};

// What the service made of one message. Holds the holder and its resources until it is dropped
// or Release()d: the views below stay valid until then. Use it on the thread that carried it
// (it keeps that thread's guard against backing files cut short).
class MAILHOOK_API CCarryOutcome {
 public:
  CCarryOutcome(CCarryOutcome&& other) noexcept;
  CCarryOutcome& operator=(CCarryOutcome&& other) noexcept;
  ~CCarryOutcome();  // gives everything back; never throws
  CCarryOutcome(const CCarryOutcome&) = delete;
  CCarryOutcome& operator=(const CCarryOutcome&) = delete;

  int32_t Flags() const;  // ChangeFlags of the reply
  // The update header list the service wrote (for CInputHookHeadersImp); size 0 when none.
  const void* UpdateHeaders() const;
  int UpdateHeadersSize() const;
  // The content as it is now: the service's replacement when Flags() has kChangedContent.
  std::string_view Content() const;
  // The number the service's handler sent back (CScanMessage::SetAnswer); 0 when none.
  int32_t Answer() const;
  // Bytes of the content's backing file this process has mapped now, for memory checks.
  uint64_t ContentViewBytes() const;
  // Gives everything back now. Throws CMailhookError(FILE_CUT_SHORT) when a backing file was cut
  // short while the message was carried or read: what was read must be thrown away.
  void Release();

 private:
  friend class CHookClient;
  struct State;
  explicit CCarryOutcome(std::unique_ptr<State> state);
  std::unique_ptr<State> m_pState;
};

class MAILHOOK_API CHookClient {
 public:
  // Writes the header list; false when a record does not fit.
  using HeaderWriter = std::function<bool(COutputHookHeaders&)>;
  // Writes the content in place (Write or ReserveWrite); false when it cannot be written.
  using ContentWriter = std::function<bool(COutputHookContent&)>;

  // Prepares the backing files, registers the pool (waiting up to retryFor for a service) and
  // connects the holders. Throws CMailhookError.
  explicit CHookClient(const CHookClientOptions& options);
  ~CHookClient();  // backing files stay for the next run
  CHookClient(const CHookClient&) = delete;
  CHookClient& operator=(const CHookClient&) = delete;

  // Carries one message. headerBytes: room the header list needs (the header resource grows to
  // it). sequence is sent along for the service's logs. Throws CMailhookError: TOO_LARGE,
  // DISK_FULL, SERVICE_UNAVAILABLE, TIMEOUT, REFUSED, SERVICE_FAILED, FILE_CUT_SHORT, PROTOCOL.
  CCarryOutcome Carry(const HeaderWriter& headers, size_t headerBytes, std::string_view content,
                      int32_t sequence);
  CCarryOutcome Carry(const HeaderWriter& headers, size_t headerBytes, const ContentWriter& content,
                      uint64_t contentBytes, int32_t sequence);

  // Makes waiting messages stop waiting for a service; safe from any thread.
  void Stop();
  bool Stopped() const;

  // A holder whose request went unanswered (a time-out) is held back with its resources until
  // the service confirms that request can no longer be served; Carry tries that by itself, with
  // a growing pause. This tries every held-back holder once now (at the end of a run, say) and
  // returns how many are still held back.
  size_t ReturnHeldBack();

  // The largest backing file a process keeps mapped between messages: a file that grew past it
  // is cut back to its default length after the message.
  uint64_t LargestKeptMapping() const;

  // Free holders and resources, for checks after a run.
  size_t FreeHolders() const;
  uint64_t FreeResources() const;
  uint64_t ResourceCount() const;

 private:
  struct State;
  friend class CCarryOutcome;
  void Teardown();  // the holder manager, then the pool manager
  State* m_pState;
};

}  // namespace mailhook
