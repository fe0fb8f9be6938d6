// Semaphores, critical sections, the last error and handles: the Windows behaviour the
// library relies on. Same code on Windows.
#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/win32_test_util.h"
#include "support/test_support.h"

using namespace w32test;

namespace {
// Long enough never to expire on a loaded machine; a missed wake-up fails instead of hanging.
constexpr DWORD kWatchdogMs = 60000;
}  // namespace

TEST(Win32Semaphore, RefusesBadCountsAndKeepsItsCount) {
  const struct { LONG initial, maximum; } bad[] = {{0, 0}, {0, -1}, {-1, 5}, {6, 5}};
  for (const auto& b : bad) {
    SetLastError(0);
    EXPECT_EQ(CreateSemaphoreW(nullptr, b.initial, b.maximum, nullptr), nullptr)
        << b.initial << "/" << b.maximum;
    EXPECT_LAST_ERROR(ERROR_INVALID_PARAMETER);
  }

  HANDLE s = CreateSemaphoreW(nullptr, 2, 5, nullptr);
  ASSERT_NE(s, nullptr);
  LONG previous = -1;
  EXPECT_TRUE(ReleaseSemaphore(s, 1, &previous));
  EXPECT_EQ(previous, 2);
  // Past the maximum: refused, and the count stays 3.
  EXPECT_FALSE(ReleaseSemaphore(s, 3, &previous));
  EXPECT_LAST_ERROR(ERROR_TOO_MANY_POSTS);
  EXPECT_TRUE(ReleaseSemaphore(s, 2, &previous));
  EXPECT_EQ(previous, 3);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(WaitForSingleObject(s, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(s, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(WaitForSingleObject(s, 20), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(CloseHandle(s));

  // Null and closed handles.
  SetLastError(0);
  EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
  EXPECT_LAST_ERROR(ERROR_INVALID_HANDLE);
  SetLastError(0);
  EXPECT_EQ(WaitForSingleObject(s, INFINITE), WAIT_FAILED);
  EXPECT_LAST_ERROR(ERROR_INVALID_HANDLE);
  EXPECT_FALSE(ReleaseSemaphore(s, 1, nullptr));
  EXPECT_LAST_ERROR(ERROR_INVALID_HANDLE);
  SetLastError(0);
  EXPECT_FALSE(CloseHandle(s));
  EXPECT_LAST_ERROR(ERROR_INVALID_HANDLE);
  SetLastError(0);
  EXPECT_FALSE(CloseHandle(nullptr));
  EXPECT_LAST_ERROR(ERROR_INVALID_HANDLE);
}

TEST(Win32Semaphore, BlockedWaitersWakeOnRelease) {
  HANDLE s = CreateSemaphoreW(nullptr, 0, 10, nullptr);
  ASSERT_NE(s, nullptr);
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i)
    waiters.emplace_back([&] {
      if (WaitForSingleObject(s, INFINITE) == WAIT_OBJECT_0) ++woken;
    });
  // One release of three units wakes all three; units are never handed out twice.
  EXPECT_TRUE(ReleaseSemaphore(s, 3, nullptr));
  for (auto& t : waiters) t.join();
  EXPECT_EQ(woken.load(), 3);
  EXPECT_EQ(WaitForSingleObject(s, 0), static_cast<DWORD>(WAIT_TIMEOUT));

  // One at a time: each release wakes one waiter with a finite time-out.
  waiters.clear();
  woken = 0;
  for (int i = 0; i < 4; ++i)
    waiters.emplace_back([&] {
      if (WaitForSingleObject(s, kWatchdogMs) == WAIT_OBJECT_0) ++woken;
    });
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(ReleaseSemaphore(s, 1, nullptr));
  for (auto& t : waiters) t.join();
  EXPECT_EQ(woken.load(), 4);
  CloseHandle(s);
}

TEST(Win32Semaphore, ConcurrentUseConservesTheCount) {
  constexpr LONG kUnits = 3;
  constexpr int kThreads = 6, kRounds = 2000;
  HANDLE s = CreateSemaphoreW(nullptr, kUnits, kUnits, nullptr);
  ASSERT_NE(s, nullptr);
  std::atomic<int> holders{0}, most{0}, failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&] {
      for (int r = 0; r < kRounds; ++r) {
        if (WaitForSingleObject(s, kWatchdogMs) != WAIT_OBJECT_0) {
          ++failures;
          return;
        }
        int now = ++holders;
        int seen = most.load();
        while (now > seen && !most.compare_exchange_weak(seen, now)) {
        }
        --holders;
        if (!ReleaseSemaphore(s, 1, nullptr)) ++failures;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_LE(most.load(), kUnits);
  for (LONG i = 0; i < kUnits; ++i) EXPECT_EQ(WaitForSingleObject(s, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(s, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  CloseHandle(s);
}

TEST(Win32CriticalSection, RecursiveForItsOwnerExclusiveForOthers) {
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  EnterCriticalSection(&cs);
  EnterCriticalSection(&cs);
  EXPECT_TRUE(TryEnterCriticalSection(&cs));
  auto otherCanEnter = [&] {
    BOOL entered = FALSE;
    std::thread([&] {
      entered = TryEnterCriticalSection(&cs);
      if (entered) LeaveCriticalSection(&cs);
    }).join();
    return entered != FALSE;
  };
  EXPECT_FALSE(otherCanEnter());
  LeaveCriticalSection(&cs);
  LeaveCriticalSection(&cs);
  EXPECT_FALSE(otherCanEnter());  // still held once
  LeaveCriticalSection(&cs);
  EXPECT_TRUE(otherCanEnter());

  // Mutual exclusion under contention (the thread sanitizer checks the plain counter).
  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 5000; ++i) {
        EnterCriticalSection(&cs);
        EnterCriticalSection(&cs);
        ++counter;
        LeaveCriticalSection(&cs);
        LeaveCriticalSection(&cs);
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 4 * 5000);
  DeleteCriticalSection(&cs);
}

TEST(Win32Error, LastErrorIsPerThread) {
  // Starting and joining a thread may set this thread's last error: read ours in between.
  HANDLE go = CreateSemaphoreW(nullptr, 0, 1, nullptr);
  HANDLE done = CreateSemaphoreW(nullptr, 0, 1, nullptr);
  ASSERT_NE(go, nullptr);
  ASSERT_NE(done, nullptr);
  DWORD inThread = 0, afterSet = 0;
  std::thread other([&] {
    WaitForSingleObject(go, INFINITE);
    inThread = GetLastError();
    SetLastError(ERROR_USER_MAPPED_FILE);
    afterSet = GetLastError();
    ReleaseSemaphore(done, 1, nullptr);
  });
  SetLastError(ERROR_DISK_FULL);
  ReleaseSemaphore(go, 1, nullptr);
  WaitForSingleObject(done, INFINITE);
  const DWORD mine = GetLastError();
  other.join();
  CloseHandle(go);
  CloseHandle(done);
  EXPECT_EQ(inThread, static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(afterSet, static_cast<DWORD>(ERROR_USER_MAPPED_FILE));
  EXPECT_EQ(mine, static_cast<DWORD>(ERROR_DISK_FULL));
  EXPECT_NE(GetCurrentThreadId(), 0u);
  EXPECT_NE(GetCurrentProcessId(), 0u);
}

TEST(Win32File, FileSizeOfAllOnesLowPartIsASuccess) {
  mhtest::TempDir dir;
  HANDLE file = OpenFile(dir.WFile("big.dat"), CREATE_NEW);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  // 0xFFFFFFFF bytes: a sparse file until something maps it.
  // A position whose low part is all ones is a success told by the last error.
  LONG high = 0;
  SetLastError(ERROR_GEN_FAILURE);
  ASSERT_EQ(SetFilePointer(file, -1, &high, FILE_BEGIN), INVALID_SET_FILE_POINTER);
  ASSERT_LAST_ERROR(NO_ERROR);
  ASSERT_TRUE(SetEndOfFile(file));
  SetLastError(ERROR_GEN_FAILURE);
  DWORD sizeHigh = 7;
  EXPECT_EQ(GetFileSize(file, &sizeHigh), INVALID_FILE_SIZE);
  EXPECT_LAST_ERROR(NO_ERROR);
  EXPECT_EQ(sizeHigh, 0u);
  // Beyond 32 bits through the high part; a negative position is refused.
  high = 1;
  EXPECT_EQ(SetFilePointer(file, 16, &high, FILE_BEGIN), 16u);
  EXPECT_EQ(high, 1);
  EXPECT_EQ(SetFilePointer(file, -100, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
  EXPECT_LAST_ERROR(ERROR_NEGATIVE_SEEK);
  EXPECT_TRUE(Resize(file, 0));
  EXPECT_EQ(SizeOf(file), 0u);
  EXPECT_TRUE(CloseHandle(file));
  EXPECT_EQ(GetFileSize(file, nullptr), INVALID_FILE_SIZE);
  EXPECT_LAST_ERROR(ERROR_INVALID_HANDLE);
}
