// The hook's side: a pool of owner-only backing files registered with the scanning service, and
// per-message holders each with its own link to it. A message is written straight into a
// holder's backing files and sent; the service reads it where it lies and answers.
//
//   CHookClient client(options);
//   // Whole, when the message is in memory:
//   CCarryOutcome outcome = client.Carry(headers, content);
//   // Streamed, as a mail server hands it over:
//   CMessage message = client.Begin();
//   message.Headers().AddText(kHdrMailFrom, "<a@example.org>");
//   message.Append(chunk);  // as often as needed; the content file grows
//   CCarryOutcome outcome = message.Submit();
//
// The client waits for a service that is down or restarting (until the retry deadline) and
// registers its pool again with a service that does not know it. Thread-safe: any number of
// threads carry at once (each message waits for a free holder). One client per process: it owns
// the process's pool and holder managers.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string_view>

#include <mailhook/mailhook_export.h>
#include <mailhook/mh_HeaderList.h>

namespace mailhook {

class CHookClient;

// What the service did to a message, in the reply's flags.
enum ChangeFlags : int32_t {
  kChangedHeaders = 1,  // it wrote an update header list
  kChangedContent = 2,  // it replaced the content
  kInfected = 4,        // it found the message infected
};

struct CHookClientOptions {
  std::filesystem::path folder;  // backing files; created owner-only
  int poolId = 1;
  int holders = 1;                  // messages carried at once
  uint32_t maxMessage = 64u << 20;  // largest content a resource may grow to
  // Seconds a message (and the registration) waits for a service that is not there or went away
  // mid-request; past it, CMailhookError(SERVICE_UNAVAILABLE). 0: fail at once.
  double retryFor = 30;
  // Whether the constructor waits for the service and registers (else the first message does).
  bool registerAtStart = true;
};

// What the service made of one message. Holds the holder and its resources until it is dropped
// or Release()d: the content view below stays valid until then. Use it on the thread that
// carried it (it keeps that thread's guard against backing files cut short).
class MAILHOOK_API CCarryOutcome {
 public:
  CCarryOutcome(CCarryOutcome&& other) noexcept;
  CCarryOutcome& operator=(CCarryOutcome&& other) noexcept;
  ~CCarryOutcome();  // gives everything back; never throws
  CCarryOutcome(const CCarryOutcome&) = delete;
  CCarryOutcome& operator=(const CCarryOutcome&) = delete;

  int32_t Flags() const;  // ChangeFlags of the reply
  bool Infected() const { return (Flags() & kInfected) != 0; }
  // The update header list the service wrote, copied out; empty when it wrote none.
  const CHeaderList& UpdateHeaders() const;
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
  friend class CMessage;
  struct Held;
  explicit CCarryOutcome(std::unique_ptr<Held> held);
  std::unique_ptr<Held> m_pHeld;
};

// One message being written into a holder's backing files, from CHookClient::Begin. Header
// records and content go straight into the mapped files, which grow as needed; nothing is
// buffered. Move-only; one thread at a time. Dropped without Submit, it gives its holder back.
class MAILHOOK_API CMessage {
 public:
  CMessage(CMessage&& other) noexcept;
  CMessage& operator=(CMessage&& other) noexcept;
  ~CMessage();
  CMessage(const CMessage&) = delete;
  CMessage& operator=(const CMessage&) = delete;

  // The header list's writer (throws TOO_LARGE past the header file's limit).
  CHeaderListWriter& Headers();
  // Appends content bytes. Throws CMailhookError: TOO_LARGE past the client's maxMessage (the
  // message can still be dropped or submitted as far as it got), DISK_FULL when the file cannot
  // grow, FILE_CUT_SHORT when another process cut it short meanwhile.
  void Append(std::string_view bytes);
  uint64_t ContentSize() const;

  // Sends the message and waits for the service's answer; the message is spent afterwards.
  // sequence is sent along for the service's logs. A service that is not listening is waited for
  // (the client's retryFor); one that goes away after taking the request fails the message with
  // SERVICE_UNAVAILABLE, since it may have written into the files: the caller has the message
  // and may carry it again. Throws CMailhookError: SERVICE_UNAVAILABLE, TIMEOUT, REFUSED,
  // SERVICE_FAILED, FILE_CUT_SHORT, PROTOCOL.
  CCarryOutcome Submit(int32_t sequence = 0);

 private:
  friend class CHookClient;
  struct Writing;
  explicit CMessage(std::unique_ptr<Writing> writing);
  Writing& Live() const;  // throws once the message is spent
  std::unique_ptr<Writing> m_pWriting;
};

class MAILHOOK_API CHookClient {
 public:
  // Prepares the backing files, registers the pool (waiting up to retryFor for a service, unless
  // options.registerAtStart is off) and connects the holders. Throws CMailhookError.
  explicit CHookClient(const CHookClientOptions& options);
  ~CHookClient();  // backing files stay for the next run
  CHookClient(const CHookClient&) = delete;
  CHookClient& operator=(const CHookClient&) = delete;

  // Takes a free holder for a message to be streamed (waiting while all are in use). Throws
  // CMailhookError(SERVICE_UNAVAILABLE) when every holder is held back past retryFor.
  CMessage Begin();

  // Carries one whole message. A service that goes away mid-request is waited for (retryFor)
  // and the message written and sent again from its start. Throws CMailhookError: TOO_LARGE,
  // DISK_FULL, SERVICE_UNAVAILABLE, TIMEOUT, REFUSED, SERVICE_FAILED, FILE_CUT_SHORT, PROTOCOL.
  CCarryOutcome Carry(const CHeaderList& headers, std::string_view content, int32_t sequence = 0);

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
  struct Shared;
  friend class CCarryOutcome;
  friend class CMessage;
  void Teardown();  // the holder manager, then the pool manager
  Shared* m_pShared;
};

}  // namespace mailhook
