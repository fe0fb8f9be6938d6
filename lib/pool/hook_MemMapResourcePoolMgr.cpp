#include "pool/hook_MemMapResourcePoolMgr.h"

#include "foundation/hook_HookError.h"
#include "foundation/hook_Log.h"

static constexpr const char16_t kHookUnit[] = u"hook_MemMapResourcePoolMgr.cpp";

std::atomic<CMemMapResourcePoolMgr*> CMemMapResourcePoolMgr::m_Instance{nullptr};

CMemMapResourcePoolMgr* CMemMapResourcePoolMgr::Instance() {
  CMemMapResourcePoolMgr* instance = m_Instance.load(std::memory_order_acquire);
  if (instance != nullptr) return instance;
  Guard<Lock> guard(m_Lock_Singleton);
  instance = m_Instance.load(std::memory_order_relaxed);
  if (instance == nullptr) {
    instance = new CMemMapResourcePoolMgr();
    m_Instance.store(instance, std::memory_order_release);
  }
  return instance;
}

void CMemMapResourcePoolMgr::CloseSingleton() {
  delete m_Instance.exchange(nullptr);
}

CMemMapResourcePoolMgr::CMemMapResourcePoolMgr() = default;

CMemMapResourcePoolMgr::~CMemMapResourcePoolMgr() = default;

CMemMapResourcePool* CMemMapResourcePoolMgr::GetResourcePool(int poolId) {
  Guard<Lock> guard(m_Lock);
  HOOK_LOG(LOG_TRACE_ENTER, u"CMemMapResourcePoolMgr::GetResourcePool, (resource pool count: %d)",
           static_cast<int>(m_ResourcePools.size()));
  auto it = m_ResourcePools.find(poolId);
  if (it == m_ResourcePools.end()) {
    HOOK_LOG(LOG_TRACE_EXIT, u"CMemMapResourcePoolMgr::GetResourcePool, Resource Pool not found");
    return nullptr;
  }
  HOOK_LOG(LOG_TRACE_EXIT, u"CMemMapResourcePoolMgr::GetResourcePool");
  return it->second;
}

CMemMapResourcePool* CMemMapResourcePoolMgr::CreateResourcePool(int poolId) {
  // Held (recursively) from the look-up through the registration, so that two threads asking
  // for one new id never make two pools.
  Guard<Lock> guard(m_Lock);
  if (CMemMapResourcePool* existing = GetResourcePool(poolId)) return existing;
  auto* pool = new CMemMapResourcePool(poolId);
  m_ResourcePools.emplace(poolId, pool);
  return pool;
}

int CMemMapResourcePoolMgr::CloseResourcePool(int poolId) {
  CMemMapResourcePool* pool = GetResourcePool(poolId);
  return pool != nullptr ? pool->Close() : -1;
}

int CMemMapResourcePoolMgr::RemoveResourcePool(int poolId) {
  CMemMapResourcePool* pool = nullptr;
  {
    Guard<Lock> guard(m_Lock);
    auto it = m_ResourcePools.find(poolId);
    if (it == m_ResourcePools.end()) return -1;
    pool = it->second;
    m_ResourcePools.erase(it);
  }
  pool->Close();
  delete pool;
  return 0;
}

CMemMapResource* CMemMapResourcePoolMgr::AcquireResource(int poolId, int sizeType) {
  CMemMapResourcePool* pool = GetResourcePool(poolId);
  return pool != nullptr ? pool->AcquireResource(sizeType) : nullptr;
}

int CMemMapResourcePoolMgr::ReleaseResource(CMemMapResource* resource) {
  try {
    if (resource == nullptr) HOOK_ERROR(HOOK_ERR_INVALID_ARG);
    CMemMapResourcePool* pool = GetResourcePool(resource->GetResourcePoolId());
    if (pool == nullptr) HOOK_ERROR(HOOK_ERR_INVALID_ARG);
    return pool->ReleaseResource(resource);
  } catch (CHookError& e) {
    e.Report();
    return -1;
  }
}

int CMemMapResourcePoolMgr::SetupSync(int poolId) {
  CMemMapResourcePool* pool = GetResourcePool(poolId);
  return pool != nullptr ? pool->SetupSync() : -1;
}

int CMemMapResourcePoolMgr::Close() {
  for (auto& [id, pool] : m_ResourcePools) {
    pool->Close();
    delete pool;
  }
  m_ResourcePools.clear();
  return 0;
}
