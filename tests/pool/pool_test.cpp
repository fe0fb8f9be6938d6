// CMemMapResourcePool and its manager: hand-out order and fallback, release and look-up rules,
// the export record's layout, the semaphore under more threads than resources, the
// file-size limit, and pools by signed id.
#include <atomic>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/hook_Log.h"
#include "pool/hook_MemMapResourcePool.h"
#include "pool/hook_MemMapResourcePoolMgr.h"
#include "support/test_support.h"

using mhtest::TempDir;
using Pool = CMemMapResourcePool;
using PoolMgr = CMemMapResourcePoolMgr;

namespace {

CMemMapResource* Make(Pool& pool, const TempDir& dir, int id, int sizeType, uint64_t maxData = 1 << 20) {
  CMemMapResource* r = pool.CreateResource();
  EXPECT_EQ(r->Open(id, sizeType, dir.WFile("res" + std::to_string(id)).c_str(), 0, maxData), 0);
  return r;
}

// Makes and adds resources of these size types (ids 1, 2, ...) and arms the pool.
std::vector<CMemMapResource*> Fill(Pool& pool, const TempDir& dir, std::initializer_list<int> types) {
  std::vector<CMemMapResource*> made;
  for (int type : types) {
    made.push_back(Make(pool, dir, static_cast<int>(made.size()) + 1, type));
    EXPECT_EQ(pool.AddResource(made.back()), 0);
  }
  EXPECT_EQ(pool.SetupSync(), 0);
  return made;
}

}  // namespace

TEST(CMemMapResourcePool, LastInFirstOutWithSizeTypeFallback) {
  TempDir dir;
  Pool empty(1);
  EXPECT_EQ(empty.SetupSync(), -1);  // an empty pool is never armed
  EXPECT_EQ(empty.AcquireResource(0), nullptr);

  Pool pool(1);
  auto r = Fill(pool, dir, {SIZE_TYPE_SMALL, SIZE_TYPE_SMALL});
  EXPECT_EQ(pool.AcquireResource(SIZE_TYPE_LARGE), r[0]);  // no large one: served from the small list
  pool.ReleaseResource(r[0]);
  EXPECT_EQ(pool.AcquireResource(SIZE_TYPE_SMALL), r[0]);
  EXPECT_EQ(pool.AcquireResource(SIZE_TYPE_SMALL), r[1]);
  pool.ReleaseResource(r[0]);
  pool.ReleaseResource(r[1]);
  EXPECT_EQ(pool.AcquireResource(SIZE_TYPE_SMALL), r[1]);  // released last, handed out first
  pool.Close();

  Pool mixed(2);
  r = Fill(mixed, dir, {SIZE_TYPE_SMALL, SIZE_TYPE_LARGE});
  EXPECT_EQ(mixed.AcquireResource(SIZE_TYPE_LARGE), r[1]);
  EXPECT_EQ(mixed.AcquireResource(SIZE_TYPE_LARGE), r[0]);
  mixed.ReleaseResource(r[0]);
  mixed.ReleaseResource(r[1]);
  EXPECT_EQ(mixed.AcquireResource(7), r[0]);  // any other type prefers the small list
  mixed.Close();
}

TEST(CMemMapResourcePool, ReleaseResetsAndGivesOneUnitBack) {
  TempDir dir;
  Pool pool(1);
  CMemMapResource* odd = Make(pool, dir, 9, 2);
  EXPECT_EQ(pool.AddResource(odd), -1);  // size type 2 belongs to no list
  pool.DestroyResource(odd);
  auto r = Fill(pool, dir, {SIZE_TYPE_SMALL, SIZE_TYPE_LARGE});
  EXPECT_EQ(pool.SetupSync(), -1);  // armed once: the first semaphore and its count stay
  EXPECT_EQ(mhtest::SemaphoreCount(pool.GetSemaphore()), 2);
  ASSERT_EQ(pool.AcquireResource(SIZE_TYPE_SMALL), r[0]);
  r[0]->SetDataSize(3);
  EXPECT_EQ(pool.FindResourceW(1), nullptr);  // in use: not looked up
  EXPECT_EQ(pool.FindResourceW(2), r[1]);
  EXPECT_EQ(pool.FindResourceW(99), nullptr);
  EXPECT_EQ(pool.ReleaseResource(r[1]), 0);  // not in use: nothing changes
  EXPECT_EQ(mhtest::SemaphoreCount(pool.GetSemaphore()), 1);
  EXPECT_EQ(pool.ReleaseResource(r[0]), 0);
  EXPECT_EQ(r[0]->GetDataSize(), 0);
  EXPECT_EQ(pool.ReleaseResource(r[0]), 0);  // a second release changes nothing
  EXPECT_EQ(pool.GetFreeCount(), 2u);
  EXPECT_EQ(mhtest::SemaphoreCount(pool.GetSemaphore()), 2);

  // Closed: resources gone (files kept).
  EXPECT_EQ(pool.Close(), 0);
  EXPECT_EQ(pool.AcquireResource(SIZE_TYPE_SMALL), nullptr);
}

TEST(CMemMapResourcePool, CandidateThatCannotRenewStaysFirstAndGivesItsUnitBack) {
  TempDir dir;
  Pool pool(1);
  auto r = Fill(pool, dir, {SIZE_TYPE_SMALL, SIZE_TYPE_SMALL});
  int32_t& headerSize =
      *static_cast<int32_t*>(static_cast<void*>(static_cast<char*>(r[0]->GetDataBaseAddr()) - 548));
  headerSize = 0;  // as a broken peer would leave it
  EXPECT_EQ(pool.AcquireResource(SIZE_TYPE_SMALL), nullptr);
  EXPECT_EQ(mhtest::SemaphoreCount(pool.GetSemaphore()), 2);
  EXPECT_EQ(pool.FindResourceW(1), nullptr);
  headerSize = 548;
  EXPECT_EQ(pool.AcquireResource(SIZE_TYPE_SMALL), r[0]);
  pool.Close();
}

TEST(CMemMapResourcePool, MoreThreadsThanResourcesNeverShareOneAndLoseNoUnit) {
  TempDir dir;
  Pool pool(1);
  constexpr int kThreads = 8, kRounds = 2000;
  auto resources = Fill(pool, dir, {SIZE_TYPE_LARGE, SIZE_TYPE_SMALL, SIZE_TYPE_SMALL});
  std::atomic<int> holders[3] = {}, faults{0};
  // Threads keep blocking in Acquire: one that returns without a resource, or with one another
  // thread holds, is a fault; a lost unit or a release that wakes no waiter leaves threads
  // blocked for ever, and the suite's time limit fails it.
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      std::mt19937 rng(static_cast<unsigned>(t));
      for (int round = 0; round < kRounds; ++round) {
        CMemMapResource* r = pool.AcquireResource(static_cast<int>(rng() % 2));
        if (r == nullptr || holders[r->GetResourceId() - 1].fetch_add(1) != 0) {
          ++faults;  // nothing handed out, or one resource held twice
          if (r == nullptr) continue;
        }
        r->SetDataSize(1);
        holders[r->GetResourceId() - 1].fetch_sub(1);
        pool.ReleaseResource(r);
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(faults.load(), 0);
  EXPECT_EQ(mhtest::SemaphoreCount(pool.GetSemaphore()), 3);
  for (CMemMapResource* r : resources) EXPECT_EQ(r->GetDataSize(), 0);
  pool.Close();
}

#if !defined(_WIN32)
TEST(CMemMapResourcePool, FileSizeLimitFromTheRegistryHasALowerBound) {
  TempDir dir;
  mhtest::EnvScope env("MAILHOOK_REGISTRY", dir.File("registry.reg").string());
  for (auto [value, limit] :
       {std::pair<std::string, uint64_t>{"00080000", 0x100000}, {"02000000", 0x2000000}}) {
    std::ofstream(dir.File("registry.reg"))
        << "Windows Registry Editor Version 5.00\n\n"
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\Corvane\\CurrentVersion]\n"
           "\"MaxAllowedMemMapFileSize\"=dword:"
        << value << "\n";
    EXPECT_EQ(Pool(1).GetMaxAllowedMemMapFileSize(), limit) << value;
  }
}
#endif

// What the hook registers its pool with and the service adopts it from (the end-to-end tests carry
// messages past the first view between two real processes on that record).
TEST(CMemMapResourcePool, ExportRecordListsTheFreeThenTheResourcesInUse) {
  TempDir dir;
  constexpr int kPoolId = 42;
  Pool pool(kPoolId);
  auto r = Fill(pool, dir, {SIZE_TYPE_SMALL, SIZE_TYPE_LARGE});
  ASSERT_EQ(pool.AcquireResource(SIZE_TYPE_LARGE), r[1]);
  pool.AddResource(Make(pool, dir, 3, SIZE_TYPE_LARGE));

  // The record lists the free small, the free large, then the resources in use.
  Pool::CResPoolRegisterInfo* info = pool.ExportPoolRegisterInfo();
  ASSERT_NE(info, nullptr);
  const auto* bytes = reinterpret_cast<const unsigned char*>(info);
  int32_t head[2];
  std::memcpy(head, bytes, 8);
  EXPECT_EQ(head[0], 8 + 3 * 528);
  EXPECT_EQ(head[1], 3);
  for (size_t i = 0; i < 3; ++i) {
    int32_t fields[2];
    std::memcpy(fields, bytes + 8 + 528 * i, 8);
    EXPECT_EQ(fields[0], kPoolId);
    EXPECT_EQ(fields[1], std::vector<int>({1, 3, 2})[i]);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(bytes + 16 + 528 * i)),
              dir.WFile("res" + std::to_string(fields[1])));
  }
  pool.FreePoolRegisterInfo(info);
  pool.Close();
}

// Each manager test starts and ends with no manager.
class PoolMgrTest : public ::testing::Test {
 protected:
  void TearDown() override {
    PoolMgr::Instance()->Close();
    PoolMgr::CloseSingleton();
  }
};

TEST_F(PoolMgrTest, PoolsBySignedIdAndReleaseByTheResourcesOwnPool) {
  TempDir dir;
  PoolMgr* mgr = PoolMgr::Instance();
  CMemMapResourcePool* five = mgr->CreateResourcePool(5);
  EXPECT_EQ(mgr->CreateResourcePool(5), five);  // one pool per id
  CMemMapResourcePool* negative = mgr->CreateResourcePool(-1);
  EXPECT_EQ(mgr->GetResourcePool(-1), negative);
  EXPECT_EQ(mgr->AcquireResource(7, 0), nullptr);  // returns at once: there is nothing to wait on
  EXPECT_EQ(mgr->CloseResourcePool(7), -1);
  EXPECT_EQ(mgr->CloseResourcePool(5), 0);

  CMemMapResource* r = Make(*five, dir, 1, SIZE_TYPE_SMALL);
  ASSERT_EQ(five->AddResource(r), 0);
  ASSERT_EQ(mgr->SetupSync(5), 0);
  ASSERT_EQ(mgr->AcquireResource(5, SIZE_TYPE_LARGE), r);
  r->SetDataSize(8);
  EXPECT_EQ(mgr->ReleaseResource(r), 0);
  EXPECT_EQ(r->GetDataSize(), 0);
  EXPECT_EQ(five->GetFreeCount(), 1u);

  // A resource of a pool that is not registered: one report with code 1, nothing touched.
  CMemMapResourcePool stray(9);
  CMemMapResource* orphan = Make(stray, dir, 2, SIZE_TYPE_SMALL);
  orphan->SetDataSize(5);
  {
    DBG::CLogCapture capture;
    EXPECT_EQ(mgr->ReleaseResource(orphan), -1);
    EXPECT_EQ(capture.Texts(LOG_ERROR_REPORT).size(), 1u);
  }
  EXPECT_EQ(orphan->GetDataSize(), 5);
  stray.DestroyResource(orphan);

  EXPECT_EQ(mgr->Close(), 0);
  EXPECT_EQ(mgr->GetResourcePool(5), nullptr);
}
