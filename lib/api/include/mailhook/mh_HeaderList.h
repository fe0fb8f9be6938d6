// A message's header list as the layer hands it to programs: typed records under numeric ids,
// written by the hook beside the content and by the service as its update, read back by the
// other side. What an id means is the programs' own business (<mailhook/mh_MailRecords.h> has the
// ids the mailhook command, milter and service agree on); the library only carries them.
//
// In a backing file each record is a 32-bit type tag, the 32-bit id and the value (integers
// little-endian; strings with a 32-bit count of units including a terminating 0); the sizes below
// are those bytes, so a program never has to count them itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <mailhook/mailhook_export.h>

namespace mailhook {

// One record. Strings are copies: a list read from a backing file no longer depends on it.
struct MAILHOOK_API CHeaderValue {
  enum Type : uint32_t { kInt = 7, kString = 9, kWString = 16, kInt64 = 17 };

  int32_t id = 0;
  Type type = kInt;
  int64_t number = 0;   // kInt (within 32 bits) and kInt64
  std::string text;     // kString: bytes as written, without the terminator
  std::u16string wide;  // kWString: UTF-16 units, without the terminator

  static CHeaderValue Int(int32_t id, int32_t value);
  static CHeaderValue Int64(int32_t id, int64_t value);
  static CHeaderValue String(int32_t id, std::string_view bytes);
  static CHeaderValue WString(int32_t id, std::u16string_view units);
  // Text as a string record when it is ASCII, else as a wide one (from UTF-8).
  static CHeaderValue Text(int32_t id, std::string_view utf8);

  // The value as UTF-8 text: a string's bytes, a wide string converted, a number in decimal.
  std::string Utf8() const;
  // Bytes the record takes in a header list.
  uint64_t EncodedSize() const;
  // The record as a field over this value's own memory (valid while it lives and is not changed),
  // so that code written for fields read in place serves copies too.
  struct CHeaderField Field() const;
  bool operator==(const CHeaderValue& other) const = default;
};

// One record read where it lies in a backing file, without a copy. It is valid only while the
// message it belongs to is being handled; the other process could still change its bytes (never
// their extent), so a value that must be relied on later is taken out with Copy().
struct MAILHOOK_API CHeaderField {
  int32_t id = 0;
  CHeaderValue::Type type = CHeaderValue::kInt;
  int64_t number = 0;               // kInt and kInt64
  std::string_view text;            // kString: bytes as written, without the terminator
  const void* wideUnits = nullptr;  // kWString: UTF-16 units as they lie (maybe at an odd address)
  uint32_t wideCount = 0;           // kWString: units, without the terminator

  std::u16string Wide() const;  // a kWString's units, copied
  std::string Utf8() const;     // as CHeaderValue::Utf8
  CHeaderValue Copy() const;
};

// A whole header list held in the program's own memory.
class MAILHOOK_API CHeaderList {
 public:
  CHeaderList() = default;
  CHeaderList(std::initializer_list<CHeaderValue> values) : m_Values(values) {}
  explicit CHeaderList(std::vector<CHeaderValue> values) : m_Values(std::move(values)) {}

  // The records of a list's bytes, ordered by id and, within one id, in the order written. A
  // list cut short or damaged gives its complete records before the damage: bytes from another
  // process are never trusted further than that.
  static CHeaderList Parse(const void* data, size_t size);

  void Add(CHeaderValue value) { m_Values.push_back(std::move(value)); }
  // The first record under id, or null.
  const CHeaderValue* Find(int32_t id) const;
  // Every record under id, in list order.
  std::vector<const CHeaderValue*> FindAll(int32_t id) const;
  // Bytes the list takes in a backing file.
  uint64_t EncodedSize() const;

  size_t size() const { return m_Values.size(); }
  bool empty() const { return m_Values.empty(); }
  std::vector<CHeaderValue>::const_iterator begin() const { return m_Values.begin(); }
  std::vector<CHeaderValue>::const_iterator end() const { return m_Values.end(); }
  const CHeaderValue& operator[](size_t i) const { return m_Values[i]; }
  const std::vector<CHeaderValue>& Values() const { return m_Values; }

 private:
  std::vector<CHeaderValue> m_Values;
};

// UTF-8 and UTF-16, as wide records hold text (an invalid sequence becomes U+FFFD).
MAILHOOK_API std::u16string Utf8ToUtf16(std::string_view utf8);
MAILHOOK_API std::string Utf16ToUtf8(std::u16string_view utf16);

class CHeaderListSink;  // the layer's own: where a writer's records go

// Appends records to a header list in a backing file, in place. Each Add throws
// CMailhookError(TOO_LARGE) when the list cannot take the record (the hook's header file grows
// up to its limit; the service's update list has the room its file has), and
// CMailhookError(INVALID_ARGUMENT) for a string holding a 0 byte or unit, which the list cannot
// carry; a record that fails leaves the list as it was. Not thread-safe: one writer, one thread
// at a time. Made by the layer (CMessage::Headers, CScanMessage::UpdateHeaders), never copied.
class MAILHOOK_API CHeaderListWriter {
 public:
  explicit CHeaderListWriter(CHeaderListSink& sink) : m_Sink(sink) {}
  CHeaderListWriter(const CHeaderListWriter&) = delete;
  CHeaderListWriter& operator=(const CHeaderListWriter&) = delete;

  void AddInt(int32_t id, int32_t value);
  void AddInt64(int32_t id, int64_t value);
  void AddString(int32_t id, std::string_view bytes);
  void AddWString(int32_t id, std::u16string_view units);
  // ASCII as a string record, anything else as a wide one.
  void AddText(int32_t id, std::string_view utf8);
  void Add(const CHeaderValue& value);
  void Add(const CHeaderList& list);

  size_t Count() const;    // records written
  uint64_t Bytes() const;  // bytes of the list so far

 private:
  CHeaderListSink& m_Sink;
};

}  // namespace mailhook
