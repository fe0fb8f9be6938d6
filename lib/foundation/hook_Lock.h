// Lock strategies. Lock wraps one critical section (recursive for its holder, blocking for
// everyone else, no time-out); NoLock has the same interface and does nothing. acquire and
// release are plain, non-virtual calls, so a class template picks its strategy at compile time.
#pragma once

#include "mailhook_export.h"
#include "win32/win32.h"

class MAILHOOK_API Lock {
 public:
  Lock() { InitializeCriticalSection(&m_cs); }
  virtual ~Lock() { DeleteCriticalSection(&m_cs); }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

  int acquire() {
    EnterCriticalSection(&m_cs);
    return 0;
  }
  int release() {
    LeaveCriticalSection(&m_cs);
    return 0;
  }

 private:
  CRITICAL_SECTION m_cs;
};

class MAILHOOK_API NoLock {
 public:
  NoLock() = default;
  virtual ~NoLock() = default;
  int acquire() { return 0; }
  int release() { return 0; }
};

// Holds a lock for the life of a block: acquired on construction, released exactly once on
// every way out (release() may end the hold early).
template <class LOCK>
class Guard {
 public:
  explicit Guard(LOCK& lock) : m_pLock(&lock), m_iOwner(lock.acquire()) {}
  virtual ~Guard() { release(); }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;

  int release() {
    if (m_iOwner == -1) return 0;
    m_iOwner = -1;
    return m_pLock->release();
  }
  bool Owns() const { return m_iOwner != -1; }

 private:
  LOCK* m_pLock;
  int m_iOwner;
};
