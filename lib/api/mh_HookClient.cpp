#include "api/mh_HookClient.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "api/mh_Error.h"
#include "api/mh_Files.h"
#include "api/mh_Protocol.h"
#include "api/mh_Wire.h"
#include "content/hook_HookContent.h"
#include "headers/hook_HookHeadersImp.h"
#include "ipc/ipc_buffer.h"
#include "ipc/rpc.h"
#include "memmap/hook_MemMapResource.h"
#include "pool/hook_MemMapResourcePool.h"
#include "pool/hook_MemMapResourcePoolMgr.h"
#include "rpc/hook_RpcCommunicationResource.h"
#include "shared/hook_SharedResourceClientMgr.h"

namespace mailhook {

namespace {

constexpr uint64_t kSmallDefault = 64u << 10;
constexpr uint64_t kSmallMax = 4u << 20;
constexpr uint64_t kLargeDefault = 1u << 20;

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

std::chrono::steady_clock::time_point DeadlineAfter(double seconds) {
  return std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                std::chrono::duration<double>(seconds));
}

// Waits a short, growing pause before the next try; false when the deadline would pass first.
bool BackOff(std::chrono::milliseconds& pause, std::chrono::steady_clock::time_point deadline) {
  if (std::chrono::steady_clock::now() + pause >= deadline) return false;
  std::this_thread::sleep_for(pause);
  pause = std::min(pause * 2, std::chrono::milliseconds(400));
  return true;
}

// True when data of this many bytes may have grown a backing file past what a process keeps
// mapped: only then is the file cut back after the message.
bool MayOutgrowKeptMapping(int poolId, uint64_t dataBytes) {
  CMemMapResourcePool* pool = CMemMapResourcePoolMgr::Instance()->GetResourcePool(poolId);
  return pool == nullptr || dataBytes + 4096 > pool->GetMaxAllowedMemMapFileSize();
}

}  // namespace

struct CHookClient::State {
  CHookClientOptions options;
  CRpcCommunicationResource* registerLink = nullptr;
  std::mutex registering;
  std::atomic<bool> stop{false};
  std::vector<CMemMapResource*> resources;    // every resource of the pool, owned by it
  std::vector<CHookSharedResource*> holders;  // owned by the client manager
  // Shared while resources are handed out or given back; unique while the pool's lists are read
  // whole (a registration) or its resources are mended.
  std::shared_mutex poolLists;

  // Generations: every scan request carries the current one; a holder whose request went
  // unanswered is held back, its resources fenced at a new one (see Quarantine).
  std::atomic<uint32_t> generation{0};
  struct HeldBack {
    CHookSharedResource* holder;
    uint32_t generation;  // its resources' fence
    std::chrono::steady_clock::time_point due;
    std::chrono::milliseconds pause;
    bool probing;
  };
  std::mutex holdersLock;
  std::condition_variable holderBack;
  size_t usable = 0;  // holders free in the group; a Carry takes one of these before the group's
  std::vector<HeldBack> heldBack;

  int32_t Register();
  void RegisterWaiting();
  bool Mend(CHookSharedResource* holder);
  // False when the service went away and the message is to be carried again from its start.
  bool Attempt(CHookSharedResource* holder, const BusGuard& guard, const HeaderWriter& headers,
               size_t headerBytes, const ContentWriter& content, uint64_t contentBytes, int32_t sequence,
               bool lastTry, int32_t& flags, int32_t& answer, bool& unanswered);
  CHookSharedResource* TakeHolder(std::chrono::steady_clock::time_point deadline);
  void GiveHolder(CHookSharedResource* holder);
  void Quarantine(CHookSharedResource* holder);
  // Fences one held-back holder (lock held on entry and exit, not meanwhile); true when it came back.
  bool Probe(std::unique_lock<std::mutex>& lock, CHookSharedResource* holder);
};

struct CCarryOutcome::State {
  CHookClient::State* client = nullptr;
  CHookSharedResource* holder = nullptr;
  std::unique_ptr<BusGuard> guard;
  uint64_t contentBytes = 0;
  int32_t flags = 0;
  int32_t answer = 0;
  const void* updates = nullptr;
  int updatesSize = 0;
  std::string_view content;

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
    // data the shortened file no longer holds.
    // A late service may still have the file mapped: it stays as long as it is.
    if (CMemMapResource* c = holder->GetContentMemResource();
        !holdBack && c != nullptr && c->IsMapped() &&
        MayOutgrowKeptMapping(client->options.poolId, contentBytes))
      c->ResizeMappingFileDependonFilesize();
    const bool faulted = guard->Faulted();
    if (faulted) mended = client->Mend(holder);
    if (holdBack)
      client->Quarantine(holder);
    else
      client->GiveHolder(holder);
    holder = nullptr;
    guard.reset();
    return !faulted;
  }
};

CCarryOutcome::CCarryOutcome(std::unique_ptr<State> state) : m_pState(std::move(state)) {}
CCarryOutcome::CCarryOutcome(CCarryOutcome&& other) noexcept = default;
CCarryOutcome& CCarryOutcome::operator=(CCarryOutcome&& other) noexcept {
  if (this != &other) {
    if (m_pState && m_pState->holder) {
      bool mended = true;
      m_pState->GiveBack(mended);
    }
    m_pState = std::move(other.m_pState);
  }
  return *this;
}
CCarryOutcome::~CCarryOutcome() {
  if (m_pState && m_pState->holder) {
    bool mended = true;
    m_pState->GiveBack(mended);
  }
}

int32_t CCarryOutcome::Flags() const {
  return m_pState ? m_pState->flags : 0;
}
const void* CCarryOutcome::UpdateHeaders() const {
  return m_pState ? m_pState->updates : nullptr;
}
int CCarryOutcome::UpdateHeadersSize() const {
  return m_pState ? m_pState->updatesSize : 0;
}
std::string_view CCarryOutcome::Content() const {
  return m_pState ? m_pState->content : std::string_view();
}
int32_t CCarryOutcome::Answer() const {
  return m_pState ? m_pState->answer : 0;
}
uint64_t CCarryOutcome::ContentViewBytes() const {
  CMemMapResource* body = m_pState && m_pState->holder ? m_pState->holder->GetContentMemResource() : nullptr;
  return body != nullptr ? static_cast<uint64_t>(body->GetCurrentMapSize()) : 0;
}

namespace {
CMailhookError CutShort(bool mended) {
  return {CMailhookError::FILE_CUT_SHORT,
          mended ? "a backing file was cut short by another process; its resources were made again"
                 : "a backing file was cut short by another process and cannot be made again"};
}
}  // namespace

void CCarryOutcome::Release() {
  if (!m_pState || !m_pState->holder) return;
  bool mended = true;
  const bool whole = m_pState->GiveBack(mended);
  m_pState->updates = nullptr;
  m_pState->updatesSize = 0;
  m_pState->content = {};
  if (!whole) throw CutShort(mended);
}

CHookClient::CHookClient(const CHookClientOptions& options) : m_pState(new State) {
  State& s = *m_pState;
  s.options = options;
  if (s.options.holders <= 0) s.options.holders = 1;
  // From the clock, so that a hook started again begins past the generations of its last run.
  s.generation = static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::system_clock::now().time_since_epoch())
                                           .count());
  try {
    EnsurePrivateDir(RuntimeDir());
    EnsurePrivateDir(s.options.folder);
    CMemMapResourcePool* pool = CMemMapResourcePoolMgr::Instance()->CreateResourcePool(s.options.poolId);
    // Two small resources and one large per holder: a holder never waits for another's.
    for (int h = 0; h < s.options.holders; ++h) {
      for (int sizeType : {0, 0, 1}) {
        CMemMapResource* resource = pool->CreateResource();
        int id = pool->GetUniqueResourceId();
        auto path = s.options.folder / ((sizeType == 0 ? "small-" : "large-") + std::to_string(id) + ".mmf");
        std::u16string name = path.u16string();
        // A file left by an earlier run is used again only if it is still private to us.
        std::error_code ec;
        if (std::filesystem::symlink_status(path, ec).type() != std::filesystem::file_type::not_found) {
          if (std::string problem = PrivateFileProblem(path); !problem.empty()) {
            pool->DestroyResource(resource);
            throw CMailhookError(CMailhookError::FILE_REPLACED, "refusing backing file: " + problem);
          }
        }
        uint64_t defaultSize = sizeType == 0 ? kSmallDefault : kLargeDefault;
        uint64_t maxSize = sizeType == 0 ? kSmallMax : s.options.maxMessage;
        if (resource->Open(id, sizeType, name.data(), defaultSize, maxSize) != 0) {
          pool->DestroyResource(resource);
          throw CMailhookError(CMailhookError::SYSTEM, "cannot create backing file " + path.string());
        }
        pool->AddResource(resource);
        s.resources.push_back(resource);
      }
    }
    if (pool->SetupSync() != 0) throw CMailhookError(CMailhookError::SYSTEM, "cannot arm the resource pool");

    s.registerLink = new CRpcCommunicationResource(kCmdRegisterPool, 0);
    s.registerLink->Connect();
    s.RegisterWaiting();

    auto* clients = CSharedResourceClientMgr::Instance();
    for (int h = 0; h < s.options.holders; ++h) {
      CHookSharedResource* holder = clients->CreateSharedResource();
      holder->Init(s.options.poolId, CHookSharedResource::GetUniqueID(), kCmdScan, 0, nullptr, 0, 0);
      holder->Connect();
      clients->AddResourceToGroup(kDefaultGroupId, holder);
      s.holders.push_back(holder);
    }
    clients->ReadyToUse();
    s.usable = s.holders.size();
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
  if (m_pState == nullptr) return;
  if (auto* clients = CSharedResourceClientMgr::Instance()) {
    clients->Close();
    CSharedResourceClientMgr::CloseSingleton();
  }
  delete m_pState->registerLink;
  CMemMapResourcePoolMgr::Instance()->Close();
  CMemMapResourcePoolMgr::CloseSingleton();
  delete m_pState;
  m_pState = nullptr;
}

int32_t CHookClient::State::Register() {
  CMemMapResourcePool* pool = CMemMapResourcePoolMgr::Instance()->GetResourcePool(options.poolId);
  CMemMapResourcePool::CResPoolRegisterInfo* info = pool->ExportPoolRegisterInfo();
  if (info == nullptr) return kStatusFailed;
  CRegisterRequest registration{options.poolId, {}, generation.load()};
  for (int32_t i = 0; i < info->iEntryCount; ++i) {
    const auto* entry = info->Entry(static_cast<size_t>(i));
    registration.entries.push_back({entry->iResourcePoolId, entry->iResourceId, entry->szBackingStoreName});
  }
  pool->FreePoolRegisterInfo(info);
  CIPCMsgBuffer request(1024, false), reply(1024, false);
  Encode(registration, request);
  // One registration at a time on the shared link.
  std::lock_guard lock(registering);
  registerLink->SendRequest(request, reply);
  CRegisterReply answer;
  if (!Decode(reply, answer))
    throw CMailhookError(CMailhookError::PROTOCOL, "service: a malformed reply to the registration");
  return answer.status;
}

void CHookClient::State::RegisterWaiting() {
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

// Maps afresh from its file each resource this holder has and each free one whose file is now
// shorter than its view (one the pool could not hand out): mapping extends a file shorter than
// the view again, and the fresh header has no data recorded. Resources other holders have are
// theirs to mend. No resource changes hands meanwhile.
bool CHookClient::State::Mend(CHookSharedResource* holder) {
  std::unique_lock lock(poolLists);
  std::vector<CMemMapResource*> others, mine;
  for (CHookSharedResource* h : holders) {
    auto& to = h == holder ? mine : others;
    for (CMemMapResource* res :
         {h->GetHeaderMemResource(), h->GetContentMemResource(), h->GetUpdateHeaderMemResource()})
      if (res != nullptr) to.push_back(res);
  }
  bool ok = true;
  for (CMemMapResource* res : resources) {
    if (std::find(others.begin(), others.end(), res) != others.end()) continue;
    std::filesystem::path path(res->GetBackingStoreName());
    std::error_code ec;
    const uint64_t fileSize = std::filesystem::file_size(path, ec);
    const bool held = std::find(mine.begin(), mine.end(), res) != mine.end();
    if (!held && res->IsMapped() && !ec && fileSize >= static_cast<uint64_t>(res->GetCurrentMapSize()))
      continue;
    std::u16string name = res->GetBackingStoreName();
    const bool small = res->GetSizeType() == 0;
    res->Close();
    if (!PrivateFileProblem(path).empty() ||
        res->Open(res->GetResourceId(), res->GetSizeType(), name.data(),
                  small ? kSmallDefault : kLargeDefault, small ? kSmallMax : options.maxMessage) != 0)
      ok = false;
  }
  // A client that cannot mend its pool must not carry on with a resource that has no view.
  if (!ok) stop = true;
  return ok;
}

bool CHookClient::State::Attempt(CHookSharedResource* holder, const BusGuard& guard,
                                 const HeaderWriter& headers, size_t headerBytes,
                                 const ContentWriter& content, uint64_t contentBytes, int32_t sequence,
                                 bool lastTry, int32_t& flags, int32_t& answer, bool& unanswered) {
  {
    std::shared_lock lock(poolLists);
    holder->GetMemResources();
  }
  CMemMapResource* header = holder->GetHeaderMemResource();
  CMemMapResource* body = holder->GetContentMemResource();
  CMemMapResource* update = holder->GetUpdateHeaderMemResource();
  if (!header || !body || !update) throw CMailhookError(CMailhookError::SYSTEM, "the pool gave no resources");

  // The header list and the content, each with its length recorded.
  if (headerBytes > static_cast<size_t>(header->GetDataStorageSize()) &&
      (headerBytes > static_cast<size_t>(header->GetMaxDataStorageSize()) ||
       header->Grow(static_cast<int>(headerBytes)) != 0))
    throw CMailhookError(CMailhookError::TOO_LARGE, "header list too large");
  {
    COutputHookHeadersImp writer(header->GetDataBaseAddr(), header->GetDataStorageSize());
    if (!headers(writer)) throw CMailhookError(CMailhookError::TOO_LARGE, "header list does not fit");
    header->SetDataSize(static_cast<int>(writer.GetDataLength()));
  }
  {
    COutputHookContentMMapResourceImp writer(body);
    bool written = false;
    try {
      written = content(writer);
    } catch (const CMailhookError&) {
      throw;
    } catch (const std::exception&) {
      written = false;  // the resource could not grow
    }
    if (!written) {
      // Nothing is sent: the resource goes back to the pool with no data recorded.
      if (contentBytes + CMemMapResource::kHeaderSize > options.maxMessage)
        throw CMailhookError(CMailhookError::TOO_LARGE, "content larger than a resource may grow");
      throw CMailhookError(CMailhookError::DISK_FULL,
                           "content cannot be written: the backing file could not grow (disk full?)");
    }
    body->SetDataSize(static_cast<int>(writer.GetContentSize()));
  }
  update->SetDataSize(0);

  // What was written may have gone to pages the file no longer has: never send that.
  if (guard.Faulted()) return true;

  CScanReply answered;
  for (int attempt = 0;; ++attempt) {
    CIPCMsgBuffer request(1024, false), reply(1024, false);
    Encode(CScanRequest{options.poolId, header->GetResourceId(), body->GetResourceId(),
                        update->GetResourceId(), sequence, generation.load()},
           request);
    try {
      holder->SendRequest(request, reply);
      if (!Decode(reply, answered))
        throw CMailhookError(CMailhookError::PROTOCOL, "service: a malformed reply to the scan");
      // A service that started after us does not know our pool yet.
      if (answered.status == kStatusPoolUnknown && attempt == 0) {
        // The export record reads the pool's lists whole: no resource may change hands meanwhile.
        std::unique_lock lock(poolLists);
        if (Register() == kStatusOk) continue;
      }
    } catch (const CRPCError& e) {
      if (ServiceGone(e) && !lastTry) return false;
      // The request may be in the service, to be served later (a slow or stopped service).
      unanswered = e.GetCode() != CRPCError::NOT_LISTENING;
      throw FromRpc(e, "service: ");
    }
    break;
  }
  if (answered.status != kStatusOk) throw CMailhookError::FromStatus(answered.status);
  flags = answered.flags;
  answer = answered.answer;
  return true;
}

CCarryOutcome CHookClient::Carry(const HeaderWriter& headers, size_t headerBytes, std::string_view content,
                                 int32_t sequence) {
  return Carry(
      headers, headerBytes,
      [content](COutputHookContent& out) {
        uint64_t done = 0;
        return out.Write(const_cast<char*>(content.data()), content.size(), done) == 0;
      },
      content.size(), sequence);
}

CCarryOutcome CHookClient::Carry(const HeaderWriter& headers, size_t headerBytes,
                                 const ContentWriter& content, uint64_t contentBytes, int32_t sequence) {
  State& s = *m_pState;
  const auto deadline = DeadlineAfter(s.options.retryFor);
  CHookSharedResource* holder = s.TakeHolder(deadline);
  if (holder == nullptr)
    throw CMailhookError(
        CMailhookError::SERVICE_UNAVAILABLE,
        "every holder is held back until the service confirms it has finished their last requests");
  auto state = std::make_unique<CCarryOutcome::State>();
  state->client = m_pState;
  state->holder = holder;
  // In a guard: another process of our user may cut a backing file short under us.
  state->guard = std::make_unique<BusGuard>();
  state->contentBytes = contentBytes;
  CCarryOutcome outcome(std::move(state));
  CCarryOutcome::State& o = *outcome.m_pState;
  // Gives the holder back after a failure and throws: FILE_CUT_SHORT when giving back (which
  // touches each resource's header) shows a file cut short, since whatever failed may have failed
  // because of it.
  auto giveBackAfter = [&o](const CMailhookError& e, bool holdBack) {
    bool mended = true;
    if (!o.GiveBack(mended, holdBack))
      throw CMailhookError(CMailhookError::FILE_CUT_SHORT,
                           std::string(e.what()) + "; " + CutShort(mended).what());
    throw e;
  };

  // A message whose service went away is carried again from its start, headers and content
  // written anew into fresh resources (a service that died mid-request may have written into the
  // old ones), until the deadline.
  auto pause = std::chrono::milliseconds(25);
  bool lastTry = s.options.retryFor <= 0;
  bool unanswered = false;
  try {
    while (!s.Attempt(holder, *o.guard, headers, headerBytes, content, contentBytes, sequence, lastTry,
                      o.flags, o.answer, unanswered) &&
           !o.guard->Faulted()) {
      {
        std::shared_lock lock(s.poolLists);
        holder->Close();
      }
      if (s.stop.load(std::memory_order_relaxed) || !BackOff(pause, deadline)) lastTry = true;
    }
  } catch (const CMailhookError& e) {
    giveBackAfter(e, unanswered);
  }
  if (o.guard->Faulted()) outcome.Release();

  // What changed, read back in place. A file cut short after the service answered fails here.
  CMemMapResource* update = holder->GetUpdateHeaderMemResource();
  CMemMapResource* body = holder->GetContentMemResource();
  try {
    if (o.flags & kChangedHeaders) {
      if (update->RenewMemMap() != 0)
        throw CMailhookError(CMailhookError::SYSTEM, "update headers cannot be mapped");
      o.updates = update->GetDataBaseAddr();
      o.updatesSize = update->GetDataSize();
    }
    if (body->RenewMemMap() != 0) throw CMailhookError(CMailhookError::SYSTEM, "content cannot be mapped");
  } catch (const CMailhookError& e) {
    giveBackAfter(e, false);
  }
  o.content = std::string_view(static_cast<const char*>(body->GetDataBaseAddr()),
                               static_cast<size_t>(body->GetDataSize()));
  return outcome;
}

void CHookClient::Stop() {
  {
    std::lock_guard lock(m_pState->holdersLock);
    m_pState->stop = true;
  }
  m_pState->holderBack.notify_all();
}

size_t CHookClient::ReturnHeldBack() {
  State& s = *m_pState;
  std::unique_lock lock(s.holdersLock);
  std::vector<CHookSharedResource*> due;
  for (auto& h : s.heldBack)
    if (!h.probing) due.push_back(h.holder);
  for (CHookSharedResource* holder : due) s.Probe(lock, holder);
  return s.heldBack.size();
}

// A Carry first fences any held-back holder whose turn has come (nobody else would bring it
// back), then takes a free one. It waits while the others are in use; it gives up at the
// deadline only when every holder is held back.
CHookSharedResource* CHookClient::State::TakeHolder(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(holdersLock);
  for (;;) {
    // The clock is read only when some holder is held back: not once per message.
    if (!heldBack.empty()) {
      const auto now = std::chrono::steady_clock::now();
      auto due = std::find_if(heldBack.begin(), heldBack.end(),
                              [&](const HeldBack& h) { return !h.probing && h.due <= now; });
      if (due != heldBack.end()) {
        Probe(lock, due->holder);
        continue;
      }
    }
    if (usable > 0) {
      --usable;
      lock.unlock();
      return CSharedResourceClientMgr::Instance()->AcquireResource(kDefaultGroupId);
    }
    const bool allHeldBack = heldBack.size() == holders.size();
    if (allHeldBack && (stop || std::chrono::steady_clock::now() >= deadline)) return nullptr;
    auto wake = allHeldBack ? deadline : std::chrono::steady_clock::time_point::max();
    for (const auto& h : heldBack)
      if (!h.probing) wake = std::min(wake, h.due);
    if (wake == std::chrono::steady_clock::time_point::max())
      holderBack.wait(lock);
    else
      holderBack.wait_until(lock, wake);
  }
}

void CHookClient::State::GiveHolder(CHookSharedResource* holder) {
  {
    std::shared_lock lock(poolLists);
    // The group would give the holder's resources back to their pool under its own lock, which
    // every Carry takes twice: given back first, out here, threads carrying at once do not queue
    // behind one another's pool work. The group's Close then finds nothing held.
    holder->Close();
    CSharedResourceClientMgr::Instance()->ReleaseResource(kDefaultGroupId, holder);
  }
  {
    std::lock_guard lock(holdersLock);
    ++usable;
  }
  holderBack.notify_one();
}

// The holder's request went unanswered: the service may still serve it later and write into its
// resources. They stay with the holder, out of use, until the service has fenced them at a new
// generation (scans of older ones are refused) and says no request of its own still uses them.
void CHookClient::State::Quarantine(CHookSharedResource* holder) {
  {
    std::lock_guard lock(holdersLock);
    heldBack.push_back(
        {holder, ++generation, std::chrono::steady_clock::now(), std::chrono::milliseconds(25), false});
  }
  holderBack.notify_all();
}

bool CHookClient::State::Probe(std::unique_lock<std::mutex>& lock, CHookSharedResource* holder) {
  auto find = [&] {
    return std::find_if(heldBack.begin(), heldBack.end(),
                        [&](const HeldBack& h) { return h.holder == holder; });
  };
  auto it = find();
  if (it == heldBack.end() || it->probing) return false;
  it->probing = true;
  CFenceRequest fence{options.poolId, it->generation, {}};
  for (CMemMapResource* res : {holder->GetHeaderMemResource(), holder->GetContentMemResource(),
                               holder->GetUpdateHeaderMemResource()})
    fence.resources.push_back(res != nullptr ? res->GetResourceId() : int32_t{-1});
  CIPCMsgBuffer request(1024, false), reply(1024, false);
  Encode(fence, request);
  lock.unlock();
  CFenceReply answer;
  try {
    std::lock_guard link(registering);
    registerLink->SendRequest(request, reply);
    if (!Decode(reply, answer)) answer.status = kStatusFailed;
  } catch (const std::exception&) {
    answer.status = kStatusFailed;  // no service, or no answer in time: try again later
  }
  const int32_t status = answer.status;
  // A service that does not know the pool has no request of it: one that does gets the pool
  // registered again, which fences every resource at a generation past this one.
  const bool done = status == kStatusOk || status == kStatusPoolUnknown;
  lock.lock();
  it = find();
  if (done) {
    heldBack.erase(it);
    // The service answers again: the others may well be through too.
    for (auto& h : heldBack) h.due = std::min(h.due, std::chrono::steady_clock::now());
    lock.unlock();
    GiveHolder(holder);
    lock.lock();
  } else {
    it->probing = false;
    it->due = std::chrono::steady_clock::now() + it->pause;
    it->pause = std::min(it->pause * 2, std::chrono::milliseconds(2000));
    // Whoever waits for a holder meanwhile wakes for this one's next turn.
    holderBack.notify_all();
  }
  return done;
}

bool CHookClient::Stopped() const {
  return m_pState->stop;
}

size_t CHookClient::FreeHolders() const {
  auto* group = CSharedResourceClientMgr::Instance()->FindGroup(kDefaultGroupId);
  return group ? group->FreeCount() : 0;
}

uint64_t CHookClient::FreeResources() const {
  CMemMapResourcePool* pool = CMemMapResourcePoolMgr::Instance()->GetResourcePool(m_pState->options.poolId);
  return pool ? pool->GetFreeCount() : 0;
}

uint64_t CHookClient::LargestKeptMapping() const {
  CMemMapResourcePool* pool = CMemMapResourcePoolMgr::Instance()->GetResourcePool(m_pState->options.poolId);
  return pool ? static_cast<uint64_t>(pool->GetMaxAllowedMemMapFileSize()) : 0;
}

uint64_t CHookClient::ResourceCount() const {
  return m_pState->resources.size();
}

}  // namespace mailhook
