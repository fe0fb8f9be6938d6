// CHookSharedResource and CSharedResourceClientMgr: the id seed, taking and giving back a
// message's three memory resources, first-in-first-out hand-out of holders with a blocking
// wait, the bad releases, closing groups and the singleton, and many hook threads cycling
// holders and resources at once. Holders are never connected: no RPC traffic is involved.
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

#include "foundation/hook_Log.h"
#include "pool/hook_MemMapResourcePool.h"
#include "pool/hook_MemMapResourcePoolMgr.h"
#include "shared/hook_ShareResource.h"
#include "shared/hook_SharedResourceClientMgr.h"
#include "support/test_support.h"

using mhtest::TempDir;
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
    int id = 0;
    auto add = [&](int sizeType) {
      CMemMapResource* r = pool->CreateResource();
      ++id;
      std::string name = "p" + std::to_string(poolId) + "_" + std::to_string(id);
      EXPECT_EQ(r->Open(id, sizeType, m_dir.WFile(name).c_str(), 0, 0), 0);
      EXPECT_EQ(pool->AddResource(r), 0);
    };
    for (int i = 0; i < small; ++i) add(SIZE_TYPE_SMALL);
    for (int i = 0; i < large; ++i) add(SIZE_TYPE_LARGE);
    EXPECT_EQ(pool->SetupSync(), 0);
    return pool;
  }

  TempDir m_dir;
};

using mhtest::SemaphoreCount;

}  // namespace

TEST_F(Shared, HolderIdsCountFromOneAndAnEmptyHolderClosesTwice) {
  CHookSharedResource::ResetUniqueID();
  EXPECT_EQ(CHookSharedResource::GetUniqueID(), 1);
  EXPECT_EQ(CHookSharedResource::GetUniqueID(), 2);
  CHookSharedResource::ResetUniqueID();
  EXPECT_EQ(CHookSharedResource::GetUniqueID(), 1);

  CHookSharedResource holder;
  EXPECT_EQ(holder.Close(), 0);
  EXPECT_EQ(holder.Init(7, 12, 33, 44, u"ignored", 1, 2), 0);
  EXPECT_EQ(holder.GetHeaderMemResource(), nullptr);  // Init acquires nothing
  EXPECT_EQ(holder.Close(), 0);
}

TEST_F(Shared, TakesThreeResourcesFromItsPoolAndGivesThemBackInOrder) {
  CMemMapResourcePool* seven = MakePool(7, 2, 1);
  CMemMapResourcePool* other = MakePool(8, 1, 2);
  CHookSharedResource holder;
  holder.Init(7, 12, 0, 0, nullptr, 0, 0);

  CMemMapResource *header = nullptr, *content = nullptr, *update = nullptr;
  EXPECT_EQ(holder.GetMemResources(), 0);
  header = holder.GetHeaderMemResource();
  content = holder.GetContentMemResource();
  update = holder.GetUpdateHeaderMemResource();
  ASSERT_NE(header, nullptr);
  ASSERT_NE(content, nullptr);
  ASSERT_NE(update, nullptr);
  EXPECT_EQ(std::set<CMemMapResource*>({header, content, update}).size(), 3u);
  EXPECT_EQ(header->GetSizeType(), SIZE_TYPE_SMALL);
  EXPECT_EQ(content->GetSizeType(), SIZE_TYPE_LARGE);
  EXPECT_EQ(update->GetSizeType(), SIZE_TYPE_SMALL);
  for (CMemMapResource* r : {header, content, update}) EXPECT_EQ(r->GetResourcePoolId(), 7);
  EXPECT_EQ(seven->GetFreeCount(), 0u);
  EXPECT_EQ(other->GetFreeCount(), 3u);

  header->SetDataSize(3);
  content->SetDataSize(4);
  update->SetDataSize(5);
  EXPECT_EQ(holder.Close(), 0);
  EXPECT_EQ(holder.GetHeaderMemResource(), nullptr);
  EXPECT_EQ(holder.GetContentMemResource(), nullptr);
  EXPECT_EQ(holder.GetUpdateHeaderMemResource(), nullptr);
  EXPECT_EQ(seven->GetFreeCount(), 3u);
  for (CMemMapResource* r : {header, content, update}) EXPECT_EQ(r->GetDataSize(), 0);
  // The pool hands out last-released first: the update-header went back after the header.
  EXPECT_EQ(seven->AcquireResource(SIZE_TYPE_SMALL), update);
  EXPECT_EQ(seven->AcquireResource(SIZE_TYPE_SMALL), header);
  seven->ReleaseResource(header);
  seven->ReleaseResource(update);

  // A holder destroyed while it holds resources gives them back.
  {
    CHookSharedResource scoped;
    scoped.Init(8, 1, 0, 0, nullptr, 0, 0);
    scoped.GetMemResources();
    for (CMemMapResource* r :
         {scoped.GetHeaderMemResource(), scoped.GetContentMemResource(), scoped.GetUpdateHeaderMemResource()})
      ASSERT_NE(r, nullptr);
    // One small resource only: the update-header is served from the large list.
    EXPECT_EQ(scoped.GetHeaderMemResource()->GetSizeType(), SIZE_TYPE_SMALL);
    EXPECT_EQ(scoped.GetContentMemResource()->GetSizeType(), SIZE_TYPE_LARGE);
    EXPECT_EQ(scoped.GetUpdateHeaderMemResource()->GetSizeType(), SIZE_TYPE_LARGE);
    EXPECT_EQ(other->GetFreeCount(), 0u);
  }
  EXPECT_EQ(other->GetFreeCount(), 3u);

  // A pool id that names no pool: nothing held, no pool touched.
  CHookSharedResource stray;
  stray.Init(99, 1, 0, 0, nullptr, 0, 0);
  EXPECT_EQ(stray.GetMemResources(), 0);
  EXPECT_EQ(stray.GetHeaderMemResource(), nullptr);
  EXPECT_EQ(stray.GetContentMemResource(), nullptr);
  EXPECT_EQ(stray.GetUpdateHeaderMemResource(), nullptr);
  EXPECT_EQ(seven->GetFreeCount(), 3u);
  EXPECT_EQ(other->GetFreeCount(), 3u);
}

TEST_F(Shared, GroupsHandOutFirstInFirstOutAndWaitWhenEmpty) {
  Mgr* mgr = Mgr::Instance();
  EXPECT_EQ(Mgr::Instance(), mgr);
  CHookSharedResource* r1 = mgr->CreateSharedResource();
  CHookSharedResource* r2 = mgr->CreateSharedResource();
  CHookSharedResource* r3 = mgr->CreateSharedResource();
  for (CHookSharedResource* r : {r1, r2, r3}) EXPECT_EQ(mgr->AddResourceToGroup(1, r), 0);

  EXPECT_EQ(mgr->AcquireResource(1), nullptr);  // not armed yet: returns at once
  EXPECT_EQ(mgr->AcquireResource(2), nullptr);  // no such group
  ASSERT_EQ(mgr->ReadyToUse(), 0);
  Mgr::Group* group = mgr->FindGroup(1);
  ASSERT_NE(group, nullptr);
  EXPECT_EQ(SemaphoreCount(group->Semaphore()), 3);

  EXPECT_EQ(mgr->AcquireResource(1), r1);
  EXPECT_EQ(mgr->AcquireResource(1), r2);
  EXPECT_EQ(mgr->AcquireResource(1), r3);
  EXPECT_EQ(SemaphoreCount(group->Semaphore()), 0);  // a fourth acquisition has to wait

  std::promise<void> started;
  std::future<CHookSharedResource*> fourth = std::async(std::launch::async, [&] {
    started.set_value();
    return mgr->AcquireResource(1);
  });
  started.get_future().wait();
  EXPECT_EQ(fourth.wait_for(0s), std::future_status::timeout);
  EXPECT_EQ(mgr->ReleaseResource(1, r2), 0);
  ASSERT_EQ(fourth.wait_for(30s), std::future_status::ready);  // watchdog only
  EXPECT_EQ(fourth.get(), r2);

  EXPECT_EQ(mgr->ReleaseResource(1, r1), 0);
  EXPECT_EQ(mgr->ReleaseResource(1, r3), 0);
  EXPECT_EQ(mgr->AcquireResource(1), r1);
  EXPECT_EQ(mgr->AcquireResource(1), r3);
  EXPECT_EQ(group->InUseCount(), 3u);
  EXPECT_EQ(group->FreeCount(), 0u);
  for (CHookSharedResource* r : {r1, r2, r3}) EXPECT_EQ(mgr->ReleaseResource(1, r), 0);
  EXPECT_EQ(group->FreeCount(), 3u);
  EXPECT_EQ(SemaphoreCount(group->Semaphore()), 3);
}

TEST_F(Shared, BadReleasesChangeNothing) {
  CMemMapResourcePool* pool = MakePool(4, 2, 1);
  Mgr* mgr = Mgr::Instance();
  CHookSharedResource* a = mgr->CreateSharedResource();
  CHookSharedResource* b = mgr->CreateSharedResource();
  CHookSharedResource* c = mgr->CreateSharedResource();
  a->Init(4, 1, 0, 0, nullptr, 0, 0);
  mgr->AddResourceToGroup(1, a);
  mgr->AddResourceToGroup(1, b);
  mgr->AddResourceToGroup(2, c);
  mgr->ReadyToUse();
  Mgr::Group* one = mgr->FindGroup(1);
  Mgr::Group* two = mgr->FindGroup(2);

  EXPECT_EQ(mgr->ReleaseResource(9, a), -1);  // no such group
  // Not handed out yet: the free list keeps its order.
  EXPECT_EQ(mgr->ReleaseResource(1, b), 0);
  EXPECT_EQ(one->FreeCount(), 2u);
  EXPECT_EQ(SemaphoreCount(one->Semaphore()), 2);

  ASSERT_EQ(mgr->AcquireResource(1), a);
  a->GetMemResources();
  CMemMapResource* header = a->GetHeaderMemResource();
  CMemMapResource* content = a->GetContentMemResource();
  CMemMapResource* update = a->GetUpdateHeaderMemResource();
  ASSERT_NE(update, nullptr);
  for (CMemMapResource* r : {header, content, update}) r->SetDataSize(2);
  EXPECT_EQ(pool->GetFreeCount(), 0u);

  // To the wrong group: both groups and the holder's resources stay as they are.
  EXPECT_EQ(mgr->ReleaseResource(2, a), 0);
  EXPECT_EQ(one->InUseCount(), 1u);
  EXPECT_EQ(two->FreeCount(), 1u);
  EXPECT_EQ(two->InUseCount(), 0u);
  EXPECT_EQ(SemaphoreCount(two->Semaphore()), 1);
  EXPECT_EQ(a->GetHeaderMemResource(), header);
  EXPECT_EQ(pool->GetFreeCount(), 0u);

  // The right group: the holder's resources go back, emptied.
  EXPECT_EQ(mgr->ReleaseResource(1, a), 0);
  EXPECT_EQ(a->GetHeaderMemResource(), nullptr);
  EXPECT_EQ(a->GetContentMemResource(), nullptr);
  EXPECT_EQ(a->GetUpdateHeaderMemResource(), nullptr);
  EXPECT_EQ(pool->GetFreeCount(), 3u);
  for (CMemMapResource* r : {header, content, update}) EXPECT_EQ(r->GetDataSize(), 0);
  EXPECT_EQ(one->FreeCount(), 2u);
  EXPECT_EQ(SemaphoreCount(one->Semaphore()), 2);

  // Twice: no second unit, no second entry.
  EXPECT_EQ(mgr->ReleaseResource(1, a), 0);
  EXPECT_EQ(one->FreeCount(), 2u);
  EXPECT_EQ(one->InUseCount(), 0u);
  EXPECT_EQ(SemaphoreCount(one->Semaphore()), 2);
  EXPECT_EQ(mgr->AcquireResource(1), b);  // a went to the back of the line
  EXPECT_EQ(mgr->AcquireResource(1), a);
}

TEST_F(Shared, ClosingGroupsAndTheSingleton) {
  CMemMapResourcePool* pool = MakePool(4, 2, 1);
  Mgr* mgr = Mgr::Instance();
  CHookSharedResource* busy = mgr->CreateSharedResource();
  busy->Init(4, 1, 0, 0, nullptr, 0, 0);
  mgr->AddResourceToGroup(1, busy);
  mgr->AddResourceToGroup(1, mgr->CreateSharedResource());
  mgr->AddResourceToGroup(3, mgr->CreateSharedResource());
  mgr->ReadyToUse();
  ASSERT_EQ(mgr->AcquireResource(1), busy);
  busy->GetMemResources();
  EXPECT_EQ(pool->GetFreeCount(), 0u);

  EXPECT_EQ(mgr->CloseResourceGroup(2), -1);
  EXPECT_EQ(mgr->CloseResourceGroup(1), 0);
  // The handed-out holder was deleted too: its resources are back (and the address sanitizer
  // reports it if it was not freed, or freed twice).
  EXPECT_EQ(pool->GetFreeCount(), 3u);
  Mgr::Group* one = mgr->FindGroup(1);
  ASSERT_NE(one, nullptr);  // stays in the table, empty
  EXPECT_EQ(one->FreeCount(), 0u);
  EXPECT_EQ(one->InUseCount(), 0u);
  EXPECT_EQ(one->Semaphore(), nullptr);
  EXPECT_EQ(mgr->AcquireResource(1), nullptr);
  EXPECT_EQ(mgr->ReleaseResource(1, busy), 0);  // its group is closed: nothing to do
  EXPECT_EQ(one->FreeCount(), 0u);

  // The other group is untouched.
  EXPECT_NE(mgr->AcquireResource(3), nullptr);

  EXPECT_EQ(mgr->Close(), 0);
  EXPECT_EQ(mgr->FindGroup(3), nullptr);
  Mgr::CloseSingleton();
  Mgr* fresh = Mgr::Instance();
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(fresh->FindGroup(1), nullptr);
  EXPECT_EQ(fresh->FindGroup(3), nullptr);
  EXPECT_EQ(fresh->AcquireResource(3), nullptr);

  // The first Instance() from several threads at once makes one manager.
  Mgr::CloseSingleton();
  std::promise<void> go;
  std::shared_future<void> start = go.get_future().share();
  std::vector<std::future<Mgr*>> callers;
  for (int i = 0; i < 4; ++i)
    callers.push_back(std::async(std::launch::async, [start] {
      start.wait();
      return Mgr::Instance();
    }));
  go.set_value();
  std::set<Mgr*> made;
  for (auto& caller : callers) made.insert(caller.get());
  EXPECT_EQ(made.size(), 1u);
  EXPECT_EQ(*made.begin(), Mgr::Instance());
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
  std::atomic<int> inUse{0};
  std::atomic<int> maxInUse{0};
  auto work = [&](int thread) {
    for (int round = 0; round < kRounds; ++round) {
      CHookSharedResource* holder = mgr->AcquireResource(1);
      if (holder == nullptr) {
        ++failures;
        return;
      }
      int now = ++inUse;
      int seen = maxInUse.load();
      while (now > seen && !maxInUse.compare_exchange_weak(seen, now)) {
      }
      holder->GetMemResources();
      CMemMapResource* held[3] = {holder->GetHeaderMemResource(), holder->GetContentMemResource(),
                                  holder->GetUpdateHeaderMemResource()};
      char stamp[16];
      std::snprintf(stamp, sizeof stamp, "%d:%d", thread, round);
      int len = static_cast<int>(std::strlen(stamp));
      for (CMemMapResource* r : held) {
        if (r == nullptr || r->GetDataSize() != 0 || r->GetDataStorageSize() < len) {
          ++failures;
          continue;
        }
        std::memcpy(r->GetDataBaseAddr(), stamp, len);
        r->SetDataSize(len);
      }
      if (held[0] == held[1] || held[1] == held[2] || held[0] == held[2]) ++failures;
      std::this_thread::yield();  // let others run while this set is held
      for (CMemMapResource* r : held)
        if (r != nullptr && (r->GetDataSize() != len || std::memcmp(r->GetDataBaseAddr(), stamp, len) != 0))
          ++failures;  // someone else was handed the same resource
      --inUse;
      if (mgr->ReleaseResource(1, holder) != 0) ++failures;
    }
  };
  std::vector<std::future<void>> threads;
  for (int t = 0; t < kThreads; ++t) threads.push_back(std::async(std::launch::async, work, t));
  for (auto& t : threads) ASSERT_EQ(t.wait_for(120s), std::future_status::ready);  // watchdog only

  EXPECT_EQ(failures.load(), 0);
  EXPECT_LE(maxInUse.load(), kHolders);
  EXPECT_EQ(group->FreeCount(), static_cast<size_t>(kHolders));
  EXPECT_EQ(group->InUseCount(), 0u);
  EXPECT_EQ(SemaphoreCount(group->Semaphore()), kHolders);
  EXPECT_EQ(pool->GetFreeCount(), static_cast<uint64_t>(kSmall + kLarge));
  EXPECT_EQ(SemaphoreCount(pool->GetSemaphore()), kSmall + kLarge);
  for (int id = 1; id <= kSmall + kLarge; ++id) {
    CMemMapResource* r = pool->FindResourceW(id);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->GetDataSize(), 0);
  }
}
