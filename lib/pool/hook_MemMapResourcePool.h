// CMemMapResourcePool: the shared-memory resources of one pool id in one process.
//
// Writing side: AcquireResource(sizeType) hands out a free resource, waiting on a counting
// semaphore (one unit per free resource) while none is free, and ReleaseResource gives it back.
// Reading side: FindResourceW looks a free resource up by id and leaves it in its list;
// ClaimResource does the same for one request at a time: a resource claimed by one request is
// refused to every other until ReturnResource, so no request re-maps a view another one is
// reading through.
// Free lists are served last in, first out; a size type is a preference, served from the other
// list when its own is empty.
//
// Ownership: the pool owns every resource in its lists; Close closes and destroys them, the
// destructor only frees the bookkeeping.
// Locks: m_Lock guards the lists and is never held while waiting on the semaphore.
// FindResourceW, ExportPoolRegisterInfo, GetResourceCount and SetupSync read the lists without
// it: they belong to the filling phase and to the reading side, which only looks resources up.
// ClaimResource and ReturnResource take it for the claims.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <list>
#include <vector>

#include "foundation/hook_Lock.h"
#include "mailhook_export.h"
#include "memmap/hook_MemMapResource.h"

class MAILHOOK_API CMemMapResourcePool {
 public:
  static constexpr uint64_t kDefaultMaxAllowedMemMapFileSize = 0xF00000;
  static constexpr uint64_t kMinMaxAllowedMemMapFileSize = 0x100000;

  // One resource in the export record: 528 bytes, little-endian, no pointers.
  struct MAILHOOK_API CResRegisterEntry {
    int32_t iResourcePoolId;
    int32_t iResourceId;
    char16_t szBackingStoreName[CMemMapResource::kNameLength];

    CResRegisterEntry& operator=(const CResRegisterEntry& other);
    CResRegisterEntry& operator=(CResRegisterEntry&& other) noexcept;
  };

  // The export record: one block of iInfoSize = 8 + 528 x iEntryCount bytes. The declared
  // type has room for one entry; use Entry(i) to reach the others.
  struct MAILHOOK_API CResPoolRegisterInfo {
    int32_t iInfoSize;
    int32_t iEntryCount;
    CResRegisterEntry Entries[1];

    CResPoolRegisterInfo& operator=(const CResPoolRegisterInfo& other);
    CResPoolRegisterInfo& operator=(CResPoolRegisterInfo&& other) noexcept;

    static constexpr size_t BlockSize(size_t entryCount) {
      return 8 + sizeof(CResRegisterEntry) * entryCount;
    }
    CResRegisterEntry* Entry(size_t i) {
      return reinterpret_cast<CResRegisterEntry*>(reinterpret_cast<unsigned char*>(this) + BlockSize(i));
    }
    const CResRegisterEntry* Entry(size_t i) const {
      return reinterpret_cast<const CResRegisterEntry*>(reinterpret_cast<const unsigned char*>(this) +
                                                        BlockSize(i));
    }
  };

  explicit CMemMapResourcePool(int poolId);
  virtual ~CMemMapResourcePool();
  CMemMapResourcePool(const CMemMapResourcePool&) = delete;
  CMemMapResourcePool& operator=(const CMemMapResourcePool&) = delete;

  // A new resource of this pool with the pool's file-size limit; not opened, not listed.
  CMemMapResource* CreateResource();
  // Destroys a resource that is not in the pool; null is accepted. Returns 0.
  int DestroyResource(CMemMapResource* resource);
  // Appends to the free list of the resource's size type; -1 (nothing kept) for other types.
  int AddResource(CMemMapResource* resource);
  // Arms the pool: a semaphore counting every listed resource. -1 for an empty pool, and for a
  // pool already armed (its semaphore is kept: threads may be waiting on it).
  int SetupSync();

  // Blocks until a resource is free; null when the pool is not armed or the candidate's view
  // cannot be renewed.
  CMemMapResource* AcquireResource(int sizeType);
  // Gives an acquired resource back (its data size becomes 0). Always 0; a resource that is
  // not in use here changes nothing.
  int ReleaseResource(CMemMapResource* resource);
  // A free resource with this id, its view renewed; null if none (or it cannot be renewed).
  CMemMapResource* FindResourceW(int resourceId);
  // FindResourceW for one user at a time: null with busy set when another holder has the
  // resource claimed (its view is not touched), null with busy clear as FindResourceW. The
  // holder gives the resource back with ReturnResource before the pool is closed.
  CMemMapResource* ClaimResource(int resourceId, bool& busy);
  void ReturnResource(CMemMapResource* resource);
  // Closes and destroys every resource and the semaphore; the pool can be filled again.
  int Close();

  // Null for an empty pool; the caller frees the record with FreePoolRegisterInfo.
  CResPoolRegisterInfo* ExportPoolRegisterInfo();
  int FreePoolRegisterInfo(CResPoolRegisterInfo* info);

  uint64_t GetResourceCount() const;
  int GetResourcePoolId() { return m_iResourcePoolId; }
  int GetUniqueResourceId();
  uint64_t GetMaxAllowedMemMapFileSize() const { return m_ullMaxAllowedMemMapFileSize; }

  // Diagnostics: the resources in the free lists (taken under the lock), and the semaphore
  // (null when not armed), so that a check can compare its count with them.
  uint64_t GetFreeCount();
  HANDLE GetSemaphore() const { return m_hSemaphore.load(std::memory_order_acquire); }

 private:
  void GiveBackUnit();

  std::list<CMemMapResource*> m_FreeSmallResources;
  std::list<CMemMapResource*> m_FreeLargeResources;
  std::list<CMemMapResource*> m_InUseResources;
  // Each handed-out resource and its node in m_InUseResources, side by side in one array: a
  // release finds its resource here rather than by walking list nodes that other threads have
  // just spliced (a cache miss per node). Reserved as resources are added, so it never grows
  // while messages are carried.
  struct InUse {
    CMemMapResource* resource;
    std::list<CMemMapResource*>::iterator at;
  };
  std::vector<InUse> m_InUseIndex;
  std::vector<CMemMapResource*> m_Claimed;  // under m_Lock; a handful at a time
  // Atomic because waiters read it without the lock while Close may clear it.
  std::atomic<HANDLE> m_hSemaphore;
  Lock m_Lock;
  int m_iResourcePoolId;
  std::atomic<int32_t> m_lUniqueResourceId;
  uint64_t m_ullMaxAllowedMemMapFileSize;
};

static_assert(offsetof(CMemMapResourcePool::CResRegisterEntry, iResourcePoolId) == 0);
static_assert(offsetof(CMemMapResourcePool::CResRegisterEntry, iResourceId) == 4);
static_assert(offsetof(CMemMapResourcePool::CResRegisterEntry, szBackingStoreName) == 8);
static_assert(sizeof(CMemMapResourcePool::CResRegisterEntry) == 528);
static_assert(offsetof(CMemMapResourcePool::CResPoolRegisterInfo, iInfoSize) == 0);
static_assert(offsetof(CMemMapResourcePool::CResPoolRegisterInfo, iEntryCount) == 4);
static_assert(offsetof(CMemMapResourcePool::CResPoolRegisterInfo, Entries) == 8);
static_assert(sizeof(CMemMapResourcePool::CResPoolRegisterInfo) == 536);
