#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

#include "dbg/dbg_log.h"
#include "win32/win32_posix_internal.h"

static_assert(sizeof(std::recursive_mutex) <= sizeof(CRITICAL_SECTION::Opaque));
static_assert(alignof(std::recursive_mutex) <= alignof(CRITICAL_SECTION));

static std::recursive_mutex& MutexOf(LPCRITICAL_SECTION section) {
  return *std::launder(reinterpret_cast<std::recursive_mutex*>(section->Opaque));
}

void InitializeCriticalSection(LPCRITICAL_SECTION section) {
  new (section->Opaque) std::recursive_mutex;
}
void DeleteCriticalSection(LPCRITICAL_SECTION section) {
  using M = std::recursive_mutex;
  MutexOf(section).~M();
}
void EnterCriticalSection(LPCRITICAL_SECTION section) {
  MutexOf(section).lock();
}
void LeaveCriticalSection(LPCRITICAL_SECTION section) {
  MutexOf(section).unlock();
}
BOOL TryEnterCriticalSection(LPCRITICAL_SECTION section) {
  return MutexOf(section).try_lock() ? TRUE : FALSE;
}

namespace {

// A counting semaphore with Windows' maximum: mutex, condition variable and count.
// Not std::counting_semaphore: releasing past max() is undefined there, and libstdc++ 12
// makes a system call on every release.
struct Semaphore : mhwin::Object {
  Semaphore(LONG initial, LONG maximum) : Object(mhwin::Kind::Semaphore), count(initial), max(maximum) {}
  std::mutex mutex;
  std::condition_variable cv;
  LONG count;
  const LONG max;
  int waiters = 0;
};

}  // namespace

HANDLE CreateSemaphoreW(LPSECURITY_ATTRIBUTES, LONG initialCount, LONG maximumCount, LPCWSTR name) {
  if (name != nullptr) return mhwin::Fail(ERROR_NOT_SUPPORTED, static_cast<HANDLE>(nullptr));
  if (maximumCount <= 0 || initialCount < 0 || initialCount > maximumCount)
    return mhwin::Fail(ERROR_INVALID_PARAMETER, static_cast<HANDLE>(nullptr));
  return mhwin::InsertHandle(std::make_shared<Semaphore>(initialCount, maximumCount));
}

BOOL ReleaseSemaphore(HANDLE semaphore, LONG releaseCount, LPLONG previousCount) {
  auto s = mhwin::Lookup<Semaphore>(semaphore, mhwin::Kind::Semaphore);
  if (!s) return mhwin::Fail(ERROR_INVALID_HANDLE, FALSE);
  if (releaseCount <= 0) return mhwin::Fail(ERROR_INVALID_PARAMETER, FALSE);
  bool wake;
  {
    std::lock_guard lock(s->mutex);
    if (releaseCount > s->max - s->count) return mhwin::Fail(ERROR_TOO_MANY_POSTS, FALSE);
    if (previousCount) *previousCount = s->count;
    s->count += releaseCount;
    wake = s->waiters > 0;
  }
  if (wake) {
    if (releaseCount == 1)
      s->cv.notify_one();
    else
      s->cv.notify_all();
  }
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  auto s = mhwin::Lookup<Semaphore>(handle, mhwin::Kind::Semaphore);
  if (!s) return mhwin::Fail(ERROR_INVALID_HANDLE, WAIT_FAILED);
  std::unique_lock lock(s->mutex);
  if (s->count == 0) {
    if (milliseconds == 0) return WAIT_TIMEOUT;
    ++s->waiters;
    if (milliseconds == INFINITE) {
      s->cv.wait(lock, [&] { return s->count > 0; });
    } else if (!s->cv.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] { return s->count > 0; })) {
      --s->waiters;
      return WAIT_TIMEOUT;
    }
    --s->waiters;
  }
  --s->count;
  return WAIT_OBJECT_0;
}

void GetSystemInfo(LPSYSTEM_INFO info) {
  // Asked once: every view is checked against the granularity, and the processor count costs
  // reading a file under /sys each time.
  static const SYSTEM_INFO system = [] {
    SYSTEM_INFO si{};
    long page = sysconf(_SC_PAGESIZE);
    long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    si.dwPageSize = static_cast<DWORD>(page);
    // mmap offsets need page alignment only; the library maps from offset 0 anyway.
    si.dwAllocationGranularity = static_cast<DWORD>(page);
    si.dwNumberOfProcessors = static_cast<DWORD>(cpus > 0 ? cpus : 1);
    return si;
  }();
  *info = system;
}

DWORD GetCurrentProcessId() {
  return static_cast<DWORD>(getpid());
}
DWORD GetCurrentThreadId() {
  return static_cast<DWORD>(syscall(SYS_gettid));
}

void OutputDebugStringA(LPCSTR outputString) {
  DBG::DebugString(outputString ? outputString : "");
}
