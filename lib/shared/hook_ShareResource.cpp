#include "shared/hook_ShareResource.h"

#include "foundation/hook_Log.h"
#include "memmap/hook_MemMapResource.h"
#include "pool/hook_MemMapResourcePool.h"
#include "pool/hook_MemMapResourcePoolMgr.h"

static constexpr const char16_t kHookUnit[] = u"hook_ShareResource.cpp";

int CHookSharedResource::m_iIdSeed = 0;

CHookSharedResource::CHookSharedResource()
    : m_iPoolId(0),
      m_iResourceId(0),
      m_pHeaderResource(nullptr),
      m_pContentResource(nullptr),
      m_pUpdateHeaderResource(nullptr) {}

CHookSharedResource::~CHookSharedResource() {
  HOOK_LOG(LOG_TRACE_ENTER, u"CHookSharedResource::~CHookSharedResource");
  Close();
  HOOK_LOG(LOG_TRACE_EXIT, u"CHookSharedResource::~CHookSharedResource");
}

int CHookSharedResource::Init(int poolId, int resourceId, int commandId, int arg2, const char16_t*, uint64_t,
                              uint64_t) {
  HOOK_LOG(LOG_TRACE_ENTER, u"CHookSharedResource::Init");
  m_iResourceId = resourceId;
  m_iPoolId = poolId;
  CRpcCommunicationResource::Init(commandId, arg2);
  HOOK_LOG(LOG_TRACE_EXIT, u"CHookSharedResource::Init");
  return 0;
}

int CHookSharedResource::GetMemResources() {
  HOOK_LOG(LOG_TRACE_ENTER, u"CHookSharedResource::GetMemResources");
  CMemMapResourcePool* pool = CMemMapResourcePoolMgr::Instance()->GetResourcePool(m_iPoolId);
  if (pool != nullptr) {
    m_pHeaderResource = pool->AcquireResource(0);
    m_pContentResource = pool->AcquireResource(1);
    m_pUpdateHeaderResource = pool->AcquireResource(0);
  } else {
    m_pHeaderResource = m_pContentResource = m_pUpdateHeaderResource = nullptr;
  }
  HOOK_LOG(LOG_TRACE_RESOURCE, u"Header memory mapping resource aquired from resource pool:%p", m_pHeaderResource);
  HOOK_LOG(LOG_TRACE_RESOURCE, u"Content memory mapping resource aquired from resource pool:%p", m_pContentResource);
  HOOK_LOG(LOG_TRACE_RESOURCE, u"UpdateHeader memory mapping resource aquired from resource pool:%p",
           m_pUpdateHeaderResource);
  HOOK_LOG(LOG_TRACE_EXIT, u"CHookSharedResource::GetMemResources");
  return 0;
}

int CHookSharedResource::Close() {
  HOOK_LOG(LOG_TRACE_ENTER, u"CHookSharedResource::Close");
  if (m_pHeaderResource != nullptr) {
    CMemMapResourcePoolMgr::Instance()->ReleaseResource(m_pHeaderResource);
    HOOK_LOG(LOG_TRACE_RESOURCE, u"Header memory mapping resource released: %p", m_pHeaderResource);
    m_pHeaderResource = nullptr;
  }
  if (m_pContentResource != nullptr) {
    CMemMapResourcePoolMgr::Instance()->ReleaseResource(m_pContentResource);
    HOOK_LOG(LOG_TRACE_RESOURCE, u"Content memory mapping resource released: %p", m_pContentResource);
    m_pContentResource = nullptr;
  }
  if (m_pUpdateHeaderResource != nullptr) {
    CMemMapResourcePoolMgr::Instance()->ReleaseResource(m_pUpdateHeaderResource);
    HOOK_LOG(LOG_TRACE_RESOURCE, u"UpdateHeader memory mapping resource released: %p", m_pUpdateHeaderResource);
    m_pUpdateHeaderResource = nullptr;
  }
  HOOK_LOG(LOG_TRACE_EXIT, u"CHookSharedResource::Close");
  return 0;
}

int CHookSharedResource::GetUniqueID() { return ++m_iIdSeed; }

void CHookSharedResource::ResetUniqueID() { m_iIdSeed = 0; }
