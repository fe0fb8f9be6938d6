// CMemMapResourcePool: hand-out order and fallback, release rules, look-up, the export record,
// the semaphore under several threads, the registry limit, and a resource shared with a real
// child process through the export record.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/hook_Log.h"
#include "pool/hook_MemMapResourcePool.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using mhtest::TempDir;
using Pool = CMemMapResourcePool;

namespace {

CMemMapResource* MakeResource(Pool& pool, const TempDir& dir, int id, int sizeType,
                              uint64_t maxData = 1 << 20) {
  CMemMapResource* r = pool.CreateResource();
  const auto path = dir.WFile("res" + std::to_string(id) + ".dat");
  EXPECT_EQ(r->Open(id, sizeType, path.c_str(), 0, maxData), 0);
  return r;
}

// The semaphore's count, taken without blocking and given back.
int SemaphoreCount(HANDLE semaphore) {
  int units = 0;
  while (units < 100000 && WaitForSingleObject(semaphore, 0) == WAIT_OBJECT_0) ++units;
  if (units > 0) ReleaseSemaphore(semaphore, units, nullptr);
  return units;
}

MemMapResourceHeader& HeaderOf(CMemMapResource* r) {
  return *reinterpret_cast<MemMapResourceHeader*>(static_cast<char*>(r->GetDataBaseAddr()) -
                                                  CMemMapResource::kHeaderSize);
}

}  // namespace

TEST(CMemMapResourcePool, EmptyPoolIsNeverArmed) {
  Pool pool(1);
  EXPECT_EQ(pool.SetupSync(), -1);
  EXPECT_EQ(pool.GetSemaphore(), nullptr);
  EXPECT_EQ(pool.ExportPoolRegisterInfo(), nullptr);
  DBG::CLogCapture capture;
  EXPECT_EQ(pool.AcquireResource(0), nullptr);
  EXPECT_EQ(capture.Texts(LOG_ERROR),
            std::vector<std::string>{"CMemMapResourcePool::AcquireResource, WAIT_FAILED"});
  EXPECT_EQ(capture.Texts(LOG_TRACE_EXIT), std::vector<std::string>{"CMemMapResourcePool::AcquireResource"});
}

TEST(CMemMapResourcePool, LastInFirstOutWithSizeTypeFallback) {
  TempDir dir;
  Pool pool(1);
  CMemMapResource* a = MakeResource(pool, dir, 1, SIZE_TYPE_SMALL);
  CMemMapResource* b = MakeResource(pool, dir, 2, SIZE_TYPE_SMALL);
  ASSERT_EQ(pool.AddResource(a), 0);
  ASSERT_EQ(pool.AddResource(b), 0);
  ASSERT_EQ(pool.SetupSync(), 0);

  // No large resource: a large request is served from the small list.
  EXPECT_EQ(pool.AcquireResource(SIZE_TYPE_LARGE), a);
  EXPECT_EQ(pool.ReleaseResource(a), 0);
  EXPECT_EQ(pool.AcquireResource(SIZE_TYPE_SMALL), a);  // released last, handed out first
  EXPECT_EQ(pool.AcquireResource(SIZE_TYPE_SMALL), b);
  EXPECT_EQ(pool.ReleaseResource(a), 0);
  EXPECT_EQ(pool.ReleaseResource(b), 0);
  EXPECT_EQ(pool.AcquireResource(SIZE_TYPE_SMALL), b);
  EXPECT_EQ(pool.AcquireResource(SIZE_TYPE_SMALL), a);
  pool.ReleaseResource(a);
  pool.ReleaseResource(b);

  // A large resource serves large requests first; small requests fall back to it.
  Pool mixed(2);
  CMemMapResource* s = MakeResource(mixed, dir, 4, SIZE_TYPE_SMALL);
  CMemMapResource* l2 = MakeResource(mixed, dir, 5, SIZE_TYPE_LARGE);
  ASSERT_EQ(mixed.AddResource(s), 0);
  ASSERT_EQ(mixed.AddResource(l2), 0);
  ASSERT_EQ(mixed.SetupSync(), 0);
  EXPECT_EQ(mixed.AcquireResource(SIZE_TYPE_LARGE), l2);
  EXPECT_EQ(mixed.AcquireResource(SIZE_TYPE_LARGE), s);
  mixed.ReleaseResource(s);
  mixed.ReleaseResource(l2);
  EXPECT_EQ(mixed.AcquireResource(7), s);  // any other type prefers the small list
  EXPECT_EQ(mixed.AcquireResource(SIZE_TYPE_SMALL), l2);
  mixed.Close();
  pool.Close();
}

TEST(CMemMapResourcePool, ReleaseLookUpAndArming) {
  TempDir dir;
  Pool pool(1);
  CMemMapResource* a = MakeResource(pool, dir, 1, SIZE_TYPE_SMALL);
  CMemMapResource* b = MakeResource(pool, dir, 2, SIZE_TYPE_LARGE);
  CMemMapResource* odd = MakeResource(pool, dir, 3, 2);
  EXPECT_EQ(pool.AddResource(odd), -1);
  EXPECT_EQ(pool.AddResource(nullptr), -1);
  pool.DestroyResource(odd);
  pool.DestroyResource(nullptr);
  ASSERT_EQ(pool.AddResource(a), 0);
  ASSERT_EQ(pool.AddResource(b), 0);
  EXPECT_EQ(pool.GetResourceCount(), 2u);
  ASSERT_EQ(pool.SetupSync(), 0);
  // Armed once: the first semaphore stays, with its count.
  HANDLE semaphore = pool.GetSemaphore();
  EXPECT_EQ(pool.SetupSync(), -1);
  EXPECT_EQ(pool.GetSemaphore(), semaphore);
  EXPECT_EQ(SemaphoreCount(semaphore), 2);

  {
    DBG::CLogCapture capture;
    ASSERT_EQ(pool.AcquireResource(SIZE_TYPE_SMALL), a);
    EXPECT_EQ(capture.Texts(DBG::LEVEL_DEBUG_STRING),
              std::vector<std::string>{
                  "current m_FreeSmallResources : 0 , m_FreeLargeResources : 1, m_InUseResources : 1"});
  }
  std::memcpy(a->GetDataBaseAddr(), "msg", 3);
  a->SetDataSize(3);
  EXPECT_EQ(pool.FindResourceW(1), nullptr);  // in use: not looked up
  EXPECT_EQ(pool.FindResourceW(2), b);
  EXPECT_EQ(pool.FindResourceW(99), nullptr);
  EXPECT_EQ(pool.GetFreeCount(), 1u);

  // A resource not in use here changes nothing.
  EXPECT_EQ(pool.ReleaseResource(b), 0);
  EXPECT_EQ(pool.GetFreeCount(), 1u);
  EXPECT_EQ(SemaphoreCount(semaphore), 1);

  EXPECT_EQ(pool.ReleaseResource(a), 0);
  EXPECT_EQ(a->GetDataSize(), 0);
  EXPECT_EQ(pool.GetFreeCount(), 2u);
  EXPECT_EQ(SemaphoreCount(semaphore), 2);
  EXPECT_EQ(pool.ReleaseResource(a), 0);  // twice: the second changes nothing
  EXPECT_EQ(SemaphoreCount(semaphore), 2);

  // Closed: resources gone, files kept; the pool can be filled and armed again.
  EXPECT_EQ(pool.Close(), 0);
  EXPECT_EQ(pool.GetResourceCount(), 0u);
  EXPECT_EQ(pool.GetSemaphore(), nullptr);
  EXPECT_TRUE(fs::exists(dir.File("res1.dat")));
  EXPECT_EQ(pool.AcquireResource(SIZE_TYPE_SMALL), nullptr);
  CMemMapResource* again = pool.CreateResource();
  ASSERT_EQ(again->OpenExisting(1, dir.WFile("res1.dat").c_str()), 0);
  ASSERT_EQ(pool.AddResource(again), 0);
  EXPECT_EQ(pool.SetupSync(), 0);
  EXPECT_EQ(pool.AcquireResource(SIZE_TYPE_LARGE), again);
  pool.Close();
}

TEST(CMemMapResourcePool, CandidateThatCannotRenewStaysFirstAndGivesItsUnitBack) {
  TempDir dir;
  Pool pool(1);
  CMemMapResource* a = MakeResource(pool, dir, 1, SIZE_TYPE_SMALL);
  CMemMapResource* b = MakeResource(pool, dir, 2, SIZE_TYPE_SMALL);
  pool.AddResource(a);
  pool.AddResource(b);
  ASSERT_EQ(pool.SetupSync(), 0);
  MemMapResourceHeader& h = HeaderOf(a);
  h.iHeaderSize = 0;  // as a broken peer would leave it
  {
    DBG::CLogCapture capture;
    EXPECT_EQ(pool.AcquireResource(SIZE_TYPE_SMALL), nullptr);
    auto errors = capture.Texts(LOG_ERROR);
    ASSERT_EQ(errors.size(), 3u);
    EXPECT_EQ(errors[1], "CMemMapResourcePool::AcquireResource(), release semaphore");
    EXPECT_EQ(errors[2], "CMemMapResourcePool::AcquireResource() resource->RenewMemMap() fail.");
    auto exits = capture.Texts(LOG_TRACE_EXIT);
    EXPECT_EQ(std::count(exits.begin(), exits.end(), "CMemMapResourcePool::AcquireResource"), 0);
  }
  EXPECT_EQ(SemaphoreCount(pool.GetSemaphore()), 2);
  EXPECT_EQ(pool.GetFreeCount(), 2u);
  {
    // Looked up by id, it is refused with one report.
    DBG::CLogCapture capture;
    EXPECT_EQ(pool.FindResourceW(1), nullptr);
    auto reports = capture.Texts(LOG_ERROR_REPORT);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].rfind("HOOK_ERROR: 0 (Line: ", 0), 0u);
  }
  h.iHeaderSize = 548;
  EXPECT_EQ(pool.AcquireResource(SIZE_TYPE_SMALL), a);
  pool.Close();
}

TEST(CMemMapResourcePool, ExportRecordListsFreeSmallFreeLargeInUse) {
  TempDir dir;
  Pool pool(-3);
  CMemMapResource* used = MakeResource(pool, dir, 10, SIZE_TYPE_SMALL);
  CMemMapResource* small = MakeResource(pool, dir, 11, SIZE_TYPE_SMALL);
  CMemMapResource* large = MakeResource(pool, dir, 12, SIZE_TYPE_LARGE);
  pool.AddResource(used);
  pool.AddResource(small);
  pool.AddResource(large);
  ASSERT_EQ(pool.SetupSync(), 0);
  ASSERT_EQ(pool.AcquireResource(SIZE_TYPE_SMALL), used);

  Pool::CResPoolRegisterInfo* info = pool.ExportPoolRegisterInfo();
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->iInfoSize, 1592);
  EXPECT_EQ(info->iEntryCount, 3);
  const int ids[] = {11, 12, 10};
  const auto* bytes = reinterpret_cast<const unsigned char*>(info);
  for (int i = 0; i < 3; ++i) {
    const auto* entry = bytes + 8 + 528 * i;
    int32_t poolId, resourceId;
    std::memcpy(&poolId, entry, 4);
    std::memcpy(&resourceId, entry + 4, 4);
    EXPECT_EQ(poolId, -3);
    EXPECT_EQ(resourceId, ids[i]);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(entry + 8)),
              dir.WFile("res" + std::to_string(ids[i]) + ".dat"));
    EXPECT_EQ(info->Entry(i)->iResourceId, ids[i]);
  }
  Pool::CResPoolRegisterInfo copy{};
  copy = *info;
  EXPECT_EQ(std::memcmp(&copy, info, sizeof(copy)), 0);
  EXPECT_EQ(pool.FreePoolRegisterInfo(info), 0);
  pool.Close();
}

TEST(CMemMapResourcePool, UniqueIdsStartOverAfterClose) {
  Pool pool(1);
  EXPECT_EQ(pool.GetUniqueResourceId(), 1);
  EXPECT_EQ(pool.GetUniqueResourceId(), 2);
  pool.Close();
  EXPECT_EQ(pool.GetUniqueResourceId(), 1);

  std::vector<std::thread> threads;
  std::vector<std::vector<int>> seen(4);
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 1000; ++i) seen[t].push_back(pool.GetUniqueResourceId());
    });
  for (auto& th : threads) th.join();
  std::vector<int> all;
  for (auto& s : seen) all.insert(all.end(), s.begin(), s.end());
  std::sort(all.begin(), all.end());
  EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
  EXPECT_EQ(all.front(), 2);
  EXPECT_EQ(all.back(), 4001);
}

TEST(CMemMapResourcePool, BlockedAcquireIsWokenByRelease) {
  TempDir dir;
  Pool pool(1);
  CMemMapResource* a = MakeResource(pool, dir, 1, SIZE_TYPE_SMALL);
  CMemMapResource* b = MakeResource(pool, dir, 2, SIZE_TYPE_LARGE);
  pool.AddResource(a);
  pool.AddResource(b);
  ASSERT_EQ(pool.SetupSync(), 0);
  ASSERT_EQ(pool.AcquireResource(SIZE_TYPE_SMALL), a);
  ASSERT_EQ(pool.AcquireResource(SIZE_TYPE_SMALL), b);

  std::atomic<bool> returned{false};
  CMemMapResource* got = nullptr;
  DBG::CLogCapture capture;
  std::thread waiter([&] {
    got = pool.AcquireResource(SIZE_TYPE_SMALL);
    returned = true;
  });
  // The waiter has entered the acquire (its entry line precedes the wait); nothing is free, so
  // it cannot have returned. One release then wakes it with the released resource.
  while (capture.Texts(LOG_TRACE_ENTER).empty()) std::this_thread::yield();
  EXPECT_FALSE(returned.load());
  EXPECT_EQ(pool.ReleaseResource(b), 0);
  waiter.join();
  EXPECT_EQ(got, b);
  EXPECT_EQ(pool.GetFreeCount(), 0u);
  EXPECT_EQ(SemaphoreCount(pool.GetSemaphore()), 0);
  pool.Close();
}

TEST(CMemMapResourcePool, StressMoreThreadsThanResources) {
  TempDir dir;
  Pool pool(1);
  constexpr int kResources = 3, kThreads = 8, kRounds = 2000;
  std::vector<CMemMapResource*> resources;
  for (int i = 0; i < kResources; ++i) {
    resources.push_back(MakeResource(pool, dir, i + 1, i == 0 ? SIZE_TYPE_LARGE : SIZE_TYPE_SMALL));
    pool.AddResource(resources.back());
  }
  ASSERT_EQ(pool.SetupSync(), 0);
  std::atomic<int> holders[kResources] = {};
  std::atomic<int> failures{0}, doubleHolds{0}, overlaps{0}, held{0};

  std::mutex doneMutex;
  std::condition_variable doneCv;
  int finished = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      std::mt19937 rng(static_cast<unsigned>(t));
      for (int round = 0; round < kRounds; ++round) {
        CMemMapResource* r = pool.AcquireResource(static_cast<int>(rng() % 2));
        if (r == nullptr) {
          ++failures;
          continue;
        }
        if (held.fetch_add(1) + 1 > kResources) ++overlaps;
        const int index = r->GetResourceId() - 1;
        if (holders[index].fetch_add(1) != 0) ++doubleHolds;
        static_cast<unsigned char*>(r->GetDataBaseAddr())[0] = static_cast<unsigned char>(t);
        r->SetDataSize(1);
        holders[index].fetch_sub(1);
        held.fetch_sub(1);
        pool.ReleaseResource(r);
      }
      std::lock_guard lock(doneMutex);
      ++finished;
      doneCv.notify_one();
    });
  {
    // A watchdog: a lost semaphore unit would hang the threads, so fail instead of waiting on.
    std::unique_lock lock(doneMutex);
    if (!doneCv.wait_for(lock, std::chrono::minutes(2), [&] { return finished == kThreads; })) {
      ADD_FAILURE() << "acquirers still blocked: a semaphore unit was lost";
      std::abort();
    }
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(doubleHolds.load(), 0);
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(pool.GetFreeCount(), static_cast<uint64_t>(kResources));
  EXPECT_EQ(SemaphoreCount(pool.GetSemaphore()), kResources);
  for (CMemMapResource* r : resources) EXPECT_EQ(r->GetDataSize(), 0);
  pool.Close();
}

#if !defined(_WIN32)
// The limit comes from a registry file on POSIX; the variable is restored afterwards.
class RegistryFile {
 public:
  explicit RegistryFile(const fs::path& path) {
    const char* old = std::getenv("MAILHOOK_REGISTRY");
    if (old) m_old = old, m_hadOld = true;
    setenv("MAILHOOK_REGISTRY", path.c_str(), 1);
  }
  ~RegistryFile() {
    if (m_hadOld) {
      setenv("MAILHOOK_REGISTRY", m_old.c_str(), 1);
    } else {
      unsetenv("MAILHOOK_REGISTRY");
    }
  }

 private:
  std::string m_old;
  bool m_hadOld = false;
};

TEST(CMemMapResourcePool, FileSizeLimitFromTheRegistry) {
  TempDir dir;
  const fs::path reg = dir.File("registry.reg");
  RegistryFile env(reg);
  auto write = [&](const std::string& value) {
    std::ofstream(reg) << "Windows Registry Editor Version 5.00\r\n\r\n"
                          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\Corvane\\CurrentVersion]\r\n"
                       << value << "\r\n";
  };
  struct Case {
    const char* what;
    std::string value;
    uint64_t limit;
  };
  const Case cases[] = {
      {"512 KiB is raised to 1 MiB", "\"MaxAllowedMemMapFileSize\"=dword:00080000", 0x100000},
      {"32 MiB", "\"MaxAllowedMemMapFileSize\"=dword:02000000", 0x2000000},
      {"exactly 1 MiB", "\"MaxAllowedMemMapFileSize\"=dword:00100000", 0x100000},
      {"no value", "\"Other\"=dword:02000000", 0xF00000},
      {"a string value", "\"MaxAllowedMemMapFileSize\"=\"33554432\"", 0xF00000},
      {"corrupt file", "\"MaxAllowedMemMapFileSize\"=dword:zz", 0xF00000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    write(c.value);
    DBG::CLogCapture capture;
    Pool pool(1);
    EXPECT_EQ(pool.GetMaxAllowedMemMapFileSize(), c.limit);
    EXPECT_EQ(
        capture.Texts(LOG_TRACE_DETAIL),
        std::vector<std::string>{"CMemMapResourcePool::CMemMapResourcePool MaxAllowedMemMapFileSize = " +
                                 std::to_string(c.limit)});
    // Every resource the pool makes carries the limit: it maps no more of a long file.
    CMemMapResource* r = pool.CreateResource();
    pool.DestroyResource(r);
  }
  fs::remove(reg);
  Pool missing(1);
  EXPECT_EQ(missing.GetMaxAllowedMemMapFileSize(), 0xF00000u);

  // The limit reaches the resources: an adopted 3 MiB file is mapped only to 1 MiB.
  write("\"MaxAllowedMemMapFileSize\"=dword:00080000");
  Pool limited(1);
  CMemMapResource* big = MakeResource(limited, dir, 1, SIZE_TYPE_LARGE, 4 << 20);
  ASSERT_EQ(big->Grow(3 << 20), 0);
  CMemMapResource* adopted = limited.CreateResource();
  ASSERT_EQ(adopted->OpenExisting(1, dir.WFile("res1.dat").c_str()), 0);
  EXPECT_EQ(adopted->GetCurrentMapSize(), 0x100000);
  limited.DestroyResource(adopted);
  limited.DestroyResource(big);
}
#endif

// ---- Two processes share one resource through the export record.

namespace {

constexpr int kPoolId = 42;
constexpr int kBigData = 8 << 20;  // past the first view and the 6 MiB shrink size, below the maximum

unsigned char Pattern(size_t i, unsigned seed) {
  return static_cast<unsigned char>((i * 131 + seed) >> 3);
}

uint64_t Checksum(const unsigned char* p, size_t n) {
  uint64_t h = 1469598103934665603ull;
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
  return h;
}

}  // namespace

// Adopts every resource of the record file args[0] into its own pool, then for each "renew"
// line from the parent looks resource args[1] up and reports its view and data.
MHTEST_CHILD(adopt_from_record) {
  std::string bytes(static_cast<size_t>(fs::file_size(args.at(0))), '\0');
  std::ifstream(args.at(0), std::ios::binary).read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (bytes.size() < 8) return 2;
  int32_t infoSize, entryCount;
  std::memcpy(&infoSize, bytes.data(), 4);
  std::memcpy(&entryCount, bytes.data() + 4, 4);
  if (entryCount < 1 || static_cast<size_t>(infoSize) != bytes.size() ||
      Pool::CResPoolRegisterInfo::BlockSize(static_cast<size_t>(entryCount)) != bytes.size())
    return 3;
  Pool pool(kPoolId);
  for (int i = 0; i < entryCount; ++i) {
    Pool::CResRegisterEntry entry{};
    std::memcpy(static_cast<void*>(&entry), bytes.data() + 8 + 528 * i, sizeof(entry));
    if (entry.iResourcePoolId != kPoolId) return 4;
    CMemMapResource* r = pool.CreateResource();
    if (r->OpenExisting(entry.iResourceId, entry.szBackingStoreName) != 0) return 5;
    if (pool.AddResource(r) != 0) return 6;
  }
  const int wanted = std::stoi(args.at(1));
  std::string line;
  while (mhtest::ReadParentLine(line) && line == "renew") {
    CMemMapResource* r = pool.FindResourceW(wanted);
    if (r == nullptr) return 7;
    const int size = r->GetDataSize();
    mhtest::TellParent("view " + std::to_string(r->GetCurrentMapSize()) + " data " + std::to_string(size) +
                       " sum " +
                       std::to_string(Checksum(static_cast<unsigned char*>(r->GetDataBaseAddr()), size)));
  }
  pool.Close();
  return 0;
}

TEST(CMemMapResourcePool, ResourceSharedWithAChildProcess) {
  TempDir dir;
  Pool pool(kPoolId);
  CMemMapResource* header = MakeResource(pool, dir, 1, SIZE_TYPE_SMALL);
  CMemMapResource* content = MakeResource(pool, dir, 2, SIZE_TYPE_LARGE, 32 << 20);
  pool.AddResource(header);
  pool.AddResource(content);
  ASSERT_EQ(pool.SetupSync(), 0);

  Pool::CResPoolRegisterInfo* info = pool.ExportPoolRegisterInfo();
  ASSERT_NE(info, nullptr);
  const fs::path record = dir.File("pool.rec");
  std::ofstream(record, std::ios::binary).write(reinterpret_cast<const char*>(info), info->iInfoSize);
  pool.FreePoolRegisterInfo(info);

  // The child adopts the files while they are one page long.
  ASSERT_EQ(pool.AcquireResource(SIZE_TYPE_LARGE), content);
  const int firstView = content->GetCurrentMapSize();
  auto* data = static_cast<unsigned char*>(content->GetDataBaseAddr());
  std::memcpy(data, "first", 5);
  ASSERT_EQ(content->SetDataSize(5), 0);
  mhtest::ChildProcess child("adopt_from_record", {record.string(), "2"});
  ASSERT_TRUE(child.WriteLine("renew"));
  std::string line;
  ASSERT_TRUE(child.ReadLine(line));
  EXPECT_EQ(line, "view " + std::to_string(firstView) + " data 5 sum " + std::to_string(Checksum(data, 5)));

  // A big message, grown past the first view: the child maps exactly data + 548.
  ASSERT_EQ(content->Grow(kBigData), 0);
  ASSERT_GT(content->GetCurrentMapSize(), firstView);
  data = static_cast<unsigned char*>(content->GetDataBaseAddr());
  for (size_t i = 0; i < static_cast<size_t>(kBigData); ++i) data[i] = Pattern(i, 1);
  ASSERT_EQ(content->SetDataSize(kBigData), 0);
  ASSERT_TRUE(child.WriteLine("renew"));
  ASSERT_TRUE(child.ReadLine(line));
  EXPECT_EQ(line, "view " + std::to_string(kBigData + 548) + " data " + std::to_string(kBigData) + " sum " +
                      std::to_string(Checksum(data, kBigData)));

  // A later small message: the child's large view shrinks back to 6 MiB.
  for (size_t i = 0; i < 1000; ++i) data[i] = Pattern(i, 2);
  ASSERT_EQ(content->SetDataSize(1000), 0);
  ASSERT_TRUE(child.WriteLine("renew"));
  ASSERT_TRUE(child.ReadLine(line));
  EXPECT_EQ(line, "view " + std::to_string(CMemMapResource::kShrinkCeiling) + " data 1000 sum " +
                      std::to_string(Checksum(data, 1000)));
  child.CloseInput();
  EXPECT_EQ(child.Wait(), 0);
  pool.ReleaseResource(content);
  pool.Close();
}
