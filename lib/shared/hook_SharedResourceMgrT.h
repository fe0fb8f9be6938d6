// CSharedResourceMgrT: the table of groups by id. It owns the groups (Close destroys them).
// Its lock is held only for a lookup or an insertion, never while a group works, so it is
// never held together with a group's lock.
#pragma once

#include <map>

#include "foundation/hook_Lock.h"
#include "foundation/hook_Log.h"

inline constexpr const char16_t kHookUnitMgrT[] = u"hook_SharedResourceMgrT.h";

template <class RG>
class CSharedResourceMgrT {
 public:
  CSharedResourceMgrT() = default;
  // Frees the table only: the groups are destroyed by Close.
  ~CSharedResourceMgrT() = default;
  CSharedResourceMgrT(const CSharedResourceMgrT&) = delete;
  CSharedResourceMgrT& operator=(const CSharedResourceMgrT&) = delete;

  RG* FindResourceGroup(int groupId) {
    HOOK_LOG_UNIT(kHookUnitMgrT, LOG_TRACE_ENTER, u"CSharedResourceMgrT<_RG>::FindResourceGroup");
    Guard<Lock> guard(m_Lock);
    auto it = m_Groups.find(groupId);
    HOOK_LOG_UNIT(kHookUnitMgrT, LOG_TRACE_EXIT, u"CSharedResourceMgrT<_RG>::FindResourceGroup");
    return it == m_Groups.end() ? nullptr : it->second;
  }

  template <class RESOURCE>
  int AddResourceToGroup(int groupId, RESOURCE* resource) {
    RG* group = FindResourceGroup(groupId);
    if (group == nullptr) {
      Guard<Lock> guard(m_Lock);
      auto it = m_Groups.find(groupId);
      if (it == m_Groups.end()) it = m_Groups.emplace(groupId, new RG).first;
      group = it->second;
    }
    return group->AddResource(resource);
  }

  int ReadyToUse() {
    for (auto& [id, group] : m_Groups) group->MakeSemaphore();
    return 0;
  }

  template <class RESOURCE>
  int ReleaseResource(int groupId, RESOURCE* resource) {
    HOOK_LOG_UNIT(kHookUnitMgrT, LOG_TRACE_ENTER, u"CSharedResourceMgrT<_RG>::ReleaseResource");
    RG* group = FindResourceGroup(groupId);
    if (group == nullptr) {
      HOOK_LOG_UNIT(kHookUnitMgrT, LOG_ERROR, u"Can't find specified resource group");
      return -1;
    }
    HOOK_LOG_UNIT(kHookUnitMgrT, LOG_TRACE_EXIT, u"CSharedResourceMgrT<_RG>::ReleaseResource");
    return group->ReleaseResource(resource);
  }

  // Closes and destroys every group and empties the table, so later lookups find nothing.
  int Close() {
    HOOK_LOG_UNIT(kHookUnitMgrT, LOG_TRACE_ENTER, u"CSharedResourceMgrT<_RG>::Close");
    for (auto& [id, group] : m_Groups) {
      group->Close();
      delete group;
    }
    m_Groups.clear();
    HOOK_LOG_UNIT(kHookUnitMgrT, LOG_TRACE_EXIT, u"CSharedResourceMgrT<_RG>::Close");
    return 0;
  }

 private:
  std::map<int, RG*> m_Groups;
  Lock m_Lock;
};
