#include <mailhook/mh_Error.h>
#include <mailhook/mh_HeaderList.h>

#include <algorithm>
#include <cstring>

#include "api/mh_HeaderListSink.h"
#include "dbg/dbg_log.h"
#include "headers/hook_HookHeadersImp.h"

namespace mailhook {

namespace {

bool IsAscii(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Bytes of a record: tag and id, then the value (a string's count, units and terminator).
uint64_t RecordBytes(CHeaderValue::Type type, size_t units) {
  switch (type) {
    case CHeaderValue::kInt:
      return 12;
    case CHeaderValue::kInt64:
      return 16;
    case CHeaderValue::kString:
      return 12 + uint64_t{units} + 1;
    case CHeaderValue::kWString:
      return 12 + 2 * (uint64_t{units} + 1);
  }
  return 0;
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view utf8) {
  return DBG::FromUtf8(std::string(utf8));
}
std::string Utf16ToUtf8(std::u16string_view utf16) {
  return DBG::ToUtf8(std::u16string(utf16));
}

// ---------------------------------------------------------------------------------------------
// CHeaderValue

CHeaderValue CHeaderValue::Int(int32_t id, int32_t value) {
  return {id, kInt, value, {}, {}};
}
CHeaderValue CHeaderValue::Int64(int32_t id, int64_t value) {
  return {id, kInt64, value, {}, {}};
}
CHeaderValue CHeaderValue::String(int32_t id, std::string_view bytes) {
  return {id, kString, 0, std::string(bytes), {}};
}
CHeaderValue CHeaderValue::WString(int32_t id, std::u16string_view units) {
  return {id, kWString, 0, {}, std::u16string(units)};
}
CHeaderValue CHeaderValue::Text(int32_t id, std::string_view utf8) {
  if (IsAscii(utf8)) return String(id, utf8);
  return {id, kWString, 0, {}, Utf8ToUtf16(utf8)};
}

std::string CHeaderValue::Utf8() const {
  switch (type) {
    case kString:
      return text;
    case kWString:
      return Utf16ToUtf8(wide);
    case kInt:
    case kInt64:
      return std::to_string(number);
  }
  return {};
}

uint64_t CHeaderValue::EncodedSize() const {
  return RecordBytes(type, type == kString ? text.size() : wide.size());
}

// ---------------------------------------------------------------------------------------------
// CHeaderList

CHeaderList CHeaderList::Parse(const void* data, size_t size) {
  if (data == nullptr || size == 0 || size > static_cast<size_t>(INT32_MAX)) return {};
  // The reader indexes the list where it lies, once; every value is copied out of it and
  // nothing is read from the bytes afterwards.
  CInputHookHeadersImp reader(const_cast<void*>(data), static_cast<int>(size));
  return HeaderListFrom(reader);
}

bool FieldFrom(int32_t id, uint32_t tag, const char* value, uint32_t units, CHeaderField& field) {
  field.id = id;
  field.type = static_cast<CHeaderValue::Type>(tag);
  switch (tag) {
    case HEADER_TYPE_INT: {
      int32_t n = 0;
      std::memcpy(&n, value, sizeof n);
      field.number = n;
      return true;
    }
    case HEADER_TYPE_INT64:
      std::memcpy(&field.number, value, sizeof field.number);
      return true;
    case HEADER_TYPE_STRING:
      field.text = std::string_view(value, units);
      return true;
    case HEADER_TYPE_WSTRING:
      field.wideUnits = value;
      field.wideCount = units;
      return true;
    default:
      return false;
  }
}

CHeaderList HeaderListFrom(const CInputHookHeadersImp& reader) {
  std::vector<CHeaderValue> values;
  values.reserve(reader.RecordCount());
  ForEachField(reader, [&](const CHeaderField& field) { values.push_back(field.Copy()); });
  return CHeaderList(std::move(values));
}

std::u16string CHeaderField::Wide() const {
  // Wide strings may lie at odd addresses: copied byte-wise.
  std::u16string units(wideCount, u'\0');
  if (wideCount != 0) std::memcpy(units.data(), wideUnits, size_t{wideCount} * sizeof(char16_t));
  return units;
}

std::string CHeaderField::Utf8() const {
  switch (type) {
    case CHeaderValue::kString:
      return std::string(text);
    case CHeaderValue::kWString:
      return Utf16ToUtf8(Wide());
    case CHeaderValue::kInt:
    case CHeaderValue::kInt64:
      return std::to_string(number);
  }
  return {};
}

CHeaderField CHeaderValue::Field() const {
  CHeaderField field;
  field.id = id;
  field.type = type;
  field.number = number;
  field.text = text;
  field.wideUnits = wide.data();
  field.wideCount = static_cast<uint32_t>(wide.size());
  return field;
}

CHeaderValue CHeaderField::Copy() const {
  CHeaderValue value;
  value.id = id;
  value.type = type;
  value.number = number;
  if (type == CHeaderValue::kString) value.text.assign(text);
  if (type == CHeaderValue::kWString) value.wide = Wide();
  return value;
}

const CHeaderValue* CHeaderList::Find(int32_t id) const {
  for (const CHeaderValue& v : m_Values)
    if (v.id == id) return &v;
  return nullptr;
}

std::vector<const CHeaderValue*> CHeaderList::FindAll(int32_t id) const {
  std::vector<const CHeaderValue*> found;
  for (const CHeaderValue& v : m_Values)
    if (v.id == id) found.push_back(&v);
  return found;
}

uint64_t CHeaderList::EncodedSize() const {
  uint64_t n = 0;
  for (const CHeaderValue& v : m_Values) n += v.EncodedSize();
  return n;
}

// ---------------------------------------------------------------------------------------------
// CHeaderListWriter

namespace {

// A 0 unit would end the string early for a reader that goes by its terminator.
template <class C>
void CheckNoZero(std::basic_string_view<C> s) {
  if (s.find(C{0}) != std::basic_string_view<C>::npos)
    throw CMailhookError(CMailhookError::INVALID_ARGUMENT, "a header-list string cannot hold a 0 unit");
}

template <class F>
void Put(CHeaderListSink& sink, CHeaderValue::Type type, int32_t id, size_t units, F write) {
  const uint64_t bytes = RecordBytes(type, units);
  COutputHookHeadersImp* writer = sink.Room(bytes);
  if (writer == nullptr || write(*writer) != 0)
    throw CMailhookError(CMailhookError::TOO_LARGE, "the header list has no room for record " +
                                                        std::to_string(id) + " (" + std::to_string(bytes) +
                                                        " bytes) after " + std::to_string(sink.Bytes()));
  sink.Wrote();
}

}  // namespace

void CHeaderListWriter::AddInt(int32_t id, int32_t value) {
  Put(m_Sink, CHeaderValue::kInt, id, 0, [&](COutputHookHeaders& w) { return w.SetHeader(id, value); });
}
void CHeaderListWriter::AddInt64(int32_t id, int64_t value) {
  Put(m_Sink, CHeaderValue::kInt64, id, 0, [&](COutputHookHeaders& w) { return w.SetHeader(id, value); });
}
void CHeaderListWriter::AddString(int32_t id, std::string_view bytes) {
  CheckNoZero(bytes);
  Put(m_Sink, CHeaderValue::kString, id, bytes.size(),
      [&](COutputHookHeadersImp& w) { return w.SetText(id, bytes); });
}
void CHeaderListWriter::AddWString(int32_t id, std::u16string_view units) {
  CheckNoZero(units);
  Put(m_Sink, CHeaderValue::kWString, id, units.size(),
      [&](COutputHookHeadersImp& w) { return w.SetText(id, units); });
}
void CHeaderListWriter::AddText(int32_t id, std::string_view utf8) {
  if (IsAscii(utf8))
    AddString(id, utf8);
  else
    AddWString(id, Utf8ToUtf16(utf8));
}

void CHeaderListWriter::Add(const CHeaderValue& v) {
  switch (v.type) {
    case CHeaderValue::kInt:
      return AddInt(v.id, static_cast<int32_t>(v.number));
    case CHeaderValue::kInt64:
      return AddInt64(v.id, v.number);
    case CHeaderValue::kString:
      return AddString(v.id, v.text);
    case CHeaderValue::kWString:
      return AddWString(v.id, v.wide);
  }
  throw CMailhookError(CMailhookError::INVALID_ARGUMENT, "a header value of unknown type");
}

void CHeaderListWriter::Add(const CHeaderList& list) {
  for (const CHeaderValue& v : list) Add(v);
}

size_t CHeaderListWriter::Count() const {
  return m_Sink.Count();
}
uint64_t CHeaderListWriter::Bytes() const {
  return m_Sink.Bytes();
}

}  // namespace mailhook
