#include <cstring>
#include <new>

#include "content/hook_HookContent.h"
#include "foundation/hook_HookError.h"
#include "foundation/hook_Log.h"
#include "memmap/hook_MemMapResource.h"
#include "xdr/hook_MessageBlock.h"

static constexpr const char16_t kHookUnit[] = u"hook_HookContentImp.cpp";

CInputHookContentImp::CInputHookContentImp(void* pDataBlock, int size)
    : m_pMessageBlock(nullptr), m_pRawBlock(nullptr), m_ullContentSize(0) {
  // A negative size would widen to a huge count, and a null block with a size would make the
  // message block allocate an area of its own and hand out its garbage: neither is content.
  const uint64_t bytes = size > 0 && pDataBlock != nullptr ? static_cast<uint64_t>(size) : 0;
  m_pMessageBlock = new (std::nothrow) CMessageBlock(static_cast<const char*>(pDataBlock), bytes);
  HOOK_LOG(LOG_TRACE_ENTER, u"CInputHookContentImp::CInputHookContentImp(void *pDataBlock(%p), int size(%d))",
           pDataBlock, size);
  try {
    if (m_pMessageBlock == nullptr) HOOK_ERROR(HOOK_ERR_GENERAL);
    m_pMessageBlock->WritePtr(bytes);
    m_pRawBlock = pDataBlock != nullptr ? m_pMessageBlock->ReadPtr() : nullptr;
    m_ullContentSize = m_pMessageBlock->Length();
  } catch (CHookError& e) {
    e.Report();
  }
  HOOK_LOG(LOG_TRACE_EXIT, u"CInputHookContentImp::CInputHookContentImp");
}

CInputHookContentImp::~CInputHookContentImp() {
  if (m_pMessageBlock != nullptr) m_pMessageBlock->Release();
}

int CInputHookContentImp::Read(void* buffer, uint64_t size, uint64_t& read) {
  HOOK_LOG(LOG_TRACE_ENTER, u"CInputHookContentImp::Read");
  try {
    if (buffer == nullptr) HOOK_ERROR(HOOK_ERR_INVALID_ARG);
    if (m_pMessageBlock == nullptr) HOOK_ERROR(HOOK_ERR_GENERAL);
    const uint64_t remaining = m_pMessageBlock->Length();
    if (remaining == 0) {
      read = 0;
      HOOK_ERROR(HOOK_ERR_GENERAL);
    }
    const uint64_t count = remaining < size ? remaining : size;
    std::memcpy(buffer, m_pMessageBlock->ReadPtr(), static_cast<size_t>(count));
    m_pMessageBlock->ReadPtr(count);
    read = count;
  } catch (CHookError& e) {
    e.Report();
    return -1;
  }
  HOOK_LOG(LOG_TRACE_EXIT, u"CInputHookContentImp::Read");
  return 0;
}

COutputHookContentMMapResourceImp::COutputHookContentMMapResourceImp(CMemMapResource* resource)
    : m_pResource(resource), m_pDataBase(nullptr), m_iDataStorageSize(0), m_iContentSize(0) {
  try {
    if (resource == nullptr) HOOK_ERROR(HOOK_ERR_INVALID_ARG);
    m_pDataBase = resource->GetDataBaseAddr();
    m_iDataStorageSize = resource->GetDataStorageSize();
  } catch (CHookError& e) {
    e.Report();
  }
}

void COutputHookContentMMapResourceImp::SyncView() {
  if (!m_pResource->IsMapped()) {
    m_pDataBase = nullptr;
    m_iDataStorageSize = 0;
    HOOK_ERROR(HOOK_ERR_GENERAL);
  }
  m_pDataBase = m_pResource->GetDataBaseAddr();
  m_iDataStorageSize = m_pResource->GetDataStorageSize();
}

void COutputHookContentMMapResourceImp::MakeRoom(uint64_t size, bool closeOnFailure, bool traceGrow) {
  if (m_pResource == nullptr) HOOK_ERROR(HOOK_ERR_GENERAL);
  // The view may have changed since the last call: a failed grow unmaps it, a close by file size
  // drops it, a renewal moves it. Copying through the address remembered from before would
  // write into memory that is no longer the file.
  SyncView();
  const uint64_t need = static_cast<uint64_t>(static_cast<int64_t>(m_iContentSize)) + size;
  if (need <= static_cast<uint64_t>(static_cast<int64_t>(m_iDataStorageSize))) return;
  // Past what a resource can ever hold: Grow takes a 32-bit count, and a cut-down request
  // could look small enough to succeed.
  if (need > static_cast<uint64_t>(INT32_MAX) || m_pResource->Grow(static_cast<int>(need)) == -1) {
    if (closeOnFailure) m_pResource->CloseByLimitedFileSize();
    if (!m_pResource->IsMapped()) {
      m_pDataBase = nullptr;
      m_iDataStorageSize = 0;
    }
    HOOK_ERROR(HOOK_ERR_GROW);
  }
  SyncView();
  if (traceGrow)
    HOOK_LOG(LOG_TRACE_DETAIL, u"CMemMapResource::Grow(), NewDataStorageSize=%d, NewDataBassAddr=0x%p",
             m_iDataStorageSize, m_pDataBase);
}

int COutputHookContentMMapResourceImp::Write(void* buffer, uint64_t size, uint64_t& written) {
  HOOK_LOG(LOG_TRACE_ENTER, u"COutputHookContentMMapResourceImp::Write(), size=%d", static_cast<int>(size));
  try {
    if (m_pResource == nullptr) HOOK_ERROR(HOOK_ERR_GENERAL);
    if (buffer == nullptr && size > 0) HOOK_ERROR(HOOK_ERR_INVALID_ARG);
    MakeRoom(size, true, true);
    if (size > 0) {
      std::memcpy(static_cast<char*>(m_pDataBase) + m_iContentSize, buffer, static_cast<size_t>(size));
    }
    m_iContentSize += static_cast<int32_t>(size);
    written = size;
  } catch (CHookError& e) {
    e.Report();
    return -1;
  }
  HOOK_LOG(LOG_TRACE_EXIT, u"COutputHookContentMMapResourceImp::Write(), written=%d", static_cast<int>(size));
  return 0;
}

void* COutputHookContentMMapResourceImp::ReserveWrite(uint64_t size) {
  HOOK_LOG(LOG_TRACE_ENTER, u"COutputHookContentMMapResourceImp::ReserveWrite");
  void* room = nullptr;
  try {
    MakeRoom(size, false, false);
    room = static_cast<char*>(m_pDataBase) + m_iContentSize;
    m_iContentSize += static_cast<int32_t>(size);
  } catch (CHookError& e) {
    e.Report();
    return nullptr;
  }
  HOOK_LOG(LOG_TRACE_EXIT, u"COutputHookContentMMapResourceImp::ReserveWrite");
  return room;
}

void COutputHookContentMMapResourceImp::SetContentSize(int size) {
  if (size > 0 && size <= m_iContentSize) {
    m_iContentSize = size;
    return;
  }
  HOOK_LOG(LOG_ERROR, u"New content size(%d) can't be larger than original one(%d), and must larget than 0.",
           size, m_iContentSize);
}

uint64_t COutputHookContentMMapResourceImp::GetMaxDataStorageSize() {
  if (m_pResource == nullptr) return 0;
  return static_cast<uint64_t>(static_cast<int64_t>(m_pResource->GetMaxDataStorageSize()));
}
