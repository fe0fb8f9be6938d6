#include "memmap/hook_MemMap.h"

#include <cstdint>

#include "foundation/hook_Log.h"

static constexpr const char16_t kHookUnit[] = u"hook_MemMap.cpp";

namespace {

// Handles travel in "%d" fields of the trace; only the low bits matter for reading a trace.
int HandleForLog(HANDLE h) {
  return static_cast<int>(reinterpret_cast<intptr_t>(h));
}

// Copies at most n-1 units and always terminates at index n-1.
void CopyName(char16_t* dst, size_t n, const char16_t* src) {
  size_t i = 0;
  if (src)
    for (; i + 1 < n && src[i] != 0; ++i) dst[i] = src[i];
  for (; i < n; ++i) dst[i] = 0;
}

}  // namespace

CMemMap::CMemMap()
    : m_pAddr(nullptr),
      m_szFileName{},
      m_ullSize(0),
      m_hFile(INVALID_HANDLE_VALUE),
      m_hFileMapping(nullptr),
      m_bDeleteOnRemove(false) {}

CMemMap::CMemMap(void* hFile, int len, void* baseAddr, int32_t offset, SECURITY_ATTRIBUTES* sa) : CMemMap() {
  MapIt(hFile, len, baseAddr, offset, sa);
}

CMemMap::CMemMap(const char16_t* name, int len, bool deleteOnRemove, void* baseAddr, int32_t offset,
                 SECURITY_ATTRIBUTES* sa)
    : CMemMap() {
  m_bDeleteOnRemove = deleteOnRemove;
  Map(name, len, baseAddr, offset, sa);
}

CMemMap::~CMemMap() {
  Remove();
}

int CMemMap::Open(const char16_t* name, SECURITY_ATTRIBUTES* sa) {
  HOOK_LOG(LOG_TRACE_ENTER, u"CMemMap::Open(), filename=%s", name);
  if (m_hFile != INVALID_HANDLE_VALUE) {
    ::CloseHandle(m_hFile);
    m_hFile = INVALID_HANDLE_VALUE;
  }
  CopyName(m_szFileName, kMaxPath, name);
  m_hFile =
      ::CreateFileW(WinStr(m_szFileName), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    sa, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  HOOK_LOG(LOG_TRACE_EXIT, u"CMemMap::Open(), filename=%s, FileHandle=%d", name, HandleForLog(m_hFile));
  return m_hFile != INVALID_HANDLE_VALUE ? 0 : -1;
}

int CMemMap::Map(int len, void* baseAddr, int32_t offset, SECURITY_ATTRIBUTES* sa) {
  return MapIt(m_hFile, len, baseAddr, offset, sa);
}

int CMemMap::Map(void* hFile, int len, void* baseAddr, int32_t offset, SECURITY_ATTRIBUTES* sa) {
  return MapIt(hFile, len, baseAddr, offset, sa);
}

int CMemMap::Map(const char16_t* name, int len, void* baseAddr, int32_t offset, SECURITY_ATTRIBUTES* sa) {
  m_ullSize = 0;
  if (Open(name, sa) == -1) return -1;
  return MapIt(m_hFile, len, baseAddr, offset, sa);
}

int CMemMap::MapByLimitedSize(uint64_t limit, void* baseAddr, int32_t offset, SECURITY_ATTRIBUTES* sa) {
  if (m_hFile == INVALID_HANDLE_VALUE) return -1;
  DWORD fileSize = ::GetFileSize(m_hFile, nullptr);
  HOOK_LOG(LOG_TRACE_DETAIL, u"file size = %d   len = %d", static_cast<int>(fileSize),
           static_cast<int>(limit));
  uint64_t length = fileSize >= limit ? limit : fileSize;
  if (length > static_cast<uint64_t>(INT32_MAX)) return -1;  // no view length fits
  return MapIt(m_hFile, static_cast<int>(length), baseAddr, offset, sa);
}

int CMemMap::MapIt(void* hFile, int len, void* /*baseAddr*/, int32_t offset, SECURITY_ATTRIBUTES* sa) {
  HOOK_LOG(LOG_TRACE_ENTER, u"CMemMap::MapIt(), FileHandle=%d, RequestLen=%d, offset=%d", HandleForLog(hFile),
           len, offset);
  BOOL unmapped = TRUE;
  if (m_pAddr != nullptr) {
    unmapped = ::UnmapViewOfFile(m_pAddr);
    m_pAddr = nullptr;
  }
  if (m_hFileMapping != nullptr) {
    ::CloseHandle(m_hFileMapping);
    m_hFileMapping = nullptr;
  }
  if (!unmapped) return -1;

  DWORD fileSize = ::GetFileSize(hFile, nullptr);
  // Sizes that cannot describe a view are refused here, before they turn into a huge or
  // negative mapping request.
  uint64_t maximum;
  if (len == -1) {
    if (offset < 0 || static_cast<uint64_t>(offset) > fileSize) {
      m_ullSize = 0;
      HOOK_LOG(LOG_TRACE_EXIT,
               u"CMemMap::MapIt(), MapViewOfFileEx(), MapLen=%d, offset=%d, NewBaseAddr=0x%p, err=%d", 0,
               offset, m_pAddr, static_cast<int>(ERROR_INVALID_PARAMETER));
      return -1;
    }
    m_ullSize = fileSize - static_cast<uint64_t>(offset);
    maximum = m_ullSize;
  } else {
    if (len < 0 || offset < 0) {
      m_ullSize = 0;
      HOOK_LOG(LOG_TRACE_EXIT,
               u"CMemMap::MapIt(), MapViewOfFileEx(), MapLen=%d, offset=%d, NewBaseAddr=0x%p, err=%d", len,
               offset, m_pAddr, static_cast<int>(ERROR_INVALID_PARAMETER));
      return -1;
    }
    m_ullSize = static_cast<uint64_t>(len);
    maximum = static_cast<uint32_t>(static_cast<uint64_t>(len) + static_cast<uint64_t>(offset));
  }

  m_hFileMapping = ::CreateFileMappingW(hFile, sa, PAGE_READWRITE, 0, static_cast<DWORD>(maximum), nullptr);
  if (m_hFileMapping == nullptr) {
    HOOK_LOG(LOG_ERROR_MAPPING, u"CMemMap::MapIt(), CreateFileMapping() fail, err=%d",
             static_cast<int>(::GetLastError()));
    return -1;
  }
  HOOK_LOG(LOG_TRACE_DETAIL, u"CMemMap::MapIt(), BaseAddr=0x%p", m_pAddr);
  m_pAddr = ::MapViewOfFileEx(m_hFileMapping, FILE_MAP_ALL_ACCESS, 0, static_cast<DWORD>(offset),
                              static_cast<SIZE_T>(m_ullSize), m_pAddr);
  int err = m_pAddr == nullptr ? static_cast<int>(::GetLastError()) : 0;
  HOOK_LOG(LOG_TRACE_EXIT,
           u"CMemMap::MapIt(), MapViewOfFileEx(), MapLen=%d, offset=%d, NewBaseAddr=0x%p, err=%d",
           static_cast<int>(m_ullSize), offset, m_pAddr, err);
  return m_pAddr != nullptr ? 0 : -1;
}

int CMemMap::Unmap() {
  int result = 0;
  if (m_pAddr != nullptr) {
    if (!::UnmapViewOfFile(m_pAddr)) result = -1;
    m_pAddr = nullptr;
  }
  if (m_hFileMapping != nullptr) {
    ::CloseHandle(m_hFileMapping);
    m_hFileMapping = nullptr;
  }
  return result;
}

int CMemMap::Close() {
  Unmap();
  if (m_hFile == INVALID_HANDLE_VALUE) return -1;
  BOOL closed = ::CloseHandle(m_hFile);
  m_hFile = INVALID_HANDLE_VALUE;
  return closed ? 0 : -1;
}

int CMemMap::CloseHandle() {
  if (m_hFile == INVALID_HANDLE_VALUE) return -1;
  BOOL closed = ::CloseHandle(m_hFile);
  m_hFile = INVALID_HANDLE_VALUE;
  return closed ? 0 : -1;
}

int CMemMap::CloseFileMappingHandle() {
  if (m_hFileMapping == nullptr) return -1;
  BOOL closed = ::CloseHandle(m_hFileMapping);
  m_hFileMapping = nullptr;
  return closed ? 0 : -1;
}

int CMemMap::Remove() {
  Close();
  if (m_szFileName[0] != 0 && m_bDeleteOnRemove) return ::DeleteFileW(WinStr(m_szFileName)) ? 0 : -1;
  return 0;
}

bool CMemMap::CloseByLimitedFileSize(uint32_t limit, bool keepFile) {
  HOOK_LOG(LOG_TRACE_DETAIL, u"CloseByLimitedFileSize dwLimitedSize %d", static_cast<int>(limit));
  if (m_hFile == INVALID_HANDLE_VALUE) return false;
  DWORD fileSize = ::GetFileSize(m_hFile, nullptr);
  HOOK_LOG(LOG_TRACE_DETAIL, u"Mem map file size =%d", static_cast<int>(fileSize));
  if (fileSize <= limit) return false;
  HOOK_LOG(LOG_TRACE_DETAIL, u"The Mem map size is larger than max allowed size, close the Mem map");
  if (keepFile)
    Unmap();
  else
    Close();
  return true;
}

bool CMemMap::ResizeMappingFile(uint32_t threshold, uint32_t newSize) {
  if (m_hFile == INVALID_HANDLE_VALUE) return false;
  DWORD fileSize = ::GetFileSize(m_hFile, nullptr);
  if (fileSize <= threshold) return false;
  HOOK_LOG(LOG_TRACE_DETAIL, u"The new mapping file size = %d", static_cast<int>(newSize));
  if (Unmap() == -1) return false;
  if (::SetFilePointer(m_hFile, static_cast<LONG>(newSize), nullptr, FILE_BEGIN) ==
      INVALID_SET_FILE_POINTER) {
    HOOK_LOG(LOG_ERROR_REPORT, u"SetFilePointer failed, the error = %x",
             static_cast<unsigned>(::GetLastError()));
    return true;
  }
  if (!::SetEndOfFile(m_hFile)) {
    HOOK_LOG(LOG_ERROR_REPORT, u"Resize mapping file failed %x", static_cast<unsigned>(::GetLastError()));
    return true;
  }
  return true;
}

int CMemMap::operator()(void*& addr) const {
  if (m_pAddr == nullptr) return -1;
  addr = m_pAddr;
  return 0;
}
