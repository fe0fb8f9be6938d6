#include "xdr/hook_XDR.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "xdr/hook_ByteOrder.h"

// ---------------------------------------------------------------------------------------------
// OutputXDR

OutputXDR::OutputXDR(char* buffer, uint64_t size)
    : m_Block(buffer, buffer != nullptr ? size : 0), m_Current(&m_Block), m_GoodBit(1) {}

OutputXDR::OutputXDR(CMessageBlock* mb) : m_Block(), m_Current(&m_Block), m_GoodBit(1) {
  if (mb != nullptr && mb->DataBlock() != nullptr) m_Block.DataBlock(mb->DataBlock()->Duplicate());
}

OutputXDR::OutputXDR(uint64_t size)
    : m_Block(size != 0 ? size : kDefaultSize), m_Current(&m_Block), m_GoodBit(1) {}

OutputXDR::OutputXDR() : OutputXDR(uint64_t{0}) {}

int OutputXDR::Adjust(uint64_t n, char*& p) {
  p = m_Current->WritePtr();
  // Offsets, not addresses: the test cannot overflow, and an area that is full (or was never
  // allocated) refuses every byte.
  const uint64_t used = m_Current->WriteOffset();
  const uint64_t capacity = m_Current->Capacity();
  if (used > capacity || n > capacity - used) {
    m_GoodBit = 0;
    return -1;
  }
  m_Current->WritePtr(n);
  return 0;
}

template <class T>
bool OutputXDR::WriteValue(T v) {
  char* p = nullptr;
  if (Adjust(sizeof(T), p) != 0) return false;
  hook_le::Store<T>(p, v);
  return true;
}

template <class T>
bool OutputXDR::WriteArray(const T* src, uint32_t n) {
  if (n == 0) return true;
  char* p = nullptr;
  if (Adjust(uint64_t{n} * sizeof(T), p) != 0) return false;
  if constexpr (sizeof(T) == 1) {
    std::memcpy(p, src, n);
  } else {
    for (uint32_t i = 0; i < n; ++i) hook_le::Store<T>(p + uint64_t{i} * sizeof(T), src[i]);
  }
  return true;
}

template <class T>
bool OutputXDR::WriteStringOf(uint32_t len, const T* s) {
  if (len == UINT32_MAX) {  // the count len + 1 would not fit in 32 bits
    m_GoodBit = 0;
    return false;
  }
  if (!WriteValue<uint32_t>(len + 1)) return false;
  char* p = nullptr;
  if (Adjust((uint64_t{len} + 1) * sizeof(T), p) != 0) return false;
  if constexpr (sizeof(T) == 1) {
    if (len != 0) std::memcpy(p, s, len);
  } else {
    for (uint32_t i = 0; i < len; ++i) hook_le::Store<T>(p + uint64_t{i} * sizeof(T), s[i]);
  }
  hook_le::Store<T>(p + uint64_t{len} * sizeof(T), T{0});
  return true;
}

bool OutputXDR::WriteChar(char c) {
  return WriteValue<char>(c);
}
bool OutputXDR::WriteOctect(unsigned char c) {
  return WriteValue<unsigned char>(c);
}
bool OutputXDR::WriteBoolean(unsigned char b) {
  return WriteValue<unsigned char>(b != 0 ? 1 : 0);
}
bool OutputXDR::WriteShort(int16_t v) {
  return WriteValue<int16_t>(v);
}
bool OutputXDR::WriteUShort(uint16_t v) {
  return WriteValue<uint16_t>(v);
}
bool OutputXDR::WriteWChar(char16_t v) {
  return WriteValue<char16_t>(v);
}
bool OutputXDR::WriteLong(int32_t v) {
  return WriteValue<int32_t>(v);
}
bool OutputXDR::WriteULong(uint32_t v) {
  return WriteValue<uint32_t>(v);
}
bool OutputXDR::WriteULongLong(int64_t v) {
  return WriteValue<int64_t>(v);
}

bool OutputXDR::WriteString(uint32_t len, const char* s) {
  return len == 0 ? WriteStringOf<char>(0, nullptr) : WriteStringOf<char>(len, s);
}

bool OutputXDR::WriteString(const char* s) {
  if (s == nullptr) return WriteString(0, nullptr);
  const size_t len = std::strlen(s);
  if (len >= UINT32_MAX) {
    m_GoodBit = 0;
    return false;
  }
  return WriteString(static_cast<uint32_t>(len), s);
}

bool OutputXDR::WriteWString(uint32_t len, const char16_t* s) {
  return len == 0 ? WriteStringOf<char16_t>(0, nullptr) : WriteStringOf<char16_t>(len, s);
}

bool OutputXDR::WriteWString(const char16_t* s) {
  if (s == nullptr) return WriteWString(0, nullptr);
  size_t len = 0;
  while (s[len] != 0) ++len;
  if (len >= UINT32_MAX) {
    m_GoodBit = 0;
    return false;
  }
  return WriteWString(static_cast<uint32_t>(len), s);
}

bool OutputXDR::WriteCharArray(const char* p, uint32_t n) {
  return WriteArray(p, n);
}
bool OutputXDR::WriteOctectArray(const unsigned char* p, uint32_t n) {
  return WriteArray(p, n);
}
bool OutputXDR::WriteShortArray(const int16_t* p, uint32_t n) {
  return WriteArray(p, n);
}
bool OutputXDR::WriteUShortArray(const uint16_t* p, uint32_t n) {
  return WriteArray(p, n);
}
bool OutputXDR::WriteWCharArray(const char16_t* p, uint32_t n) {
  return WriteArray(p, n);
}
bool OutputXDR::WriteLongArray(const int32_t* p, uint32_t n) {
  return WriteArray(p, n);
}
bool OutputXDR::WriteULongArray(const uint32_t* p, uint32_t n) {
  return WriteArray(p, n);
}

int OutputXDR::WriteBooleanArray(const unsigned char* p, uint32_t n) {
  for (uint32_t i = 0; i < n && m_GoodBit; ++i) WriteBoolean(p[i]);
  return m_GoodBit;
}

uint64_t OutputXDR::TotalLength() const {
  uint64_t total = 0;
  for (const CMessageBlock* mb = &m_Block; mb != nullptr; mb = mb->Cont()) {
    total += mb->Length();
    if (mb == m_Current) break;
  }
  return total;
}

namespace {

// The operators report the sticky good bit, not the one write: a chain of them is tested once.
unsigned char GoodAfter(const OutputXDR& out, bool) {
  return static_cast<unsigned char>(out.GoodBit());
}

}  // namespace

unsigned char operator<<(OutputXDR& out, char v) {
  return GoodAfter(out, out.WriteChar(v));
}
unsigned char operator<<(OutputXDR& out, short v) {
  return GoodAfter(out, out.WriteShort(v));
}
unsigned char operator<<(OutputXDR& out, unsigned short v) {
  return GoodAfter(out, out.WriteUShort(v));
}
unsigned char operator<<(OutputXDR& out, int v) {
  return GoodAfter(out, out.WriteLong(v));
}
unsigned char operator<<(OutputXDR& out, unsigned int v) {
  return GoodAfter(out, out.WriteULong(v));
}
unsigned char operator<<(OutputXDR& out, const char* v) {
  return GoodAfter(out, out.WriteString(v));
}
unsigned char operator<<(OutputXDR& out, const char16_t* v) {
  return GoodAfter(out, out.WriteWString(v));
}
unsigned char operator<<(OutputXDR& out, int64_t v) {
  return GoodAfter(out, out.WriteULongLong(v));
}

// ---------------------------------------------------------------------------------------------
// InputXDR

namespace {

// Unread bytes of one block, never past its capacity, whatever its offsets were set to.
uint64_t UnreadBytes(const CMessageBlock* mb) {
  const uint64_t end = mb->WriteOffset() < mb->Capacity() ? mb->WriteOffset() : mb->Capacity();
  return mb->ReadOffset() < end ? end - mb->ReadOffset() : 0;
}

}  // namespace

InputXDR::InputXDR() : m_Block(), m_GoodBit(1) {}

InputXDR::InputXDR(const OutputXDR& out) : m_Block(), m_GoodBit(1) {
  CopyChain(out.Begin(), out.Current());
}

InputXDR::InputXDR(CDataBlock* db, uint32_t flags) : m_Block(db, flags), m_GoodBit(1) {}

InputXDR::InputXDR(const char* data, uint64_t size)
    : m_Block(data, data != nullptr ? size : 0), m_GoodBit(1) {
  m_Block.WritePtr(m_Block.Size());
}

InputXDR::InputXDR(const CMessageBlock* mb) : m_Block(), m_GoodBit(1) {
  if (mb != nullptr) CopyChain(mb, nullptr);
}

InputXDR::InputXDR(uint64_t size) : m_Block(size), m_GoodBit(1) {}

void InputXDR::CopyChain(const CMessageBlock* first, const CMessageBlock* last) {
  uint64_t total = 0;
  for (const CMessageBlock* mb = first; mb != nullptr; mb = mb->Cont()) {
    total += UnreadBytes(mb);
    if (mb == last) break;
  }
  if (total == 0) return;
  auto* db = new CDataBlock(total, 1, nullptr, nullptr, 0);
  if (db->Size() != total) {
    db->Release();
    throw std::bad_alloc();
  }
  m_Block.DataBlock(db);
  for (const CMessageBlock* mb = first; mb != nullptr; mb = mb->Cont()) {
    const uint64_t n = UnreadBytes(mb);
    if (n != 0) std::memcpy(m_Block.WritePtr(), mb->ReadPtr(), static_cast<size_t>(n));
    m_Block.WritePtr(n);
    if (mb == last) break;
  }
}

uint64_t InputXDR::Length() const {
  return UnreadBytes(&m_Block);
}

int InputXDR::Adjust(uint64_t n, char*& p) {
  p = m_Block.ReadPtr();
  if (n > Length()) {
    m_GoodBit = 0;
    return -1;
  }
  m_Block.ReadPtr(n);
  return 0;
}

template <class T>
bool InputXDR::ReadValue(T& v) {
  char* p = nullptr;
  if (Adjust(sizeof(T), p) != 0) return false;
  v = hook_le::Load<T>(p);
  return true;
}

template <class T>
bool InputXDR::ReadArray(T* dst, uint32_t n) {
  if (n == 0) return true;
  char* p = nullptr;
  if (Adjust(uint64_t{n} * sizeof(T), p) != 0) return false;
  if constexpr (sizeof(T) == 1) {
    std::memcpy(dst, p, n);
  } else {
    for (uint32_t i = 0; i < n; ++i) dst[i] = hook_le::Load<T>(p + uint64_t{i} * sizeof(T));
  }
  return true;
}

template <class T>
bool InputXDR::ReadStringOf(T*& s) {
  s = nullptr;
  uint32_t count = 0;
  if (!ReadValue<uint32_t>(count)) return false;
  const uint64_t units = count != 0 ? count : 1;
  if (count != 0) {
    // Test before allocating: the count comes from the other process.
    if (uint64_t{count} * sizeof(T) > Length()) {
      m_GoodBit = 0;
      return false;
    }
    const char* last = m_Block.ReadPtr() + (uint64_t{count} - 1) * sizeof(T);
    if (hook_le::Load<T>(last) != 0) {
      m_GoodBit = 0;
      return false;
    }
  }
  T* out = static_cast<T*>(std::malloc(static_cast<size_t>(units * sizeof(T))));
  if (out == nullptr) throw std::bad_alloc();
  if (count == 0) {
    out[0] = 0;
  } else {
    char* p = nullptr;
    Adjust(uint64_t{count} * sizeof(T), p);
    if constexpr (sizeof(T) == 1) {
      std::memcpy(out, p, count);
    } else {
      for (uint64_t i = 0; i < count; ++i) out[i] = hook_le::Load<T>(p + i * sizeof(T));
    }
  }
  s = out;
  return true;
}

template <class T>
bool InputXDR::SkipStringOf() {
  uint32_t count = 0;
  if (!ReadValue<uint32_t>(count)) return false;
  char* p = nullptr;
  return Adjust(uint64_t{count} * sizeof(T), p) == 0;
}

bool InputXDR::ReadChar(char& c) {
  return ReadValue(c);
}
bool InputXDR::ReadOctect(unsigned char& c) {
  return ReadValue(c);
}
int InputXDR::ReadBoolean(unsigned char& b) {
  unsigned char raw = 0;
  if (ReadValue(raw)) b = raw != 0 ? 1 : 0;
  return m_GoodBit;
}
bool InputXDR::ReadShort(int16_t& v) {
  return ReadValue(v);
}
bool InputXDR::ReadUShort(uint16_t& v) {
  return ReadValue(v);
}
bool InputXDR::ReadWChar(char16_t& v) {
  return ReadValue(v);
}
bool InputXDR::ReadLong(int32_t& v) {
  return ReadValue(v);
}
bool InputXDR::ReadULong(uint32_t& v) {
  return ReadValue(v);
}
bool InputXDR::ReadULongLong(int64_t& v) {
  return ReadValue(v);
}

bool InputXDR::ReadString(char*& s) {
  return ReadStringOf(s);
}
bool InputXDR::ReadWString(char16_t*& s) {
  return ReadStringOf(s);
}

bool InputXDR::ReadCharArray(char* p, uint32_t n) {
  return ReadArray(p, n);
}
bool InputXDR::ReadOctectArray(unsigned char* p, uint32_t n) {
  return ReadArray(p, n);
}
bool InputXDR::ReadShortArray(int16_t* p, uint32_t n) {
  return ReadArray(p, n);
}
bool InputXDR::ReadUShortArray(uint16_t* p, uint32_t n) {
  return ReadArray(p, n);
}
bool InputXDR::ReadWCharArray(char16_t* p, uint32_t n) {
  return ReadArray(p, n);
}
bool InputXDR::ReadLongArray(int32_t* p, uint32_t n) {
  return ReadArray(p, n);
}
bool InputXDR::ReadULongArray(uint32_t* p, uint32_t n) {
  return ReadArray(p, n);
}

int InputXDR::ReadBooleanArray(unsigned char* p, uint32_t n) {
  if (n > Length()) {
    m_GoodBit = 0;
    return 0;
  }
  for (uint32_t i = 0; i < n; ++i) ReadBoolean(p[i]);
  return m_GoodBit;
}

bool InputXDR::SkipChar() {
  char* p = nullptr;
  return Adjust(1, p) == 0;
}
bool InputXDR::SkipOctect() {
  return SkipChar();
}
int InputXDR::SkipBoolean() {
  SkipChar();
  return m_GoodBit;
}
bool InputXDR::SkipShort() {
  char* p = nullptr;
  return Adjust(2, p) == 0;
}
bool InputXDR::SkipUShort() {
  return SkipShort();
}
bool InputXDR::SkipWChar() {
  return SkipShort();
}
bool InputXDR::SkipLong() {
  char* p = nullptr;
  return Adjust(4, p) == 0;
}
bool InputXDR::SkipULong() {
  return SkipLong();
}
bool InputXDR::SkipULongLong() {
  char* p = nullptr;
  return Adjust(8, p) == 0;
}
bool InputXDR::SkipString() {
  return SkipStringOf<char>();
}
bool InputXDR::SkipWString() {
  return SkipStringOf<char16_t>();
}

void InputXDR::FreeMem(void* p) {
  std::free(p);
}

namespace {

unsigned char GoodAfter(const InputXDR& in, bool) {
  return static_cast<unsigned char>(in.GoodBit());
}

}  // namespace

unsigned char operator>>(InputXDR& in, char& v) {
  return GoodAfter(in, in.ReadChar(v));
}
unsigned char operator>>(InputXDR& in, short& v) {
  return GoodAfter(in, in.ReadShort(v));
}
unsigned char operator>>(InputXDR& in, unsigned short& v) {
  return GoodAfter(in, in.ReadUShort(v));
}
unsigned char operator>>(InputXDR& in, int& v) {
  return GoodAfter(in, in.ReadLong(v));
}
unsigned char operator>>(InputXDR& in, unsigned int& v) {
  return GoodAfter(in, in.ReadULong(v));
}
unsigned char operator>>(InputXDR& in, char*& v) {
  return GoodAfter(in, in.ReadString(v));
}
unsigned char operator>>(InputXDR& in, char16_t*& v) {
  return GoodAfter(in, in.ReadWString(v));
}
