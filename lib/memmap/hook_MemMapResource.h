// CMemMapResource: one backing file mapped by two processes, a 548-byte shared header in front
// of a data area that holds one message's header list or content.
//
// The process that writes fills the data area (growing its view with Grow) and records the
// valid length with SetDataSize; the other process, holding its own object over the same file,
// calls RenewMemMap before each use and maps more of the file when the recorded size no longer
// fits its view. Only the file is shared: each process has its own mapping and view.
//
// The header comes from another process and can change at any time. Every size taken from it
// is read once (atomically), checked and only then used; a header whose sizes make no sense is
// refused (-1), and nothing read from it can make this process read or write outside its own
// view or extend the file beyond what the header's checked maximum allows.
//
// No lock: one thread uses an object at a time (the pool serialises hand-out).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "mailhook_export.h"
#include "memmap/hook_MemMap.h"

enum ResourceSizeType : int {
  SIZE_TYPE_SMALL = 0,  // header and update-header resources
  SIZE_TYPE_LARGE = 1,  // content resources
};

// The first 548 bytes of every backing file and of every view: little-endian 32-bit integers,
// no padding, then the data area. Written by Open; the size fields are read and written
// through std::atomic_ref because the peer process reads and writes them concurrently.
struct MemMapResourceHeader {
  int32_t iHeaderSize;               // always 548: the offset of the data area
  int32_t iDataStorageSize;          // data area inside the view of whoever mapped last
  int32_t iDefaultSize;              // default map length, header included, page-rounded
  int32_t iCurrentMapSize;           // length of the view of whoever mapped last
  int32_t iMaxSize;                  // maximum map length, header included, page-rounded
  int32_t iDataSize;                 // valid bytes in the data area
  int32_t iSizeType;                 // SIZE_TYPE_SMALL or SIZE_TYPE_LARGE
  char16_t szBackingStoreName[260];  // UTF-16LE, unit 259 always 0
};
static_assert(offsetof(MemMapResourceHeader, iHeaderSize) == 0);
static_assert(offsetof(MemMapResourceHeader, iDataStorageSize) == 4);
static_assert(offsetof(MemMapResourceHeader, iDefaultSize) == 8);
static_assert(offsetof(MemMapResourceHeader, iCurrentMapSize) == 12);
static_assert(offsetof(MemMapResourceHeader, iMaxSize) == 16);
static_assert(offsetof(MemMapResourceHeader, iDataSize) == 20);
static_assert(offsetof(MemMapResourceHeader, iSizeType) == 24);
static_assert(offsetof(MemMapResourceHeader, szBackingStoreName) == 28);
static_assert(sizeof(MemMapResourceHeader) == 548);
static_assert(alignof(MemMapResourceHeader) == 4);

class MAILHOOK_API CMemMapResource {
 public:
  static constexpr int kHeaderSize = 548;
  static constexpr int kShrinkCeiling = 0x600000;  // a view left larger than this shrinks back
  static constexpr int kShrinkDivisor = 5;
  static constexpr int kNameLength = 260;
  // The longest view this class maps or accepts from a peer's header: a page multiple that a
  // signed 32-bit length still holds.
  static constexpr int kMaxMapLength = 0x7FFF0000;

  explicit CMemMapResource(int poolId);
  // Closes the view, the mapping and the file; the file stays on disk.
  virtual ~CMemMapResource();
  CMemMapResource(const CMemMapResource&) = delete;
  CMemMapResource& operator=(const CMemMapResource&) = delete;

  // Creates or opens the file, maps RoundUp(defaultSize + 548) bytes (extending a shorter
  // file) and writes a fresh header. defaultSize and maxSize are data sizes (low 32 bits);
  // -1 when either total length is beyond kMaxMapLength, the name does not fit the 260-unit
  // field whole (a cut name would send the peer to another file), or the file cannot be
  // opened or mapped.
  int Open(int resourceId, int sizeType, const char16_t* backingStoreName, uint64_t defaultSize,
           uint64_t maxSize);
  // Adopts a file that already holds a header: maps the whole file, or its first rounded
  // size-limit bytes. -1 when it cannot be opened or mapped, or it is shorter than the header,
  // or the header is not sane: iHeaderSize other than 548, a size type other than 0 and 1,
  // default or maximum length not a page multiple in (548, kMaxMapLength], a data size
  // negative, beyond the maximum less 548 or beyond the end of the file.
  int OpenExisting(int resourceId, const char16_t* backingStoreName);
  int Close();

  // These four raise HOOK_ERROR(HOOK_ERR_GENERAL) when the resource is not mapped.
  void* GetDataBaseAddr();
  // The recorded data size, never more than this process's view holds (call RenewMemMap to
  // see what the peer wrote beyond it).
  int GetDataSize();
  // The data area of the current view, never more than this process's own view holds.
  int GetDataStorageSize();
  // Room for dataSize bytes of data: 0 (re-mapped if needed), -1 beyond the maximum size.
  int Grow(int dataSize);

  // Records the data size when 0 <= size <= GetDataStorageSize(); otherwise ignored. Returns 0.
  int SetDataSize(int size);
  int GetMaxDataStorageSize() { return m_iMaxSize - kHeaderSize; }
  int GetCurrentMapSize() { return static_cast<int>(m_MemMap.Size()); }
  int GetResourceId() { return m_iResourceId; }
  int GetResourcePoolId() { return m_iResourcePoolId; }
  int GetSizeType() { return m_iSizeType; }
  const char16_t* GetBackingStoreName() { return m_szBackingStoreName; }
  bool IsMapped() const { return m_pHeader != nullptr; }

  // Brings this process's view in line with the shared header: maps exactly data size + 548
  // when the data has outgrown the view, shrinks a large view when the data is small, maps an
  // unmapped resource again from the file it holds open (never by name: the name may lead to
  // another file by now). -1 on failure, a closed file or a header that is not sane.
  int RenewMemMap();

  void SetMaxAllowedFileSize(uint64_t size) { m_ullMaxAllowedFileSize = size; }
  // Drops the view when the file is larger than the size limit; the file stays open.
  void CloseByLimitedFileSize();
  // Truncates a file larger than the size limit back to the default length: 1 if done.
  int ResizeMappingFileDependonFilesize();

 protected:
  int GetDefaultSize() { return m_iDefaultSize; }
  int GetMaxSize() { return m_iMaxSize; }
  int AdjustMapSize(int mapSize);
  // The next multiple of the system page size at or above size (32-bit arithmetic).
  static int RoundUp(int size);

 private:
  static int PageSize();
  int OwnStorageSize() const;
  // Maps the open file (up to the size limit) and adopts its header if it is sane; -1, with
  // nothing mapped, if not. The name is only for the log.
  int MapExisting(const char16_t* nameForLog);
  int MappingLimit() const;

  CMemMap m_MemMap;
  MemMapResourceHeader* m_pHeader;
  int m_iDefaultSize;
  int m_iMaxSize;
  int m_iSizeType;
  int m_iResourceId;
  int m_iResourcePoolId;
  uint64_t m_ullMaxAllowedFileSize;
  char16_t m_szBackingStoreName[kNameLength];

  // 0 until first needed; racing first calls store the same value.
  static std::atomic<int> m_iPageSize;
};
