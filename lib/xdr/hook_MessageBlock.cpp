#include "xdr/hook_MessageBlock.h"

#include <cstdlib>
#include <cstring>
#include <iostream>

namespace {

// malloc(0) may return null or a unique pointer; an empty area is simply null here, so that
// "null area" never has to be told apart from "empty area".
char* AllocArea(uint64_t size) {
  if (size == 0) return nullptr;
  if (size > SIZE_MAX) return nullptr;
  return static_cast<char*>(std::malloc(static_cast<size_t>(size)));
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// CDataBlock

CDataBlock::CDataBlock()
    : m_Type(1),
      m_Flags(FLAG_BORROWED),
      m_CurrentSize(0),
      m_MaxSize(0),
      m_Base(nullptr),
      m_LockingStrategy(nullptr),
      m_ReferenceCount(1) {}

CDataBlock::CDataBlock(uint64_t size, int type, const char* data, Lock* lock, uint32_t flags)
    : m_Type(type),
      m_Flags(flags),
      m_CurrentSize(size),
      m_MaxSize(size),
      m_Base(const_cast<char*>(data)),
      m_LockingStrategy(lock),
      m_ReferenceCount(1) {
  if (data == nullptr && size != 0) {
    m_Base = AllocArea(size);
    if (m_Base == nullptr) {
      m_CurrentSize = m_MaxSize = 0;
    } else {
      // Nobody else knows this area, so only this block can free it.
      m_Flags &= ~FLAG_BORROWED;
    }
  }
}

CDataBlock::~CDataBlock() {
  if ((m_Flags & FLAG_BORROWED) == 0) std::free(m_Base);
  m_ReferenceCount = 0;
}

void CDataBlock::Base(char* p, uint64_t size, uint32_t flags) {
  if ((m_Flags & FLAG_BORROWED) == 0) std::free(m_Base);
  m_Base = p;
  m_Flags = flags;
  m_CurrentSize = m_MaxSize = size;
}

int CDataBlock::Size(uint64_t n) {
  if (n <= m_MaxSize) {
    m_CurrentSize = n;
    return 0;
  }
  char* area = AllocArea(n);
  if (area == nullptr) return -1;
  if (m_CurrentSize != 0) std::memcpy(area, m_Base, static_cast<size_t>(m_CurrentSize));
  if (m_Flags & FLAG_BORROWED) {
    // The old area stays with its owner; the new one is ours.
    m_Flags &= ~FLAG_BORROWED;
  } else {
    std::free(m_Base);
  }
  m_Base = area;
  m_MaxSize = m_CurrentSize = n;
  return 0;
}

Lock* CDataBlock::LockingStrategy(Lock* lock) {
  Lock* previous = m_LockingStrategy;
  m_LockingStrategy = lock;
  return previous;
}

template <class Fn>
auto CDataBlock::UnderLock(Lock* held, Fn fn) {
  if (m_LockingStrategy != nullptr && held != m_LockingStrategy) {
    Guard<Lock> guard(*m_LockingStrategy);
    return fn();
  }
  return fn();
}

CDataBlock* CDataBlock::Duplicate() {
  UnderLock(nullptr, [this] { return ++m_ReferenceCount; });
  return this;
}

CDataBlock* CDataBlock::Release_i() {
  return --m_ReferenceCount == 0 ? nullptr : this;
}

CDataBlock* CDataBlock::ReleaseNoDelete(Lock* held) {
  return UnderLock(held, [this] { return Release_i(); });
}

CDataBlock* CDataBlock::Release(Lock* held) {
  if (ReleaseNoDelete(held) != nullptr) return this;
  delete this;
  return nullptr;
}

CDataBlock* CDataBlock::CloneNoneCopy(uint32_t mask) const {
  // The block first, the area second: a throwing block allocation then leaks no area.
  auto* copy = new CDataBlock(0, m_Type, nullptr, m_LockingStrategy, m_Flags & ~(mask | FLAG_BORROWED));
  if (m_MaxSize != 0) {
    copy->m_Base = AllocArea(m_MaxSize);
    if (copy->m_Base == nullptr) {
      delete copy;
      return nullptr;
    }
    copy->m_CurrentSize = copy->m_MaxSize = m_MaxSize;
  }
  return copy;
}

CDataBlock* CDataBlock::Clone(uint32_t mask) const {
  CDataBlock* copy = CloneNoneCopy(mask);
  if (copy != nullptr && m_MaxSize != 0) std::memcpy(copy->m_Base, m_Base, static_cast<size_t>(m_MaxSize));
  return copy;
}

void CDataBlock::Dump() const {
  std::cout << "-----( DataBlock )------" << std::endl;
  std::cout << "m_Type = " << m_Type << std::endl;
  std::cout << "m_CurrentSize = " << m_CurrentSize << std::endl;
  std::cout << "m_MaxSize = " << m_MaxSize << std::endl;
  std::cout << "m_Flags = " << m_Flags << std::endl;
  // The area need not hold a zero byte: the text stops at the capacity at the latest.
  const void* zero = m_Base ? std::memchr(m_Base, 0, static_cast<size_t>(m_MaxSize)) : nullptr;
  const size_t textLen =
      zero ? static_cast<size_t>(static_cast<const char*>(zero) - m_Base) : static_cast<size_t>(m_MaxSize);
  std::cout << "m_Base = ";
  if (m_Base != nullptr) std::cout.write(m_Base, static_cast<std::streamsize>(textLen));
  std::cout << std::endl;
  std::cout << "m_LockingStrategy = " << static_cast<const void*>(m_LockingStrategy) << std::endl;
  std::cout << "m_ReferenceCount = " << m_ReferenceCount << std::endl;
  std::cout << "------------------------" << std::endl;
}

// ---------------------------------------------------------------------------------------------
// CMessageBlock

CMessageBlock::CMessageBlock() {
  Init_i(0, 1, nullptr, nullptr, nullptr, FLAG_BORROWED, nullptr);
}

CMessageBlock::CMessageBlock(const char* data, uint64_t size)
    : CMessageBlock(size, 1, nullptr, data, nullptr, FLAG_BORROWED, nullptr) {}

CMessageBlock::CMessageBlock(uint64_t size, int type, CMessageBlock* cont, const char* data, Lock* lock)
    : CMessageBlock(size, type, cont, data, lock, data != nullptr ? FLAG_BORROWED : 0, nullptr) {}

CMessageBlock::CMessageBlock(CDataBlock* db, uint32_t flags) : m_BlockFlags(flags) {
  Init_i(0, 0, nullptr, nullptr, nullptr, 0, db);
}

CMessageBlock::CMessageBlock(uint64_t size, int type, CMessageBlock* cont, const char* data, Lock* lock,
                             uint32_t dataFlags, CDataBlock* db) {
  Init_i(size, type, cont, data, lock, dataFlags, db);
}

namespace {

// Distance from base to the first address at or above it that is a multiple of align.
uint64_t AlignedOffset(const char* base, uint64_t align) {
  const uint64_t mask = static_cast<uint32_t>(align == 0 ? 0 : align - 1);
  return (0 - reinterpret_cast<uintptr_t>(base)) & mask;
}

}  // namespace

CMessageBlock::CMessageBlock(const CMessageBlock& mb, uint64_t align) {
  const CDataBlock* src = mb.m_DataBlock;
  if (src != nullptr && (mb.m_BlockFlags & FLAG_BORROWED) == 0) {
    DataBlock(mb.m_DataBlock->Duplicate());
    m_ReadPtr = m_WritePtr = AlignedOffset(Base(), align);
    return;
  }
  CDataBlock* copy = src != nullptr ? src->CloneNoneCopy(0) : nullptr;
  if (copy == nullptr) {
    // Nothing to copy from, or no area for the copy: an empty block, as the default one.
    Init_i(0, 1, nullptr, nullptr, nullptr, FLAG_BORROWED, nullptr);
    return;
  }
  DataBlock(copy);
  m_ReadPtr = m_WritePtr = AlignedOffset(Base(), align);
  const uint64_t srcStart = AlignedOffset(src->Base(), align);
  uint64_t srcEnd = mb.m_WritePtr < src->Capacity() ? mb.m_WritePtr : src->Capacity();
  if (srcEnd > srcStart && m_WritePtr < Capacity()) {
    uint64_t n = srcEnd - srcStart;
    // Both areas have the same capacity but may align differently.
    if (n > Capacity() - m_WritePtr) n = Capacity() - m_WritePtr;
    std::memcpy(Base() + m_WritePtr, src->Base() + srcStart, static_cast<size_t>(n));
  }
}

CMessageBlock::~CMessageBlock() {
  if (m_DataBlock != nullptr && (m_BlockFlags & FLAG_BORROWED) == 0) m_DataBlock->Release(nullptr);
  m_DataBlock = nullptr;
  m_Next = m_Prev = nullptr;
}

int CMessageBlock::Init(const char* data, uint64_t size) {
  return Init_i(size, 1, nullptr, data, nullptr, FLAG_BORROWED, nullptr);
}

int CMessageBlock::Init(uint64_t size, int type, CMessageBlock* cont, const char* data, Lock* lock) {
  return Init_i(size, type, cont, data, lock, FLAG_BORROWED, nullptr);
}

int CMessageBlock::Init_i(uint64_t size, int type, CMessageBlock* cont, const char* data, Lock* lock,
                          uint32_t dataFlags, CDataBlock* db) {
  m_Cont = cont;
  m_ReadPtr = m_WritePtr = 0;
  m_Next = m_Prev = nullptr;
  if (m_DataBlock != nullptr) {
    m_DataBlock->Release(nullptr);
    m_DataBlock = nullptr;
  }
  if (db == nullptr) db = new CDataBlock(size, type, data, lock, dataFlags);
  DataBlock(db);
  return m_DataBlock->Size() < size ? -1 : 0;
}

void CMessageBlock::Base(char* p, uint64_t size, uint32_t flags) {
  m_ReadPtr = m_WritePtr = 0;
  if (m_DataBlock != nullptr) m_DataBlock->Base(p, size, flags);
}

void CMessageBlock::DataBlock(CDataBlock* db) {
  if (m_DataBlock != nullptr && (m_BlockFlags & FLAG_BORROWED) == 0) m_DataBlock->Release(nullptr);
  m_DataBlock = db;
  m_ReadPtr = m_WritePtr = 0;
}

CDataBlock* CMessageBlock::ReplaceDataBlock(CDataBlock* db) {
  CDataBlock* previous = m_DataBlock;
  m_DataBlock = db;
  if (db != nullptr) m_ReadPtr = m_WritePtr = 0;
  return previous;
}

int CMessageBlock::Copy(const char* s) {
  return s != nullptr ? Copy(s, std::strlen(s) + 1) : -1;
}

int CMessageBlock::Copy(const char* p, uint64_t n) {
  // Space() underflows when the write offset was pushed past the size by hand.
  if (m_WritePtr > Size() || Space() < n) return -1;
  if (n != 0) std::memcpy(WritePtr(), p, static_cast<size_t>(n));
  m_WritePtr += n;
  return 0;
}

void CMessageBlock::Crunch() {
  if (m_ReadPtr == 0) return;
  const uint64_t n = Length();
  if (n != 0) std::memmove(Base(), ReadPtr(), static_cast<size_t>(n));
  m_ReadPtr = 0;
  m_WritePtr = n;
}

uint64_t CMessageBlock::TotalCapacity() const {
  uint64_t total = 0;
  for (const CMessageBlock* mb = this; mb != nullptr; mb = mb->m_Cont) total += mb->Capacity();
  return total;
}

uint64_t CMessageBlock::TotalSize() const {
  uint64_t total = 0;
  for (const CMessageBlock* mb = this; mb != nullptr; mb = mb->m_Cont) total += mb->Size();
  return total;
}

uint64_t CMessageBlock::TotalLength() const {
  uint64_t total = 0;
  for (const CMessageBlock* mb = this; mb != nullptr; mb = mb->m_Cont) total += mb->Length();
  return total;
}

void CMessageBlock::TotalSizeAndLength(uint64_t& size, uint64_t& length) const {
  for (const CMessageBlock* mb = this; mb != nullptr; mb = mb->m_Cont) {
    size += mb->Size();
    length += mb->Length();
  }
}

// A new block over db (taking db's reference) at the same offsets as src, followed by copies
// of src's continuations made with copyCont. Null when a continuation copy fails; a throwing
// allocation releases what was built before passing on.
template <class CopyCont>
CMessageBlock* CMessageBlock::CopyChain(const CMessageBlock& src, CDataBlock* db, CopyCont copyCont) {
  CMessageBlock* copy = nullptr;
  try {
    copy = new CMessageBlock(db, 0);
  } catch (...) {
    db->Release(nullptr);
    throw;
  }
  copy->m_ReadPtr = src.m_ReadPtr;
  copy->m_WritePtr = src.m_WritePtr;
  if (src.m_Cont != nullptr) {
    try {
      copy->m_Cont = copyCont(*src.m_Cont);
    } catch (...) {
      copy->Release();
      throw;
    }
    if (copy->m_Cont == nullptr) return copy->Release();
  }
  return copy;
}

CMessageBlock* CMessageBlock::Clone(uint32_t mask) const {
  // Every data block is cloned with mask 0: a copy keeps the original's flags so that it can
  // stand in for it.
  if (m_DataBlock == nullptr) return nullptr;
  CDataBlock* db = m_DataBlock->Clone(0);
  if (db == nullptr) return nullptr;
  return CopyChain(*this, db, [mask](const CMessageBlock& cont) { return cont.Clone(mask); });
}

CMessageBlock* CMessageBlock::Duplicate() const {
  if (m_DataBlock == nullptr) return nullptr;
  return CopyChain(*this, m_DataBlock->Duplicate(),
                   [](const CMessageBlock& cont) { return cont.Duplicate(); });
}

CDataBlock* CMessageBlock::ReleaseOne(CMessageBlock* mb, Lock* held) {
  CDataBlock* dead = nullptr;
  if (mb->m_DataBlock != nullptr && (mb->m_BlockFlags & FLAG_BORROWED) == 0) {
    CDataBlock* db = mb->m_DataBlock;
    if (db->ReleaseNoDelete(held) == nullptr) dead = db;
    mb->m_DataBlock = nullptr;
  }
  delete mb;  // its data block is gone already, so the destructor releases nothing more
  return dead;
}

CMessageBlock* CMessageBlock::Release() {
  CDataBlock* headDead = nullptr;
  {
    Lock* held = m_DataBlock != nullptr ? m_DataBlock->LockingStrategy() : nullptr;
    // One hold across the whole chain: continuations sharing the head's lock are counted under
    // it without taking it again; others take their own lock inside it.
    auto releaseChain = [&] {
      CMessageBlock* cont = m_Cont;
      m_Cont = nullptr;
      while (cont != nullptr) {
        CMessageBlock* next = cont->m_Cont;
        cont->m_Cont = nullptr;
        delete ReleaseOne(cont, held);
        cont = next;
      }
      return ReleaseOne(this, held);
    };
    if (held != nullptr) {
      Guard<Lock> guard(*held);
      headDead = releaseChain();
    } else {
      headDead = releaseChain();
    }
  }
  delete headDead;
  return nullptr;
}

void CMessageBlock::Dump() const {
  std::cout << "-----( MessageBlock )------" << std::endl;
  std::cout << "m_Next = " << static_cast<const void*>(m_Next) << std::endl;
  std::cout << "m_Prev = " << static_cast<const void*>(m_Prev) << std::endl;
  std::cout << "m_Cont = " << static_cast<const void*>(m_Cont) << std::endl;
  std::cout << "m_ReadPtr = " << m_ReadPtr << std::endl;
  std::cout << "m_WritePtr = " << m_WritePtr << std::endl;
  std::cout << "------------------------" << std::endl;
  if (m_DataBlock != nullptr) m_DataBlock->Dump();
}
