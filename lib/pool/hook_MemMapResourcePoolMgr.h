// CMemMapResourcePoolMgr: the one object per process that knows every resource pool by its
// (signed) pool id. Creates pools on demand, finds them, forwards acquire, release and arming
// to the right pool, and closes them all at shutdown.
//
// Ownership: the manager owns the pools in its table; Close closes and destroys them, the
// destructor only frees the table.
// Locks: m_Lock guards the table and is held only for look-up and while a new pool is made and
// registered; pool operations run outside it, under the pool's own lock. Close and
// CloseSingleton take no lock: they run at shutdown, when no other thread uses the manager.
#pragma once

#include <atomic>
#include <map>

#include "foundation/hook_Lock.h"
#include "mailhook_export.h"
#include "pool/hook_MemMapResourcePool.h"

class MAILHOOK_API CMemMapResourcePoolMgr {
 public:
  // The single instance, created on first use (any thread).
  static CMemMapResourcePoolMgr* Instance();
  // Destroys the instance (after Close); a later Instance() makes a new, empty manager.
  static void CloseSingleton();

  CMemMapResourcePoolMgr();
  virtual ~CMemMapResourcePoolMgr();
  CMemMapResourcePoolMgr(const CMemMapResourcePoolMgr&) = delete;
  CMemMapResourcePoolMgr& operator=(const CMemMapResourcePoolMgr&) = delete;

  // The pool registered under poolId, created and registered if there is none.
  CMemMapResourcePool* CreateResourcePool(int poolId);
  CMemMapResourcePool* GetResourcePool(int poolId);
  // The pool's Close(); the emptied pool stays registered. -1 if none is registered.
  int CloseResourcePool(int poolId);
  // Closes and destroys the pool and forgets its id, for a process that must not keep a pool
  // per id ever used (the service, whose hooks come and go). No other thread may be using the
  // pool. -1 if none is registered.
  int RemoveResourcePool(int poolId);
  CMemMapResource* AcquireResource(int poolId, int sizeType);
  // Back to the pool named by the resource's own pool id; -1 if that pool is not registered.
  int ReleaseResource(CMemMapResource* resource);
  int SetupSync(int poolId);
  // Closes and destroys every pool, in ascending id order. Returns 0.
  int Close();

 private:
  Lock m_Lock;
  std::map<int, CMemMapResourcePool*> m_ResourcePools;

  static std::atomic<CMemMapResourcePoolMgr*> m_Instance;
  // Defined in foundation/hook_Statics.cpp, so that it is constructed before the client
  // manager's lock.
  static Lock m_Lock_Singleton;
};
