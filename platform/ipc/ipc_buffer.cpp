#include "ipc/ipc_buffer.h"

#include <bit>
#include <cstring>
#include <limits>

namespace {

constexpr size_t kU32Size = 4;

std::string PositionText(size_t pos) {
  return " at offset " + std::to_string(pos);
}

const char* TagName(uint8_t tag) {
  switch (tag) {
    case CIPCMsgBuffer::TAG_INT32:
      return "int32";
    case CIPCMsgBuffer::TAG_UINT32:
      return "uint32";
    case CIPCMsgBuffer::TAG_WSTRING:
      return "wide string";
    case CIPCMsgBuffer::TAG_WSTRING_LIST:
      return "string list";
    default:
      return "unknown";
  }
}

}  // namespace

CIPCError::CIPCError(Code code, const std::string& what) : std::runtime_error(what), m_eCode(code) {}

CIPCMsgBuffer::CIPCMsgBuffer(uint32_t size, bool fixedSize) : m_uCapacity(size), m_bFixedSize(fixedSize) {
  m_Bytes.reserve(size);
}

CIPCMsgBuffer::~CIPCMsgBuffer() = default;

uint8_t* CIPCMsgBuffer::Grow(size_t size) {
  size_t limit = m_bFixedSize ? m_uCapacity : std::numeric_limits<uint32_t>::max();
  if (size > limit - m_Bytes.size())
    throw CIPCError(CIPCError::CAPACITY, "CIPCMsgBuffer: write of " + std::to_string(size) +
                                             " bytes past the capacity of " + std::to_string(limit));
  size_t at = m_Bytes.size();
  m_Bytes.resize(at + size);
  return m_Bytes.data() + at;
}

void CIPCMsgBuffer::PutU32(uint8_t* at, uint32_t value) {
  for (size_t i = 0; i < kU32Size; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

void CIPCMsgBuffer::AppendU32Item(ItemTag tag, uint32_t value) {
  uint8_t* p = Grow(1 + kU32Size);
  p[0] = tag;
  PutU32(p + 1, value);
}

void CIPCMsgBuffer::AppendUnits(const char16_t* units, size_t count) {
  if (count > std::numeric_limits<uint32_t>::max() / 2)
    throw CIPCError(CIPCError::CAPACITY, "CIPCMsgBuffer: string too long");
  uint8_t* p = Grow(kU32Size + 2 * count);
  PutU32(p, static_cast<uint32_t>(count));
  p += kU32Size;
  if constexpr (std::endian::native == std::endian::little) {
    if (count) std::memcpy(p, units, 2 * count);
  } else {
    for (size_t i = 0; i < count; ++i) {
      p[2 * i] = static_cast<uint8_t>(units[i] & 0xFF);
      p[2 * i + 1] = static_cast<uint8_t>(units[i] >> 8);
    }
  }
}

void CIPCMsgBuffer::AppendStringItem(const char16_t* units, size_t count) {
  size_t mark = m_Bytes.size();
  try {
    *Grow(1) = TAG_WSTRING;
    AppendUnits(units, count);
  } catch (...) {
    m_Bytes.resize(mark);  // no half item left behind
    throw;
  }
}

CIPCMsgBuffer& CIPCMsgBuffer::operator<<(int32_t value) {
  AppendU32Item(TAG_INT32, static_cast<uint32_t>(value));
  return *this;
}

CIPCMsgBuffer& CIPCMsgBuffer::operator<<(uint32_t value) {
  AppendU32Item(TAG_UINT32, value);
  return *this;
}

CIPCMsgBuffer& CIPCMsgBuffer::operator<<(const char16_t* value) {
  size_t count = 0;
  if (value)
    while (value[count]) ++count;
  AppendStringItem(value, count);
  return *this;
}

CIPCMsgBuffer& CIPCMsgBuffer::operator<<(const OS::x_wstring& value) {
  AppendStringItem(value.data(), value.size());
  return *this;
}

CIPCMsgBuffer& CIPCMsgBuffer::operator<<(const CIPCStringList& value) {
  if (value.size() > std::numeric_limits<uint32_t>::max())
    throw CIPCError(CIPCError::CAPACITY, "CIPCMsgBuffer: list too long");
  size_t mark = m_Bytes.size();
  try {
    AppendU32Item(TAG_WSTRING_LIST, static_cast<uint32_t>(value.size()));
    for (const auto& s : value) AppendUnits(s.data(), s.size());
  } catch (...) {
    m_Bytes.resize(mark);
    throw;
  }
  return *this;
}

CIPCMsgBuffer::ItemTag CIPCMsgBuffer::PeekTag() const {
  if (m_uReadPos >= m_Bytes.size())
    throw CIPCError(CIPCError::PAST_END, "CIPCMsgBuffer: no item left" + PositionText(m_uReadPos));
  return static_cast<ItemTag>(m_Bytes[m_uReadPos]);
}

size_t CIPCMsgBuffer::TakeTag(size_t pos, ItemTag expected) const {
  if (pos >= m_Bytes.size())
    throw CIPCError(CIPCError::PAST_END, std::string("CIPCMsgBuffer: read of ") + TagName(expected) +
                                             " past the end" + PositionText(pos));
  if (m_Bytes[pos] != expected)
    throw CIPCError(CIPCError::TYPE_MISMATCH, std::string("CIPCMsgBuffer: read of ") + TagName(expected) +
                                                  " found " + TagName(m_Bytes[pos]) + PositionText(pos));
  return pos + 1;
}

uint32_t CIPCMsgBuffer::TakeU32(size_t& pos) const {
  if (m_Bytes.size() - pos < kU32Size)
    throw CIPCError(CIPCError::PAST_END, "CIPCMsgBuffer: 32-bit value cut off" + PositionText(pos));
  uint32_t v = 0;
  for (size_t i = 0; i < kU32Size; ++i) v |= static_cast<uint32_t>(m_Bytes[pos + i]) << (8 * i);
  pos += kU32Size;
  return v;
}

void CIPCMsgBuffer::TakeUnits(size_t& pos, OS::x_wstring& out) const {
  uint32_t count = TakeU32(pos);
  if (count > (m_Bytes.size() - pos) / 2)
    throw CIPCError(CIPCError::BAD_COUNT, "CIPCMsgBuffer: string of " + std::to_string(count) + " units in " +
                                              std::to_string(m_Bytes.size() - pos) + " bytes" +
                                              PositionText(pos));
  out.resize(count);
  const uint8_t* p = m_Bytes.data() + pos;
  if constexpr (std::endian::native == std::endian::little) {
    if (count) std::memcpy(out.data(), p, 2 * static_cast<size_t>(count));
  } else {
    for (uint32_t i = 0; i < count; ++i)
      out[i] = static_cast<char16_t>(p[2 * i] | (static_cast<unsigned>(p[2 * i + 1]) << 8));
  }
  pos += 2 * static_cast<size_t>(count);
}

const CIPCMsgBuffer& CIPCMsgBuffer::operator>>(int32_t& value) const {
  size_t pos = TakeTag(m_uReadPos, TAG_INT32);
  value = static_cast<int32_t>(TakeU32(pos));
  m_uReadPos = pos;
  return *this;
}

const CIPCMsgBuffer& CIPCMsgBuffer::operator>>(uint32_t& value) const {
  size_t pos = TakeTag(m_uReadPos, TAG_UINT32);
  value = TakeU32(pos);
  m_uReadPos = pos;
  return *this;
}

const CIPCMsgBuffer& CIPCMsgBuffer::operator>>(OS::x_wstring& value) const {
  size_t pos = TakeTag(m_uReadPos, TAG_WSTRING);
  OS::x_wstring s;
  TakeUnits(pos, s);
  value = std::move(s);
  m_uReadPos = pos;
  return *this;
}

const CIPCMsgBuffer& CIPCMsgBuffer::operator>>(CIPCStringList& value) const {
  size_t pos = TakeTag(m_uReadPos, TAG_WSTRING_LIST);
  uint32_t count = TakeU32(pos);
  // Every string takes at least its 4-byte count.
  if (count > (m_Bytes.size() - pos) / kU32Size)
    throw CIPCError(CIPCError::BAD_COUNT, "CIPCMsgBuffer: list of " + std::to_string(count) + " strings in " +
                                              std::to_string(m_Bytes.size() - pos) + " bytes" +
                                              PositionText(pos));
  CIPCStringList list;
  // A string object is several times its 4-byte count on the wire, so a count the bytes only seem
  // to hold must not size the list up front beyond the bytes themselves; it grows as strings
  // really arrive.
  list.reserve(std::min<size_t>(count, (m_Bytes.size() - pos) / sizeof(OS::x_wstring)));
  for (uint32_t i = 0; i < count; ++i) {
    list.emplace_back();
    TakeUnits(pos, list.back());
  }
  value = std::move(list);
  m_uReadPos = pos;
  return *this;
}

void CIPCMsgBuffer::Load(const void* data, size_t size) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  m_Bytes.assign(p, p + size);
  m_uReadPos = 0;
}

void CIPCMsgBuffer::Load(std::vector<uint8_t>&& bytes) {
  m_Bytes = std::move(bytes);
  m_uReadPos = 0;
}

void CIPCMsgBuffer::Clear() {
  m_Bytes.clear();
  m_uReadPos = 0;
}

CStreamable::~CStreamable() = default;

CComponentID::CComponentID(const char16_t* id) : m_strId(id) {}
CComponentID::CComponentID(const OS::x_wstring& id) : m_strId(id) {}
