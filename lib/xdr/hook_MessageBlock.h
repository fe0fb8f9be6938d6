// CDataBlock and CMessageBlock: the byte buffers that the encoder, the decoder and the header
// and content readers work over.
//
// A CDataBlock owns (or borrows, FLAG_BORROWED) one contiguous area allocated with malloc and
// counts the references held on it; its optional Lock guards that count and nothing else. A
// CMessageBlock is a cursor over one data block: read and write positions kept as offsets from
// the area's start, so that growth may move the area without invalidating any cursor over it,
// plus a continuation link (m_Cont, owned by the chain) and two links for a caller's queue.
//
// Thread use: a message block is used by one thread at a time. A data block shared between
// threads needs a Lock, otherwise its count is plain, unsynchronised arithmetic.
// Failures are results (-1 or null); nothing here logs. Allocating a block object may throw
// std::bad_alloc; allocating an area reports failure instead.
#pragma once

#include <cstdint>

#include "foundation/hook_Lock.h"
#include "mailhook_export.h"

class MAILHOOK_API CDataBlock {
 public:
  // The only flag either block interprets: the area (or, in a message block's own flags, the
  // data block reference) belongs to someone else. Every other bit is the caller's.
  static constexpr uint32_t FLAG_BORROWED = 1;

  CDataBlock();
  // data null: the block allocates size bytes and owns them (FLAG_BORROWED is dropped from
  // flags, since nobody else could free that area). data given: the block uses it as it is
  // and callers pass FLAG_BORROWED. When the area cannot be allocated the block is left empty
  // (size and capacity 0), never with a null area and a non-zero size.
  CDataBlock(uint64_t size, int type, const char* data, Lock* lock, uint32_t flags);
  virtual ~CDataBlock();
  CDataBlock(const CDataBlock&) = delete;
  CDataBlock& operator=(const CDataBlock&) = delete;

  // A new block with its own area holding a copy of this block's whole capacity; null when
  // that area cannot be allocated.
  virtual CDataBlock* Clone(uint32_t mask = 0) const;
  // A new block with a fresh area of this block's capacity (contents not copied), the same
  // type and lock, and this block's flags minus mask and FLAG_BORROWED; null when the area
  // cannot be allocated.
  virtual CDataBlock* CloneNoneCopy(uint32_t mask = 0) const;

  char* Base() const { return m_Base; }
  // Replaces the area (freeing the current one unless it is borrowed); size becomes both the
  // size and the capacity.
  void Base(char* p, uint64_t size, uint32_t flags);

  uint64_t Size() const { return m_CurrentSize; }
  // Sets the size in use; grows the area to exactly n bytes when n is above the capacity.
  // 0, or -1 (block unchanged) when the new area cannot be allocated.
  int Size(uint64_t n);
  uint64_t Capacity() const { return m_MaxSize; }
  char* End() const { return m_Base + m_MaxSize; }
  char* Mark() const { return m_Base + m_CurrentSize; }

  uint32_t Flags() const { return m_Flags; }
  uint32_t SetFlags(uint32_t f) { return m_Flags |= f; }
  uint32_t ClearFlags(uint32_t f) { return m_Flags &= ~f; }

  int MessageType() const { return m_Type; }
  void MessageType(int type) { m_Type = type; }

  Lock* LockingStrategy() const { return m_LockingStrategy; }
  Lock* LockingStrategy(Lock* lock);

  int ReferenceCount() const { return m_ReferenceCount; }
  // One more reference; returns this block.
  CDataBlock* Duplicate();
  // One reference less. held is a lock the caller already holds: when it is this block's own
  // lock the count is changed without taking it again. Destroys the block at count 0 and
  // returns null then, else this block.
  CDataBlock* Release(Lock* held = nullptr);

  void Dump() const;

 protected:
  friend class CMessageBlock;
  // As Release, but never destroys: null means the count reached 0 and the caller destroys.
  CDataBlock* ReleaseNoDelete(Lock* held = nullptr);
  CDataBlock* Release_i();

 private:
  // Runs fn under this block's lock unless the caller already holds it (or there is none).
  template <class Fn>
  auto UnderLock(Lock* held, Fn fn);

  int m_Type;
  uint32_t m_Flags;
  uint64_t m_CurrentSize;
  uint64_t m_MaxSize;
  char* m_Base;
  Lock* m_LockingStrategy;
  int m_ReferenceCount;
};

class MAILHOOK_API CMessageBlock {
 public:
  static constexpr uint32_t FLAG_BORROWED = CDataBlock::FLAG_BORROWED;

  // An empty, borrowed data block: size and capacity 0.
  CMessageBlock();
  // Wraps the caller's memory without taking it.
  CMessageBlock(const char* data, uint64_t size);
  // data null: a new owned area of size bytes; data given: the caller's memory, borrowed.
  explicit CMessageBlock(uint64_t size, int type = 1, CMessageBlock* cont = nullptr,
                         const char* data = nullptr, Lock* lock = nullptr);
  // Takes over the caller's reference on db (adds none). flags FLAG_BORROWED: this block
  // holds no reference at all and never releases db.
  explicit CMessageBlock(CDataBlock* db, uint32_t flags = 0);
  // Aligned copy: shares mb's data block (or, when mb borrows it, copies into a fresh area)
  // with both positions at the first address of the area that is a multiple of align (a power
  // of two; 0 counts as 1).
  CMessageBlock(const CMessageBlock& mb, uint64_t align);
  virtual ~CMessageBlock();
  CMessageBlock(const CMessageBlock&) = delete;
  CMessageBlock& operator=(const CMessageBlock&) = delete;

  // Deep copy of the chain: every data block cloned whole; null when any area copy fails.
  virtual CMessageBlock* Clone(uint32_t mask = 0) const;
  // Shallow copy of the chain: new cursors sharing the data blocks (one more reference each).
  virtual CMessageBlock* Duplicate() const;
  // Releases and destroys this block and its whole m_Cont chain; always null.
  virtual CMessageBlock* Release();

  int Init(const char* data, uint64_t size);
  int Init(uint64_t size, int type = 1, CMessageBlock* cont = nullptr, const char* data = nullptr,
           Lock* lock = nullptr);

  char* ReadPtr() const { return Base() + m_ReadPtr; }
  char* WritePtr() const { return Base() + m_WritePtr; }
  void ReadPtr(char* p) { m_ReadPtr = static_cast<uint64_t>(p - Base()); }
  void WritePtr(char* p) { m_WritePtr = static_cast<uint64_t>(p - Base()); }
  // Advance by n; no bound is tested.
  void ReadPtr(uint64_t n) { m_ReadPtr += n; }
  void WritePtr(uint64_t n) { m_WritePtr += n; }
  uint64_t ReadOffset() const { return m_ReadPtr; }
  uint64_t WriteOffset() const { return m_WritePtr; }
  void Reset() { m_ReadPtr = m_WritePtr = 0; }

  uint64_t Length() const { return m_WritePtr - m_ReadPtr; }
  void Length(uint64_t n) { m_WritePtr = m_ReadPtr + n; }
  uint64_t Space() const { return Size() - m_WritePtr; }

  // Forwarded to the data block (its fields, not m_BlockFlags). Without a data block the
  // getters report an empty area and the setters do nothing.
  // Inline: the encoder and decoder ask for the area on every value they write or read. A block
  // without a data block has no area (null).
  char* Base() const { return m_DataBlock != nullptr ? m_DataBlock->Base() : nullptr; }
  void Base(char* p, uint64_t size, uint32_t flags);
  uint64_t Size() const { return m_DataBlock ? m_DataBlock->Size() : 0; }
  int Size(uint64_t n) { return m_DataBlock ? m_DataBlock->Size(n) : -1; }
  uint64_t Capacity() const { return m_DataBlock ? m_DataBlock->Capacity() : 0; }
  char* End() const { return m_DataBlock != nullptr ? m_DataBlock->End() : nullptr; }
  char* Mark() const { return m_DataBlock != nullptr ? m_DataBlock->Mark() : nullptr; }
  uint32_t Flags() const { return m_DataBlock ? m_DataBlock->Flags() : 0; }
  uint32_t SetFlags(uint32_t f) { return m_DataBlock ? m_DataBlock->SetFlags(f) : 0; }
  uint32_t ClearFlags(uint32_t f) { return m_DataBlock ? m_DataBlock->ClearFlags(f) : 0; }
  int MessageType() const { return m_DataBlock ? m_DataBlock->MessageType() : 0; }
  void MessageType(int type) {
    if (m_DataBlock) m_DataBlock->MessageType(type);
  }
  Lock* LockingStrategy() const { return m_DataBlock ? m_DataBlock->LockingStrategy() : nullptr; }
  // Reports the data block's lock and changes nothing: a lock swapped under a shared data
  // block would leave other holders counting under a different lock.
  Lock* LockingStrategy(Lock*) const { return LockingStrategy(); }
  int ReferenceCount() const { return m_DataBlock ? m_DataBlock->ReferenceCount() : 0; }
  uint32_t BlockFlags() const { return m_BlockFlags; }

  CDataBlock* DataBlock() const { return m_DataBlock; }
  // Releases the current data block (unless this block borrows it) and takes db's reference.
  void DataBlock(CDataBlock* db);
  // Swaps in db and hands the previous data block, with its reference, to the caller.
  CDataBlock* ReplaceDataBlock(CDataBlock* db);

  CMessageBlock* Cont() const { return m_Cont; }
  void Cont(CMessageBlock* p) { m_Cont = p; }
  CMessageBlock* Next() const { return m_Next; }
  void Next(CMessageBlock* p) { m_Next = p; }
  CMessageBlock* Prev() const { return m_Prev; }
  void Prev(CMessageBlock* p) { m_Prev = p; }

  // Appends s and its terminating zero byte / n bytes at the write position; -1 and nothing
  // written when they do not fit in Space() (measured against the size, not the capacity) or
  // s is null.
  int Copy(const char* s);
  int Copy(const char* p, uint64_t n);
  // Moves the unread bytes to the area's start. The caller keeps read <= write.
  void Crunch();

  uint64_t TotalCapacity() const;
  uint64_t TotalSize() const;
  uint64_t TotalLength() const;
  // Adds the chain's sizes to size and lengths to length (neither is reset first).
  void TotalSizeAndLength(uint64_t& size, uint64_t& length) const;

  void Dump() const;

 protected:
  CMessageBlock(uint64_t size, int type, CMessageBlock* cont, const char* data, Lock* lock,
                uint32_t dataFlags, CDataBlock* db);
  int Init_i(uint64_t size, int type, CMessageBlock* cont, const char* data, Lock* lock, uint32_t dataFlags,
             CDataBlock* db);

 private:
  // Steps 3-4 of the chain release for one block: drops its reference without destroying the
  // data block and destroys the message block. Returns the data block when its count reached
  // 0 (the caller destroys it), else null.
  static CDataBlock* ReleaseOne(CMessageBlock* mb, Lock* held);
  template <class CopyCont>
  static CMessageBlock* CopyChain(const CMessageBlock& src, CDataBlock* db, CopyCont copyCont);

  uint64_t m_ReadPtr = 0;
  uint64_t m_WritePtr = 0;
  CMessageBlock* m_Cont = nullptr;
  CMessageBlock* m_Next = nullptr;
  CMessageBlock* m_Prev = nullptr;
  uint32_t m_BlockFlags = 0;
  CDataBlock* m_DataBlock = nullptr;
};
