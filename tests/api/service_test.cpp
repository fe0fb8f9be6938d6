// The service's handling of requests from hooks it tells apart by their process, fed without a
// link: whose pool is whose and for how long, what a fence may raise and what it answers while
// a request still runs, and which scans the fences refuse.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include "api/mh_ScanServiceRequests.h"
#include "api/mh_Wire.h"
#include "headers/hook_HookHeadersImp.h"
#include "memmap/hook_MemMapResource.h"
#include "support/test_support.h"

using namespace mailhook;

namespace {

constexpr int kHdrSequence = 300;  // what the handler writes into the update headers

// A service in this process over three backing files of pool 1 (header list, content, update
// headers). Its handler writes the request's sequence into the update headers and replaces the
// content; a request with the sequence `m_blockAt` waits inside the handler until let go.
class ServiceRequests : public ::testing::Test {
 protected:
  ServiceRequests() {
    for (int id = 1; id <= 3; ++id) {
      CMemMapResource r(1);
      EXPECT_EQ(r.Open(id, id == 2 ? 1 : 0, Path(id).c_str(), 64 << 10, 1 << 20), 0);
      if (id == 1) {
        COutputHookHeadersImp out(r.GetDataBaseAddr(), r.GetDataStorageSize());
        EXPECT_EQ(out.SetHeader(1, "From: a@example.org"), 0);
        r.SetDataSize(static_cast<int>(out.GetDataLength()));
      }
      r.Close();
    }
    CScanServiceRequests::SetProcessConnected(m_service, [this](uint32_t process) {
      std::lock_guard guard(m_lock);
      return m_connected.count(process) > 0;
    });
  }

  std::u16string Path(int id) const { return m_dir.WFile("r" + std::to_string(id) + ".mmf"); }
  // A peer of process `process` (one connection each), connected from now on.
  CRPCPeer Peer(uint32_t process) {
    std::lock_guard guard(m_lock);
    m_connected.insert(process);
    return {process, process};
  }
  // The peer's process closes its last connection.
  void Gone(const CRPCPeer& peer) {
    {
      std::lock_guard guard(m_lock);
      m_connected.erase(peer.process);
    }
    CScanServiceRequests::Closed(m_service, peer);
  }

  template <typename Reply, typename Request>
  Reply Ask(const CRPCPeer& peer, const Request& message) {
    CIPCMsgBuffer request, reply;
    Encode(message, request);
    CScanServiceRequests::Handle(m_service, peer, request, reply);
    Reply answer;
    EXPECT_TRUE(Decode(reply, answer));
    return answer;
  }
  // Pool `pool` with the three files (none when empty).
  int32_t Register(const CRPCPeer& peer, int32_t pool, uint32_t generation, bool empty = false) {
    CRegisterRequest r{pool, {}, generation};
    for (int id = 1; id <= 3 && !empty; ++id) r.entries.push_back({pool, id, Path(id)});
    return Ask<CRegisterReply>(peer, r).status;
  }
  int32_t Scan(const CRPCPeer& peer, std::optional<uint32_t> generation, int32_t sequence = 1) {
    return Ask<CScanReply>(peer, CScanRequest{1, 1, 2, 3, sequence, generation}).status;
  }
  int32_t Fence(const CRPCPeer& peer, uint32_t generation, std::vector<int32_t> ids = {1, 2, 3}) {
    return Ask<CFenceReply>(peer, CFenceRequest{1, generation, std::move(ids)}).status;
  }
  // What is in the content and update-header files now.
  std::string Files() const {
    return mhtest::ReadFile(m_dir.File("r2.mmf")) + mhtest::ReadFile(m_dir.File("r3.mmf"));
  }

  bool OnScan(CScanMessage& m) {
    std::unique_lock guard(m_lock);
    ++m_scans;
    if (m.Sequence() == m_blockAt) {
      m_inHandler = true;
      m_changed.notify_all();
      m_changed.wait(guard, [this] { return m_letGo; });
    }
    guard.unlock();
    m.UpdateHeaders().AddInt(kHdrSequence, m.Sequence());
    return m.ReplaceContent("replaced by " + std::to_string(m.Sequence()));
  }

  mhtest::TempDir m_dir;
  std::mutex m_lock;
  std::condition_variable m_changed;
  std::set<uint32_t> m_connected;
  int m_scans = 0;
  int32_t m_blockAt = -1;
  bool m_inHandler = false, m_letGo = false;
  static CScanServiceOptions InFolder(const std::filesystem::path& folder) {
    CScanServiceOptions options;
    options.folder = folder;
    return options;
  }
  CScanService m_service{InFolder(m_dir.Path()), [this](CScanMessage& m) { return OnScan(m); }};
};

}  // namespace

// Another process may not raise a live hook's fences (which would lock it out), take its pool
// over, or scan with its resources; once the hook's process has no connection left, its pool is
// forgotten and the id is free for another.
TEST_F(ServiceRequests, OnlyThePoolsOwnHookMayFenceRegisterOrScanItWhileItIsConnected) {
  const CRPCPeer hook = Peer(100), other = Peer(200);
  ASSERT_EQ(Register(hook, 1, 1000), kStatusOk);
  EXPECT_EQ(Fence(other, 1000 + (1u << 30)), kStatusNotOwner);
  EXPECT_EQ(Register(other, 1, 5), kStatusNotOwner);
  EXPECT_EQ(Scan(other, 1000), kStatusNotOwner);
  EXPECT_EQ(Scan(hook, 1000), kStatusOk);
  EXPECT_EQ(Fence(hook, 1001), kStatusOk);
  EXPECT_EQ(Scan(hook, 1000), kStatusStale);
  EXPECT_EQ(Scan(hook, 1001), kStatusOk);

  // A connection of the hook ends while the process keeps another: the pool stays.
  CScanServiceRequests::Closed(m_service, hook);
  EXPECT_EQ(Scan(hook, 1001), kStatusOk);
  Gone(hook);
  EXPECT_EQ(Scan(hook, 1001), kStatusPoolUnknown);
  ASSERT_EQ(Register(other, 1, 5), kStatusOk);
  EXPECT_EQ(Scan(other, 5), kStatusOk);

  // A hook that died with a request under way: its process holds no connection any more, even
  // before the link has told the service, so its pool may be taken over at once.
  const CRPCPeer restarted = Peer(300);
  EXPECT_EQ(Register(restarted, 1, 7), kStatusNotOwner);
  {
    std::lock_guard guard(m_lock);
    m_connected.erase(other.process);
  }
  EXPECT_EQ(Register(restarted, 1, 7), kStatusOk);
  EXPECT_EQ(Scan(restarted, 7), kStatusOk);
}

// Pools are kept only while their hook is connected, at most 16 per process and 4096 in all, and
// a refusal for that says so (not "files outside the folder").
TEST_F(ServiceRequests, PoolsAreBoundedPerProcessAndInAllAndGoWithTheirHook) {
  const CRPCPeer first = Peer(1000);
  int32_t status = kStatusOk, made = 0;
  for (int32_t pool = 2; status == kStatusOk && pool < 100; ++pool)
    made += (status = Register(first, pool, 0, true)) == kStatusOk;
  EXPECT_EQ(status, kStatusTooManyPools);
  EXPECT_EQ(made, 16);
  for (uint32_t process = 1001; process < 1256; ++process) {
    const CRPCPeer peer = Peer(process);
    for (int32_t i = 0; i < 16; ++i)
      ASSERT_EQ(Register(peer, static_cast<int32_t>(process * 16 + i), 0, true), kStatusOk);
  }
  const CRPCPeer hook = Peer(1);
  EXPECT_EQ(Register(hook, 1, 0), kStatusTooManyPools);
  Gone(first);
  ASSERT_EQ(Register(hook, 1, 0), kStatusOk);
  EXPECT_EQ(Scan(hook, 0), kStatusOk);
}

// A fence may name only resources the pool has (made-up ids cannot fill its table, nor lock a
// real held-back resource out of being fenced); a scan without a generation counts as the
// oldest the pool has.
TEST_F(ServiceRequests, AFenceRaisesOnlyThePoolsResourcesAndAScanWithoutAGenerationIsTheOldest) {
  const CRPCPeer hook = Peer(100);
  ASSERT_EQ(Register(hook, 1, 1000), kStatusOk);
  EXPECT_EQ(Scan(hook, std::nullopt), kStatusOk);
  std::vector<int32_t> madeUp(kMaxWireEntries);
  for (size_t i = 0; i < madeUp.size(); ++i) madeUp[i] = static_cast<int32_t>(100 + i);
  EXPECT_EQ(Fence(hook, 2000, madeUp), kStatusResourceUnknown);
  EXPECT_EQ(Fence(hook, 3000, {1, 99}), kStatusResourceUnknown);
  EXPECT_EQ(Scan(hook, 1000), kStatusOk);  // nothing was raised
  EXPECT_EQ(Fence(hook, 2000), kStatusOk);
  EXPECT_EQ(Scan(hook, std::nullopt), kStatusStale);
  EXPECT_EQ(Scan(hook, 1999), kStatusStale);
  EXPECT_EQ(Scan(hook, 2000), kStatusOk);
}

// The protection against late writes where it acts: a request still inside the handler when
// its hook fences the resources makes the fence answer busy (and the fence already refuses
// older requests); let go, it finishes, the fence passes, and from then on nothing of the older
// generation touches the files.
TEST_F(ServiceRequests, AFenceIsBusyWhileALateRequestRunsThenPassesAndTheLateGenerationIsRefused) {
  const CRPCPeer hook = Peer(100);
  ASSERT_EQ(Register(hook, 1, 1000), kStatusOk);
  m_blockAt = 7;
  int32_t late = 0;
  std::thread running([&] { late = Scan(hook, 1000, 7); });
  {
    std::unique_lock guard(m_lock);
    // Not ASSERT: the thread is let go and joined below whatever happens.
    EXPECT_TRUE(m_changed.wait_for(guard, std::chrono::seconds(10), [this] { return m_inHandler; }));
  }
  EXPECT_EQ(Fence(hook, 1001), kStatusResourceBusy);
  EXPECT_EQ(Scan(hook, 1000, 8), kStatusStale);
  EXPECT_EQ(Fence(hook, 1001, {2}), kStatusResourceBusy);
  {
    std::lock_guard guard(m_lock);
    m_letGo = true;
    m_changed.notify_all();
  }
  running.join();
  EXPECT_EQ(late, kStatusOk);
  EXPECT_EQ(Fence(hook, 1001), kStatusOk);

  const std::string after = Files();
  const int scans = m_scans;
  EXPECT_EQ(Scan(hook, 1000, 9), kStatusStale);
  EXPECT_EQ(m_scans, scans);
  EXPECT_EQ(Files(), after);
  EXPECT_EQ(Scan(hook, 1001, 10), kStatusOk);
  EXPECT_NE(Files(), after);
}
