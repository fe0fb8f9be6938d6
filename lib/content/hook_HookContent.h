// The content of one message as each side sees it: a forward reader over bytes already in
// memory, and an appending writer straight into a shared-memory resource's data area.
// Neither copies the content into memory of its own.
#pragma once

#include <cstdint>

#include "mailhook_export.h"

class CMessageBlock;
class CMemMapResource;

class MAILHOOK_API CInputHookContent {
 public:
  virtual ~CInputHookContent() = default;
  // Copies up to size bytes from the cursor; 0, or -1 on failure and at the end of the content.
  virtual int Read(void* buffer, uint64_t size, uint64_t& read) = 0;
  // The start of the whole content, for reading it in place.
  virtual void* GetRawMemoryBlock() = 0;
  virtual uint64_t GetContentSize() = 0;
};

class MAILHOOK_API COutputHookContent {
 public:
  virtual ~COutputHookContent() = default;
  // Appends size bytes; 0 with written = size, or -1 with nothing written.
  virtual int Write(void* buffer, uint64_t size, uint64_t& written) = 0;
  // Appends size bytes of room and returns its address (valid until the next growing call).
  virtual void* ReserveWrite(uint64_t size) = 0;
  virtual void* GetRawMemoryBlock() = 0;
  virtual uint64_t GetContentSize() = 0;
  // Truncates the content; never to nothing and never longer.
  virtual void SetContentSize(int size) = 0;
  virtual uint64_t GetMaxDataStorageSize() = 0;
};

// Reads size bytes at pDataBlock in place; the memory must stay valid and unchanged while the
// reader is used. Reading past the end returns -1 and reports it like a failure.
class MAILHOOK_API CInputHookContentImp : public CInputHookContent {
 public:
  CInputHookContentImp(void* pDataBlock, int size);
  ~CInputHookContentImp() override;
  CInputHookContentImp(const CInputHookContentImp&) = delete;
  CInputHookContentImp& operator=(const CInputHookContentImp&) = delete;

  int Read(void* buffer, uint64_t size, uint64_t& read) override;
  void* GetRawMemoryBlock() override { return m_pRawBlock; }
  uint64_t GetContentSize() override { return m_ullContentSize; }

 private:
  CMessageBlock* m_pMessageBlock;
  void* m_pRawBlock;
  uint64_t m_ullContentSize;
};

// Writes from the start of the resource's data area, growing the resource when a write does
// not fit; the data area may move on a grow (or be unmapped by a failed one), so its address
// is re-read from the resource on every call. The content size is not stored in the
// resource: whoever hands the resource over records it.
// The resource is borrowed, never closed or released.
class MAILHOOK_API COutputHookContentMMapResourceImp : public COutputHookContent {
 public:
  explicit COutputHookContentMMapResourceImp(CMemMapResource* resource);
  ~COutputHookContentMMapResourceImp() override = default;
  COutputHookContentMMapResourceImp(const COutputHookContentMMapResourceImp&) = delete;
  COutputHookContentMMapResourceImp& operator=(const COutputHookContentMMapResourceImp&) = delete;

  int Write(void* buffer, uint64_t size, uint64_t& written) override;
  void* ReserveWrite(uint64_t size) override;
  void* GetRawMemoryBlock() override { return m_pDataBase; }
  uint64_t GetContentSize() override { return static_cast<uint64_t>(static_cast<int64_t>(m_iContentSize)); }
  void SetContentSize(int size) override;
  uint64_t GetMaxDataStorageSize() override;

 private:
  // Makes room for size more bytes, growing the resource when needed; raises on failure.
  void MakeRoom(uint64_t size, bool closeOnFailure, bool traceGrow);
  // Takes the resource's current data address and capacity; raises (forgetting both) when the
  // resource is not mapped.
  void SyncView();

  CMemMapResource* m_pResource;
  void* m_pDataBase;
  int32_t m_iDataStorageSize;
  int32_t m_iContentSize;
};
