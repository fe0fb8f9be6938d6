#include "hook.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <stdexcept>
#include <thread>

#include "api/mh_Error.h"
#include "common.h"
#include "content/hook_HookContent.h"
#include "headers/hook_HookHeadersImp.h"
#include "ipc/ipc_buffer.h"
#include "memmap/hook_MemMapResource.h"
#include "pool/hook_MemMapResourcePool.h"
#include "pool/hook_MemMapResourcePoolMgr.h"
#include "records.h"
#include "rpc/hook_RpcCommunicationResource.h"
#include "shared/hook_SharedResourceClientMgr.h"
#include "stop.h"

namespace mailhook {

namespace {

constexpr uint64_t kSmallDefault = 64u << 10;
constexpr uint64_t kSmallMax = 4u << 20;
constexpr uint64_t kLargeDefault = 1u << 20;

size_t EncodedSize(const std::vector<HeaderValue>& headers) {
  size_t n = 0;
  for (const auto& v : headers) {
    n += 8;
    switch (v.kind) {
      case HeaderValue::Int:
        n += 4;
        break;
      case HeaderValue::Int64:
        n += 8;
        break;
      case HeaderValue::String:
        n += 4 + v.str.size() + 1;
        break;
      case HeaderValue::WString:
        n += 4 + 2 * (v.wstr.size() + 1);
        break;
    }
  }
  return n;
}

int Write(COutputHookHeaders& w, const HeaderValue& v) {
  switch (v.kind) {
    case HeaderValue::Int:
      return w.SetHeader(v.id, static_cast<int>(v.i32));
    case HeaderValue::Int64:
      return w.SetHeader(v.id, static_cast<int64_t>(v.i64));
    case HeaderValue::String:
      return w.SetHeader(v.id, v.str.c_str());
    case HeaderValue::WString:
      return w.SetHeader(v.id, v.wstr.c_str());
  }
  return -1;
}

std::vector<HeaderValue> ReadList(void* data, int size) {
  CInputHookHeadersImp reader(data, size);
  return ReadRecords(reader);
}

const HeaderValue* Find(const std::vector<HeaderValue>& list, int id) {
  for (const auto& v : list)
    if (v.id == id) return &v;
  return nullptr;
}

}  // namespace

HookRunner::HookRunner(const HookOptions& options) : m_options(options) {
  if (m_options.holders <= 0) m_options.holders = std::max(1, m_options.threads);
}

HookRunner::~HookRunner() {
  if (auto* clients = CSharedResourceClientMgr::Instance()) {
    clients->Close();
    CSharedResourceClientMgr::CloseSingleton();
  }
  delete m_pRegisterLink;
  CMemMapResourcePoolMgr::Instance()->Close();
  CMemMapResourcePoolMgr::CloseSingleton();
}

void HookRunner::Setup() {
  EnsurePrivateDir(RuntimeDir());
  EnsurePrivateDir(m_options.workDir);

  auto* pools = CMemMapResourcePoolMgr::Instance();
  CMemMapResourcePool* pool = pools->CreateResourcePool(m_options.poolId);
  // Two small resources and one large per holder: a holder never waits for another's.
  for (int h = 0; h < m_options.holders; ++h) {
    for (int sizeType : {0, 0, 1}) {
      CMemMapResource* resource = pool->CreateResource();
      int id = pool->GetUniqueResourceId();
      auto path = m_options.workDir / ((sizeType == 0 ? "small-" : "large-") + std::to_string(id) + ".mmf");
      std::u16string name = Utf8To16(path.string());
      // A file left by an earlier run is used again only if it is still private to us.
      std::error_code ec;
      if (std::filesystem::symlink_status(path, ec).type() != std::filesystem::file_type::not_found) {
        if (std::string problem = PrivateFileProblem(path); !problem.empty()) {
          pool->DestroyResource(resource);
          throw std::runtime_error("refusing backing file: " + problem);
        }
      }
      uint64_t defaultSize = sizeType == 0 ? kSmallDefault : kLargeDefault;
      uint64_t maxSize = sizeType == 0 ? kSmallMax : m_options.maxMessage;
      if (resource->Open(id, sizeType, name.data(), defaultSize, maxSize) != 0) {
        pool->DestroyResource(resource);
        throw std::runtime_error("cannot create backing file " + path.string());
      }
      pool->AddResource(resource);
      m_resources.push_back(resource);
      ++m_resourceCount;
    }
  }
  if (pool->SetupSync() != 0) throw std::runtime_error("cannot arm the resource pool");

  m_pRegisterLink = new CRpcCommunicationResource(kCmdRegisterPool, 0);
  m_pRegisterLink->Connect();
  RegisterWaiting();

  auto* clients = CSharedResourceClientMgr::Instance();
  for (int h = 0; h < m_options.holders; ++h) {
    CHookSharedResource* holder = clients->CreateSharedResource();
    holder->Init(m_options.poolId, CHookSharedResource::GetUniqueID(), kCmdScan, 0, nullptr, 0, 0);
    holder->Connect();
    clients->AddResourceToGroup(kDefaultGroupId, holder);
    m_holders.push_back(holder);
  }
  clients->ReadyToUse();
  m_setUp = true;
}

namespace {

// A failed exchange in which no service took part to the end: none listened, or it went away
// before its reply (it died, or is restarting). Worth waiting for a service to come back.
bool ServiceGone(const CRPCError& e) {
  return e.GetCode() == CRPCError::NOT_LISTENING || e.GetCode() == CRPCError::PEER_CLOSED;
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

}  // namespace

void HookRunner::RegisterWaiting() {
  const auto deadline = DeadlineAfter(m_options.retryFor);
  auto pause = std::chrono::milliseconds(25);
  for (;;) {
    try {
      const int32_t status = Register();
      if (status == kStatusOk) return;
      throw CMailhookError::FromStatus(status);
    } catch (const CRPCError& e) {
      if (ServiceGone(e) && BackOff(pause, deadline)) continue;
      throw CMailhookError(ServiceGone(e)                      ? CMailhookError::SERVICE_UNAVAILABLE
                           : e.GetCode() == CRPCError::TIMEOUT ? CMailhookError::TIMEOUT
                                                               : CMailhookError::PROTOCOL,
                           std::string("registering the pool: ") + e.what());
    }
  }
}

int32_t HookRunner::Register() {
  CMemMapResourcePool* pool = CMemMapResourcePoolMgr::Instance()->GetResourcePool(m_options.poolId);
  CMemMapResourcePool::CResPoolRegisterInfo* info = pool->ExportPoolRegisterInfo();
  if (info == nullptr) return kStatusFailed;
  CIPCMsgBuffer request(1024, false), reply(1024, false);
  request << static_cast<int32_t>(kCmdRegisterPool) << static_cast<int32_t>(m_options.poolId)
          << static_cast<uint32_t>(info->iEntryCount);
  for (int32_t i = 0; i < info->iEntryCount; ++i) {
    const auto* entry = info->Entry(static_cast<size_t>(i));
    request << entry->iResourcePoolId << entry->iResourceId
            << static_cast<const char16_t*>(entry->szBackingStoreName);
  }
  pool->FreePoolRegisterInfo(info);
  m_pRegisterLink->SendRequest(request, reply);
  int32_t status = kStatusFailed, adopted = 0;
  reply >> status >> adopted;
  return status;
}

MessageResult HookRunner::Carry(const Message& message, uint64_t sequence) {
  MessageResult r;
  r.sequence = sequence;
  r.name = message.name;
  r.size = message.raw.size();
  auto* clients = CSharedResourceClientMgr::Instance();

  // 1. A holder, waiting while every holder is busy.
  CHookSharedResource* holder = clients->AcquireResource(kDefaultGroupId);
  if (holder == nullptr) {
    r.error = "no holder could be taken";
    return r;
  }
  struct GiveBack {
    CSharedResourceClientMgr* clients;
    CHookSharedResource* holder;
    std::shared_mutex& mending;
    ~GiveBack() {
      std::shared_lock lock(mending);
      clients->ReleaseResource(kDefaultGroupId, holder);
    }
  } giveBack{clients, holder, m_poolLists};

  // 2.-5. in a guard: another process of our user may cut a backing file short under us. A
  // message whose service went away is carried again from its start, headers and content written
  // anew (a service that died mid-request may have written into them), until the deadline.
  BusGuard guard;
  const auto deadline = DeadlineAfter(m_options.retryFor);
  auto pause = std::chrono::milliseconds(25);
  bool lastTry = m_options.retryFor <= 0;
  while (!CarryHeld(holder, guard, message, sequence, lastTry, r) && !guard.Faulted()) {
    {
      std::shared_lock lock(m_poolLists);
      holder->Close();  // the next try takes fresh resources from the pool
    }
    if (m_stop.load(std::memory_order_relaxed) || !BackOff(pause, deadline)) lastTry = true;
    r.error.clear();
  }
  // The pool writes each resource's header when it takes it back: touch those pages here,
  // under the guard, so that a header cut short shows up now rather than outside it.
  for (CMemMapResource* res : {holder->GetHeaderMemResource(), holder->GetContentMemResource(),
                               holder->GetUpdateHeaderMemResource()})
    if (res != nullptr && res->IsMapped()) res->SetDataSize(0);
  // A file grown past what a process may keep mapped goes back to its default length after the
  // message (the service has dropped its view of it), so that neither side maps it at full
  // length for later, smaller messages. Its data size is 0 already: the header must not promise
  // data the shortened file no longer holds.
  if (CMemMapResource* content = holder->GetContentMemResource();
      content != nullptr && content->IsMapped() &&
      MayOutgrowKeptMapping(m_options.poolId, message.raw.size()))
    content->ResizeMappingFileDependonFilesize();
  if (guard.Faulted()) {
    r.ok = false;
    if (!r.error.empty()) r.error += "; ";
    r.error += MendResources(holder)
                   ? "a backing file was cut short by another process; its resources were made again"
                   : "a backing file was cut short by another process and cannot be made again";
  }
  return r;
}

// Maps afresh from its file each resource this holder has and each free one whose file is now
// shorter than its view (one the pool could not hand out): mapping extends a file shorter than
// the view again, and the fresh header has no data recorded. Resources other holders have are
// theirs to mend. No resource changes hands meanwhile.
bool HookRunner::MendResources(CHookSharedResource* holder) {
  std::unique_lock lock(m_poolLists);
  std::vector<CMemMapResource*> others, mine;
  for (CHookSharedResource* h : m_holders) {
    auto& to = h == holder ? mine : others;
    for (CMemMapResource* res :
         {h->GetHeaderMemResource(), h->GetContentMemResource(), h->GetUpdateHeaderMemResource()})
      if (res != nullptr) to.push_back(res);
  }
  bool ok = true;
  for (CMemMapResource* res : m_resources) {
    if (std::find(others.begin(), others.end(), res) != others.end()) continue;
    std::string path = Utf16To8(res->GetBackingStoreName());
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
                  small ? kSmallDefault : kLargeDefault, small ? kSmallMax : m_options.maxMessage) != 0)
      ok = false;
  }
  // A hook that cannot mend its pool must not carry on with a resource that has no view.
  if (!ok) Stop();
  return ok;
}

bool HookRunner::CarryHeld(CHookSharedResource* holder, const BusGuard& guard, const Message& message,
                           uint64_t sequence, bool lastTry, MessageResult& r) {
  // 2. Its three resources.
  {
    std::shared_lock lock(m_poolLists);
    holder->GetMemResources();
  }
  CMemMapResource* header = holder->GetHeaderMemResource();
  CMemMapResource* content = holder->GetContentMemResource();
  CMemMapResource* update = holder->GetUpdateHeaderMemResource();
  if (!header || !content || !update) {
    r.error = "the pool gave no resources";
    return true;
  }

  // 3. The header list and the content, each with its length recorded.
  std::vector<HeaderValue> written;
  written.reserve(message.headers.size() + 1);
  written.push_back(HeaderValue::MakeInt(kHdrSequence, static_cast<int32_t>(sequence)));
  written.insert(written.end(), message.headers.begin(), message.headers.end());
  r.headers = written.size();
  size_t need = EncodedSize(written);
  if (need > static_cast<size_t>(header->GetDataStorageSize()) &&
      (need > static_cast<size_t>(header->GetMaxDataStorageSize()) ||
       header->Grow(static_cast<int>(need)) != 0)) {
    r.error = "header list too large";
    return true;
  }
  {
    COutputHookHeadersImp writer(header->GetDataBaseAddr(), header->GetDataStorageSize());
    for (const auto& v : written)
      if (Write(writer, v) != 0) {
        r.error = "header list does not fit";
        return true;
      }
    header->SetDataSize(static_cast<int>(writer.GetDataLength()));
  }
  {
    COutputHookContentMMapResourceImp writer(content);
    uint64_t done = 0;
    if (writer.Write(const_cast<char*>(message.raw.data()), message.raw.size(), done) != 0) {
      // Nothing is sent: the resource goes back to the pool with no data recorded.
      r.error = message.raw.size() + CMemMapResource::kHeaderSize > m_options.maxMessage
                    ? "content larger than a resource may grow"
                    : "content cannot be written: the backing file could not grow (disk full?)";
      return true;
    }
    content->SetDataSize(static_cast<int>(writer.GetContentSize()));
  }
  update->SetDataSize(0);

  // What was written may have gone to pages the file no longer has: never send that.
  if (guard.Faulted()) return true;

  // 4. The request; the call returns with the reply.
  CRpcCommunicationResource::CRpcIPCData request{}, reply{};
  request.m_iRequest1 = m_options.poolId;
  request.m_iRequest2 = header->GetResourceId();
  request.m_iRequest3 = content->GetResourceId();
  request.m_iRequest4 = update->GetResourceId();
  request.m_iRequest5 = static_cast<int32_t>(sequence);
  for (int attempt = 0;; ++attempt) {
    reply.m_iReply1 = kStatusFailed;
    reply.m_iReply2 = 0;
    try {
      holder->SendRequest(request, reply);
      // A service that started after us does not know our pool yet.
      if (reply.m_iReply1 == kStatusPoolUnknown && attempt == 0) {
        // The export record reads the pool's lists whole: no resource may change hands meanwhile.
        std::unique_lock lock(m_poolLists);
        if (Register() == kStatusOk) continue;
      }
    } catch (const CRPCError& e) {
      if (ServiceGone(e) && !lastTry) return false;
      r.error = CMailhookError(ServiceGone(e)                      ? CMailhookError::SERVICE_UNAVAILABLE
                               : e.GetCode() == CRPCError::TIMEOUT ? CMailhookError::TIMEOUT
                                                                   : CMailhookError::PROTOCOL,
                               std::string("service: ") + e.what())
                    .what();
      return true;
    }
    break;
  }
  if (reply.m_iReply1 != kStatusOk) {
    r.error = CMailhookError::FromStatus(reply.m_iReply1).what();
    return true;
  }
  r.flags = reply.m_iReply2;

  // 5. What changed, read back in place.
  if (r.flags & kChangedHeaders) {
    if (update->RenewMemMap() != 0) {
      r.error = "update headers cannot be mapped";
      return true;
    }
    r.updates = ReadList(update->GetDataBaseAddr(), update->GetDataSize());
    if (const HeaderValue* v = Find(r.updates, kHdrVerdict)) r.verdict = v->str;
  }
  if (content->RenewMemMap() != 0) {
    r.error = "content cannot be mapped";
    return true;
  }
  const char* now = static_cast<const char*>(content->GetDataBaseAddr());
  const auto nowSize = static_cast<uint64_t>(content->GetDataSize());
  if (r.flags & kChangedContent) {
    r.newSize = nowSize;
    if (m_options.verify) r.newContent.assign(now, static_cast<size_t>(nowSize));
  }

  if (m_options.verify) {
    std::vector<HeaderValue> sorted = written;
    std::stable_sort(sorted.begin(), sorted.end(), [](auto& a, auto& b) { return a.id < b.id; });
    const HeaderValue* seen = Find(r.updates, kHdrHeadersSeen);
    const HeaderValue* hd = Find(r.updates, kHdrHeadersDigest);
    const HeaderValue* cd = Find(r.updates, kHdrContentDigest);
    if (!seen || seen->i32 != static_cast<int32_t>(written.size()) || !hd ||
        static_cast<uint64_t>(hd->i64) != DigestHeaders(sorted)) {
      r.error = "the service read other headers than were written";
      return true;
    }
    if (!cd || static_cast<uint64_t>(cd->i64) != DigestBytes(message.raw.data(), message.raw.size())) {
      r.error = "the service read other content than was written";
      return true;
    }
    if (!(r.flags & kChangedContent) &&
        (nowSize != message.raw.size() || std::memcmp(now, message.raw.data(), message.raw.size()) != 0)) {
      r.error = "the content came back changed";
      return true;
    }
  }
  r.ok = true;
  return true;
}

RunSummary HookRunner::Run(const std::vector<Message>& messages,
                           const std::function<void(const MessageResult&)>& onResult) {
  if (!m_setUp) throw std::logic_error("Setup() first");
  RunSummary summary;
  const uint64_t total = messages.size() * m_options.repeat;
  std::atomic<uint64_t> next{0};
  std::mutex report;
  auto start = std::chrono::steady_clock::now();
  auto worker = [&] {
    for (;;) {
      if (m_stop.load(std::memory_order_relaxed)) return;
      uint64_t i = next++;
      if (i >= total) return;
      const Message& m = messages[i % messages.size()];
      MessageResult r = Carry(m, i + 1);
      std::lock_guard lock(report);
      ++summary.messages;
      summary.bytes += r.size;
      if (!r.ok) ++summary.failed;
      if (r.flags & kInfected) ++summary.infected;
      if (r.flags & kChangedContent) ++summary.changedContent;
      if (onResult) onResult(r);
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < m_options.threads; ++t) threads.emplace_back(worker);
  for (auto& t : threads) t.join();
  summary.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return summary;
}

size_t HookRunner::FreeHolders() const {
  auto* group = CSharedResourceClientMgr::Instance()->FindGroup(kDefaultGroupId);
  return group ? group->FreeCount() : 0;
}

uint64_t HookRunner::FreeResources() const {
  CMemMapResourcePool* pool = CMemMapResourcePoolMgr::Instance()->GetResourcePool(m_options.poolId);
  return pool ? pool->GetFreeCount() : 0;
}

void HookRunner::Stop() {
  m_stop = true;
}

uint64_t HookRunner::ResourceCount() const {
  return m_resourceCount;
}

void PrintResult(const MessageResult& r) {
  std::string change;
  if (!r.ok) {
    std::printf("%5llu  %-24.24s %10s  FAILED: %s\n", static_cast<unsigned long long>(r.sequence),
                r.name.c_str(), HumanBytes(static_cast<double>(r.size)).c_str(), r.error.c_str());
  } else {
    change = (r.flags & kChangedContent)
                 ? "content replaced (" + HumanBytes(static_cast<double>(r.newSize)) + ")"
                 : "content unchanged";
    std::printf("%5llu  %-24.24s %10s  %3zu headers  %-38s %s\n", static_cast<unsigned long long>(r.sequence),
                r.name.c_str(), HumanBytes(static_cast<double>(r.size)).c_str(), r.headers, r.verdict.c_str(),
                change.c_str());
  }
  std::fflush(stdout);
}

void PrintSummary(const RunSummary& s) {
  double rate = s.seconds > 0 ? static_cast<double>(s.messages) / s.seconds : 0;
  double bytes = s.seconds > 0 ? static_cast<double>(s.bytes) / s.seconds : 0;
  std::printf(
      "%llu messages (%llu failed, %llu infected, %llu replaced), %s in %.3f s: %.0f messages/s, %s/s\n",
      static_cast<unsigned long long>(s.messages), static_cast<unsigned long long>(s.failed),
      static_cast<unsigned long long>(s.infected), static_cast<unsigned long long>(s.changedContent),
      HumanBytes(static_cast<double>(s.bytes)).c_str(), s.seconds, rate, HumanBytes(bytes).c_str());
  std::fflush(stdout);
}

int RunHookCommand(const HookCommandOptions& options) {
  std::vector<Message> messages;
  try {
    messages = options.input.empty() ? BuiltinMessages() : LoadMessages(options.input);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mailhook hook: %s\n", e.what());
    return 2;
  }
  RunSummary summary;
  size_t holdersOut = 0;
  uint64_t resourcesOut = 0;
  {
    HookRunner runner(options.hook);
    try {
      runner.Setup();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "mailhook hook: %s\n", e.what());
      return 2;
    }
    if (!options.quiet)
      std::fprintf(stderr, "mailhook hook: %s\n", StorageSummary(options.hook.workDir).c_str());
    // A stop request (SIGINT, SIGTERM, Ctrl+C) ends the run after the messages under way: the
    // checks below and the summary still come out.
    StopRequest stopRequest;
    std::thread stopper([&] {
      if (stopRequest.Wait()) runner.Stop();
    });
    const uint64_t total = messages.size() * options.hook.repeat;
    uint64_t done = 0;
    auto last = std::chrono::steady_clock::now();
    summary = runner.Run(messages, [&](const MessageResult& r) {
      ++done;
      if (!options.quiet || !r.ok) PrintResult(r);
      auto now = std::chrono::steady_clock::now();
      if (options.quiet && now - last > std::chrono::seconds(1)) {
        last = now;
        std::fprintf(stderr, "mailhook hook: %llu / %llu messages\n", static_cast<unsigned long long>(done),
                     static_cast<unsigned long long>(total));
      }
    });
    stopRequest.Cancel();
    stopper.join();
    const size_t holders =
        static_cast<size_t>(options.hook.holders > 0 ? options.hook.holders : options.hook.threads);
    holdersOut = holders - std::min(holders, runner.FreeHolders());
    resourcesOut = runner.ResourceCount() - std::min(runner.ResourceCount(), runner.FreeResources());
    if (holdersOut != 0) {
      std::fprintf(stderr, "mailhook hook: holders were not all given back\n");
      ++summary.failed;
    }
    if (resourcesOut != 0) {
      std::fprintf(stderr, "mailhook hook: resources were not all given back to the pool\n");
      ++summary.failed;
    }
  }
  PrintSummary(summary);
  if (options.json)
    std::printf(
        "{\"messages\":%llu,\"failed\":%llu,\"infected\":%llu,\"replaced\":%llu,\"bytes\":%llu,\"seconds\":%."
        "6f,"
        "\"holders_out\":%zu,\"resources_out\":%llu}\n",
        static_cast<unsigned long long>(summary.messages), static_cast<unsigned long long>(summary.failed),
        static_cast<unsigned long long>(summary.infected),
        static_cast<unsigned long long>(summary.changedContent),
        static_cast<unsigned long long>(summary.bytes), summary.seconds, holdersOut,
        static_cast<unsigned long long>(resourcesOut));
  return summary.failed == 0 ? 0 : 1;
}

}  // namespace mailhook
