#include "pool/hook_MemMapResourcePool.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "foundation/hook_HookError.h"
#include "foundation/hook_Log.h"
#include "os/os_regkey.h"

static constexpr const char16_t kHookUnit[] = u"hook_MemMapResourcePool.cpp";

namespace {

constexpr char16_t kSettingsKey[] = u"SOFTWARE\\Velmora\\Corvane\\CurrentVersion";
constexpr char16_t kMaxFileSizeValue[] = u"MaxAllowedMemMapFileSize";

// The counts line costs a formatting call on every hand-out. On POSIX the debugger channel is
// the debug-log sink at its own level, so the line is formatted only when that level is on;
// on Windows a debugger may listen at any time.
bool DebugStringWanted() {
#if defined(_WIN32)
  return true;
#else
  return DBG::MayLog(DBG::LEVEL_DEBUG_STRING);
#endif
}

}  // namespace

CMemMapResourcePool::CResRegisterEntry& CMemMapResourcePool::CResRegisterEntry::operator=(
    const CResRegisterEntry& other) {
  std::memmove(static_cast<void*>(this), &other, sizeof(*this));
  return *this;
}

CMemMapResourcePool::CResRegisterEntry& CMemMapResourcePool::CResRegisterEntry::operator=(
    CResRegisterEntry&& other) noexcept {
  std::memmove(static_cast<void*>(this), &other, sizeof(*this));
  return *this;
}

CMemMapResourcePool::CResPoolRegisterInfo& CMemMapResourcePool::CResPoolRegisterInfo::operator=(
    const CResPoolRegisterInfo& other) {
  std::memmove(static_cast<void*>(this), &other, sizeof(*this));
  return *this;
}

CMemMapResourcePool::CResPoolRegisterInfo& CMemMapResourcePool::CResPoolRegisterInfo::operator=(
    CResPoolRegisterInfo&& other) noexcept {
  std::memmove(static_cast<void*>(this), &other, sizeof(*this));
  return *this;
}

CMemMapResourcePool::CMemMapResourcePool(int poolId)
    : m_hSemaphore(nullptr),
      m_iResourcePoolId(poolId),
      m_lUniqueResourceId(0),
      m_ullMaxAllowedMemMapFileSize(kDefaultMaxAllowedMemMapFileSize) {
  OS::CRegKey key;
  DWORD value = 0;
  if (key.Open(HKEY_LOCAL_MACHINE, kSettingsKey, KEY_READ) == 0 &&
      key.QueryValue(value, kMaxFileSizeValue) == 0)
    m_ullMaxAllowedMemMapFileSize = std::max<uint64_t>(value, kMinMaxAllowedMemMapFileSize);
  HOOK_LOG(LOG_TRACE_DETAIL, u"CMemMapResourcePool::CMemMapResourcePool MaxAllowedMemMapFileSize = %u",
           static_cast<unsigned>(m_ullMaxAllowedMemMapFileSize));
}

CMemMapResourcePool::~CMemMapResourcePool() {
  // The resources are Close()'s business; the semaphore is bookkeeping of this object.
  if (HANDLE h = m_hSemaphore.exchange(nullptr)) ::CloseHandle(h);
}

CMemMapResource* CMemMapResourcePool::CreateResource() {
  auto* resource = new CMemMapResource(m_iResourcePoolId);
  resource->SetMaxAllowedFileSize(m_ullMaxAllowedMemMapFileSize);
  return resource;
}

int CMemMapResourcePool::DestroyResource(CMemMapResource* resource) {
  delete resource;
  return 0;
}

int CMemMapResourcePool::AddResource(CMemMapResource* resource) {
  if (resource == nullptr) return -1;
  Guard<Lock> guard(m_Lock);
  m_InUseIndex.reserve(GetResourceCount() + 1);
  switch (resource->GetSizeType()) {
    case SIZE_TYPE_SMALL:
      m_FreeSmallResources.push_back(resource);
      return 0;
    case SIZE_TYPE_LARGE:
      m_FreeLargeResources.push_back(resource);
      return 0;
    default:
      return -1;
  }
}

int CMemMapResourcePool::SetupSync() {
  // Armed once: a second semaphore would strand the threads already waiting on the first, and
  // units handed out under the first would be given back to the second.
  if (m_hSemaphore.load(std::memory_order_acquire) != nullptr) return -1;
  const auto n = static_cast<LONG>(GetResourceCount());
  HANDLE semaphore = ::CreateSemaphoreW(nullptr, n, n, nullptr);
  if (semaphore == nullptr) return -1;
  m_hSemaphore.store(semaphore, std::memory_order_release);
  return 0;
}

void CMemMapResourcePool::GiveBackUnit() {
  if (!::ReleaseSemaphore(m_hSemaphore.load(std::memory_order_acquire), 1, nullptr))
    HOOK_LOG(LOG_ERROR, u"CMemMapResourcePool::AcquireResource(), release semaphore failed. err= %d",
             static_cast<int>(::GetLastError()));
}

CMemMapResource* CMemMapResourcePool::AcquireResource(int sizeType) {
  HOOK_LOG(LOG_TRACE_ENTER, u"CMemMapResourcePool::AcquireResource");
  // Waiting happens before, never under, the pool lock.
  const DWORD wait = ::WaitForSingleObject(m_hSemaphore.load(std::memory_order_acquire), INFINITE);
  if (wait == WAIT_ABANDONED) {
    HOOK_LOG(LOG_ERROR, u"CMemMapResourcePool::AcquireResource, WAIT_ABANDONED");
  } else if (wait == WAIT_FAILED) {
    HOOK_LOG(LOG_ERROR, u"CMemMapResourcePool::AcquireResource, WAIT_FAILED");
  }
  if (wait == WAIT_OBJECT_0) {
    Guard<Lock> guard(m_Lock);
    try {
      std::list<CMemMapResource*>* preferred =
          sizeType == SIZE_TYPE_LARGE ? &m_FreeLargeResources : &m_FreeSmallResources;
      std::list<CMemMapResource*>* other =
          sizeType == SIZE_TYPE_LARGE ? &m_FreeSmallResources : &m_FreeLargeResources;
      std::list<CMemMapResource*>* from =
          !preferred->empty() ? preferred : (!other->empty() ? other : nullptr);
      CMemMapResource* result = nullptr;
      if (from != nullptr) {
        CMemMapResource* candidate = from->front();
        if (candidate == nullptr) HOOK_ERROR(HOOK_ERR_GENERAL);
        if (candidate->RenewMemMap() == 0) {
          m_InUseResources.splice(m_InUseResources.begin(), *from, from->begin());
          m_InUseIndex.push_back({candidate, m_InUseResources.begin()});
          result = candidate;
        }
      }

      if (DebugStringWanted()) {
        char line[260] = {};
        std::snprintf(
            line, sizeof(line),
            "current m_FreeSmallResources : %d , m_FreeLargeResources : %d, m_InUseResources : %d\n",
            static_cast<int>(m_FreeSmallResources.size()), static_cast<int>(m_FreeLargeResources.size()),
            static_cast<int>(m_InUseResources.size()));
        ::OutputDebugStringA(line);
      }

      if (result != nullptr) {
        HOOK_LOG(LOG_TRACE_EXIT, u"CMemMapResourcePool::AcquireResource");
        return result;
      }
      // Nothing handed out: the unit goes back so that another caller can try.
      GiveBackUnit();
      HOOK_LOG(LOG_ERROR, u"CMemMapResourcePool::AcquireResource(), release semaphore");
      HOOK_LOG(LOG_ERROR, u"CMemMapResourcePool::AcquireResource() resource->RenewMemMap() fail.");
      return nullptr;
    } catch (CHookError& e) {
      guard.release();
      e.Report();
      GiveBackUnit();
      HOOK_LOG(LOG_ERROR, u"CMemMapResourcePool::AcquireResource() resource->RenewMemMap() fail.");
    }
  }
  HOOK_LOG(LOG_TRACE_EXIT, u"CMemMapResourcePool::AcquireResource");
  return nullptr;
}

int CMemMapResourcePool::ReleaseResource(CMemMapResource* resource) {
  HOOK_LOG(LOG_TRACE_ENTER, u"CMemMapResourcePool::ReleaseResource");
  Guard<Lock> guard(m_Lock);
  auto in = std::find_if(m_InUseIndex.begin(), m_InUseIndex.end(),
                         [resource](const InUse& u) { return u.resource == resource; });
  if (in != m_InUseIndex.end()) {
    std::list<CMemMapResource*>& to =
        resource->GetSizeType() == SIZE_TYPE_LARGE ? m_FreeLargeResources : m_FreeSmallResources;
    // Moved, not copied: no allocation, and the resource is listed once by construction.
    to.splice(to.begin(), m_InUseResources, in->at);
    *in = m_InUseIndex.back();
    m_InUseIndex.pop_back();
    resource->SetDataSize(0);
    ::ReleaseSemaphore(m_hSemaphore.load(std::memory_order_acquire), 1, nullptr);
  }
  HOOK_LOG(LOG_TRACE_EXIT, u"CMemMapResourcePool::ReleaseResource");
  return 0;
}

CMemMapResource* CMemMapResourcePool::FindResourceW(int resourceId) {
  try {
    for (auto* list : {&m_FreeSmallResources, &m_FreeLargeResources}) {
      for (CMemMapResource* resource : *list) {
        if (resource == nullptr) HOOK_ERROR(HOOK_ERR_GENERAL);
        if (resource->GetResourceId() != resourceId) continue;
        if (resource->RenewMemMap() == -1) {
          resource->CloseByLimitedFileSize();
          HOOK_ERROR(HOOK_ERR_GENERAL);
        }
        return resource;
      }
    }
    return nullptr;
  } catch (CHookError& e) {
    e.Report();
    return nullptr;
  }
}

CMemMapResource* CMemMapResourcePool::ClaimResource(int resourceId, bool& busy) {
  busy = false;
  Guard<Lock> guard(m_Lock);
  try {
    for (auto* list : {&m_FreeSmallResources, &m_FreeLargeResources}) {
      for (CMemMapResource* resource : *list) {
        if (resource == nullptr) HOOK_ERROR(HOOK_ERR_GENERAL);
        if (resource->GetResourceId() != resourceId) continue;
        // Renewing may re-map the view: never while another holder reads through it.
        if (std::find(m_Claimed.begin(), m_Claimed.end(), resource) != m_Claimed.end()) {
          busy = true;
          return nullptr;
        }
        if (resource->RenewMemMap() == -1) {
          resource->CloseByLimitedFileSize();
          HOOK_ERROR(HOOK_ERR_GENERAL);
        }
        m_Claimed.push_back(resource);
        return resource;
      }
    }
    return nullptr;
  } catch (CHookError& e) {
    guard.release();
    e.Report();
    return nullptr;
  }
}

void CMemMapResourcePool::ReturnResource(CMemMapResource* resource) {
  Guard<Lock> guard(m_Lock);
  auto it = std::find(m_Claimed.begin(), m_Claimed.end(), resource);
  if (it != m_Claimed.end()) m_Claimed.erase(it);
}

int CMemMapResourcePool::Close() {
  HOOK_LOG(LOG_TRACE_ENTER, u"CMemMapResourcePool::Close");
  if (HANDLE semaphore = m_hSemaphore.exchange(nullptr)) ::CloseHandle(semaphore);
  Guard<Lock> guard(m_Lock);
  for (auto* list : {&m_FreeSmallResources, &m_FreeLargeResources, &m_InUseResources}) {
    for (CMemMapResource* resource : *list) {
      if (resource == nullptr) continue;
      resource->Close();
      delete resource;
    }
    list->clear();
  }
  m_Claimed.clear();
  m_InUseIndex.clear();
  m_lUniqueResourceId.store(0);
  HOOK_LOG(LOG_TRACE_EXIT, u"CMemMapResourcePool::Close");
  return 0;
}

CMemMapResourcePool::CResPoolRegisterInfo* CMemMapResourcePool::ExportPoolRegisterInfo() {
  const size_t n = static_cast<size_t>(GetResourceCount());
  if (n == 0) return nullptr;
  const size_t bytes = CResPoolRegisterInfo::BlockSize(n);
  void* block = ::operator new(bytes);
  std::memset(block, 0, bytes);
  auto* info = static_cast<CResPoolRegisterInfo*>(block);
  info->iInfoSize = static_cast<int32_t>(bytes);
  info->iEntryCount = static_cast<int32_t>(n);
  size_t i = 0;
  for (auto* list : {&m_FreeSmallResources, &m_FreeLargeResources, &m_InUseResources}) {
    for (CMemMapResource* resource : *list) {
      CResRegisterEntry* entry = info->Entry(i++);
      entry->iResourcePoolId = resource->GetResourcePoolId();
      entry->iResourceId = resource->GetResourceId();
      std::memcpy(entry->szBackingStoreName, resource->GetBackingStoreName(),
                  sizeof(entry->szBackingStoreName));
    }
  }
  return info;
}

int CMemMapResourcePool::FreePoolRegisterInfo(CResPoolRegisterInfo* info) {
  ::operator delete(info);
  return 0;
}

uint64_t CMemMapResourcePool::GetResourceCount() const {
  return m_FreeSmallResources.size() + m_FreeLargeResources.size() + m_InUseResources.size();
}

uint64_t CMemMapResourcePool::GetFreeCount() {
  Guard<Lock> guard(m_Lock);
  return m_FreeSmallResources.size() + m_FreeLargeResources.size();
}

int CMemMapResourcePool::GetUniqueResourceId() {
  return m_lUniqueResourceId.fetch_add(1) + 1;
}
