#include <mailhook/mh_Error.h>
#include <mailhook/mh_HookClient.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "api/mh_BackingFiles.h"
#include "api/mh_HeaderListSink.h"
#include "api/mh_HolderQueue.h"
#include "api/mh_Protocol.h"
#include "api/mh_ServiceLink.h"
#include "api/mh_Wire.h"
#include "content/hook_HookContent.h"
#include "foundation/hook_HookError.h"
#include "headers/hook_HookHeadersImp.h"
#include "ipc/ipc_buffer.h"
#include "ipc/rpc.h"
#include "memmap/hook_MemMapResource.h"
#include "os/os_files.h"
#include "pool/hook_MemMapResourcePool.h"
#include "pool/hook_MemMapResourcePoolMgr.h"
#include "shared/hook_SharedResourceClientMgr.h"

namespace mailhook {

namespace {

using Clock = std::chrono::steady_clock;

// A failed exchange in which no service took part to the end: none listened, or it went away
// before its reply (it died, or is restarting). Worth waiting for a service to come back.
bool ServiceGone(const CRPCError& e) {
  return e.GetCode() == CRPCError::NOT_LISTENING || e.GetCode() == CRPCError::PEER_CLOSED;
}

CMailhookError FromRpc(const CRPCError& e, const std::string& what) {
  return CMailhookError(ServiceGone(e)                      ? CMailhookError::SERVICE_UNAVAILABLE
                        : e.GetCode() == CRPCError::TIMEOUT ? CMailhookError::TIMEOUT
                                                            : CMailhookError::PROTOCOL,
                        what + e.what());
}

Clock::time_point DeadlineAfter(double seconds) {
  return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// Waits a short, growing pause before the next try; false when the deadline would pass first.
bool BackOff(std::chrono::milliseconds& pause, Clock::time_point deadline) {
  if (Clock::now() + pause >= deadline) return false;
  std::this_thread::sleep_for(pause);
  pause = std::min(pause * 2, std::chrono::milliseconds(400));
  return true;
}

// Grows a resource's data area to hold need bytes. Messages written in pieces would re-map the
// file once per piece; the area doubles instead, up to what a file may be kept mapped at (or the
// resource's limit, for a message larger than that). TOO_LARGE past the limit, DISK_FULL when the
// file cannot grow (the view is then gone).
void GrowFor(CMemMapResource* resource, uint64_t need, uint64_t kept) {
  if (!resource->IsMapped())  // a grow failed before and took the view with it
    throw CMailhookError(CMailhookError::DISK_FULL, "a backing file has no view since it could not grow");
  const uint64_t storage = static_cast<uint64_t>(resource->GetDataStorageSize());
  if (need <= storage) return;
  const uint64_t max = static_cast<uint64_t>(resource->GetMaxDataStorageSize());
  if (need > max || need > static_cast<uint64_t>(INT32_MAX))
    throw CMailhookError(CMailhookError::TOO_LARGE,
                         "larger than a resource may grow (" + std::to_string(max) + " bytes)");
  uint64_t target = std::min(max, 2 * storage);
  if (need + CMemMapResource::kHeaderSize <= kept)
    target = std::min(target, kept - CMemMapResource::kHeaderSize);
  target = std::max(target, need);
  if (resource->Grow(static_cast<int>(target)) != 0)
    throw CMailhookError(CMailhookError::DISK_FULL, "the backing file could not grow to " +
                                                        std::to_string(target) + " bytes (disk full?)");
}

// The header file's records, written in place; the file grows as records need room.
// A file that cannot grow leaves the message broken (its view may be gone with the grow).
class CHeaderFileSink final : public CHeaderListSink {
 public:
  CHeaderFileSink(CMemMapResource* resource, uint64_t kept, bool& broken)
      : m_pResource(resource), m_ullKept(kept), m_bBroken(broken) {
    Restart();
    WriteFrom(0);
  }

 protected:
  bool Grow(uint64_t bytes) override {
    const uint64_t used = Bytes();
    try {
      GrowFor(m_pResource, used + bytes, m_ullKept);
    } catch (const CMailhookError& e) {
      if (e.GetCode() != CMailhookError::TOO_LARGE) m_bBroken = true;
      throw;
    }
    WriteFrom(used);
    return true;
  }

 private:
  void WriteFrom(uint64_t used) {
    const uint64_t storage = static_cast<uint64_t>(m_pResource->GetDataStorageSize());
    SetWriter(new COutputHookHeadersImp(static_cast<char*>(m_pResource->GetDataBaseAddr()) + used,
                                        static_cast<int>(storage - std::min(used, storage))),
              used, true);
  }

  CMemMapResource* m_pResource;
  uint64_t m_ullKept;
  bool& m_bBroken;
};

}  // namespace

// What the client shares between its messages: the backing files and their pool, the holders,
// the link that registers and fences, and the holders held back.
//
// Locks, in the order they may nest: the files' Lists() (never held while waiting for anything),
// then the pool's and groups' own locks inside the specified classes. The link's and the holder
// queue's locks are their own, never held across a call out of them.
struct CHookClient::Shared {
  CHookClientOptions options;
  std::unique_ptr<CBackingFiles> files;
  std::unique_ptr<CServiceLink> link;
  std::atomic<bool> stop{false};
  std::vector<CHookSharedResource*> holders;  // owned by the client manager

  // Generations: every scan request carries the current one; a holder whose request went
  // unanswered is held back, its resources fenced at a new one (see Quarantine).
  std::atomic<uint32_t> generation{0};
  // Which holder a message may take: counts the group's free ones (a message takes one of these
  // before the group's) and keeps the held-back ones until their fence is answered.
  std::unique_ptr<CHolderQueue<CHookSharedResource>> holderQueue;

  int32_t Register();
  void RegisterWaiting();
  // After an answer the service should not have given a healthy hook of this pool (see Send):
  // true when the next try may go.
  bool Recover(int32_t status, uint32_t sent);
  // Maps the holder's resources afresh from their files (and free ones cut short); stops the
  // client when one cannot be.
  bool Mend(CHookSharedResource* holder);
  // Whether what a service wrote into the holder's resources' shared headers left them as this
  // process wrote them (it made the files); they are mended before they are used again if not.
  bool HeadersIntact(CHookSharedResource* holder) const;
  CHookSharedResource* TakeHolder(Clock::time_point deadline) { return holderQueue->Take(deadline); }
  void GiveHolder(CHookSharedResource* holder) { holderQueue->Give(holder); }
  void Quarantine(CHookSharedResource* holder);
  // The queue's calls: the holder into the group again, and a fence of its resources.
  void IntoGroup(CHookSharedResource* holder);
  bool Fence(CHookSharedResource* holder, uint32_t generation);
  // No message waits any longer for a held-back holder.
  void StopAll();
};

// A holder between the request and the moment it goes back: what the service answered, and
// what was read back. Gives the holder back when it is dropped.
struct CCarryOutcome::Held {
  CHookClient::Shared* client = nullptr;
  CHookSharedResource* holder = nullptr;
  std::unique_ptr<OS::CBusGuard> guard;
  bool faulted = false;  // a backing file was cut short before the guard above was made
  int32_t flags = 0;
  int32_t answer = 0;
  CHeaderList updates;
  std::string_view content;

  bool Faulted() const { return faulted || (guard && guard->Faulted()); }

  // Gives the holder back (or holds it back, when its request may still be served later); true
  // when no backing file was cut short meanwhile (or it was mended).
  bool GiveBack(bool& mended, bool holdBack = false) {
    mended = true;
    // The pool writes each resource's header when it takes it back: touch those pages here,
    // under the guard, so that a header cut short shows up now rather than outside it.
    for (CMemMapResource* res : {holder->GetHeaderMemResource(), holder->GetContentMemResource(),
                                 holder->GetUpdateHeaderMemResource()})
      if (res != nullptr && res->IsMapped()) res->SetDataSize(0);
    // A file grown past what a process may keep mapped goes back to its default length after the
    // message (the service has dropped its view of it), so that neither side maps it at full
    // length for later, smaller messages. Its data size is 0 already: the header must not promise
    // data the shortened file no longer holds. A late service may still have the file mapped: it
    // stays as long as it is.
    if (CMemMapResource* c = holder->GetContentMemResource();
        !holdBack && c != nullptr && c->IsMapped() &&
        static_cast<uint64_t>(c->GetCurrentMapSize()) > client->files->KeptMapping())
      c->ResizeMappingFileDependonFilesize();
    const bool faultedNow = Faulted();
    if (faultedNow) mended = client->Mend(holder);
    if (holdBack)
      client->Quarantine(holder);
    else
      client->GiveHolder(holder);
    holder = nullptr;
    guard.reset();
    return !faultedNow;
  }
};

namespace {

CMailhookError CutShort(bool mended) {
  return {CMailhookError::FILE_CUT_SHORT,
          mended ? "a backing file was cut short by another process; its resources were made again"
                 : "a backing file was cut short by another process and cannot be made again"};
}

// A request no service answered to the end: nobody listened (it was never taken) or the
// service went away after taking it.
struct Unanswered {
  CRPCError error;
  bool Taken() const { return error.GetCode() != CRPCError::NOT_LISTENING; }
};

}  // namespace

// One message in a holder's resources, written and sent: shared by streamed and whole messages.
struct CMessage::Writing {
  CHookClient::Shared* client = nullptr;
  CHookSharedResource* holder = nullptr;
  CMemMapResource* header = nullptr;
  CMemMapResource* body = nullptr;
  CMemMapResource* update = nullptr;
  std::optional<CHeaderFileSink> headerSink;
  std::optional<CHeaderListWriter> headers;
  std::optional<COutputHookContentMMapResourceImp> content;
  uint64_t kept = 0;        // the largest file a process keeps mapped (the pool's, read once)
  bool faulted = false;     // a backing file was cut short under a write
  bool broken = false;      // a write failed: what is in the files is not the message
  bool unanswered = false;  // the last request may still be served later

  ~Writing() {
    if (holder == nullptr) return;
    // Dropped before it was sent, or after a failure: the holder goes back.
    bool mended = true;
    Release().GiveBack(mended, unanswered);
  }

  // The holder, leaving this message, with a guard for what touching its files still costs.
  CCarryOutcome::Held Release() {
    CCarryOutcome::Held held;
    held.client = client;
    held.holder = holder;
    held.guard = std::make_unique<OS::CBusGuard>();
    held.faulted = faulted;
    holder = nullptr;
    return held;
  }

  // Takes the holder's three resources and starts the header list and the content at nothing.
  void Prepare() {
    {
      std::shared_lock lock(client->files->Lists());
      holder->GetMemResources();
    }
    header = holder->GetHeaderMemResource();
    body = holder->GetContentMemResource();
    update = holder->GetUpdateHeaderMemResource();
    if (!header || !body || !update)
      throw CMailhookError(CMailhookError::SYSTEM, "the pool gave no resources");
    headers.reset();
    try {
      kept = client->files->KeptMapping();
      headerSink.emplace(header, kept, broken);
    } catch (const CHookError&) {
      throw CMailhookError(CMailhookError::SYSTEM, "the header file has no view");
    }
    headers.emplace(*headerSink);
    content.emplace(body);
    broken = false;
  }

  // Gives the resources back to the pool, keeping the holder, for a message written again.
  void ReturnResources() {
    headers.reset();
    headerSink.reset();
    content.reset();
    std::shared_lock lock(client->files->Lists());
    holder->Close();
  }

  // Runs a write under the guard against files cut short; a write that throws leaves the
  // message broken.
  template <class F>
  void Guarded(F write) {
    if (broken)
      throw CMailhookError(CMailhookError::INVALID_ARGUMENT, "the message failed before; it cannot go on");
    OS::CBusGuard guard;
    try {
      write();
    } catch (...) {
      broken = true;
      faulted = faulted || guard.Faulted();
      throw;
    }
    if (guard.Faulted()) {
      faulted = broken = true;
      throw CMailhookError(CMailhookError::FILE_CUT_SHORT,
                           "a backing file was cut short by another process while the message was written");
    }
  }

  void Append(std::string_view bytes) {
    Guarded([&] {
      const uint64_t need = content->GetContentSize() + bytes.size();
      if (need > client->options.maxMessage)
        throw CMailhookError(
            CMailhookError::TOO_LARGE,
            "the message is larger than " + std::to_string(client->options.maxMessage) + " bytes");
      GrowFor(body, need, kept);
      uint64_t written = 0;
      if (content->Write(const_cast<char*>(bytes.data()), bytes.size(), written) != 0)
        throw CMailhookError(CMailhookError::DISK_FULL,
                             "content cannot be written: the backing file could not grow (disk full?)");
    });
  }

  // Records what was written and sends the request. Nullopt when the service answered (status
  // and flags filled in); else how it failed to. Throws CMailhookError for every other failure.
  std::optional<Unanswered> Send(int32_t sequence, int32_t& flags, int32_t& answer) {
    header->SetDataSize(static_cast<int>(headerSink->Bytes()));
    body->SetDataSize(static_cast<int>(content->GetContentSize()));
    update->SetDataSize(0);
    CScanReply answered;
    for (int attempt = 0;; ++attempt) {
      CIPCMsgBuffer request(1024, false), reply(1024, false);
      const uint32_t generation = client->generation.load();
      Encode(CScanRequest{client->options.poolId, header->GetResourceId(), body->GetResourceId(),
                          update->GetResourceId(), sequence, generation},
             request);
      try {
        holder->SendRequest(request, reply);
        if (!Decode(reply, answered))
          throw CMailhookError(CMailhookError::PROTOCOL, "service: a malformed reply to the scan");
        // Nothing was touched: the service refused before the files. Once per message.
        if (attempt == 0 && client->Recover(answered.status, generation)) continue;
      } catch (const CRPCError& e) {
        if (ServiceGone(e)) return Unanswered{e};
        // The request may be in the service, to be served later (a slow or stopped service).
        unanswered = true;
        throw FromRpc(e, "service: ");
      }
      break;
    }
    if (answered.status != kStatusOk) throw CMailhookError::FromStatus(answered.status);
    flags = answered.flags;
    answer = answered.answer;
    return std::nullopt;
  }

  // Hands the holder to an outcome, with what the service changed read back in place.
  CCarryOutcome Answered(std::unique_ptr<OS::CBusGuard> guard, int32_t flags, int32_t answer) {
    auto held = std::make_unique<CCarryOutcome::Held>(Release());
    held->guard = std::move(guard);
    held->flags = flags;
    held->answer = answer;
    headers.reset();
    headerSink.reset();
    content.reset();
    CCarryOutcome outcome(std::move(held));
    CCarryOutcome::Held& h = *outcome.m_pHeld;
    // A file cut short after the service answered fails here.
    auto fail = [&h](const std::string& what) {
      bool mended = true;
      if (!h.GiveBack(mended))
        throw CMailhookError(CMailhookError::FILE_CUT_SHORT, what + "; " + CutShort(mended).what());
      throw CMailhookError(CMailhookError::SYSTEM, what);
    };
    if (h.Faulted()) outcome.Release();
    if (flags & kChangedHeaders) {
      if (update->RenewMemMap() != 0) fail("update headers cannot be mapped");
      h.updates = CHeaderList::Parse(update->GetDataBaseAddr(), static_cast<size_t>(update->GetDataSize()));
    }
    if (body->RenewMemMap() != 0) fail("content cannot be mapped");
    h.content = std::string_view(static_cast<const char*>(body->GetDataBaseAddr()),
                                 static_cast<size_t>(body->GetDataSize()));
    if (h.Faulted()) outcome.Release();
    return outcome;
  }

  // A failure with the holder still here: gives it back (held back when the request may still
  // be served) and throws, FILE_CUT_SHORT when giving back shows a file cut short, since
  // whatever failed may have failed because of it.
  [[noreturn]] void Fail(const CMailhookError& e) {
    CCarryOutcome::Held held = Release();
    bool mended = true;
    if (!held.GiveBack(mended, unanswered)) {
      if (e.GetCode() == CMailhookError::FILE_CUT_SHORT) throw CutShort(mended);
      throw CMailhookError(CMailhookError::FILE_CUT_SHORT,
                           std::string(e.what()) + "; " + CutShort(mended).what());
    }
    throw e;
  }
};

// ---------------------------------------------------------------------------------------------
// CCarryOutcome

CCarryOutcome::CCarryOutcome(std::unique_ptr<Held> held) : m_pHeld(std::move(held)) {}
CCarryOutcome::CCarryOutcome(CCarryOutcome&& other) noexcept = default;
CCarryOutcome& CCarryOutcome::operator=(CCarryOutcome&& other) noexcept {
  if (this != &other) {
    if (m_pHeld && m_pHeld->holder) {
      bool mended = true;
      m_pHeld->GiveBack(mended);
    }
    m_pHeld = std::move(other.m_pHeld);
  }
  return *this;
}
CCarryOutcome::~CCarryOutcome() {
  if (m_pHeld && m_pHeld->holder) {
    bool mended = true;
    m_pHeld->GiveBack(mended);
  }
}

int32_t CCarryOutcome::Flags() const {
  return m_pHeld ? m_pHeld->flags : 0;
}
const CHeaderList& CCarryOutcome::UpdateHeaders() const {
  static const CHeaderList kNone;
  return m_pHeld ? m_pHeld->updates : kNone;
}
std::string_view CCarryOutcome::Content() const {
  return m_pHeld ? m_pHeld->content : std::string_view();
}
int32_t CCarryOutcome::Answer() const {
  return m_pHeld ? m_pHeld->answer : 0;
}
uint64_t CCarryOutcome::ContentViewBytes() const {
  CMemMapResource* body = m_pHeld && m_pHeld->holder ? m_pHeld->holder->GetContentMemResource() : nullptr;
  return body != nullptr ? static_cast<uint64_t>(body->GetCurrentMapSize()) : 0;
}

void CCarryOutcome::Release() {
  if (!m_pHeld || !m_pHeld->holder) return;
  bool mended = true;
  const bool whole = m_pHeld->GiveBack(mended);
  m_pHeld->content = {};
  if (!whole) throw CutShort(mended);
}

// ---------------------------------------------------------------------------------------------
// CMessage

CMessage::CMessage(std::unique_ptr<Writing> writing) : m_pWriting(std::move(writing)) {}
CMessage::CMessage(CMessage&& other) noexcept = default;
CMessage& CMessage::operator=(CMessage&& other) noexcept = default;
CMessage::~CMessage() = default;

CMessage::Writing& CMessage::Live() const {
  if (!m_pWriting || m_pWriting->holder == nullptr)
    throw CMailhookError(CMailhookError::INVALID_ARGUMENT, "the message was submitted or dropped already");
  return *m_pWriting;
}

CHeaderListWriter& CMessage::Headers() {
  return *Live().headers;
}

void CMessage::Append(std::string_view bytes) {
  Live().Append(bytes);
}

uint64_t CMessage::ContentSize() const {
  return m_pWriting && m_pWriting->content ? m_pWriting->content->GetContentSize() : 0;
}

CCarryOutcome CMessage::Submit(int32_t sequence) {
  Writing& w = Live();
  if (w.broken)
    w.Fail(w.faulted
               ? CutShort(true)
               : CMailhookError(CMailhookError::INVALID_ARGUMENT, "a write of the message failed before"));
  auto guard = std::make_unique<OS::CBusGuard>();
  const auto deadline = DeadlineAfter(w.client->options.retryFor);
  auto pause = std::chrono::milliseconds(25);
  int32_t flags = 0, answer = 0;
  try {
    for (;;) {
      const std::optional<Unanswered> gone = w.Send(sequence, flags, answer);
      if (!gone) break;
      // A service that took the request and went away may have written into the files: the
      // message as written is lost. One that never took it has seen nothing: wait for it.
      if (gone->Taken()) {
        w.unanswered = true;
        throw FromRpc(gone->error, "service (it had the message, which is to be carried again): ");
      }
      if (w.client->stop.load(std::memory_order_relaxed) || !BackOff(pause, deadline))
        throw FromRpc(gone->error, "service: ");
    }
  } catch (const CMailhookError& e) {
    w.Fail(e);
  }
  return w.Answered(std::move(guard), flags, answer);
}

// ---------------------------------------------------------------------------------------------
// CHookClient

CHookClient::CHookClient(const CHookClientOptions& options) : m_pShared(new Shared) {
  Shared& s = *m_pShared;
  s.options = options;
  if (s.options.holders <= 0) s.options.holders = 1;
  // From the clock, so that a hook started again begins past the generations of its last run.
  s.generation = static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::system_clock::now().time_since_epoch())
                                           .count());
  try {
    EnsurePrivateDir(RuntimeDir());
    EnsurePrivateDir(s.options.folder);
    s.files = std::make_unique<CBackingFiles>(s.options.poolId, s.options.folder, s.options.holders,
                                              uint64_t{s.options.maxMessage});

    s.link = std::make_unique<CServiceLink>(s.options.poolId);
    if (s.options.registerAtStart) s.RegisterWaiting();

    auto* clients = CSharedResourceClientMgr::Instance();
    for (int h = 0; h < s.options.holders; ++h) {
      CHookSharedResource* holder = clients->CreateSharedResource();
      holder->Init(s.options.poolId, CHookSharedResource::GetUniqueID(), kCmdScan, 0, nullptr, 0, 0);
      holder->Connect();
      clients->AddResourceToGroup(kDefaultGroupId, holder);
      s.holders.push_back(holder);
    }
    clients->ReadyToUse();
    CHolderQueue<CHookSharedResource>::Calls calls;
    calls.fence = [&s](CHookSharedResource* holder, uint32_t generation) {
      return s.Fence(holder, generation);
    };
    calls.take = [] { return CSharedResourceClientMgr::Instance()->AcquireResource(kDefaultGroupId); };
    calls.give = [&s](CHookSharedResource* holder) { s.IntoGroup(holder); };
    s.holderQueue = std::make_unique<CHolderQueue<CHookSharedResource>>(s.holders.size(), std::move(calls));
  } catch (const CRPCError& e) {
    Teardown();
    throw FromRpc(e, "connecting to the service: ");
  } catch (...) {
    Teardown();
    throw;
  }
}

CHookClient::~CHookClient() {
  Teardown();
}

void CHookClient::Teardown() {
  if (m_pShared == nullptr) return;
  if (auto* clients = CSharedResourceClientMgr::Instance()) {
    clients->Close();
    CSharedResourceClientMgr::CloseSingleton();
  }
  m_pShared->link.reset();
  CMemMapResourcePoolMgr::Instance()->Close();
  CMemMapResourcePoolMgr::CloseSingleton();
  delete m_pShared;
  m_pShared = nullptr;
}

CMessage CHookClient::Begin() {
  Shared& s = *m_pShared;
  CHookSharedResource* holder = s.TakeHolder(DeadlineAfter(s.options.retryFor));
  if (holder == nullptr)
    throw CMailhookError(
        CMailhookError::SERVICE_UNAVAILABLE,
        "every holder is held back until the service confirms it has finished their last requests");
  auto w = std::make_unique<CMessage::Writing>();
  w->client = m_pShared;
  w->holder = holder;
  try {
    w->Guarded([&] { w->Prepare(); });
  } catch (const CMailhookError& e) {
    // A file cut short behind our back shows up here as resources that cannot be handed out.
    w->Fail(e);
  }
  return CMessage(std::move(w));
}

CCarryOutcome CHookClient::Carry(const CHeaderList& headers, std::string_view content, int32_t sequence) {
  Shared& s = *m_pShared;
  const auto deadline = DeadlineAfter(s.options.retryFor);
  CMessage message = Begin();
  CMessage::Writing& w = *message.m_pWriting;
  auto guard = std::make_unique<OS::CBusGuard>();
  // A message whose service went away is carried again from its start, headers and content
  // written anew into fresh resources (a service that died mid-request may have written into the
  // old ones), until the deadline.
  auto pause = std::chrono::milliseconds(25);
  bool lastTry = s.options.retryFor <= 0;
  int32_t flags = 0, answer = 0;
  try {
    for (bool first = true;; first = false) {
      if (!first) w.Guarded([&] { w.Prepare(); });
      w.Guarded([&] {
        w.headers->Add(headers);
        w.Append(content);
      });
      const std::optional<Unanswered> gone = w.Send(sequence, flags, answer);
      if (!gone) break;
      if (lastTry) {
        w.unanswered = gone->Taken();
        throw FromRpc(gone->error, "service: ");
      }
      w.ReturnResources();
      if (s.stop.load(std::memory_order_relaxed) || !BackOff(pause, deadline)) lastTry = true;
    }
  } catch (const CMailhookError& e) {
    if (w.holder == nullptr) throw;
    w.Fail(e);
  }
  return w.Answered(std::move(guard), flags, answer);
}

int32_t CHookClient::Shared::Register() {
  return link->Register(generation.load());
}

void CHookClient::Shared::RegisterWaiting() {
  const auto deadline = DeadlineAfter(options.retryFor);
  auto pause = std::chrono::milliseconds(25);
  for (;;) {
    try {
      const int32_t status = Register();
      if (status == kStatusOk) return;
      throw CMailhookError::FromStatus(status);
    } catch (const CRPCError& e) {
      if (ServiceGone(e) && !stop && BackOff(pause, deadline)) continue;
      throw FromRpc(e, "registering the pool: ");
    }
  }
}

// A healthy hook can be told its pool is unknown (a service that started after it), that it has
// a resource the service does not (one that adopted the pool otherwise), or that its request is
// older than a fence (fences of an earlier run of the hook, a clock that went back): its own
// registration puts all of that right, fencing every resource at a generation past the refused
// request. A request refused as stale after another thread has already moved the generation on
// just goes again with the new one. False for any other answer, or when registering fails.
bool CHookClient::Shared::Recover(int32_t status, uint32_t sent) {
  if (status != kStatusPoolUnknown && status != kStatusResourceUnknown && status != kStatusStale)
    return false;
  // The export record reads the pool's lists whole: no resource may change hands meanwhile.
  std::unique_lock lock(files->Lists());
  if (status == kStatusStale) {
    if (generation.load() != sent) return true;
    ++generation;
  }
  return Register() == kStatusOk;
}

namespace {

std::vector<CMemMapResource*> ResourcesOf(CHookSharedResource* holder) {
  return {holder->GetHeaderMemResource(), holder->GetContentMemResource(),
          holder->GetUpdateHeaderMemResource()};
}

}  // namespace

// Touches each resource's shared header, so it runs under a guard of its own: the holder may be
// coming back from a late service, outside any message's guard.
bool CHookClient::Shared::HeadersIntact(CHookSharedResource* holder) const {
  OS::CBusGuard guard;
  const bool intact = files->HeadersIntact(ResourcesOf(holder));
  return intact && !guard.Faulted();
}

bool CHookClient::Shared::Mend(CHookSharedResource* holder) {
  std::vector<CMemMapResource*> others;
  for (CHookSharedResource* h : holders)
    if (h != holder)
      for (CMemMapResource* res : ResourcesOf(h))
        if (res != nullptr) others.push_back(res);
  const bool ok = files->Mend(ResourcesOf(holder), others);
  // A client that cannot mend its pool must not carry on with a resource that has no view.
  if (!ok) StopAll();
  return ok;
}

void CHookClient::Shared::StopAll() {
  stop = true;
  if (holderQueue) holderQueue->Stop();
}

void CHookClient::Stop() {
  m_pShared->StopAll();
}

size_t CHookClient::ReturnHeldBack() {
  return m_pShared->holderQueue->ReturnHeldBack();
}

void CHookClient::Shared::IntoGroup(CHookSharedResource* holder) {
  // What the service wrote into the files' headers is not taken on trust: a header that no
  // longer says what this process wrote (a header size of 0, a data size past the view) would
  // make every later message fail on the resource, or a later service refuse the pool.
  if (!HeadersIntact(holder)) Mend(holder);
  std::shared_lock lock(files->Lists());
  // The group would give the holder's resources back to their pool under its own lock, which
  // every message takes twice: given back first, out here, threads carrying at once do not
  // queue behind one another's pool work. The group's Close then finds nothing held.
  holder->Close();
  CSharedResourceClientMgr::Instance()->ReleaseResource(kDefaultGroupId, holder);
}

// The holder's request went unanswered: the service may still serve it later and write into its
// resources. They stay with the holder, out of use, until the service has fenced them at a new
// generation (scans of older ones are refused) and says no request of its own still uses them.
void CHookClient::Shared::Quarantine(CHookSharedResource* holder) {
  holderQueue->HoldBack(holder, ++generation);
}

bool CHookClient::Shared::Fence(CHookSharedResource* holder, uint32_t fenceAt) {
  std::vector<int32_t> resources;
  for (CMemMapResource* res : ResourcesOf(holder))
    resources.push_back(res != nullptr ? res->GetResourceId() : -1);
  int32_t status = kStatusFailed;
  try {
    status = link->Fence(fenceAt, resources);
  } catch (const std::exception&) {
    // no service, or no answer in time: try again later
  }
  // A service that does not know the pool has no request of it: one that does gets the pool
  // registered again, which fences every resource at a generation past this one.
  return status == kStatusOk || status == kStatusPoolUnknown;
}

bool CHookClient::Stopped() const {
  return m_pShared->stop;
}

size_t CHookClient::FreeHolders() const {
  auto* group = CSharedResourceClientMgr::Instance()->FindGroup(kDefaultGroupId);
  return group ? group->FreeCount() : 0;
}

uint64_t CHookClient::FreeResources() const {
  CMemMapResourcePool* pool = CMemMapResourcePoolMgr::Instance()->GetResourcePool(m_pShared->options.poolId);
  return pool ? pool->GetFreeCount() : 0;
}

uint64_t CHookClient::LargestKeptMapping() const {
  return m_pShared->files->KeptMapping();
}

uint64_t CHookClient::ResourceCount() const {
  return m_pShared->files->Count();
}

}  // namespace mailhook
