// `mailhook service`: the master scanning service. Listens as "ID_TARN_MASTER", adopts the
// hook's pools from the export records the hook sends, and for each scan request opens the
// message's resources through a receiver, reads the headers and the content in place, scans
// the content where it lies (scan_engine.h), writes its verdict as an update header, replaces
// infected content with a notice, and replies with what changed.
#include "service.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common.h"
#include "content/hook_HookContent.h"
#include "content/hook_HookContentReceiver.h"
#include "foundation/hook_HookError.h"
#include "headers/hook_HookHeadersImp.h"
#include "ipc/ipc_buffer.h"
#include "ipc/rpc.h"
#include "memmap/hook_MemMapResource.h"
#include "messages.h"
#include "pool/hook_MemMapResourcePool.h"
#include "pool/hook_MemMapResourcePoolMgr.h"
#include "records.h"
#include "stop.h"

namespace mailhook {

namespace {

const char kNotice[] =
    "Subject: [mailhook] message replaced\r\n"
    "Content-Type: text/plain; charset=us-ascii\r\n"
    "\r\n"
    "This message carried malware and was replaced by the mailhook service.\r\n";

// Fault injection for the tests that kill or stop the service between the steps of a request:
// MAILHOOK_FAULT=kill@<step> or stop@<step>, step one of "adopted", "receiver", "headers",
// "update", "content". Read once; unset costs one comparison per step.
struct FaultPlan {
  int signal = 0;
  std::string step;
  FaultPlan() {
    const char* text = std::getenv("MAILHOOK_FAULT");
    if (text == nullptr) return;
    std::string_view plan(text);
    auto at = plan.find('@');
    if (at == std::string_view::npos) return;
    auto action = plan.substr(0, at);
    signal = action == "kill" ? kSelfKill : action == "stop" ? kSelfStop : 0;
    step = plan.substr(at + 1);
  }
};

// Fires once: a stopped service that is let go serves on normally.
void FaultPoint(const char* step) {
  static const FaultPlan plan;
  static std::atomic<bool> fired{false};
  if (plan.signal != 0 && plan.step == step && !fired.exchange(true)) SignalSelf(plan.signal);
}

// The most resources one registration may bring: the hook's own most (1024 holders of three).
constexpr uint32_t kMaxRegisterEntries = 3 * 1024;

}  // namespace

struct Service::State {
  ServiceOptions options;
  std::shared_mutex pools;  // registration excludes scans of the same process
  std::atomic<uint64_t> scanned{0}, infected{0}, failed{0}, bytes{0}, clean{0}, unscanned{0};
  std::atomic<uint64_t> engineNanos{0};  // time spent in the engine, for the summary
};

Service::Service(const ServiceOptions& options) : m_pState(new State) {
  m_pState->options = options;
  if (!m_pState->options.engine) m_pState->options.engine = MakeBuiltinScanEngine("no engine given");
}

Service::~Service() {
  delete m_pState;
}

void Service::Handle(const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) {
  int32_t command = 0;
  try {
    request >> command;
  } catch (const std::exception&) {
    reply << static_cast<int32_t>(kStatusBadRequest) << static_cast<int32_t>(0);
    return;
  }
  if (command == kCmdScan) {
    int32_t pool = 0, header = 0, content = 0, update = 0, sequence = 0;
    try {
      request >> pool >> header >> content >> update >> sequence;
    } catch (const std::exception&) {
      reply << static_cast<int32_t>(kStatusBadRequest) << static_cast<int32_t>(0);
      return;
    }
    int32_t flags = 0;
    int32_t status = Scan(pool, header, content, update, flags);
    reply << status << flags;
  } else if (command == kCmdRegisterPool) {
    int32_t adopted = 0;
    int32_t status = Register(request, adopted);
    reply << status << adopted;
  } else {
    reply << static_cast<int32_t>(kStatusBadRequest) << static_cast<int32_t>(0);
  }
}

int32_t Service::Register(const CIPCMsgBuffer& request, int32_t& adopted) {
  struct Entry {
    int32_t pool, id;
    OS::x_wstring name;
  };
  int32_t poolId = 0;
  uint32_t count = 0;
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
  } catch (const std::exception&) {
    return kStatusBadRequest;
  }
  try {
    for (auto& e : entries) {
      if (e.pool != poolId) return kStatusBadRequest;
      if (!IsInside(Utf16To8(e.name), m_pState->options.workDir)) {
        std::fprintf(stderr, "mailhook service: refused %s: outside %s\n", Utf16To8(e.name).c_str(),
                     m_pState->options.workDir.string().c_str());
        return kStatusRefused;
      }
      if (std::string problem = PrivateFileProblem(Utf16To8(e.name)); !problem.empty()) {
        std::fprintf(stderr, "mailhook service: refused %s\n", problem.c_str());
        return kStatusRefused;
      }
    }
  } catch (const std::filesystem::filesystem_error& e) {
    // A name the file system cannot take (too long, say) is the request's fault.
    std::fprintf(stderr, "mailhook service: refused a registration: %s\n", e.what());
    return kStatusBadRequest;
  }

  std::unique_lock lock(m_pState->pools);
  auto* mgr = CMemMapResourcePoolMgr::Instance();
  // A hook that starts again registers again: its old resources are forgotten first.
  mgr->CloseResourcePool(poolId);
  if (!DescriptorsLeftFor(entries.size())) {
    std::fprintf(stderr,
                 "mailhook service: refused pool %d: %zu resources would use up this process's descriptors "
                 "(ulimit -n)\n",
                 poolId, entries.size());
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
        std::fprintf(stderr,
                     "mailhook service: a backing file of pool %d was cut short while it was adopted\n",
                     poolId);
      mgr->CloseResourcePool(poolId);
      adopted = 0;
      return kStatusFailed;
    }
    ++adopted;
  }
  FaultPoint("adopted");
  if (!m_pState->options.quiet)
    std::fprintf(stderr, "mailhook service: adopted pool %d with %d resources\n", poolId, adopted);
  return kStatusOk;
}

int32_t Service::Scan(int32_t poolId, int32_t headerId, int32_t contentId, int32_t updateId, int32_t& flags) {
  // The backing files belong to the hook's user: any process of that user can cut one short
  // while we read or write it in place.
  BusGuard guard;
  int32_t status = ScanShared(poolId, headerId, contentId, updateId, flags);
  if (!guard.Faulted()) return status;
  std::fprintf(stderr,
               "mailhook service: a backing file of pool %d is shorter than its mapping; the pool is dropped "
               "until its hook registers it again\n",
               poolId);
  // Our views of it now hold private zero pages: the next request must not use them.
  std::unique_lock lock(m_pState->pools);
  CMemMapResourcePoolMgr::Instance()->CloseResourcePool(poolId);
  ++m_pState->failed;
  flags = 0;
  return kStatusFailed;
}

int32_t Service::ScanShared(int32_t poolId, int32_t headerId, int32_t contentId, int32_t updateId,
                            int32_t& flags) {
  std::shared_lock lock(m_pState->pools);
  // A pool that was dropped stays known by id but holds no resources.
  CMemMapResourcePool* pool = CMemMapResourcePoolMgr::Instance()->GetResourcePool(poolId);
  if (pool == nullptr || pool->GetResourceCount() == 0) return kStatusPoolUnknown;
  CHookContentReceiver receiver(poolId, headerId, contentId, updateId);
  if (receiver.Fail()) {
    ++m_pState->failed;
    return receiver.GetError() == HOOK_ERR_RESOURCE_BUSY ? kStatusResourceBusy : kStatusResourceUnknown;
  }
  FaultPoint("receiver");

  // Every record, read through the reader's index (values in place, no copies but these).
  auto* reader = static_cast<CInputHookHeadersImp*>(receiver.GetHeaders());
  std::vector<HeaderValue> records = ReadRecords(*reader);

  // Every content byte, read in place.
  CInputHookContent* content = receiver.GetContent();
  const char* data = static_cast<const char*>(content->GetRawMemoryBlock());
  const uint64_t size = content->GetContentSize();
  uint64_t contentDigest = DigestBytes(data, static_cast<size_t>(size));
  auto scanStart = std::chrono::steady_clock::now();
  const ScanVerdict verdict = m_pState->options.engine->Scan(data, static_cast<size_t>(size));
  m_pState->engineNanos += static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - scanStart)
          .count());
  const bool infected = verdict.kind == ScanVerdict::kInfected;
  FaultPoint("headers");

  COutputHookHeaders* update = receiver.GetOutputHookHeaders();
  if (update == nullptr) return kStatusFailed;
  int ok = 0;
  ok |= update->SetHeader(kHdrVerdict, verdict.HeaderText().c_str());
  ok |= update->SetHeader(kHdrScannedBytes, static_cast<int64_t>(size));
  ok |= update->SetHeader(kHdrHeadersSeen, static_cast<int>(records.size()));
  ok |= update->SetHeader(kHdrHeadersDigest, static_cast<int64_t>(DigestHeaders(records)));
  ok |= update->SetHeader(kHdrContentDigest, static_cast<int64_t>(contentDigest));
  if (ok != 0 || receiver.SetHeaders(update) != 0) return kStatusFailed;
  FaultPoint("update");

  if (infected) {
    COutputHookContent* writer = receiver.GetOutputHookContent();
    uint64_t written = 0;
    if (writer == nullptr || writer->Write(const_cast<char*>(kNotice), sizeof kNotice - 1, written) != 0 ||
        receiver.SetContent(writer) != 0)
      return kStatusFailed;
    FaultPoint("content");
    ++m_pState->infected;
  }
  flags = (receiver.NeedUpdateHeader() ? kChangedHeaders : 0) |
          (receiver.NeedUpdateContent() ? kChangedContent : 0) | (infected ? kInfected : 0);
  // Only a message larger than a process may keep mapped can have left a file that large (the
  // hook cuts such files back after the message), so only then is each file's size asked for.
  if (MayOutgrowKeptMapping(poolId, std::max<uint64_t>(size, reader->GetDataLength())))
    receiver.CloseMemResourceDependonFileSize();
  ++m_pState->scanned;
  if (verdict.kind == ScanVerdict::kClean) ++m_pState->clean;
  if (verdict.kind == ScanVerdict::kUnscanned) ++m_pState->unscanned;
  m_pState->bytes += size;
  return kStatusOk;
}

int RunService(const ServiceOptions& given) {
  // Stop and reload requests are taken by Wait below, in this thread only.
  StopRequest stop(/*withReload=*/true);

  ServiceOptions options = given;
  RaiseDescriptorLimit();
  try {
    EnsurePrivateDir(RuntimeDir());
    if (options.scan.tempDir.empty()) options.scan.tempDir = RuntimeDir() / "scan-tmp";
    if (options.scan.maxScanTimeMs == 0) options.scan.maxScanTimeMs = IPC::RpcTimeoutMs() / 2;
    EnsurePrivateDir(options.scan.tempDir);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mailhook service: %s\n", e.what());
    return 2;
  }
  if (!options.engine) {
    try {
      options.engine = MakeScanEngine(options.scan);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "mailhook service: not started: %s\n", e.what());
      return 2;
    }
  }
  if (!options.quiet)
    std::fprintf(stderr, "mailhook service: scanning with %s\n", options.engine->Describe().c_str());
  Service service(options);
  std::unique_ptr<CRPCServer> server;
  try {
    server = std::make_unique<CRPCServer>(
        CComponentID(u"ID_TARN_MASTER"),
        [&service](const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) { service.Handle(request, reply); });
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mailhook service: cannot listen: %s\n", e.what());
    return 2;
  }
  if (!options.quiet) {
    std::fprintf(stderr, "mailhook service: %s\n", StorageSummary(options.workDir).c_str());
  }
  std::printf("ready\n");
  std::fflush(stdout);

  stop.Wait([&options] {
    // Scans under way finish on the engine they began with.
    std::string error;
    if (options.engine->Reload(error))
      std::printf("reloaded: %s\n", options.engine->Describe().c_str());
    else
      std::printf("reload failed: %s; the signatures loaded before stay in use\n", error.c_str());
    std::fflush(stdout);
  });
  server->Stop();
  CMemMapResourcePoolMgr::Instance()->Close();
  CMemMapResourcePoolMgr::CloseSingleton();
  if (!options.quiet)
    std::fprintf(
        stderr,
        "mailhook service: stopped; %llu messages scanned (%llu clean, %llu infected, %llu not scanned), "
        "%llu failed; %.3f s in the engine\n",
        static_cast<unsigned long long>(service.Scanned()), static_cast<unsigned long long>(service.Clean()),
        static_cast<unsigned long long>(service.Infected()),
        static_cast<unsigned long long>(service.Unscanned()),
        static_cast<unsigned long long>(service.Failed()), service.EngineSeconds());
  return 0;
}

uint64_t Service::Scanned() const {
  return m_pState->scanned;
}
uint64_t Service::Infected() const {
  return m_pState->infected;
}
uint64_t Service::Failed() const {
  return m_pState->failed;
}
uint64_t Service::Clean() const {
  return m_pState->clean;
}
uint64_t Service::Unscanned() const {
  return m_pState->unscanned;
}
double Service::EngineSeconds() const {
  return static_cast<double>(m_pState->engineNanos.load()) / 1e9;
}

}  // namespace mailhook
