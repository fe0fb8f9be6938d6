// CSharedResourceGroupT: a fixed set of resources handed out one user at a time, first in,
// first out, with a counting semaphore of the free ones. The group owns its resources: Close
// closes and deletes them. RESOURCE must offer Close() and a virtual destructor.
//
// The semaphore is waited on outside the group's lock. The lock is held while the lists
// change and, in ReleaseResource and Close, while the resource's Close gives its memory
// resources back (which takes the pool manager's and a pool's lock inside): group lock first.
#pragma once

#include <algorithm>
#include <cstdint>
#include <list>

#include "foundation/hook_Lock.h"
#include "foundation/hook_Log.h"
#include "win32/win32.h"

inline constexpr const char16_t kHookUnitGroupT[] = u"hook_SharedResourceGroupT.h";

template <class RESOURCE, class LOCK>
class CSharedResourceGroupT {
 public:
  CSharedResourceGroupT() : m_hSemaphore(nullptr) {}
  ~CSharedResourceGroupT() {
    if (m_hSemaphore != nullptr) ::CloseHandle(m_hSemaphore);
  }
  CSharedResourceGroupT(const CSharedResourceGroupT&) = delete;
  CSharedResourceGroupT& operator=(const CSharedResourceGroupT&) = delete;

  int AddResource(RESOURCE* resource) {
    Guard<LOCK> guard(m_Lock);
    m_FreeResources.push_back(resource);
    return 0;
  }

  // Blocks while none is free; null when the group has no semaphore or the wait fails.
  RESOURCE* AcquireResource() {
    if (::WaitForSingleObject(m_hSemaphore, INFINITE) != WAIT_OBJECT_0) return nullptr;
    Guard<LOCK> guard(m_Lock);
    if (m_FreeResources.empty()) {
      // Only reachable if resources were added after the semaphore was made; give the unit back.
      ::ReleaseSemaphore(m_hSemaphore, 1, nullptr);
      return nullptr;
    }
    // Lists are spliced, never re-allocated: a hand-out and a return allocate nothing.
    RESOURCE* resource = m_FreeResources.front();
    m_InUseResources.splice(m_InUseResources.end(), m_FreeResources, m_FreeResources.begin());
    return resource;
  }

  // A resource this group did not hand out is left alone: 0, nothing changes.
  int ReleaseResource(RESOURCE* resource) {
    HOOK_LOG_UNIT(kHookUnitGroupT, LOG_TRACE_ENTER,
                  u"CSharedResourceGroupT<RESOURCE, LOCK>::ReleaseResource");
    Guard<LOCK> guard(m_Lock);
    auto it = std::find(m_InUseResources.begin(), m_InUseResources.end(), resource);
    if (it != m_InUseResources.end()) {
      resource->Close();
      m_FreeResources.splice(m_FreeResources.end(), m_InUseResources, it);
      ::ReleaseSemaphore(m_hSemaphore, 1, nullptr);
    }
    HOOK_LOG_UNIT(kHookUnitGroupT, LOG_TRACE_EXIT, u"CSharedResourceGroupT<RESOURCE, LOCK>::ReleaseResource");
    return 0;
  }

  int Close() {
    HOOK_LOG_UNIT(kHookUnitGroupT, LOG_TRACE_ENTER, u"CSharedResourceGroupT<RESOURCE, LOCK>::Close");
    if (m_hSemaphore != nullptr) ::CloseHandle(m_hSemaphore);
    m_hSemaphore = nullptr;
    Guard<LOCK> guard(m_Lock);
    for (RESOURCE* resource : m_FreeResources) {
      resource->Close();
      delete resource;
    }
    m_FreeResources.clear();
    for (RESOURCE* resource : m_InUseResources) {
      resource->Close();
      delete resource;
    }
    m_InUseResources.clear();
    HOOK_LOG_UNIT(kHookUnitGroupT, LOG_TRACE_EXIT, u"CSharedResourceGroupT<RESOURCE, LOCK>::Close");
    return 0;
  }

  // Arms the group with one unit per free resource. Called again, it replaces the old
  // semaphore rather than leaking it, and counts only what is free at that moment.
  int MakeSemaphore() {
    Guard<LOCK> guard(m_Lock);
    if (m_hSemaphore != nullptr) ::CloseHandle(m_hSemaphore);
    auto total = static_cast<LONG>(m_FreeResources.size() + m_InUseResources.size());
    m_hSemaphore = ::CreateSemaphoreW(nullptr, static_cast<LONG>(m_FreeResources.size()), total, nullptr);
    return m_hSemaphore != nullptr ? 0 : -1;
  }

  size_t FreeCount() {
    Guard<LOCK> guard(m_Lock);
    return m_FreeResources.size();
  }
  size_t InUseCount() {
    Guard<LOCK> guard(m_Lock);
    return m_InUseResources.size();
  }
  HANDLE Semaphore() const { return m_hSemaphore; }

 private:
  HANDLE m_hSemaphore;
  std::list<RESOURCE*> m_FreeResources;
  std::list<RESOURCE*> m_InUseResources;
  LOCK m_Lock;
};
