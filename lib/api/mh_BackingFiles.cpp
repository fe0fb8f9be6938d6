#include "api/mh_BackingFiles.h"

#include <mailhook/mh_Error.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <system_error>

#include "memmap/hook_MemMapResource.h"
#include "os/os_files.h"
#include "pool/hook_MemMapResourcePool.h"
#include "pool/hook_MemMapResourcePoolMgr.h"

namespace mailhook {

namespace {

constexpr uint64_t kSmallDefault = 64u << 10;
constexpr uint64_t kSmallMax = 4u << 20;
constexpr uint64_t kLargeDefault = 1u << 20;

MemMapResourceHeader* SharedHeader(CMemMapResource* resource) {
  return static_cast<MemMapResourceHeader*>(
      static_cast<void*>(static_cast<char*>(resource->GetDataBaseAddr()) - CMemMapResource::kHeaderSize));
}

}  // namespace

CBackingFiles::CBackingFiles(int poolId, const std::filesystem::path& folder, int holders,
                             uint64_t maxMessage)
    : m_iPoolId(poolId), m_ullMaxMessage(maxMessage) {
  CMemMapResourcePool* pool = CMemMapResourcePoolMgr::Instance()->CreateResourcePool(poolId);
  // Two small resources and one large per holder: a holder never waits for another's.
  for (int h = 0; h < holders; ++h) {
    for (int sizeType : {0, 0, 1}) {
      CMemMapResource* resource = pool->CreateResource();
      const int id = pool->GetUniqueResourceId();
      auto path = folder / ((sizeType == 0 ? "small-" : "large-") + std::to_string(id) + ".mmf");
      std::u16string name = path.u16string();
      // A file left by an earlier run is used again only if it is still private to us.
      std::error_code ec;
      if (std::filesystem::symlink_status(path, ec).type() != std::filesystem::file_type::not_found) {
        if (std::string problem = OS::PrivateFileProblem(path); !problem.empty()) {
          pool->DestroyResource(resource);
          throw CMailhookError(CMailhookError::FILE_REPLACED, "refusing backing file: " + problem);
        }
      }
      if (resource->Open(id, sizeType, name.data(), DefaultFileSize(sizeType), MaxFileSize(sizeType)) != 0) {
        pool->DestroyResource(resource);
        throw CMailhookError(CMailhookError::SYSTEM, "cannot create backing file " + path.string());
      }
      pool->AddResource(resource);
      m_Resources.push_back(resource);
      const MemMapResourceHeader* fresh = SharedHeader(resource);
      if (m_Written.size() <= static_cast<size_t>(id)) m_Written.resize(static_cast<size_t>(id) + 1);
      m_Written[static_cast<size_t>(id)] = {
          resource, {fresh->iHeaderSize, fresh->iDefaultSize, fresh->iMaxSize, fresh->iSizeType}};
    }
  }
  if (pool->SetupSync() != 0) throw CMailhookError(CMailhookError::SYSTEM, "cannot arm the resource pool");
}

uint64_t CBackingFiles::DefaultFileSize(int sizeType) {
  return sizeType == 0 ? kSmallDefault : kLargeDefault;
}

uint64_t CBackingFiles::MaxFileSize(int sizeType) const {
  if (sizeType == 0) return kSmallMax;
  return (m_ullMaxMessage + CMemMapResource::kHeaderSize + 0xFFFF) & ~uint64_t{0xFFFF};
}

uint64_t CBackingFiles::KeptMapping() const {
  CMemMapResourcePool* pool = CMemMapResourcePoolMgr::Instance()->GetResourcePool(m_iPoolId);
  return pool != nullptr ? pool->GetMaxAllowedMemMapFileSize() : 0;
}

bool CBackingFiles::HeadersIntact(const std::vector<CMemMapResource*>& resources) const {
  bool intact = true;
  for (CMemMapResource* res : resources) {
    if (res == nullptr || !res->IsMapped()) continue;
    const size_t id = static_cast<size_t>(res->GetResourceId());
    if (id >= m_Written.size() || m_Written[id].resource != res) continue;
    const WrittenHeader& written = m_Written[id].header;
    // Another process writes these fields; read each once.
    MemMapResourceHeader* h = SharedHeader(res);
    auto load = [](int32_t& field) {
      return std::atomic_ref<int32_t>(field).load(std::memory_order_acquire);
    };
    const WrittenHeader now{load(h->iHeaderSize), load(h->iDefaultSize), load(h->iMaxSize),
                            load(h->iSizeType)};
    const int32_t data = load(h->iDataSize);
    intact = intact && now.headerSize == written.headerSize && now.defaultSize == written.defaultSize &&
             now.maxSize == written.maxSize && now.sizeType == written.sizeType && data >= 0 &&
             data <= res->GetDataStorageSize();
  }
  return intact;
}

// Mapping extends a file shorter than the view again, and the fresh header has no data recorded.
bool CBackingFiles::Mend(const std::vector<CMemMapResource*>& mine,
                         const std::vector<CMemMapResource*>& others) {
  std::unique_lock lock(m_Lists);
  bool ok = true;
  for (CMemMapResource* res : m_Resources) {
    if (std::find(others.begin(), others.end(), res) != others.end()) continue;
    std::filesystem::path path(res->GetBackingStoreName());
    std::error_code ec;
    const uint64_t fileSize = std::filesystem::file_size(path, ec);
    const bool held = std::find(mine.begin(), mine.end(), res) != mine.end();
    if (!held && res->IsMapped() && !ec && fileSize >= static_cast<uint64_t>(res->GetCurrentMapSize()))
      continue;
    std::u16string name = res->GetBackingStoreName();
    res->Close();
    if (!OS::PrivateFileProblem(path).empty() ||
        res->Open(res->GetResourceId(), res->GetSizeType(), name.data(), DefaultFileSize(res->GetSizeType()),
                  MaxFileSize(res->GetSizeType())) != 0)
      ok = false;
  }
  return ok;
}

}  // namespace mailhook
