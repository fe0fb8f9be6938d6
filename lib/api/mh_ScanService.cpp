#include "api/mh_ScanService.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>
#include <vector>

#include "api/mh_Error.h"
#include "api/mh_Files.h"
#include "api/mh_Protocol.h"
#include "api/mh_ScanServiceRequests.h"
#include "api/mh_Wire.h"
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

struct CScanMessage::State {
  CHookContentReceiver* receiver = nullptr;
  std::string_view content;
  int32_t sequence = 0;
  int32_t answer = 0;
  bool infected = false;
};

CInputHookHeadersImp& CScanMessage::Headers() const {
  return *static_cast<CInputHookHeadersImp*>(m_state.receiver->GetHeaders());
}
std::string_view CScanMessage::Content() const {
  return m_state.content;
}
int32_t CScanMessage::Sequence() const {
  return m_state.sequence;
}
bool CScanMessage::WriteUpdateHeaders(const std::function<bool(COutputHookHeaders&)>& write) {
  COutputHookHeaders* update = m_state.receiver->GetOutputHookHeaders();
  return update != nullptr && write(*update) && m_state.receiver->SetHeaders(update) == 0;
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

struct CScanService::State {
  CScanServiceOptions options;
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
  CRegisterReply Register(const CRegisterRequest& request);
  int32_t Fence(const CFenceRequest& request);
  CScanReply Scan(const CScanRequest& request);
  CScanReply ScanShared(const CScanRequest& request);
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
  if (!PeekCommand(request, command)) command = 0;
  // A request that cannot be read still gets the reply of its command's shape, with the status
  // saying why.
  if (command == kCmdScan) {
    CScanRequest scan;
    Encode(Decode(request, scan) ? Scan(scan) : CScanReply{kStatusBadRequest, 0, 0}, reply);
  } else if (command == kCmdFence) {
    CFenceRequest fence;
    Encode(CFenceReply{Decode(request, fence) ? Fence(fence) : kStatusBadRequest}, reply);
  } else if (command == kCmdRegisterPool) {
    CRegisterRequest registration;
    Encode(Decode(request, registration) ? Register(registration) : CRegisterReply{kStatusBadRequest, 0},
           reply);
  } else {
    // Every reply begins with a status and one more integer.
    Encode(CFenceReply{kStatusBadRequest}, reply);
  }
}

CRegisterReply CScanService::State::Register(const CRegisterRequest& request) {
  const int32_t poolId = request.pool;
  try {
    for (const CRegisterEntry& e : request.entries) {
      if (e.pool != poolId) return {kStatusBadRequest, 0};
      const std::filesystem::path path(e.path);
      if (!IsInside(path, options.folder)) {
        Log("refused " + path.string() + ": outside " + options.folder.string());
        return {kStatusRefused, 0};
      }
      if (std::string problem = PrivateFileProblem(path); !problem.empty()) {
        Log("refused " + problem);
        return {kStatusRefused, 0};
      }
    }
  } catch (const std::exception& e) {
    // A name the file system cannot take (too long, say) is the request's fault.
    Log(std::string("refused a registration: ") + e.what());
    return {kStatusBadRequest, 0};
  }

  std::unique_lock lock(pools);
  auto* mgr = CMemMapResourcePoolMgr::Instance();
  // A hook that starts again registers again: its old resources are forgotten first.
  if (mgr->GetResourcePool(poolId) == nullptr) {
    if (poolCount >= kMaxPools) {
      Log("refused pool " + std::to_string(poolId) + ": " + std::to_string(kMaxPools) +
          " pools are known already");
      return {kStatusRefused, 0};
    }
    ++poolCount;
  }
  mgr->CloseResourcePool(poolId);
  if (!DescriptorsLeftFor(request.entries.size())) {
    Log("refused pool " + std::to_string(poolId) + ": " + std::to_string(request.entries.size()) +
        " resources would use up this process's descriptors (ulimit -n)");
    return {kStatusRefused, 0};
  }
  CMemMapResourcePool* pool = mgr->CreateResourcePool(poolId);
  // Mapping and reading each file's header happen here: a file the hook's user cuts short
  // meanwhile must fail the registration, not end the service.
  BusGuard guard;
  int32_t adopted = 0;
  for (const CRegisterEntry& e : request.entries) {
    CMemMapResource* resource = pool->CreateResource();
    const bool added =
        resource->OpenExisting(e.resource, e.path.c_str()) == 0 && pool->AddResource(resource) == 0;
    if (!added) pool->DestroyResource(resource);
    if (!added || guard.Faulted()) {
      if (guard.Faulted())
        Log("a backing file of pool " + std::to_string(poolId) + " was cut short while it was adopted");
      mgr->CloseResourcePool(poolId);
      return {kStatusFailed, 0};
    }
    ++adopted;
  }
  {
    // Whatever was fenced before is the hook's earlier life: it starts again at its generation.
    std::lock_guard fenceLock(fencing);
    fences[poolId] = PoolFences{request.generation, {}, {}};
  }
  Step("adopted");
  Log("adopted pool " + std::to_string(poolId) + " with " + std::to_string(adopted) + " resources");
  return {kStatusOk, adopted};
}

int32_t CScanService::State::Fence(const CFenceRequest& request) {
  std::lock_guard lock(fencing);
  auto pool = fences.find(request.pool);
  // No stale request of that pool can be served before it is registered again, which fences it whole.
  if (pool == fences.end()) return kStatusPoolUnknown;
  PoolFences& f = pool->second;
  bool busy = false;
  for (int32_t id : request.resources) {
    auto raised = f.raised.find(id);
    // A pool has at most as many resources as a registration brings: more fenced ids are not ours.
    if (raised == f.raised.end() && f.raised.size() >= kMaxWireEntries) return kStatusBadRequest;
    uint32_t& fence = raised == f.raised.end() ? f.raised[id] = f.base : raised->second;
    if (Earlier(fence, request.generation)) fence = request.generation;
    busy = busy || f.InUse(id);
  }
  return busy ? kStatusResourceBusy : kStatusOk;
}

CScanReply CScanService::State::Scan(const CScanRequest& request) {
  // The backing files belong to the hook's user: any process of that user can cut one short
  // while we read or write it in place.
  BusGuard guard;
  CScanReply reply = ScanShared(request);
  if (!guard.Faulted()) return reply;
  Log("a backing file of pool " + std::to_string(request.pool) +
      " is shorter than its mapping; the pool is dropped until its hook registers it again");
  // Our views of it now hold private zero pages: the next request must not use them.
  std::unique_lock lock(pools);
  CMemMapResourcePoolMgr::Instance()->CloseResourcePool(request.pool);
  ++failed;
  return {kStatusFailed, 0, 0};
}

CScanReply CScanService::State::ScanShared(const CScanRequest& request) {
  const int32_t poolId = request.pool;
  const int32_t ids[3] = {request.header, request.content, request.update};
  std::shared_lock lock(pools);
  // A pool that was dropped stays known by id but holds no resources.
  CMemMapResourcePool* pool = CMemMapResourcePoolMgr::Instance()->GetResourcePool(poolId);
  if (pool == nullptr || pool->GetResourceCount() == 0) return {kStatusPoolUnknown, 0, 0};
  CFencePass pass(fencing, fences, poolId, ids, request.generation ? &*request.generation : nullptr);
  if (!pass.Passed()) {
    ++failed;
    return {kStatusStale, 0, 0};
  }
  CHookContentReceiver receiver(poolId, ids[0], ids[1], ids[2]);
  if (receiver.Fail()) {
    ++failed;
    return {receiver.GetError() == HOOK_ERR_RESOURCE_BUSY ? kStatusResourceBusy : kStatusResourceUnknown, 0,
            0};
  }
  Step("receiver");

  CInputHookContent* content = receiver.GetContent();
  CScanMessage::State m;
  m.receiver = &receiver;
  m.content = std::string_view(static_cast<const char*>(content->GetRawMemoryBlock()),
                               static_cast<size_t>(content->GetContentSize()));
  m.sequence = request.sequence;
  CScanMessage message(m);
  bool ok = false;
  try {
    ok = handler(message);
  } catch (const std::exception& e) {
    Log(std::string("the handler failed: ") + e.what());
  }
  if (!ok) {
    ++failed;
    return {kStatusFailed, 0, 0};
  }
  const int32_t flags = (receiver.NeedUpdateHeader() ? kChangedHeaders : 0) |
                        (receiver.NeedUpdateContent() ? kChangedContent : 0) | (m.infected ? kInfected : 0);
  // Only a message larger than a process may keep mapped can have left a file that large (the
  // hook cuts such files back after the message), so only then is each file's size asked for.
  const uint64_t largest = std::max<uint64_t>(m.content.size(), message.Headers().GetDataLength());
  if (largest + 4096 > pool->GetMaxAllowedMemMapFileSize()) receiver.CloseMemResourceDependonFileSize();
  return {kStatusOk, flags, m.answer};
}

void CScanServiceRequests::Handle(CScanService& service, const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) {
  service.m_pState->Handle(request, reply);
}

}  // namespace mailhook
