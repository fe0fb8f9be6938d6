// CMemMapResourcePoolMgr: the singleton, pools by signed id, forwarding, release by the
// resource's own pool id, closing, and creation from several threads at once.
#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/hook_Log.h"
#include "pool/hook_MemMapResourcePoolMgr.h"
#include "support/test_support.h"

using mhtest::TempDir;

namespace {

// Each test starts and ends with no manager.
class PoolMgr : public ::testing::Test {
 protected:
  void TearDown() override {
    CMemMapResourcePoolMgr::Instance()->Close();
    CMemMapResourcePoolMgr::CloseSingleton();
  }
};

}  // namespace

TEST_F(PoolMgr, LookUpCreateAndCloseByPoolId) {
  CMemMapResourcePoolMgr* mgr = CMemMapResourcePoolMgr::Instance();
  EXPECT_EQ(CMemMapResourcePoolMgr::Instance(), mgr);
  EXPECT_EQ(mgr->GetResourcePool(5), nullptr);
  CMemMapResourcePool* five = mgr->CreateResourcePool(5);
  ASSERT_NE(five, nullptr);
  EXPECT_EQ(five->GetResourcePoolId(), 5);
  EXPECT_EQ(mgr->CreateResourcePool(5), five);  // one pool per id
  CMemMapResourcePool* negative = mgr->CreateResourcePool(-1);
  EXPECT_NE(negative, five);
  EXPECT_EQ(mgr->GetResourcePool(-1), negative);

  EXPECT_EQ(mgr->CloseResourcePool(7), -1);
  EXPECT_EQ(mgr->SetupSync(7), -1);
  EXPECT_EQ(mgr->AcquireResource(7, 0), nullptr);  // returns at once: there is nothing to wait on
  EXPECT_EQ(mgr->SetupSync(5), -1);                // an empty pool
  EXPECT_EQ(mgr->CloseResourcePool(5), 0);
  EXPECT_EQ(mgr->GetResourcePool(5), five);  // closed, still registered

  EXPECT_EQ(mgr->Close(), 0);
  EXPECT_EQ(mgr->GetResourcePool(5), nullptr);
  EXPECT_EQ(mgr->GetResourcePool(-1), nullptr);

  mgr->CreateResourcePool(9);
  CMemMapResourcePoolMgr::Instance()->Close();
  CMemMapResourcePoolMgr::CloseSingleton();
  EXPECT_EQ(CMemMapResourcePoolMgr::Instance()->GetResourcePool(9), nullptr);
}

TEST_F(PoolMgr, AcquireAndReleaseByTheResourcesOwnPool) {
  TempDir dir;
  CMemMapResourcePoolMgr* mgr = CMemMapResourcePoolMgr::Instance();
  CMemMapResourcePool* pool = mgr->CreateResourcePool(3);
  CMemMapResource* r = pool->CreateResource();
  ASSERT_EQ(r->Open(1, SIZE_TYPE_SMALL, dir.WFile("m.dat").c_str(), 0, 0), 0);
  ASSERT_EQ(pool->AddResource(r), 0);
  ASSERT_EQ(mgr->SetupSync(3), 0);
  ASSERT_EQ(mgr->AcquireResource(3, SIZE_TYPE_LARGE), r);
  r->SetDataSize(8);
  EXPECT_EQ(mgr->ReleaseResource(r), 0);
  EXPECT_EQ(r->GetDataSize(), 0);
  EXPECT_EQ(pool->GetFreeCount(), 1u);

  // A resource of a pool that is not registered: one report with code 1, nothing touched.
  CMemMapResourcePool stray(9);
  CMemMapResource* orphan = stray.CreateResource();
  ASSERT_EQ(orphan->Open(2, SIZE_TYPE_SMALL, dir.WFile("o.dat").c_str(), 0, 0), 0);
  orphan->SetDataSize(5);
  {
    DBG::CLogCapture capture;
    EXPECT_EQ(mgr->ReleaseResource(orphan), -1);
    auto reports = capture.Lines(LOG_ERROR_REPORT);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].text.rfind("HOOK_ERROR: 1 (Line: ", 0), 0u);
    EXPECT_NE(reports[0].text.find("File: hook_MemMapResourcePoolMgr.cpp)"), std::string::npos);
  }
  EXPECT_EQ(orphan->GetDataSize(), 5);
  EXPECT_EQ(mgr->ReleaseResource(nullptr), -1);
  stray.DestroyResource(orphan);
}

TEST_F(PoolMgr, ConcurrentCreationMakesOneManagerAndOnePoolPerId) {
  CMemMapResourcePoolMgr::CloseSingleton();
  constexpr int kThreads = 8;
  std::atomic<int> ready{0};
  std::vector<CMemMapResourcePoolMgr*> managers(kThreads);
  std::vector<CMemMapResourcePool*> pools(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      ++ready;
      while (ready.load() < kThreads) std::this_thread::yield();
      managers[t] = CMemMapResourcePoolMgr::Instance();
      pools[t] = managers[t]->CreateResourcePool(77);
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(std::set<CMemMapResourcePoolMgr*>(managers.begin(), managers.end()).size(), 1u);
  EXPECT_EQ(std::set<CMemMapResourcePool*>(pools.begin(), pools.end()).size(), 1u);
  EXPECT_EQ(managers[0]->GetResourcePool(77), pools[0]);
}
