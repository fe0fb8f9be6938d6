// CHookSharedResource and CSharedResourceClientMgr: a holder takes and gives back one message's
// three memory resources, groups hand holders out first-in-first-out, bad releases change
// nothing, closing, and many hook threads cycling holders and resources at once (and waiting).
// Holders are never connected: no RPC traffic is involved.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "pool/hook_MemMapResourcePool.h"
#include "pool/hook_MemMapResourcePoolMgr.h"
#include "shared/hook_ShareResource.h"
#include "shared/hook_SharedResourceClientMgr.h"
#include "support/test_support.h"

using mhtest::SemaphoreCount;
using Mgr = CSharedResourceClientMgr;
using namespace std::chrono_literals;

namespace {

// Each test starts and ends with neither manager. Holders go first: deleting one gives its
// memory resources back through the pool manager.
class Shared : public ::testing::Test {
 protected:
  void TearDown() override {
    Mgr::Instance()->Close();
    Mgr::CloseSingleton();
    CMemMapResourcePoolMgr::Instance()->Close();
    CMemMapResourcePoolMgr::CloseSingleton();
  }

  // Registers pool `poolId` with `small` small and `large` large resources (ids 1, 2, ...) and arms it.
  CMemMapResourcePool* MakePool(int poolId, int small, int large) {
    CMemMapResourcePool* pool = CMemMapResourcePoolMgr::Instance()->CreateResourcePool(poolId);
    for (int id = 1; id <= small + large; ++id) {
      CMemMapResource* r = pool->CreateResource();
      std::string name = "p" + std::to_string(poolId) + "_" + std::to_string(id);
      EXPECT_EQ(r->Open(id, id <= small ? SIZE_TYPE_SMALL : SIZE_TYPE_LARGE, m_dir.WFile(name).c_str(), 0, 0),
                0);
      EXPECT_EQ(pool->AddResource(r), 0);
    }
    EXPECT_EQ(pool->SetupSync(), 0);
    return pool;
  }

  static std::vector<CMemMapResource*> Held(CHookSharedResource* h) {
    return {h->GetHeaderMemResource(), h->GetContentMemResource(), h->GetUpdateHeaderMemResource()};
  }

  mhtest::TempDir m_dir;
};

}  // namespace

// A holder takes its message's three resources from its pool (none when the pool id names no
// pool) and gives them back when released; groups hand holders out first-in-first-out and
// ignore bad releases.
TEST_F(Shared, HoldersTakeThreeResourcesAndGroupsHandThemOutFirstInFirstOut) {
  CMemMapResourcePool* pool = MakePool(4, 2, 1);
  Mgr* mgr = Mgr::Instance();
  CHookSharedResource* r[3];
  for (auto& h : r) EXPECT_EQ(mgr->AddResourceToGroup(1, h = mgr->CreateSharedResource()), 0);
  r[0]->Init(4, 1, 0, 0, nullptr, 0, 0);
  r[1]->Init(99, 2, 0, 0, nullptr, 0, 0);
  EXPECT_EQ(r[1]->GetMemResources(), 0);
  EXPECT_EQ(Held(r[1]), std::vector<CMemMapResource*>(3, nullptr));
  mgr->AddResourceToGroup(2, mgr->CreateSharedResource());
  EXPECT_EQ(mgr->AcquireResource(1), nullptr);  // not armed yet: returns at once
  ASSERT_EQ(mgr->ReadyToUse(), 0);
  EXPECT_EQ(mgr->AcquireResource(9), nullptr);  // no such group
  Mgr::Group* one = mgr->FindGroup(1);
  Mgr::Group* two = mgr->FindGroup(2);
  ASSERT_NE(one, nullptr);

  EXPECT_EQ(mgr->ReleaseResource(1, r[1]), 0);  // not handed out yet: the order stays
  EXPECT_EQ(SemaphoreCount(one->Semaphore()), 3);
  for (auto* h : r) EXPECT_EQ(mgr->AcquireResource(1), h);
  // A fourth waits (the many-threads case waits all the time).
  EXPECT_EQ(SemaphoreCount(one->Semaphore()), 0);

  EXPECT_EQ(r[0]->GetMemResources(), 0);
  const auto held = Held(r[0]);
  const int types[] = {SIZE_TYPE_SMALL, SIZE_TYPE_LARGE, SIZE_TYPE_SMALL};
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(held[i] ? held[i]->GetSizeType() : -1, types[i]);
  EXPECT_EQ(mgr->ReleaseResource(9, r[0]), -1);  // no such group
  EXPECT_EQ(mgr->ReleaseResource(2, r[0]), 0);   // the wrong group: nothing moves
  EXPECT_EQ(two->FreeCount(), 1u);
  EXPECT_EQ(SemaphoreCount(two->Semaphore()), 1);
  EXPECT_EQ(Held(r[0]), held);
  EXPECT_EQ(pool->GetFreeCount(), 0u);
  for (int twice = 0; twice < 2; ++twice) {  // the second changes nothing
    EXPECT_EQ(mgr->ReleaseResource(1, r[0]), 0);
    EXPECT_EQ(one->FreeCount(), 1u);
    EXPECT_EQ(SemaphoreCount(one->Semaphore()), 1);
  }
  EXPECT_EQ(Held(r[0]), std::vector<CMemMapResource*>(3, nullptr));
  EXPECT_EQ(pool->GetFreeCount(), 3u);

  EXPECT_EQ(mgr->ReleaseResource(1, r[1]), 0);  // released holders queue at the back
  EXPECT_EQ(mgr->AcquireResource(1), r[0]);
  EXPECT_EQ(mgr->AcquireResource(1), r[1]);

  // Closing a group deletes its holders, handed-out ones too: their resources come back.
  r[2]->Init(4, 3, 0, 0, nullptr, 0, 0);
  r[2]->GetMemResources();
  const auto last = Held(r[2]);
  EXPECT_EQ(pool->GetFreeCount(), 0u);
  EXPECT_EQ(mgr->CloseResourceGroup(5), -1);
  EXPECT_EQ(mgr->CloseResourceGroup(1), 0);
  EXPECT_EQ(pool->GetFreeCount(), 3u);
  // The pool hands out last-released first: the update-header went back after the header.
  EXPECT_EQ(pool->AcquireResource(SIZE_TYPE_SMALL), last[2]);
  EXPECT_EQ(pool->AcquireResource(SIZE_TYPE_SMALL), last[0]);
  EXPECT_EQ(mgr->AcquireResource(1), nullptr);
  EXPECT_NE(mgr->AcquireResource(2), nullptr);  // the other group is untouched
  EXPECT_EQ(mgr->Close(), 0);
  EXPECT_EQ(mgr->FindGroup(2), nullptr);
}

// Eight hook threads share six holders; each round takes a holder, its three resources, writes
// a thread-and-round stamp into each and checks it is still there before giving everything back.
// The pool has 10 small and 8 large resources: 18 = 3 x 6, so the at most six holders in use
// can always complete GetMemResources even when every one of them holds part of its set (with
// fewer, each thread could sit on one or two resources waiting for a third that never frees).
// Small requests outnumber the small resources (12 > 10), so some are served from the large
// list; the threads outnumber the holders, so the group's wait is used all the time.
TEST_F(Shared, ManyHookThreadsCycleHoldersAndResources) {
  constexpr int kHolders = 6, kThreads = 8, kRounds = 500, kSmall = 10, kLarge = 8;
  CMemMapResourcePool* pool = MakePool(5, kSmall, kLarge);
  Mgr* mgr = Mgr::Instance();
  for (int i = 0; i < kHolders; ++i) {
    CHookSharedResource* holder = mgr->CreateSharedResource();
    holder->Init(5, i + 1, 0, 0, nullptr, 0, 0);
    mgr->AddResourceToGroup(1, holder);
  }
  mgr->ReadyToUse();
  Mgr::Group* group = mgr->FindGroup(1);

  std::atomic<int> failures{0};
  auto work = [&](int thread) {
    for (int round = 0; round < kRounds; ++round) {
      CHookSharedResource* holder = mgr->AcquireResource(1);
      if (holder == nullptr) {
        ++failures;
        return;
      }
      holder->GetMemResources();
      const auto held = Held(holder);
      char stamp[16];
      std::snprintf(stamp, sizeof stamp, "%d:%d", thread, round);
      int len = static_cast<int>(std::strlen(stamp));
      for (CMemMapResource* r : held) {
        if (r == nullptr || r->GetDataSize() != 0 || r->GetDataStorageSize() < len) {
          ++failures;
          continue;
        }
        std::memcpy(r->GetDataBaseAddr(), stamp, static_cast<size_t>(len));
        r->SetDataSize(len);
      }
      if (std::set<CMemMapResource*>(held.begin(), held.end()).size() != 3) ++failures;
      std::this_thread::yield();  // let others run while this set is held
      for (CMemMapResource* r : held)
        if (r != nullptr && (r->GetDataSize() != len ||
                             std::memcmp(r->GetDataBaseAddr(), stamp, static_cast<size_t>(len)) != 0))
          ++failures;  // someone else was handed the same resource
      if (mgr->ReleaseResource(1, holder) != 0) ++failures;
    }
  };
  std::vector<std::future<void>> threads;
  for (int t = 0; t < kThreads; ++t) threads.push_back(std::async(std::launch::async, work, t));
  for (auto& t : threads) ASSERT_EQ(t.wait_for(120s), std::future_status::ready);  // watchdog only

  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(group->FreeCount(), static_cast<size_t>(kHolders));
  EXPECT_EQ(SemaphoreCount(group->Semaphore()), kHolders);
  EXPECT_EQ(SemaphoreCount(pool->GetSemaphore()), kSmall + kLarge);
}
