#include <mailhook/mh_Error.h>
#include <mailhook/mh_ScanService.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <unordered_map>
#include <vector>

#include "api/mh_Files.h"
#include "api/mh_HeaderListSink.h"
#include "api/mh_Protocol.h"
#include "api/mh_ScanServiceRequests.h"
#include "api/mh_StatsRecorder.h"
#include "content/hook_HookContent.h"
#include "content/hook_HookContentReceiver.h"
#include "foundation/hook_HookError.h"
#include "headers/hook_HookHeadersImp.h"
#include "ipc/ipc_buffer.h"
#include "ipc/rpc.h"
#include "memmap/hook_MemMapResource.h"
#include "pool/hook_MemMapResourcePool.h"
#include "pool/hook_MemMapResourcePoolMgr.h"

namespace mailhook {

namespace {

// The most resources one registration may bring: the hook's own most (1024 holders of three).
constexpr uint32_t kMaxRegisterEntries = 3 * 1024;
// The most pools the service keeps: a pool stays known by id after it is dropped, so without a
// bound a hook registering ever new ids (even empty) would grow the service without end.
constexpr size_t kMaxPools = 4096;

// True when path (after resolving . and ..) lies inside dir.
bool IsInside(const std::filesystem::path& path, const std::filesystem::path& dir) {
  auto p = std::filesystem::weakly_canonical(path).lexically_normal();
  auto d = std::filesystem::weakly_canonical(dir).lexically_normal();
  auto rel = p.lexically_relative(d);
  return !rel.empty() && *rel.begin() != ".." && rel != ".";
}

}  // namespace

namespace {

// The update list goes into the room the hook's update file has: the receiver's writer over it.
class CUpdateSink final : public CHeaderListSink {
 public:
  explicit CUpdateSink(CHookContentReceiver& receiver) : m_Receiver(receiver) {}
  COutputHookHeaders* Writer() const { return m_pUpdates; }

 protected:
  bool Grow(uint64_t) override {
    if (m_pUpdates != nullptr) return false;  // full
    m_pUpdates = m_Receiver.GetOutputHookHeaders();
    if (m_pUpdates == nullptr) return false;
    SetWriter(static_cast<COutputHookHeadersImp*>(m_pUpdates), 0, false);
    return true;
  }

 private:
  CHookContentReceiver& m_Receiver;
  COutputHookHeaders* m_pUpdates = nullptr;  // the receiver's, made on the first record
};

}  // namespace

struct CScanMessage::State {
  CHookContentReceiver* receiver = nullptr;
  std::string_view content;
  int32_t sequence = 0;
  int32_t answer = 0;
  bool infected = false;
  std::optional<CHeaderList> headers;  // parsed on the first look
  std::optional<CUpdateSink> updateSink;
  std::optional<CHeaderListWriter> updates;
};

const CHeaderList& CScanMessage::Headers() const {
  if (!m_state.headers) {
    CInputHookHeaders* list = m_state.receiver->GetHeaders();
    m_state.headers = list == nullptr ? CHeaderList()
                                      : CHeaderList::Parse(list->GetDataBlock(),
                                                           static_cast<size_t>(list->GetDataLength()));
  }
  return *m_state.headers;
}
std::string_view CScanMessage::Content() const {
  return m_state.content;
}
int32_t CScanMessage::Sequence() const {
  return m_state.sequence;
}
CHeaderListWriter& CScanMessage::UpdateHeaders() {
  if (!m_state.updates) {
    m_state.updateSink.emplace(*m_state.receiver);
    m_state.updates.emplace(*m_state.updateSink);
  }
  return *m_state.updates;
}
bool CScanMessage::ReplaceContent(std::string_view content) {
  COutputHookContent* writer = m_state.receiver->GetOutputHookContent();
  uint64_t written = 0;
  return writer != nullptr &&
         writer->Write(const_cast<char*>(content.data()), content.size(), written) == 0 &&
         m_state.receiver->SetContent(writer) == 0;
}
void CScanMessage::MarkInfected() {
  m_state.infected = true;
}
void CScanMessage::SetAnswer(int32_t value) {
  m_state.answer = value;
}

namespace {

// True when generation a comes before b, counting round the 32-bit circle: a hook's generations
// start from its clock and may wrap.
bool Earlier(uint32_t a, uint32_t b) {
  return static_cast<int32_t>(a - b) < 0;
}

// What a pool's hook has given up on: a scan naming a resource with a generation earlier than
// the resource's fence is refused. Requests under way are counted per resource, so that a fence
// can tell the hook whether one still uses its resources.
struct PoolFences {
  uint32_t base = 0;                             // every resource's fence since registration
  std::unordered_map<int32_t, uint32_t> raised;  // resources fenced later
  // Requests using each resource now, one entry per resource in use: a few per scan in flight,
  // searched in place. Emptied entries go, so hostile ids cannot make it grow; its capacity
  // stays, so a scan allocates nothing here.
  struct Running {
    int32_t id;
    int requests;
  };
  std::vector<Running> running;
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

struct CScanService::State {
  CScanServiceOptions options;
  CStatsRecorder stats;
  Handler handler;
  std::shared_mutex pools;  // registration excludes scans of the same process
  // One lock around a scan's check of the fences and its count of use, and around a fence's
  // raising and its look at that count: a scan either passes the check before the fence and is
  // counted (the fence answers busy), or meets the fence.
  std::mutex fencing;
  std::map<int32_t, PoolFences> fences;
  size_t poolCount = 0;  // pools ever made, under the lock of pools
  std::atomic<uint64_t> failed{0};
  std::unique_ptr<CRPCServer> server;
  std::mutex stopping;
  std::condition_variable stopped;
  bool stop = false;

  void Log(const std::string& line) const {
    if (options.log) options.log(line);
  }
  void Step(const char* step) const {
    if (options.onStep) options.onStep(step);
  }
  void Handle(const CIPCMsgBuffer& request, CIPCMsgBuffer& reply);
  CServiceStats Snapshot();
  int32_t Register(const CIPCMsgBuffer& request, int32_t& adopted);
  int32_t Fence(const CIPCMsgBuffer& request);
  int32_t Scan(int32_t poolId, const int32_t (&ids)[3], int32_t sequence, const uint32_t* generation,
               int32_t& flags, int32_t& answer);
  int32_t ScanShared(int32_t poolId, const int32_t (&ids)[3], int32_t sequence, const uint32_t* generation,
                     int32_t& flags, int32_t& answer);
};

namespace {

// Counts a scan as using its resources while it lives, if its generation passes their fences.
class CFencePass {
 public:
  // pools: every pool's fences, by id; the entry of a pool stays put while registration is
  // excluded (a node of a map).
  CFencePass(std::mutex& lock, std::map<int32_t, PoolFences>& pools, int32_t poolId, const int32_t (&ids)[3],
             const uint32_t* generation)
      : m_lock(lock), m_ids(ids) {
    std::lock_guard guard(m_lock);
    PoolFences& fences = pools[poolId];
    if (generation != nullptr)
      for (int32_t id : m_ids) {
        auto raised = fences.raised.find(id);
        if (Earlier(*generation, raised == fences.raised.end() ? fences.base : raised->second)) return;
      }
    for (int32_t id : m_ids) fences.Use(id);
    m_fences = &fences;
  }
  ~CFencePass() {
    if (m_fences == nullptr) return;
    std::lock_guard guard(m_lock);
    for (int32_t id : m_ids) m_fences->Done(id);
  }
  CFencePass(const CFencePass&) = delete;
  CFencePass& operator=(const CFencePass&) = delete;
  bool Passed() const { return m_fences != nullptr; }

 private:
  std::mutex& m_lock;
  const int32_t (&m_ids)[3];
  PoolFences* m_fences = nullptr;  // set when the scan passed
};

}  // namespace

CScanService::CScanService(const CScanServiceOptions& options, Handler handler) : m_pState(new State) {
  m_pState->options = options;
  m_pState->handler = std::move(handler);
}

CScanService::~CScanService() {
  Stop();
  m_pState->server.reset();
  CMemMapResourcePoolMgr::Instance()->Close();
  CMemMapResourcePoolMgr::CloseSingleton();
  delete m_pState;
}

void CScanService::Start() {
  State& s = *m_pState;
  try {
    s.server = std::make_unique<CRPCServer>(
        CComponentID(u"ID_TARN_MASTER"),
        [&s](const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) { s.Handle(request, reply); });
  } catch (const CRPCError& e) {
    throw CMailhookError(
        e.GetCode() == CRPCError::ALREADY_SERVED ? CMailhookError::REFUSED : CMailhookError::SYSTEM,
        std::string("cannot listen: ") + e.what());
  }
}

void CScanService::Run() {
  if (!m_pState->server) Start();
  std::unique_lock lock(m_pState->stopping);
  m_pState->stopped.wait(lock, [this] { return m_pState->stop; });
}

void CScanService::Stop() {
  {
    std::lock_guard lock(m_pState->stopping);
    m_pState->stop = true;
  }
  m_pState->stopped.notify_all();
  if (m_pState->server) m_pState->server->Stop();
}

uint64_t CScanService::Failed() const {
  return m_pState->failed;
}

void CScanService::State::Handle(const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) {
  int32_t command = 0;
  try {
    request >> command;
  } catch (const std::exception&) {
    reply << static_cast<int32_t>(kStatusBadRequest) << static_cast<int32_t>(0);
    return;
  }
  if (command == kCmdScan) {
    int32_t pool = 0, ids[3] = {}, sequence = 0;
    uint32_t generation = 0;
    bool withGeneration = false;
    try {
      request >> pool >> ids[0] >> ids[1] >> ids[2] >> sequence;
      withGeneration = !request.AtEnd();
      if (withGeneration) request >> generation;
    } catch (const std::exception&) {
      reply << static_cast<int32_t>(kStatusBadRequest) << static_cast<int32_t>(0);
      return;
    }
    int32_t flags = 0, answer = 0;
    const auto start = std::chrono::steady_clock::now();
    t_ullHandlerMicros = t_ullContentBytes = 0;
    stats.Started();
    int32_t status = Scan(pool, ids, sequence, withGeneration ? &generation : nullptr, flags, answer);
    stats.Finished();
    const uint64_t total = MicrosBetween(start, std::chrono::steady_clock::now());
    stats.Answered(status, t_ullContentBytes, t_ullHandlerMicros,
                   total > t_ullHandlerMicros ? total - t_ullHandlerMicros : 0);
    reply << status << flags << answer;
  } else if (command == kCmdFence) {
    const int32_t status = Fence(request);
    stats.Fenced(status == kStatusResourceBusy);
    reply << status << static_cast<int32_t>(0);
  } else if (command == kCmdRegisterPool) {
    int32_t adopted = 0;
    int32_t status = Register(request, adopted);
    stats.Registered(status == kStatusOk);
    reply << status << adopted;
  } else if (command == kCmdStats) {
    EncodeStats(Snapshot(), reply);
  } else {
    reply << static_cast<int32_t>(kStatusBadRequest) << static_cast<int32_t>(0);
  }
}

int32_t CScanService::State::Register(const CIPCMsgBuffer& request, int32_t& adopted) {
  struct Entry {
    int32_t pool, id;
    OS::x_wstring name;
  };
  int32_t poolId = 0;
  uint32_t count = 0, generation = 0;
  std::vector<Entry> entries;
  try {
    request >> poolId >> count;
    // Entries are made as they are read, so memory follows the bytes really sent, never a
    // claimed count.
    if (count > kMaxRegisterEntries) return kStatusBadRequest;
    for (uint32_t i = 0; i < count; ++i) {
      Entry e;
      request >> e.pool >> e.id >> e.name;
      entries.push_back(std::move(e));
    }
    if (!request.AtEnd()) request >> generation;
  } catch (const std::exception&) {
    return kStatusBadRequest;
  }
  try {
    for (auto& e : entries) {
      if (e.pool != poolId) return kStatusBadRequest;
      const std::filesystem::path path(static_cast<const std::u16string&>(e.name));
      if (!IsInside(path, options.folder)) {
        Log("refused " + path.string() + ": outside " + options.folder.string());
        return kStatusRefused;
      }
      if (std::string problem = PrivateFileProblem(path); !problem.empty()) {
        Log("refused " + problem);
        return kStatusRefused;
      }
    }
  } catch (const std::exception& e) {
    // A name the file system cannot take (too long, say) is the request's fault.
    Log(std::string("refused a registration: ") + e.what());
    return kStatusBadRequest;
  }

  std::unique_lock lock(pools);
  auto* mgr = CMemMapResourcePoolMgr::Instance();
  // A hook that starts again registers again: its old resources are forgotten first.
  if (mgr->GetResourcePool(poolId) == nullptr) {
    if (poolCount >= kMaxPools) {
      Log("refused pool " + std::to_string(poolId) + ": " + std::to_string(kMaxPools) +
          " pools are known already");
      return kStatusRefused;
    }
    ++poolCount;
  }
  mgr->CloseResourcePool(poolId);
  if (!DescriptorsLeftFor(entries.size())) {
    Log("refused pool " + std::to_string(poolId) + ": " + std::to_string(entries.size()) +
        " resources would use up this process's descriptors (ulimit -n)");
    return kStatusRefused;
  }
  CMemMapResourcePool* pool = mgr->CreateResourcePool(poolId);
  // Mapping and reading each file's header happen here: a file the hook's user cuts short
  // meanwhile must fail the registration, not end the service.
  BusGuard guard;
  for (auto& e : entries) {
    CMemMapResource* resource = pool->CreateResource();
    const bool added = resource->OpenExisting(e.id, const_cast<char16_t*>(e.name.c_str())) == 0 &&
                       pool->AddResource(resource) == 0;
    if (!added) pool->DestroyResource(resource);
    if (!added || guard.Faulted()) {
      if (guard.Faulted())
        Log("a backing file of pool " + std::to_string(poolId) + " was cut short while it was adopted");
      mgr->CloseResourcePool(poolId);
      adopted = 0;
      return kStatusFailed;
    }
    ++adopted;
  }
  {
    // Whatever was fenced before is the hook's earlier life: it starts again at its generation.
    std::lock_guard fenceLock(fencing);
    fences[poolId] = PoolFences{generation, {}, {}};
  }
  Step("adopted");
  Log("adopted pool " + std::to_string(poolId) + " with " + std::to_string(adopted) + " resources");
  return kStatusOk;
}

int32_t CScanService::State::Fence(const CIPCMsgBuffer& request) {
  int32_t poolId = 0;
  uint32_t generation = 0, count = 0;
  std::vector<int32_t> ids;
  try {
    request >> poolId >> generation >> count;
    if (count > kMaxRegisterEntries) return kStatusBadRequest;
    for (uint32_t i = 0; i < count; ++i) {
      int32_t id = 0;
      request >> id;
      ids.push_back(id);
    }
  } catch (const std::exception&) {
    return kStatusBadRequest;
  }
  std::lock_guard lock(fencing);
  auto pool = fences.find(poolId);
  // No stale request of that pool can be served before it is registered again, which fences it whole.
  if (pool == fences.end()) return kStatusPoolUnknown;
  PoolFences& f = pool->second;
  bool busy = false;
  for (int32_t id : ids) {
    auto raised = f.raised.find(id);
    // A pool has at most as many resources as a registration brings: more fenced ids are not ours.
    if (raised == f.raised.end() && f.raised.size() >= kMaxRegisterEntries) return kStatusBadRequest;
    uint32_t& fence = raised == f.raised.end() ? f.raised[id] = f.base : raised->second;
    if (Earlier(fence, generation)) fence = generation;
    busy = busy || f.InUse(id);
  }
  return busy ? kStatusResourceBusy : kStatusOk;
}

int32_t CScanService::State::Scan(int32_t poolId, const int32_t (&ids)[3], int32_t sequence,
                                  const uint32_t* generation, int32_t& flags, int32_t& answer) {
  // The backing files belong to the hook's user: any process of that user can cut one short
  // while we read or write it in place.
  BusGuard guard;
  int32_t status = ScanShared(poolId, ids, sequence, generation, flags, answer);
  if (!guard.Faulted()) return status;
  Log("a backing file of pool " + std::to_string(poolId) +
      " is shorter than its mapping; the pool is dropped until its hook registers it again");
  // Our views of it now hold private zero pages: the next request must not use them.
  std::unique_lock lock(pools);
  CMemMapResourcePoolMgr::Instance()->CloseResourcePool(poolId);
  ++failed;
  flags = 0;
  return kStatusFailed;
}

int32_t CScanService::State::ScanShared(int32_t poolId, const int32_t (&ids)[3], int32_t sequence,
                                        const uint32_t* generation, int32_t& flags, int32_t& answer) {
  std::shared_lock lock(pools);
  // A pool that was dropped stays known by id but holds no resources.
  CMemMapResourcePool* pool = CMemMapResourcePoolMgr::Instance()->GetResourcePool(poolId);
  if (pool == nullptr || pool->GetResourceCount() == 0) return kStatusPoolUnknown;
  CFencePass pass(fencing, fences, poolId, ids, generation);
  if (!pass.Passed()) {
    ++failed;
    return kStatusStale;
  }
  CHookContentReceiver receiver(poolId, ids[0], ids[1], ids[2]);
  if (receiver.Fail()) {
    ++failed;
    return receiver.GetError() == HOOK_ERR_RESOURCE_BUSY ? kStatusResourceBusy : kStatusResourceUnknown;
  }
  Step("receiver");

  CInputHookContent* content = receiver.GetContent();
  CScanMessage::State m;
  m.receiver = &receiver;
  m.content = std::string_view(static_cast<const char*>(content->GetRawMemoryBlock()),
                               static_cast<size_t>(content->GetContentSize()));
  m.sequence = sequence;
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
    return kStatusFailed;
  }
  answer = m.answer;
  flags = (receiver.NeedUpdateHeader() ? kChangedHeaders : 0) |
          (receiver.NeedUpdateContent() ? kChangedContent : 0) | (m.infected ? kInfected : 0);
  // Only a message larger than a process may keep mapped can have left a file that large (the
  // hook cuts such files back after the message), so only then is each file's size asked for.
  CInputHookHeaders* list = receiver.GetHeaders();
  const uint64_t largest = std::max<uint64_t>(m.content.size(), list != nullptr ? list->GetDataLength() : 0);
  if (largest + 4096 > pool->GetMaxAllowedMemMapFileSize()) receiver.CloseMemResourceDependonFileSize();
  return kStatusOk;
}

CServiceStats CScanService::State::Snapshot() {
  CServiceStats out;
  stats.Snapshot(out);
  {
    std::shared_lock lock(pools);
    std::lock_guard guard(fencing);
    for (const auto& entry : fences)
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
  return m_pState->Snapshot();
}

void CScanServiceRequests::Handle(CScanService& service, const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) {
  service.m_pState->Handle(request, reply);
}

}  // namespace mailhook
