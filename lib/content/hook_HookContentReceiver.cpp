#include "content/hook_HookContentReceiver.h"

#include <new>

#include "content/hook_HookContent.h"
#include "foundation/hook_HookError.h"
#include "foundation/hook_Log.h"
#include "headers/hook_HookHeadersImp.h"
#include "memmap/hook_MemMapResource.h"
#include "pool/hook_MemMapResourcePool.h"
#include "pool/hook_MemMapResourcePoolMgr.h"

static constexpr const char16_t kHookUnit[] = u"hook_HookContentReceiver.cpp";

CHookContentReceiver::CHookContentReceiver()
    : m_iPoolId(0),
      m_bNeedUpdateHeader(0),
      m_bNeedUpdateContent(0),
      m_pInputHeaders(nullptr),
      m_pInputContent(nullptr),
      m_pOutputHeaders(nullptr),
      m_pOutputContent(nullptr),
      m_pPool(nullptr),
      m_iError(-1),
      m_pHeaderResource(nullptr),
      m_pContentResource(nullptr),
      m_pUpdateHeaderResource(nullptr),
      m_bReady(0) {}

CHookContentReceiver::CHookContentReceiver(int pool_id, int header_resource_id, int content_resource_id,
                                           int update_header_resource_id)
    : CHookContentReceiver() {
  m_iPoolId = pool_id;
  HOOK_LOG(LOG_TRACE_ENTER,
           u"CHookContentReceiver::CHookContentReceiver, (pool_id:%d, header_resource_id:%d, "
           u"content_resource_id:%d, "
           u"update_header_resource_id:%d)",
           pool_id, header_resource_id, content_resource_id, update_header_resource_id);
  try {
    m_pPool = CMemMapResourcePoolMgr::Instance()->GetResourcePool(m_iPoolId);
    if (m_pPool == nullptr) HOOK_ERROR(HOOK_ERR_POOL_NOT_FOUND);
    m_pHeaderResource = Claim(header_resource_id);
    m_pContentResource = Claim(content_resource_id);
    m_pUpdateHeaderResource = Claim(update_header_resource_id);

    m_pInputHeaders = new (std::nothrow)
        CInputHookHeadersImp(m_pHeaderResource->GetDataBaseAddr(), m_pHeaderResource->GetDataSize());
    if (m_pInputHeaders == nullptr) HOOK_ERROR(HOOK_ERR_CREATE_READER);
    m_pInputContent = new (std::nothrow)
        CInputHookContentImp(m_pContentResource->GetDataBaseAddr(), m_pContentResource->GetDataSize());
    if (m_pInputContent == nullptr) HOOK_ERROR(HOOK_ERR_CREATE_READER);
    m_bReady = 1;
  } catch (CHookError& e) {
    m_iError = e.Code();
    e.Report();
  }
  HOOK_LOG(LOG_TRACE_EXIT, u"CHookContentReceiver::CHookContentReceiver");
}

CHookContentReceiver::~CHookContentReceiver() {
  HOOK_LOG(LOG_TRACE_ENTER, u"CHookContentReceiver::~CHookContentReceiver");
  delete m_pInputHeaders;
  delete m_pInputContent;
  delete m_pOutputHeaders;
  delete m_pOutputContent;
  if (m_pPool != nullptr)
    for (CMemMapResource* r : {m_pHeaderResource, m_pContentResource, m_pUpdateHeaderResource})
      if (r != nullptr) m_pPool->ReturnResource(r);
  HOOK_LOG(LOG_TRACE_EXIT, u"CHookContentReceiver::~CHookContentReceiver");
}

CMemMapResource* CHookContentReceiver::Claim(int resourceId) {
  bool busy = false;
  CMemMapResource* resource = m_pPool->ClaimResource(resourceId, busy);
  if (busy) HOOK_ERROR(HOOK_ERR_RESOURCE_BUSY);
  if (resource == nullptr) HOOK_ERROR(HOOK_ERR_RESOURCE_NOT_FOUND);
  return resource;
}

CInputHookHeaders* CHookContentReceiver::GetHeaders() {
  return m_pInputHeaders;
}

CInputHookContent* CHookContentReceiver::GetContent() {
  return m_pInputContent;
}

COutputHookHeaders* CHookContentReceiver::GetOutputHookHeaders() {
  HOOK_LOG(LOG_TRACE_ENTER, u"CHookContentReceiver::GetOutputHookHeaders");
  try {
    if (m_pUpdateHeaderResource == nullptr) HOOK_ERROR(HOOK_ERR_GENERAL);
    if (m_pOutputHeaders == nullptr)
      m_pOutputHeaders = new COutputHookHeadersImp(m_pUpdateHeaderResource->GetDataBaseAddr(),
                                                   m_pUpdateHeaderResource->GetDataStorageSize());
  } catch (CHookError& e) {
    e.Report();
    return nullptr;
  }
  HOOK_LOG(LOG_TRACE_EXIT, u"CHookContentReceiver::GetOutputHookHeaders");
  return m_pOutputHeaders;
}

COutputHookContent* CHookContentReceiver::GetOutputHookContent() {
  HOOK_LOG(LOG_TRACE_ENTER, u"CHookContentReceiver::GetOutputHookContent");
  try {
    if (m_pContentResource == nullptr) HOOK_ERROR(HOOK_ERR_GENERAL);
    if (m_pOutputContent == nullptr)
      m_pOutputContent = new COutputHookContentMMapResourceImp(m_pContentResource);
  } catch (CHookError& e) {
    e.Report();
    return nullptr;
  }
  HOOK_LOG(LOG_TRACE_EXIT, u"CHookContentReceiver::GetOutputHookContent");
  return m_pOutputContent;
}

int CHookContentReceiver::SetHeaders(COutputHookHeaders* headers) {
  HOOK_LOG(LOG_TRACE_ENTER, u"CHookContentReceiver::SetHeaders");
  try {
    if (headers == nullptr || headers != m_pOutputHeaders) HOOK_ERROR(HOOK_ERR_INVALID_ARG);
    if (m_pUpdateHeaderResource == nullptr) HOOK_ERROR(HOOK_ERR_GENERAL);
    m_pUpdateHeaderResource->SetDataSize(static_cast<int>(headers->GetDataLength()));
    m_bNeedUpdateHeader = 1;
  } catch (CHookError& e) {
    e.Report();
    return -1;
  }
  HOOK_LOG(LOG_TRACE_EXIT, u"CHookContentReceiver::SetHeaders");
  return 0;
}

int CHookContentReceiver::SetContent(COutputHookContent* content) {
  HOOK_LOG(LOG_TRACE_ENTER, u"CHookContentReceiver::SetContent");
  try {
    if (content == nullptr || content != m_pOutputContent) HOOK_ERROR(HOOK_ERR_INVALID_ARG);
    if (m_pContentResource == nullptr) HOOK_ERROR(HOOK_ERR_GENERAL);
    m_pContentResource->SetDataSize(static_cast<int>(content->GetContentSize()));
    m_bNeedUpdateContent = 1;
  } catch (CHookError& e) {
    e.Report();
    return -1;
  }
  HOOK_LOG(LOG_TRACE_EXIT, u"CHookContentReceiver::SetContent");
  return 0;
}

void CHookContentReceiver::CloseMemResourceDependonFileSize() {
  HOOK_LOG(LOG_TRACE_ENTER, u"CloseMemResourceDependonFileSize");
  if (m_pContentResource) m_pContentResource->CloseByLimitedFileSize();
  if (m_pHeaderResource) m_pHeaderResource->CloseByLimitedFileSize();
  if (m_pUpdateHeaderResource) m_pUpdateHeaderResource->CloseByLimitedFileSize();
  HOOK_LOG(LOG_TRACE_EXIT, u"CloseMemResourceDependonFileSize");
}
