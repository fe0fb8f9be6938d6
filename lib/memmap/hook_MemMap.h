// CMemMap: one file, one unnamed file mapping over it and one view of that mapping.
//
// Two processes share a file by each opening it by path and mapping it themselves. Every map
// call drops the old view before making the new one, so Addr() can change on every map call
// and callers re-read it afterwards. Mapping a length beyond the end of the file extends the
// file to that length.
//
// Not thread-safe: one object is used by one thread at a time (the pool serialises).
// Failures are results (-1, false, null), never exceptions.
#pragma once

#include <cstdint>

#include "mailhook_export.h"
#include "win32/win32.h"

class MAILHOOK_API CMemMap {
 public:
  static constexpr int kMaxPath = 261;  // a 260-character path and its terminator

  CMemMap();
  // Maps len bytes of a file the caller owns; the handle is never stored or closed here.
  CMemMap(void* hFile, int len, void* baseAddr = nullptr, int32_t offset = 0,
          SECURITY_ATTRIBUTES* sa = nullptr);
  // Opens or creates the file and maps len bytes; deleteOnRemove makes Remove() (and so the
  // destructor) delete the file.
  CMemMap(const char16_t* name, int len, bool deleteOnRemove, void* baseAddr = nullptr, int32_t offset = 0,
          SECURITY_ATTRIBUTES* sa = nullptr);
  virtual ~CMemMap();
  CMemMap(const CMemMap&) = delete;
  CMemMap& operator=(const CMemMap&) = delete;

  // Opens or creates the file (read/write, shared for read and write, not for delete).
  int Open(const char16_t* name, SECURITY_ATTRIBUTES* sa = nullptr);
  // len -1 maps the rest of the file from offset; otherwise exactly len bytes, extending a
  // shorter file. baseAddr is accepted and has no effect: the system places the view.
  int Map(int len, void* baseAddr = nullptr, int32_t offset = 0, SECURITY_ATTRIBUTES* sa = nullptr);
  int Map(void* hFile, int len, void* baseAddr = nullptr, int32_t offset = 0,
          SECURITY_ATTRIBUTES* sa = nullptr);
  int Map(const char16_t* name, int len, void* baseAddr = nullptr, int32_t offset = 0,
          SECURITY_ATTRIBUTES* sa = nullptr);
  // Maps the whole open file, or its first limit bytes if it is longer.
  int MapByLimitedSize(uint64_t limit, void* baseAddr = nullptr, int32_t offset = 0,
                       SECURITY_ATTRIBUTES* sa = nullptr);

  int Unmap();                   // view and mapping go; the file stays open
  int Close();                   // view, mapping and file go; 0 only if a file was open
  int CloseHandle();             // the file handle only
  int CloseFileMappingHandle();  // the mapping handle only
  int Remove();                  // Close(), then delete the file if so configured
  // Close() when the file is larger than limit; true if it closed.
  // keepFile: only the view and the mapping go, so that the same file can be mapped again
  // without looking its name up.
  bool CloseByLimitedFileSize(uint32_t limit, bool keepFile = false);
  // When the file is larger than threshold: drop the view and truncate the file to newSize.
  // True means the view is gone (the truncation itself may have failed, with a line logged:
  // the system refuses to shrink a file that any process still maps).
  bool ResizeMappingFile(uint32_t threshold, uint32_t newSize);

  void* Addr() const { return m_pAddr; }
  uint64_t Size() const { return m_ullSize; }
  const char16_t* FileName() const { return m_szFileName; }
  void* GetHandle() const { return m_hFile; }
  // Stores the view's address in addr and returns 0; -1 (addr untouched) when unmapped.
  int operator()(void*& addr) const;

 private:
  int MapIt(void* hFile, int len, void* baseAddr, int32_t offset, SECURITY_ATTRIBUTES* sa);

  void* m_pAddr;
  char16_t m_szFileName[kMaxPath];
  uint64_t m_ullSize;
  HANDLE m_hFile;
  HANDLE m_hFileMapping;
  bool m_bDeleteOnRemove;
};
