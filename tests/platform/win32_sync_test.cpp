// Semaphores, critical sections, the last error and handles: the Windows behaviour the
// library relies on. Same code on Windows.
#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/win32_test_util.h"

// Long enough never to expire on a loaded machine; a missed wake-up fails instead of hanging.
constexpr DWORD kWatchdogMs = 60000;

TEST(Win32Semaphore, CountsStayWithinTheirBoundsAndEveryReleaseWakesAWaiter) {
  for (auto [initial, maximum] : {std::pair<LONG, LONG>{0, 0}, {0, -1}, {-1, 5}, {6, 5}}) {
    SetLastError(0);
    EXPECT_EQ(CreateSemaphoreW(nullptr, initial, maximum, nullptr), nullptr) << initial << "/" << maximum;
    EXPECT_LAST_ERROR(ERROR_INVALID_PARAMETER);
  }
  HANDLE s = CreateSemaphoreW(nullptr, 2, 5, nullptr);
  ASSERT_NE(s, nullptr);
  LONG previous = -1;
  EXPECT_TRUE(ReleaseSemaphore(s, 1, &previous));
  EXPECT_EQ(previous, 2);
  EXPECT_FALSE(ReleaseSemaphore(s, 3, &previous));  // past the maximum: refused, the count stays 3
  EXPECT_LAST_ERROR(ERROR_TOO_MANY_POSTS);
  EXPECT_TRUE(ReleaseSemaphore(s, 2, &previous));
  EXPECT_EQ(previous, 3);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(WaitForSingleObject(s, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(s, 20), static_cast<DWORD>(WAIT_TIMEOUT));

  // Waiters, blocked or not yet: one release of three units wakes three, then one unit wakes one
  // each time (never more units than the maximum of 5); units are never handed out twice.
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 5; ++i)
    waiters.emplace_back([&] {
      if (WaitForSingleObject(s, kWatchdogMs) == WAIT_OBJECT_0) ++woken;
    });
  EXPECT_TRUE(ReleaseSemaphore(s, 3, nullptr));
  for (int i = 0; i < 2; ++i) EXPECT_TRUE(ReleaseSemaphore(s, 1, nullptr));
  for (auto& t : waiters) t.join();
  EXPECT_EQ(woken.load(), 5);
  EXPECT_EQ(WaitForSingleObject(s, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(CloseHandle(s));

  // Null and closed handles.
  for (HANDLE bad : {HANDLE{nullptr}, s}) {
    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(bad, INFINITE), WAIT_FAILED);
    EXPECT_LAST_ERROR(ERROR_INVALID_HANDLE);
    SetLastError(0);
    EXPECT_FALSE(ReleaseSemaphore(bad, 1, nullptr));
    EXPECT_LAST_ERROR(ERROR_INVALID_HANDLE);
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(bad));
    EXPECT_LAST_ERROR(ERROR_INVALID_HANDLE);
  }
}

TEST(Win32CriticalSection, RecursiveForItsOwnerExclusiveForOthers) {
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
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
  LeaveCriticalSection(&cs);
  EXPECT_FALSE(otherCanEnter());  // still held once
  LeaveCriticalSection(&cs);
  EXPECT_TRUE(otherCanEnter());
  DeleteCriticalSection(&cs);
}

TEST(Win32Error, LastErrorIsPerThread) {
  // Starting and joining a thread may set this thread's last error: read ours in between.
  HANDLE go = CreateSemaphoreW(nullptr, 0, 1, nullptr), done = CreateSemaphoreW(nullptr, 0, 1, nullptr);
  DWORD inThread = 0;
  std::thread other([&] {
    WaitForSingleObject(go, INFINITE);
    inThread = GetLastError();
    SetLastError(ERROR_USER_MAPPED_FILE);
    ReleaseSemaphore(done, 1, nullptr);
  });
  SetLastError(ERROR_DISK_FULL);
  ReleaseSemaphore(go, 1, nullptr);
  WaitForSingleObject(done, INFINITE);
  const DWORD mine = GetLastError();
  other.join();
  EXPECT_EQ(inThread, static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(mine, static_cast<DWORD>(ERROR_DISK_FULL));
  CloseHandle(go);
  CloseHandle(done);
}
