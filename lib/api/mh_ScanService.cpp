#include <mailhook/mh_Error.h>
#include <mailhook/mh_ScanService.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>
#include <vector>

#include "api/mh_Protocol.h"
#include "api/mh_ScanMessage.h"
#include "api/mh_ScanServiceRequests.h"
#include "api/mh_StatsRecorder.h"
#include "api/mh_Wire.h"
#include "content/hook_HookContent.h"
#include "content/hook_HookContentReceiver.h"
#include "foundation/hook_HookError.h"
#include "ipc/ipc_buffer.h"
#include "ipc/rpc.h"
#include "memmap/hook_MemMapResource.h"
#include "os/os_files.h"
#include "pool/hook_MemMapResourcePool.h"
#include "pool/hook_MemMapResourcePoolMgr.h"

namespace mailhook {

namespace {

// The most pools the service keeps, and the most one hook process may have: a pool is kept
// while its hook is connected, so a peer registering ever new ids (even empty) could otherwise
// grow the service without end, or take every place while it lives. A hook has one pool.
constexpr size_t kMaxPools = 4096;
constexpr size_t kMaxPoolsPerProcess = 16;

// True when path (after resolving . and ..) lies inside dir.
bool IsInside(const std::filesystem::path& path, const std::filesystem::path& dir) {
  auto p = std::filesystem::weakly_canonical(path).lexically_normal();
  auto d = std::filesystem::weakly_canonical(dir).lexically_normal();
  auto rel = p.lexically_relative(d);
  return !rel.empty() && *rel.begin() != ".." && rel != ".";
}

// True when generation a comes before b, counting round the 32-bit circle: a hook's generations
// start from its clock and may wrap.
bool Earlier(uint32_t a, uint32_t b) {
  return static_cast<int32_t>(a - b) < 0;
}

// A pool the service has adopted: whose it is, which resources it has, and what its hook has
// given up on (a scan naming a resource with a generation earlier than the resource's fence is
// refused). Requests under way are counted per resource, so that a fence can tell the hook
// whether one still uses its resources.
struct AdoptedPool {
  // The hook's process, which alone may register the pool again, fence it or scan it while it
  // keeps a connection; the pool is forgotten when it keeps none.
  uint32_t process = 0;
  std::vector<int32_t> resources;                // the ids adopted, sorted
  uint32_t base = 0;                             // every resource's fence since registration
  std::unordered_map<int32_t, uint32_t> raised;  // resources fenced later, at most one entry each
  // Requests using each resource now, one entry per resource in use: a few per scan in flight,
  // searched in place. Emptied entries go; its capacity stays, so a scan allocates nothing here.
  struct Running {
    int32_t id;
    int requests;
  };
  std::vector<Running> running;

  bool Has(int32_t id) const { return std::binary_search(resources.begin(), resources.end(), id); }
  uint32_t FenceOf(int32_t id) const {
    auto it = raised.find(id);
    return it == raised.end() ? base : it->second;
  }
  std::vector<Running>::iterator Find(int32_t id) {
    return std::find_if(running.begin(), running.end(), [id](const Running& r) { return r.id == id; });
  }
  bool InUse(int32_t id) { return Find(id) != running.end(); }
  void Use(int32_t id) {
    if (auto it = Find(id); it != running.end())
      ++it->requests;
    else
      running.push_back({id, 1});
  }
  void Done(int32_t id) {
    if (auto it = Find(id); it != running.end() && --it->requests <= 0) {
      *it = running.back();
      running.pop_back();
    }
  }
};

}  // namespace

namespace {

// What the request being served on this thread handed the handler, for its statistics: set by
// ScanShared, read by Handle once the request is answered.
thread_local uint64_t t_ullHandlerMicros = 0;
thread_local uint64_t t_ullContentBytes = 0;

uint64_t MicrosBetween(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(b - a).count());
}

}  // namespace

struct CScanService::Serving {
  CScanServiceOptions options;
  CStatsRecorder stats;
  Handler handler;
  // Lock order: pools, then fencing.
  std::shared_mutex pools;  // registering and forgetting exclude scans of the same process
  // One lock around the adopted pools' records: a scan's check of the fences and its count of
  // use, and a fence's raising and its look at that count, so that a scan either passes the
  // check before the fence and is counted (the fence answers busy), or meets the fence.
  std::mutex fencing;
  // Which pools there are changes under both locks, so either lock is enough to look them up;
  // a record's fences and counts change under fencing.
  std::map<int32_t, AdoptedPool> adopted;
  // Whether a process still holds a connection (the link's answer; the request driver's own).
  // Set (by the request driver) before any request comes; by default the link answers, and until
  // the link exists every process counts as connected.
  std::atomic<CRPCServer*> link{nullptr};
  std::function<bool(uint32_t process)> processConnected = [this](uint32_t process) {
    CRPCServer* listening = link.load(std::memory_order_acquire);
    return listening == nullptr || listening->IsProcessConnected(process);
  };
  std::atomic<uint64_t> failed{0};
  std::unique_ptr<CRPCServer> server;
  std::mutex stopping;
  std::condition_variable stopped;
  bool stop = false;
  std::atomic<bool> closing{false};  // connections that end now are the service's own stopping

  void Log(const std::string& line) const {
    if (options.log) options.log(line);
  }
  void Step(const char* step) const {
    if (options.onStep) options.onStep(step);
  }
  void Handle(const CRPCPeer& peer, const CIPCMsgBuffer& request, CIPCMsgBuffer& reply);
  CServiceStats Snapshot();
  // Checks the entries, then the peer's right to the pool, then adopts the files.
  CRegisterReply Register(const CRPCPeer& peer, const CRegisterRequest& request);
  int32_t EntriesRefused(const CRegisterRequest& request) const;
  // Maps every file named into a pool of that id (held: pools, uniquely).
  CRegisterReply Adopt(const CRPCPeer& peer, const CRegisterRequest& request);
  // Under the lock of pools: why a registration of pool id by process may not make or replace it.
  int32_t RegistrationRefused(uint32_t process, int32_t id) const;
  int32_t Fence(const CRPCPeer& peer, const CFenceRequest& request);
  CScanReply Scan(const CRPCPeer& peer, const CScanRequest& request);
  CScanReply ScanShared(const CRPCPeer& peer, const CScanRequest& request);
  // A connection ended: when its process has none left, its pools are forgotten.
  void Closed(const CRPCPeer& peer);
  // Under the lock of pools.
  void Forget(int32_t id);
};

namespace {

// Counts a scan as using its resources while it lives, if it comes from the pool's hook and its
// generation passes their fences.
class CFencePass {
 public:
  // pools: every adopted pool by id; a pool's record stays put while registering and forgetting
  // are excluded (a node of a map).
  CFencePass(std::mutex& lock, std::map<int32_t, AdoptedPool>& pools, uint32_t process,
             const CScanRequest& scan, const int32_t (&ids)[3])
      : m_lock(lock), m_ids(ids) {
    std::lock_guard guard(m_lock);
    auto pool = pools.find(scan.pool);
    if (pool == pools.end()) {
      m_iStatus = kStatusPoolUnknown;
      return;
    }
    AdoptedPool& p = pool->second;
    if (p.process != process) {
      m_iStatus = kStatusNotOwner;
      return;
    }
    // A hook that sends no generation is taken to be at the oldest the pool has: it passes
    // only resources nobody has fenced since the registration.
    const uint32_t generation = scan.generation.value_or(p.base);
    for (int32_t id : m_ids)
      if (Earlier(generation, p.FenceOf(id))) {
        m_iStatus = kStatusStale;
        return;
      }
    for (int32_t id : m_ids) p.Use(id);
    m_pPool = &p;
  }
  ~CFencePass() {
    if (m_pPool == nullptr) return;
    std::lock_guard guard(m_lock);
    for (int32_t id : m_ids) m_pPool->Done(id);
  }
  CFencePass(const CFencePass&) = delete;
  CFencePass& operator=(const CFencePass&) = delete;
  // kStatusOk when the scan passed.
  int32_t Status() const { return m_iStatus; }

 private:
  std::mutex& m_lock;
  const int32_t (&m_ids)[3];
  AdoptedPool* m_pPool = nullptr;  // set when the scan passed
  int32_t m_iStatus = kStatusOk;
};

}  // namespace

CScanService::CScanService(const CScanServiceOptions& options, Handler handler) : m_pServing(new Serving) {
  m_pServing->options = options;
  m_pServing->handler = std::move(handler);
}

CScanService::~CScanService() {
  Stop();
  m_pServing->server.reset();
  CMemMapResourcePoolMgr::Instance()->Close();
  CMemMapResourcePoolMgr::CloseSingleton();
  delete m_pServing;
}

void CScanService::Start() {
  Serving& s = *m_pServing;
  CRPCServer::Options linkOptions;
  linkOptions.onClosed = [&s](const CRPCPeer& peer) { s.Closed(peer); };
  try {
    s.server = std::make_unique<CRPCServer>(
        CComponentID(u"ID_TARN_MASTER"),
        [&s](const CRPCPeer& peer, const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) {
          s.Handle(peer, request, reply);
        },
        std::move(linkOptions));
  } catch (const CRPCError& e) {
    throw CMailhookError(
        e.GetCode() == CRPCError::ALREADY_SERVED ? CMailhookError::REFUSED : CMailhookError::SYSTEM,
        std::string("cannot listen: ") + e.what());
  }
  // Until now every process counted as connected: no pool was forgotten or taken over.
  s.link.store(s.server.get(), std::memory_order_release);
}

void CScanService::Run() {
  if (!m_pServing->server) Start();
  std::unique_lock lock(m_pServing->stopping);
  m_pServing->stopped.wait(lock, [this] { return m_pServing->stop; });
}

void CScanService::Stop() {
  {
    std::lock_guard lock(m_pServing->stopping);
    m_pServing->stop = true;
  }
  m_pServing->closing = true;
  m_pServing->stopped.notify_all();
  if (m_pServing->server) m_pServing->server->Stop();
}

uint64_t CScanService::Failed() const {
  return m_pServing->failed;
}

void CScanService::Serving::Handle(const CRPCPeer& peer, const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) {
  int32_t command = 0;
  if (!PeekCommand(request, command)) command = 0;
  // A request that cannot be read still gets the reply of its command's shape, with the status
  // saying why.
  if (command == kCmdScan) {
    CScanRequest scan;
    if (!Decode(request, scan)) {
      Encode(CScanReply{kStatusBadRequest, 0, 0}, reply);
      return;
    }
    const auto start = std::chrono::steady_clock::now();
    t_ullHandlerMicros = t_ullContentBytes = 0;
    stats.Started();
    const CScanReply answer = Scan(peer, scan);
    stats.Finished();
    const uint64_t total = MicrosBetween(start, std::chrono::steady_clock::now());
    stats.Answered(answer.status, t_ullContentBytes, t_ullHandlerMicros,
                   total > t_ullHandlerMicros ? total - t_ullHandlerMicros : 0);
    Encode(answer, reply);
  } else if (command == kCmdFence) {
    CFenceRequest fence;
    const int32_t status = Decode(request, fence) ? Fence(peer, fence) : kStatusBadRequest;
    stats.Fenced(status == kStatusResourceBusy);
    Encode(CFenceReply{status}, reply);
  } else if (command == kCmdRegisterPool) {
    CRegisterRequest registration;
    const CRegisterReply answer =
        Decode(request, registration) ? Register(peer, registration) : CRegisterReply{kStatusBadRequest, 0};
    stats.Registered(answer.status == kStatusOk);
    Encode(answer, reply);
  } else if (command == kCmdStats) {
    EncodeStats(Snapshot(), reply);
  } else {
    // Every reply begins with a status and one more integer.
    Encode(CFenceReply{kStatusBadRequest}, reply);
  }
}

int32_t CScanService::Serving::RegistrationRefused(uint32_t process, int32_t id) const {
  auto known = adopted.find(id);
  if (known != adopted.end()) {
    // Another hook's pool, while that hook is there: taking it over would pull its resources
    // from under the messages it is carrying.
    if (known->second.process != process && processConnected(known->second.process)) {
      Log("refused pool " + std::to_string(id) + " to process " + std::to_string(process) +
          ": it belongs to process " + std::to_string(known->second.process) + ", which is still connected");
      return kStatusNotOwner;
    }
    return kStatusOk;
  }
  const size_t mine = static_cast<size_t>(std::count_if(
      adopted.begin(), adopted.end(), [process](const auto& p) { return p.second.process == process; }));
  if (adopted.size() >= kMaxPools || mine >= kMaxPoolsPerProcess) {
    Log("refused pool " + std::to_string(id) + " to process " + std::to_string(process) + ": " +
        std::to_string(adopted.size()) + " pools are known, " + std::to_string(mine) +
        " of them that process's");
    return kStatusTooManyPools;
  }
  return kStatusOk;
}

// Every entry of the pool named, each file inside the service's folder and private to its owner.
int32_t CScanService::Serving::EntriesRefused(const CRegisterRequest& request) const {
  try {
    for (const CRegisterEntry& e : request.entries) {
      if (e.pool != request.pool) return kStatusBadRequest;
      const std::filesystem::path path(e.path);
      if (!IsInside(path, options.folder)) {
        Log("refused " + path.string() + ": outside " + options.folder.string());
        return kStatusRefused;
      }
      if (std::string problem = OS::PrivateFileProblem(path); !problem.empty()) {
        Log("refused " + problem);
        return kStatusRefused;
      }
    }
  } catch (const std::exception& e) {
    // A name the file system cannot take (too long, say) is the request's fault.
    Log(std::string("refused a registration: ") + e.what());
    return kStatusBadRequest;
  }
  return kStatusOk;
}

CRegisterReply CScanService::Serving::Register(const CRPCPeer& peer, const CRegisterRequest& request) {
  if (int32_t refused = EntriesRefused(request); refused != kStatusOk) return {refused, 0};
  std::unique_lock lock(pools);
  if (int32_t refused = RegistrationRefused(peer.process, request.pool); refused != kStatusOk)
    return {refused, 0};
  // A hook that starts again registers again: its old resources are forgotten first.
  Forget(request.pool);
  if (!OS::DescriptorsLeftFor(request.entries.size())) {
    Log("refused pool " + std::to_string(request.pool) + ": " + std::to_string(request.entries.size()) +
        " resources would use up this process's descriptors (ulimit -n)");
    return {kStatusRefused, 0};
  }
  return Adopt(peer, request);
}

CRegisterReply CScanService::Serving::Adopt(const CRPCPeer& peer, const CRegisterRequest& request) {
  const int32_t poolId = request.pool;
  auto* mgr = CMemMapResourcePoolMgr::Instance();
  CMemMapResourcePool* pool = mgr->CreateResourcePool(poolId);
  // Mapping and reading each file's header happen here: a file the hook's user cuts short
  // meanwhile must fail the registration, not end the service.
  OS::CBusGuard guard;
  AdoptedPool record;
  record.process = peer.process;
  record.base = request.generation;
  for (const CRegisterEntry& e : request.entries) {
    CMemMapResource* resource = pool->CreateResource();
    const bool added =
        resource->OpenExisting(e.resource, e.path.c_str()) == 0 && pool->AddResource(resource) == 0;
    if (!added) pool->DestroyResource(resource);
    if (!added || guard.Faulted()) {
      if (guard.Faulted())
        Log("a backing file of pool " + std::to_string(poolId) + " was cut short while it was adopted");
      mgr->RemoveResourcePool(poolId);
      return {kStatusFailed, 0};
    }
    record.resources.push_back(e.resource);
  }
  std::sort(record.resources.begin(), record.resources.end());
  const auto count = static_cast<int32_t>(record.resources.size());
  {
    // Whatever was fenced before is the hook's earlier life: it starts again at its generation.
    std::lock_guard fenceLock(fencing);
    adopted[poolId] = std::move(record);
  }
  Step("adopted");
  Log("adopted pool " + std::to_string(poolId) + " of process " + std::to_string(peer.process) + " with " +
      std::to_string(count) + " resources");
  return {kStatusOk, count};
}

void CScanService::Serving::Forget(int32_t id) {
  CMemMapResourcePoolMgr::Instance()->RemoveResourcePool(id);
  std::lock_guard fenceLock(fencing);
  adopted.erase(id);
}

void CScanService::Serving::Closed(const CRPCPeer& peer) {
  if (closing) return;
  auto owns = [&] {
    std::lock_guard fenceLock(fencing);
    return std::any_of(adopted.begin(), adopted.end(),
                       [&](const auto& p) { return p.second.process == peer.process; });
  };
  // Most connections that end leave their hook with others (a holder's link dropped after a
  // time-out, say), or never registered anything.
  if (!owns() || processConnected(peer.process)) return;
  // Waits for the scans under way, the gone hook's last ones included.
  std::unique_lock lock(pools);
  std::vector<int32_t> gone;
  {
    std::lock_guard fenceLock(fencing);
    for (const auto& [id, pool] : adopted)
      if (pool.process == peer.process) gone.push_back(id);
  }
  // Looked at again under the lock: the process may have connected again meanwhile.
  if (gone.empty() || processConnected(peer.process)) return;
  for (int32_t id : gone) {
    Forget(id);
    Log("forgot pool " + std::to_string(id) + ": its hook (process " + std::to_string(peer.process) +
        ") has no connection left");
  }
}

int32_t CScanService::Serving::Fence(const CRPCPeer& peer, const CFenceRequest& request) {
  std::lock_guard lock(fencing);
  auto pool = adopted.find(request.pool);
  // No stale request of that pool can be served before it is registered again, which fences it whole.
  if (pool == adopted.end()) return kStatusPoolUnknown;
  AdoptedPool& p = pool->second;
  if (p.process != peer.process) return kStatusNotOwner;
  // Every id first: a fence naming a resource the pool does not have raises nothing.
  for (int32_t id : request.resources)
    if (!p.Has(id)) return kStatusResourceUnknown;
  bool busy = false;
  for (int32_t id : request.resources) {
    if (Earlier(p.FenceOf(id), request.generation)) p.raised[id] = request.generation;
    busy = busy || p.InUse(id);
  }
  return busy ? kStatusResourceBusy : kStatusOk;
}

CScanReply CScanService::Serving::Scan(const CRPCPeer& peer, const CScanRequest& request) {
  // The backing files belong to the hook's user: any process of that user can cut one short
  // while we read or write it in place.
  OS::CBusGuard guard;
  CScanReply reply = ScanShared(peer, request);
  if (!guard.Faulted()) return reply;
  Log("a backing file of pool " + std::to_string(request.pool) +
      " is shorter than its mapping; the pool is dropped until its hook registers it again");
  // Our views of it now hold private zero pages: the next request must not use them.
  std::unique_lock lock(pools);
  CMemMapResourcePoolMgr::Instance()->CloseResourcePool(request.pool);
  ++failed;
  return {kStatusFailed, 0, 0};
}

CScanReply CScanService::Serving::ScanShared(const CRPCPeer& peer, const CScanRequest& request) {
  const int32_t poolId = request.pool;
  const int32_t ids[3] = {request.header, request.content, request.update};
  std::shared_lock lock(pools);
  // A pool dropped after a file was cut short is still known, but holds no resources.
  CMemMapResourcePool* pool = CMemMapResourcePoolMgr::Instance()->GetResourcePool(poolId);
  if (pool == nullptr || pool->GetResourceCount() == 0) return {kStatusPoolUnknown, 0, 0};
  CFencePass pass(fencing, adopted, peer.process, request, ids);
  if (pass.Status() != kStatusOk) {
    ++failed;
    return {pass.Status(), 0, 0};
  }
  CHookContentReceiver receiver(poolId, ids[0], ids[1], ids[2]);
  if (receiver.Fail()) {
    ++failed;
    return {receiver.GetError() == HOOK_ERR_RESOURCE_BUSY ? kStatusResourceBusy : kStatusResourceUnknown, 0,
            0};
  }
  Step("receiver");

  CInputHookContent* content = receiver.GetContent();
  CScanMessage::Parts m;
  m.receiver = &receiver;
  m.content = std::string_view(static_cast<const char*>(content->GetRawMemoryBlock()),
                               static_cast<size_t>(content->GetContentSize()));
  m.sequence = request.sequence;
  CScanMessage message(m);
  bool ok = false;
  const auto handlerStart = std::chrono::steady_clock::now();
  try {
    ok = handler(message);
  } catch (const std::exception& e) {
    Log(std::string("the handler failed: ") + e.what());
  }
  t_ullHandlerMicros = MicrosBetween(handlerStart, std::chrono::steady_clock::now());
  t_ullContentBytes = m.content.size();
  // The update list the handler wrote is sent only with its success.
  if (ok && m.updateSink && m.updateSink->Writer() != nullptr)
    ok = receiver.SetHeaders(m.updateSink->Writer()) == 0;
  if (!ok) {
    ++failed;
    return {kStatusFailed, 0, 0};
  }
  const int32_t flags = (receiver.NeedUpdateHeader() ? kChangedHeaders : 0) |
                        (receiver.NeedUpdateContent() ? kChangedContent : 0) | (m.infected ? kInfected : 0);
  // Only a message larger than a process may keep mapped can have left a file that large (the
  // hook cuts such files back after the message), so only then is each file's size asked for.
  CInputHookHeaders* list = receiver.GetHeaders();
  const uint64_t largest = std::max<uint64_t>(m.content.size(), list != nullptr ? list->GetDataLength() : 0);
  if (largest + 4096 > pool->GetMaxAllowedMemMapFileSize()) receiver.CloseMemResourceDependonFileSize();
  return {kStatusOk, flags, m.answer};
}

CServiceStats CScanService::Serving::Snapshot() {
  CServiceStats out;
  stats.Snapshot(out);
  {
    std::shared_lock lock(pools);
    std::lock_guard guard(fencing);
    for (const auto& entry : adopted)
      if (CMemMapResourcePool* pool = CMemMapResourcePoolMgr::Instance()->GetResourcePool(entry.first);
          pool != nullptr && pool->GetResourceCount() > 0) {
        ++out.pools;
        out.resources += static_cast<uint64_t>(pool->GetResourceCount());
      }
  }
  if (options.counters) out.handler = options.counters();
  return out;
}

CServiceStats CScanService::Stats() const {
  return m_pServing->Snapshot();
}

void CScanServiceRequests::Handle(CScanService& service, const CRPCPeer& peer, const CIPCMsgBuffer& request,
                                  CIPCMsgBuffer& reply) {
  service.m_pServing->Handle(peer, request, reply);
}

void CScanServiceRequests::Closed(CScanService& service, const CRPCPeer& peer) {
  service.m_pServing->Closed(peer);
}

void CScanServiceRequests::SetProcessConnected(CScanService& service,
                                               std::function<bool(uint32_t process)> connected) {
  service.m_pServing->processConnected = std::move(connected);
}

}  // namespace mailhook
