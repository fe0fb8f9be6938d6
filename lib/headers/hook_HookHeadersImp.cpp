#include "headers/hook_HookHeadersImp.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

#include "xdr/hook_ByteOrder.h"

// Wide strings are handed out in place, as stored: that is only the host's char16_t on a
// little-endian host. Both processes run on the same one.
static_assert(std::endian::native == std::endian::little, "header values are read in place");

// ---------------------------------------------------------------------------------------------
// COutputHookHeadersImp

COutputHookHeadersImp::COutputHookHeadersImp(void* base, int size)
    : m_Output(static_cast<char*>(base), size > 0 ? static_cast<uint64_t>(size) : 0),
      m_ullHeaderCount(0),
      m_iRefCount(0) {}

COutputHookHeadersImp::COutputHookHeadersImp(uint64_t size)
    : m_Output(size), m_ullHeaderCount(0), m_iRefCount(0) {}

COutputHookHeadersImp::COutputHookHeadersImp() : COutputHookHeadersImp(uint64_t{0}) {}

COutputHookHeadersImp::~COutputHookHeadersImp() = default;

namespace {

// The bytes of a value as the encoder stores it, for a record written in one piece.
struct Encoded {
  uint64_t bytes = 0;  // the value's bytes (a string's count, units and terminator)
  uint32_t count = 0;  // a string's count, units + 1
  const void* units = nullptr;
  uint32_t unit = 0;  // bytes per unit of a string, 0 for a number
  int64_t number = 0;
};

Encoded Encode(int v) {
  return {4, 0, nullptr, 0, v};
}
Encoded Encode(int64_t v) {
  return {8, 0, nullptr, 0, v};
}
template <class C>
Encoded Encode(std::basic_string_view<C> s) {
  const uint64_t len = s.size();
  if (len >= UINT32_MAX) return {};  // too long for a count: the encoder refuses it
  return {4 + (len + 1) * sizeof(C), static_cast<uint32_t>(len + 1), s.data(), sizeof(C), 0};
}
template <class C>
Encoded Encode(const C* s) {
  return Encode(s != nullptr ? std::basic_string_view<C>(s) : std::basic_string_view<C>());
}

// What the XDR writer takes for a value written in three pieces.
template <class T>
T Streamable(T value) {
  return value;
}
template <class C>
std::basic_string<C> Streamable(std::basic_string_view<C> value) {
  return std::basic_string<C>(value);
}

}  // namespace

template <class T>
int COutputHookHeadersImp::Append(HookHeaderType tag, int id, T value) {
  // The common case, a record that fits, is written in one piece: one test of the room left
  // instead of one per value. The bytes are those of the three writes below.
  const Encoded e = Encode(value);
  CMessageBlock* block = m_Output.Current();
  const uint64_t used = block->WriteOffset();
  const uint64_t capacity = block->Capacity();
  if (e.bytes != 0 && used <= capacity && 8 + e.bytes <= capacity - used) {
    char* p = block->WritePtr();
    hook_le::Store<uint32_t>(p, static_cast<uint32_t>(tag));
    hook_le::Store<int32_t>(p + 4, id);
    if (e.unit == 0) {
      if (e.bytes == 4)
        hook_le::Store<int32_t>(p + 8, static_cast<int32_t>(e.number));
      else
        hook_le::Store<int64_t>(p + 8, e.number);
    } else {
      hook_le::Store<uint32_t>(p + 8, e.count);
      const uint64_t text = uint64_t{e.count - 1} * e.unit;
      // Units as stored are the host's: the list is only read in place on a little-endian host.
      if (text != 0) std::memcpy(p + 12, e.units, static_cast<size_t>(text));
      std::memset(p + 12 + text, 0, e.unit);
    }
    block->WritePtr(8 + e.bytes);
  } else {
    // No test between the three writes: each fails by itself, and the sticky good bit tells
    // whether the whole record made it.
    m_Output << static_cast<int>(tag);
    m_Output << id;
    if constexpr (std::is_same_v<T, std::string_view> || std::is_same_v<T, std::u16string_view>)
      m_Output << Streamable(value).c_str();
    else
      m_Output << value;
  }
  if (m_Output.GoodBit() != 1) return -1;
  ++m_ullHeaderCount;
  return 0;
}

int COutputHookHeadersImp::SetHeader(int id, int64_t value) {
  return Append(HEADER_TYPE_INT64, id, value);
}
int COutputHookHeadersImp::SetHeader(int id, const char16_t* value) {
  return Append(HEADER_TYPE_WSTRING, id, value);
}
int COutputHookHeadersImp::SetHeader(int id, const char* value) {
  return Append(HEADER_TYPE_STRING, id, value);
}
int COutputHookHeadersImp::SetText(int id, std::string_view value) {
  return Append(HEADER_TYPE_STRING, id, value);
}
int COutputHookHeadersImp::SetText(int id, std::u16string_view value) {
  return Append(HEADER_TYPE_WSTRING, id, value);
}
int COutputHookHeadersImp::SetHeader(int id, int value) {
  return Append(HEADER_TYPE_INT, id, value);
}

void COutputHookHeadersImp::Release() {
  const int before = m_iRefCount--;
  if (before != 0 && m_iRefCount == 0) delete this;
}

// ---------------------------------------------------------------------------------------------
// CInputHookHeadersImp

CInputHookHeadersImp::CInputHookHeadersImp(void* data, int size)
    : m_Input(static_cast<const char*>(data), size > 0 ? static_cast<uint64_t>(size) : 0),
      m_ullHeaderCount(0),
      m_iRefCount(1) {
  Parse();
}

CInputHookHeadersImp::CInputHookHeadersImp(CMessageBlock* mb)
    : m_Input(static_cast<const CMessageBlock*>(mb)), m_ullHeaderCount(0), m_iRefCount(1) {
  Parse();
}

CInputHookHeadersImp::CInputHookHeadersImp(OutputXDR& out)
    : m_Input(out), m_ullHeaderCount(0), m_iRefCount(1) {
  Parse();
}

CInputHookHeadersImp::CInputHookHeadersImp() : m_Input(), m_ullHeaderCount(0), m_iRefCount(1) {}

CInputHookHeadersImp::~CInputHookHeadersImp() {
  Cleanup();
}

void CInputHookHeadersImp::Parse() {
  ParseRecords();
  auto byId = [](const HeaderValue& a, const HeaderValue& b) { return a.iId < b.iId; };
  // Lists are usually written in id order already; a stable sort keeps list order within an id.
  if (!std::is_sorted(m_Headers.begin(), m_Headers.end(), byId))
    std::stable_sort(m_Headers.begin(), m_Headers.end(), byId);
  for (size_t i = 0; i < m_Headers.size(); ++i)
    if (i == 0 || m_Headers[i].iId != m_Headers[i - 1].iId) ++m_ullHeaderCount;
}

void CInputHookHeadersImp::ParseRecords() {
  // Read straight from the bytes rather than value by value through the decoder: a list is
  // parsed once per message in the service, and each decoder call re-tests the block it reads.
  // Every step first tests what is left; the first record that does not fit ends the list.
  const char* p = m_Input.ReadPtr();
  const char* const end = p + m_Input.Length();
  auto left = [&] { return static_cast<uint64_t>(end - p); };
  // The smallest record (tag, id, a 4-byte integer) is 12 bytes; a typical list needs one
  // allocation.
  m_Headers.reserve(std::min<uint64_t>(left() / 12, 64));
  for (;;) {
    if (left() < 4) break;
    const uint32_t tag = hook_le::Load<uint32_t>(p);
    p += 4;
    if (tag != HEADER_TYPE_INT && tag != HEADER_TYPE_INT64 && tag != HEADER_TYPE_STRING &&
        tag != HEADER_TYPE_WSTRING) {
      continue;  // an unknown tag costs its 4 bytes; the next 4 are read as a tag
    }
    if (left() < 4) break;
    const int32_t id = hook_le::Load<int32_t>(p);
    p += 4;
    const char* value = p;
    uint32_t units = 0;
    if (tag == HEADER_TYPE_INT || tag == HEADER_TYPE_INT64) {
      const uint64_t width = tag == HEADER_TYPE_INT ? 4 : 8;
      if (left() < width) break;
      p += width;
    } else {
      if (left() < 4) break;
      const uint32_t count = hook_le::Load<uint32_t>(p);
      p += 4;
      const uint64_t unit = tag == HEADER_TYPE_WSTRING ? 2 : 1;
      if (uint64_t{count} * unit > left()) break;
      p += uint64_t{count} * unit;
      // A string is only handed out when it ends in its terminator where its count says; a
      // count of 0 has no terminator at all.
      if (count == 0) break;
      value += 4;
      const char* last = value + (uint64_t{count} - 1) * unit;
      if (last[0] != 0 || (unit == 2 && last[1] != 0)) break;
      units = count - 1;
    }
    m_Headers.push_back(HeaderValue{id, tag, units, value});
  }
  m_Input.ReadPtr(static_cast<uint64_t>(p - m_Input.ReadPtr()));
}

std::pair<const CInputHookHeadersImp::HeaderValue*, const CInputHookHeadersImp::HeaderValue*>
CInputHookHeadersImp::Values(int id) const {
  auto first = std::lower_bound(m_Headers.begin(), m_Headers.end(), id,
                                [](const HeaderValue& v, int key) { return v.iId < key; });
  auto last = first;
  while (last != m_Headers.end() && last->iId == id) ++last;
  return {m_Headers.data() + (first - m_Headers.begin()), m_Headers.data() + (last - m_Headers.begin())};
}

const char* CInputHookHeadersImp::Find(int id, HookHeaderType tag) const {
  auto [first, last] = Values(id);
  if (first == last || first->uTag != tag) return nullptr;
  return first->pValue;
}

int CInputHookHeadersImp::GetHeader(int id, int* value) const {
  const char* p = Find(id, HEADER_TYPE_INT);
  if (p == nullptr) return -1;
  *value = hook_le::Load<int32_t>(p);
  return 0;
}

int CInputHookHeadersImp::GetHeader(int id, int64_t* value) const {
  const char* p = Find(id, HEADER_TYPE_INT64);
  if (p == nullptr) return -1;
  *value = hook_le::Load<int64_t>(p);
  return 0;
}

int CInputHookHeadersImp::GetHeader(int id, const char** value) const {
  const char* p = Find(id, HEADER_TYPE_STRING);
  if (p == nullptr) return -1;
  *value = p;
  return 0;
}

int CInputHookHeadersImp::GetHeader(int id, const char16_t** value) const {
  const char* p = Find(id, HEADER_TYPE_WSTRING);
  if (p == nullptr) return -1;
  *value = reinterpret_cast<const char16_t*>(p);
  return 0;
}

int CInputHookHeadersImp::GetHeadersId(int* ids, int capacity, int& count) {
  const uint64_t room = capacity > 0 ? static_cast<uint64_t>(capacity) : 0;
  if (m_ullHeaderCount > room || (ids == nullptr && m_ullHeaderCount != 0)) return -1;
  for (size_t i = 0; i < m_Headers.size(); ++i) {
    if (i > 0 && m_Headers[i].iId == m_Headers[i - 1].iId) continue;
    *ids++ = m_Headers[i].iId;
    ++count;
  }
  return 0;
}

int CInputHookHeadersImp::Enumerate(CEnumerateInputHeadersCallback& callback) {
  auto [first, last] = Values(callback.GetHeaderId());
  const int n = static_cast<int>(last - first);
  callback.OnBegin(n);
  for (int i = 0; i < n; ++i) callback.OnValue(i, first[i].pValue);
  callback.OnEnd();
  return 0;
}

int CInputHookHeadersImp::Cleanup() {
  m_Headers.clear();
  return 0;
}

void CInputHookHeadersImp::Release() {
  const int before = m_iRefCount--;
  if (before != 0 && m_iRefCount == 0) delete this;
}

uint64_t CInputHookHeadersImp::GetDataLength() {
  return m_Input.Begin()->WriteOffset();
}

void* CInputHookHeadersImp::GetDataBlock() {
  return m_Input.Begin()->Base();
}

int CInputHookHeadersImp::GetValueTag(int id, int index, uint32_t& tag) const {
  auto [first, last] = Values(id);
  if (index < 0 || index >= last - first) return -1;
  tag = first[index].uTag;
  return 0;
}

int CInputHookHeadersImp::GetValue(int id, int index, uint32_t& tag, const char*& value,
                                   uint32_t& units) const {
  auto [first, last] = Values(id);
  if (index < 0 || index >= last - first) return -1;
  tag = first[index].uTag;
  value = first[index].pValue;
  units = first[index].uUnits;
  return 0;
}
