// CSharedResourceClientMgr: the hook's process-wide keeper of its per-message holders, sorted
// into groups by id. A caller takes a free holder from a group (waiting while none is free),
// uses it for one message, and gives it back, which also returns the message's three memory
// resources to their pool.
//
// Order of use: Instance(); per holder CreateSharedResource(), Init, Connect,
// AddResourceToGroup(); ReadyToUse() once; then AcquireResource/ReleaseResource from any
// threads; at the end Close() then CloseSingleton().
#pragma once

#include <atomic>

#include "foundation/hook_Lock.h"
#include "mailhook_export.h"
#include "shared/hook_ShareResource.h"
#include "shared/hook_SharedResourceGroupT.h"
#include "shared/hook_SharedResourceMgrT.h"

class MAILHOOK_API CSharedResourceClientMgr {
 public:
  using Group = CSharedResourceGroupT<CHookSharedResource, Lock>;
  using Table = CSharedResourceMgrT<Group>;

  static CSharedResourceClientMgr* Instance();
  // Destroys the singleton; Close() comes first.
  static void CloseSingleton();

  CSharedResourceClientMgr();
  virtual ~CSharedResourceClientMgr();
  CSharedResourceClientMgr(const CSharedResourceClientMgr&) = delete;
  CSharedResourceClientMgr& operator=(const CSharedResourceClientMgr&) = delete;

  CHookSharedResource* CreateSharedResource();
  int AddResourceToGroup(int groupId, CHookSharedResource* resource);
  int ReadyToUse();
  CHookSharedResource* AcquireResource(int groupId);
  int ReleaseResource(int groupId, CHookSharedResource* resource);
  int CloseResourceGroup(int groupId);
  int Close();

  // The group with this id, or null; for inspection (counts, semaphore).
  Group* FindGroup(int groupId);

 private:
  Table* m_pResourceMgr;

  static std::atomic<CSharedResourceClientMgr*> m_Instance;
  static Lock m_Lock;
};
