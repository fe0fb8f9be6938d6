// CMemMapResourcePool and its manager: hand-out order and fallback, release and look-up rules,
// the export record, the semaphore under more threads than resources, the file-size limit, a
// resource adopted by a real child process through the export record, and pools by signed id.
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/hook_Log.h"
#include "pool/adopt_record.h"
#include "pool/hook_MemMapResourcePool.h"
#include "pool/hook_MemMapResourcePoolMgr.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
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

TEST(CMemMapResourcePool, BlockedAcquireIsWokenByRelease) {
  TempDir dir;
  Pool pool(1);
  auto r = Fill(pool, dir, {SIZE_TYPE_SMALL, SIZE_TYPE_LARGE});
  ASSERT_EQ(pool.AcquireResource(SIZE_TYPE_SMALL), r[0]);
  ASSERT_EQ(pool.AcquireResource(SIZE_TYPE_SMALL), r[1]);
  std::atomic<bool> returned{false};
  CMemMapResource* got = nullptr;
  DBG::CLogCapture capture;
  std::thread waiter([&] {
    got = pool.AcquireResource(SIZE_TYPE_SMALL);
    returned = true;
  });
  // Once the waiter has entered (its entry line precedes the wait) it cannot return while
  // nothing is free; one release wakes it with the released resource.
  while (capture.Texts(LOG_TRACE_ENTER).empty()) std::this_thread::yield();
  EXPECT_FALSE(returned.load());
  pool.ReleaseResource(r[1]);
  waiter.join();
  EXPECT_EQ(got, r[1]);
  EXPECT_EQ(mhtest::SemaphoreCount(pool.GetSemaphore()), 0);
  pool.Close();
}

TEST(CMemMapResourcePool, MoreThreadsThanResourcesNeverShareOneAndLoseNoUnit) {
  TempDir dir;
  Pool pool(1);
  constexpr int kThreads = 8, kRounds = 2000;
  auto resources = Fill(pool, dir, {SIZE_TYPE_LARGE, SIZE_TYPE_SMALL, SIZE_TYPE_SMALL});
  std::atomic<int> holders[3] = {}, faults{0};
  // A lost semaphore unit leaves threads blocked for ever: the suite's time limit fails it.
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

namespace {

constexpr int kPoolId = 42;
constexpr int kBigData = 8 << 20;  // past the first view and the 6 MiB shrink size

std::string Report(int view, int size, const unsigned char* data) {
  uint64_t h = 1469598103934665603ull;
  for (int i = 0; i < size; ++i) h = (h ^ data[i]) * 1099511628211ull;
  return "view " + std::to_string(view) + " data " + std::to_string(size) + " sum " + std::to_string(h);
}

}  // namespace

// Adopts every resource of the export record in file args[0]; on the parent's line looks resource
// args[1] up and reports its view and data.
MHTEST_CHILD(adopt_from_record) {
  Pool pool(kPoolId);
  if (!AdoptFromRecord(args.at(0), pool)) return 3;
  mhtest::TellParent("adopted");
  std::string line;
  CMemMapResource* r = mhtest::ReadParentLine(line) ? pool.FindResourceW(std::stoi(args.at(1))) : nullptr;
  if (r == nullptr) return 4;
  mhtest::TellParent(
      Report(r->GetCurrentMapSize(), r->GetDataSize(), static_cast<unsigned char*>(r->GetDataBaseAddr())));
  pool.Close();
  return 0;
}

TEST(CMemMapResourcePool, ResourceAdoptedByAChildProcess) {
  TempDir dir;
  Pool pool(kPoolId);
  pool.AddResource(Make(pool, dir, 1, SIZE_TYPE_SMALL));
  CMemMapResource* content = Make(pool, dir, 2, SIZE_TYPE_LARGE, 32 << 20);
  pool.AddResource(content);
  ASSERT_EQ(pool.SetupSync(), 0);
  ASSERT_EQ(pool.AcquireResource(SIZE_TYPE_LARGE), content);
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
  std::ofstream(dir.File("pool.rec"), std::ios::binary).write(reinterpret_cast<const char*>(info), head[0]);
  pool.FreePoolRegisterInfo(info);

  // The child adopts the files while they are one page long.
  mhtest::ChildProcess child("adopt_from_record", {dir.File("pool.rec").string(), "2"});
  ASSERT_TRUE(child.WaitForLine("adopted"));
  std::string line;
  // A big message grown past the first view: the child maps exactly data + 548 and reads it.
  ASSERT_EQ(content->Grow(kBigData), 0);
  auto* data = static_cast<unsigned char*>(content->GetDataBaseAddr());
  for (size_t i = 0; i < static_cast<size_t>(kBigData); ++i)
    data[i] = static_cast<unsigned char>((i * 131) >> 3);
  content->SetDataSize(kBigData);
  ASSERT_TRUE(child.WriteLine("renew") && child.ReadLine(line));
  EXPECT_EQ(line, Report(kBigData + 548, kBigData, data));
  child.CloseInput();
  EXPECT_EQ(child.Wait(), 0);
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

  CMemMapResource* r = five->CreateResource();
  ASSERT_EQ(r->Open(1, SIZE_TYPE_SMALL, dir.WFile("m.dat").c_str(), 0, 0), 0);
  ASSERT_EQ(five->AddResource(r), 0);
  ASSERT_EQ(mgr->SetupSync(5), 0);
  ASSERT_EQ(mgr->AcquireResource(5, SIZE_TYPE_LARGE), r);
  r->SetDataSize(8);
  EXPECT_EQ(mgr->ReleaseResource(r), 0);
  EXPECT_EQ(r->GetDataSize(), 0);
  EXPECT_EQ(five->GetFreeCount(), 1u);

  // A resource of a pool that is not registered: one report with code 1, nothing touched.
  CMemMapResourcePool stray(9);
  CMemMapResource* orphan = stray.CreateResource();
  ASSERT_EQ(orphan->Open(2, SIZE_TYPE_SMALL, dir.WFile("o.dat").c_str(), 0, 0), 0);
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
