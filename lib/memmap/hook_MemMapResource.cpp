#include "memmap/hook_MemMapResource.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>

#include "foundation/hook_HookError.h"
#include "foundation/hook_Log.h"

static constexpr const char16_t kHookUnit[] = u"hook_MemMapResource.cpp";

static_assert(std::endian::native == std::endian::little, "the shared header is little-endian");

std::atomic<int> CMemMapResource::m_iPageSize{0};

namespace {

// The peer reads and writes these fields while we do: 32-bit atomics are lock-free and
// address-free, so they order correctly across the two processes' mappings.
int32_t LoadShared(int32_t& field) {
  return std::atomic_ref<int32_t>(field).load(std::memory_order_acquire);
}
void StoreShared(int32_t& field, int32_t value) {
  std::atomic_ref<int32_t>(field).store(value, std::memory_order_release);
}

// Copies at most n-1 units and zero-fills the rest, so unit n-1 is always 0.
void CopyName(char16_t* dst, size_t n, const char16_t* src) {
  size_t i = 0;
  if (src)
    for (; i + 1 < n && src[i] != 0; ++i) dst[i] = src[i];
  for (; i < n; ++i) dst[i] = 0;
}

// A name the 260-unit fields hold whole, terminator included.
bool NameFits(const char16_t* name) {
  if (name == nullptr) return false;
  for (int i = 0; i < CMemMapResource::kNameLength; ++i)
    if (name[i] == 0) return true;
  return false;
}

char16_t FoldCase(char16_t c) {
  return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

bool SameNameIgnoringCase(const char16_t* a, const char16_t* b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (FoldCase(a[i]) != FoldCase(b[i])) return false;
    if (a[i] == 0) return true;
  }
  return true;
}

// The whole size of an open file; 0 when it cannot be read.
uint64_t FileSizeOf(HANDLE file) {
  if (file == INVALID_HANDLE_VALUE) return 0;
  DWORD high = 0;
  ::SetLastError(NO_ERROR);
  DWORD low = ::GetFileSize(file, &high);
  if (low == INVALID_FILE_SIZE && ::GetLastError() != NO_ERROR) return 0;
  return (static_cast<uint64_t>(high) << 32) | low;
}

// A header's sizes as read once from the shared view.
struct HeaderSnapshot {
  int32_t headerSize;
  int32_t defaultSize;
  int32_t maxSize;
  int32_t dataSize;
  int32_t sizeType;
};

HeaderSnapshot Snapshot(MemMapResourceHeader& h) {
  return {LoadShared(h.iHeaderSize), LoadShared(h.iDefaultSize), LoadShared(h.iMaxSize),
          LoadShared(h.iDataSize), LoadShared(h.iSizeType)};
}

}  // namespace

int CMemMapResource::PageSize() {
  int page = m_iPageSize.load(std::memory_order_relaxed);
  if (page == 0) {
    SYSTEM_INFO info{};
    ::GetSystemInfo(&info);
    page = static_cast<int>(info.dwPageSize);
    m_iPageSize.store(page, std::memory_order_relaxed);
  }
  return page;
}

int CMemMapResource::RoundUp(int size) {
  const auto page = static_cast<uint32_t>(PageSize());
  // Unsigned so that sizes near the top wrap as 32-bit arithmetic does instead of overflowing.
  return static_cast<int>((static_cast<uint32_t>(size) - 1u + page) & ~(page - 1u));
}

namespace {

// RoundUp without wrapping, for totals computed from untrusted or 64-bit inputs.
int64_t RoundUpWide(int64_t size, int page) {
  return (size - 1 + page) & ~static_cast<int64_t>(page - 1);
}

// A map length that a peer's header may carry: room for the header, a page multiple, and a
// length a 32-bit view holds.
bool IsSaneMapLength(int32_t length, int page) {
  return length > CMemMapResource::kHeaderSize && length <= CMemMapResource::kMaxMapLength &&
         length % page == 0;
}

}  // namespace

CMemMapResource::CMemMapResource(int poolId)
    : m_pHeader(nullptr),
      m_iDefaultSize(0),
      m_iMaxSize(0),
      m_iSizeType(0),
      m_iResourceId(0),
      m_iResourcePoolId(poolId),
      // The pool sets the real limit at once; until then the pool's own default applies.
      m_ullMaxAllowedFileSize(0xF00000),
      m_szBackingStoreName{} {}

CMemMapResource::~CMemMapResource() = default;

int CMemMapResource::OwnStorageSize() const {
  const int64_t storage = static_cast<int64_t>(m_MemMap.Size()) - kHeaderSize;
  return static_cast<int>(std::clamp<int64_t>(storage, 0, kMaxMapLength));
}

int CMemMapResource::MappingLimit() const {
  const int64_t rounded = RoundUpWide(static_cast<uint32_t>(m_ullMaxAllowedFileSize), PageSize());
  return static_cast<int>(std::min<int64_t>(rounded, kMaxMapLength));
}

int CMemMapResource::Open(int resourceId, int sizeType, const char16_t* backingStoreName,
                          uint64_t defaultSize, uint64_t maxSize) {
  m_iResourceId = resourceId;
  const int page = PageSize();
  // Only the low 32 bits count; totals that no 32-bit view length holds are refused rather
  // than wrapped into a small or negative length.
  const int64_t defaultLength = RoundUpWide(int64_t{static_cast<uint32_t>(defaultSize)} + kHeaderSize, page);
  const int64_t maxLength = RoundUpWide(int64_t{static_cast<uint32_t>(maxSize)} + kHeaderSize, page);
  // A name cut to fit would send the peer to another file.
  if (defaultLength > kMaxMapLength || maxLength > kMaxMapLength || !NameFits(backingStoreName)) return -1;
  m_iDefaultSize = static_cast<int>(defaultLength);
  m_iMaxSize = static_cast<int>(maxLength);

  m_pHeader = nullptr;
  if (m_MemMap.Map(backingStoreName, m_iDefaultSize, nullptr, 0, nullptr) == -1) return -1;
  m_pHeader = static_cast<MemMapResourceHeader*>(m_MemMap.Addr());
  m_iSizeType = sizeType;

  const auto viewLength = static_cast<int32_t>(m_MemMap.Size());
  MemMapResourceHeader& h = *m_pHeader;
  StoreShared(h.iHeaderSize, kHeaderSize);
  StoreShared(h.iDataStorageSize, viewLength - kHeaderSize);
  StoreShared(h.iDataSize, 0);
  StoreShared(h.iDefaultSize, m_iDefaultSize);
  StoreShared(h.iCurrentMapSize, viewLength);
  StoreShared(h.iMaxSize, m_iMaxSize);
  StoreShared(h.iSizeType, sizeType);
  CopyName(h.szBackingStoreName, kNameLength, backingStoreName);
  CopyName(m_szBackingStoreName, kNameLength, backingStoreName);
  return 0;
}

int CMemMapResource::OpenExisting(int resourceId, const char16_t* backingStoreName) {
  m_iResourceId = resourceId;
  m_pHeader = nullptr;
  if (!NameFits(backingStoreName) || m_MemMap.Open(backingStoreName, nullptr) == -1) return -1;
  if (MapExisting(backingStoreName) == -1) {
    m_MemMap.Close();
    return -1;
  }
  if (backingStoreName != m_szBackingStoreName &&
      !SameNameIgnoringCase(m_szBackingStoreName, backingStoreName, kNameLength))
    CopyName(m_szBackingStoreName, kNameLength, backingStoreName);
  return 0;
}

int CMemMapResource::MapExisting(const char16_t* nameForLog) {
  if (m_MemMap.MapByLimitedSize(static_cast<uint64_t>(MappingLimit()), nullptr, 0, nullptr) == -1) return -1;
  auto* view = static_cast<MemMapResourceHeader*>(m_MemMap.Addr());
  if (view == nullptr) return -1;

  // The file and its header come from the other process: a file shorter than the header, or
  // sizes that could send a later map or copy outside the file, are refused here once.
  const uint64_t fileSize = FileSizeOf(m_MemMap.GetHandle());
  const int page = PageSize();
  const uint64_t viewLength = m_MemMap.Size();
  bool sane = viewLength >= static_cast<uint64_t>(kHeaderSize);
  HeaderSnapshot s{};
  if (sane) {
    s = Snapshot(*view);
    sane = s.headerSize == kHeaderSize && (s.sizeType == SIZE_TYPE_SMALL || s.sizeType == SIZE_TYPE_LARGE) &&
           IsSaneMapLength(s.defaultSize, page) && IsSaneMapLength(s.maxSize, page) && s.dataSize >= 0 &&
           s.dataSize <= s.maxSize - kHeaderSize &&
           static_cast<uint64_t>(s.dataSize) + kHeaderSize <= fileSize;
  }
  if (!sane) {
    HOOK_LOG(LOG_ERROR, u"CMemMapResource::OpenExisting(), the shared header is not valid, file=%s",
             nameForLog);
    m_MemMap.Unmap();
    return -1;
  }

  m_pHeader = view;
  StoreShared(m_pHeader->iCurrentMapSize, static_cast<int32_t>(viewLength));
  m_iSizeType = s.sizeType;
  m_iDefaultSize = s.defaultSize;
  m_iMaxSize = s.maxSize;
  return 0;
}

int CMemMapResource::Close() {
  m_pHeader = nullptr;
  return m_MemMap.Close();
}

void* CMemMapResource::GetDataBaseAddr() {
  if (m_pHeader == nullptr) HOOK_ERROR(HOOK_ERR_GENERAL);
  // The fixed header size, not the shared field: the peer could change that at any time.
  return reinterpret_cast<unsigned char*>(m_pHeader) + kHeaderSize;
}

int CMemMapResource::GetDataSize() {
  if (m_pHeader == nullptr) HOOK_ERROR(HOOK_ERR_GENERAL);
  return std::clamp(LoadShared(m_pHeader->iDataSize), 0, OwnStorageSize());
}

int CMemMapResource::GetDataStorageSize() {
  if (m_pHeader == nullptr) HOOK_ERROR(HOOK_ERR_GENERAL);
  // The shared field describes the view of whoever mapped last, which may be the peer's
  // larger one: our own view bounds what we may touch.
  return std::clamp(LoadShared(m_pHeader->iDataStorageSize), 0, OwnStorageSize());
}

int CMemMapResource::SetDataSize(int size) {
  if (m_pHeader != nullptr && size >= 0 && size <= GetDataStorageSize())
    StoreShared(m_pHeader->iDataSize, size);
  return 0;
}

int CMemMapResource::Grow(int dataSize) {
  if (m_pHeader == nullptr) HOOK_ERROR(HOOK_ERR_GENERAL);
  const int64_t need = RoundUpWide(int64_t{dataSize} + kHeaderSize, PageSize());
  if (need > m_iMaxSize) return -1;
  if (need <= GetDataStorageSize()) return 0;
  return AdjustMapSize(static_cast<int>(need));
}

int CMemMapResource::AdjustMapSize(int mapSize) {
  if (mapSize > m_iMaxSize || mapSize < kHeaderSize) return -1;
  if (m_MemMap.Map(mapSize, nullptr, 0, nullptr) == -1) {
    HOOK_LOG(LOG_ERROR, u"CMemMapResource::AdjustMapSize() m_MemMap.Map() fail.");
    m_pHeader = nullptr;
    return -1;
  }
  m_pHeader = static_cast<MemMapResourceHeader*>(m_MemMap.Addr());
  const auto viewLength = static_cast<int32_t>(m_MemMap.Size());
  StoreShared(m_pHeader->iCurrentMapSize, viewLength);
  StoreShared(m_pHeader->iDataStorageSize, viewLength - kHeaderSize);
  return 0;
}

int CMemMapResource::RenewMemMap() {
  HOOK_LOG(LOG_TRACE_ENTER, u"CMemMapResource::RenewMemMap()");
  // A dropped view is made again from the file this object still holds open, never by name:
  // by now the name may lead elsewhere (the folder swapped for a link, say), and the file
  // behind it has not passed the checks the opened one passed.
  if (m_pHeader == nullptr && MapExisting(m_szBackingStoreName) == -1) {
    HOOK_LOG(LOG_ERROR, u"CMemMap::OpenExisting() reopen memory map fail.");
    return -1;
  }
  HOOK_LOG(LOG_TRACE_DETAIL, u"CMemMapResource::RenewMemMap() before GetDataSize().");

  // Read once: the peer may change the header between any two reads.
  const int32_t headerSize = LoadShared(m_pHeader->iHeaderSize);
  const int32_t dataSize = LoadShared(m_pHeader->iDataSize);
  if (headerSize != kHeaderSize || dataSize < 0 || dataSize > m_iMaxSize - kHeaderSize) {
    HOOK_LOG(LOG_ERROR, u"CMemMapResource::RenewMemMap(), the shared header is not valid, file=%s",
             m_szBackingStoreName);
    return -1;
  }
  const int64_t avail = static_cast<int64_t>(m_MemMap.Size()) - kHeaderSize;
  const int shrinkSize = RoundUp(std::min(m_iMaxSize / kShrinkDivisor, kShrinkCeiling));

  if (dataSize <= avail) {
    if (dataSize + kHeaderSize < shrinkSize && avail + kHeaderSize > shrinkSize)
      return AdjustMapSize(shrinkSize);
  } else {
    // Map no further than the file reaches: a size the file does not hold would extend it.
    if (static_cast<uint64_t>(dataSize) + kHeaderSize > FileSizeOf(m_MemMap.GetHandle())) {
      HOOK_LOG(LOG_ERROR, u"CMemMapResource::RenewMemMap(), the shared header is not valid, file=%s",
               m_szBackingStoreName);
      return -1;
    }
    HOOK_LOG(LOG_TRACE_EXIT, u"CMemMapResource::RenewMemMap(), need to renew memory map");
    if (m_MemMap.Map(dataSize + kHeaderSize, nullptr, 0, nullptr) == -1) {
      m_pHeader = nullptr;
      HOOK_LOG(LOG_ERROR, u"CMemMap::Map() memory map fail.");
      return -1;
    }
    m_pHeader = static_cast<MemMapResourceHeader*>(m_MemMap.Addr());
  }
  const auto viewLength = static_cast<int32_t>(m_MemMap.Size());
  StoreShared(m_pHeader->iCurrentMapSize, viewLength);
  StoreShared(m_pHeader->iDataStorageSize, viewLength - kHeaderSize);
  HOOK_LOG(LOG_TRACE_EXIT, u"CMemMapResource::RenewMemMap()");
  return 0;
}

void CMemMapResource::CloseByLimitedFileSize() {
  // The view (and its memory) goes; the file stays open for RenewMemMap.
  if (m_MemMap.CloseByLimitedFileSize(static_cast<uint32_t>(m_ullMaxAllowedFileSize), true))
    m_pHeader = nullptr;
}

int CMemMapResource::ResizeMappingFileDependonFilesize() {
  // Truncating "back" to a default length the file does not exceed would extend it instead.
  if (m_iDefaultSize <= 0 || static_cast<uint64_t>(m_iDefaultSize) >= FileSizeOf(m_MemMap.GetHandle()))
    return 0;
  if (!m_MemMap.ResizeMappingFile(static_cast<uint32_t>(m_ullMaxAllowedFileSize),
                                  static_cast<uint32_t>(m_iDefaultSize)))
    return 0;
  m_pHeader = nullptr;
  return 1;
}
