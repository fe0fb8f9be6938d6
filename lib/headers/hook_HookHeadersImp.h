// The implementations of the header-list writer and reader (format in hook_HookHeaders.h).
//
// Both are used by one thread at a time and never log: results say everything.
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "headers/hook_HookHeaders.h"
#include "mailhook_export.h"
#include "xdr/hook_XDR.h"

// Writes records into a fixed area: the caller's memory (a resource's data area) or an owned
// one. It never grows: the first record that does not fit fails, and so does every later one
// (the encoder's good bit is sticky), though bytes of them that fit are still written. The
// reader stops at the first incomplete record, so the complete ones before it stay readable.
class MAILHOOK_API COutputHookHeadersImp : public COutputHookHeaders {
 public:
  // Borrows size bytes at base; a negative size (or a null base) leaves no room at all.
  COutputHookHeadersImp(void* base, int size);
  // An owned area of size bytes, OutputXDR::kDefaultSize when 0.
  explicit COutputHookHeadersImp(uint64_t size);
  COutputHookHeadersImp();
  ~COutputHookHeadersImp() override;
  COutputHookHeadersImp(const COutputHookHeadersImp&) = delete;
  COutputHookHeadersImp& operator=(const COutputHookHeadersImp&) = delete;

  int SetHeader(int id, int64_t value) override;
  int SetHeader(int id, const char16_t* value) override;
  int SetHeader(int id, const char* value) override;
  int SetHeader(int id, int value) override;
  // A string record of the units given, which hold no 0 unit: no terminator needed, none counted.
  int SetText(int id, std::string_view value);
  int SetText(int id, std::u16string_view value);
  uint64_t GetHeaderCount() override { return m_ullHeaderCount; }
  // The count starts at 0 and nothing raises it, so this never destroys the writer: its
  // creator does.
  void Release() override;
  uint64_t GetDataLength() override { return m_Output.TotalLength(); }
  void* GetDataBlock() override { return m_Output.Begin()->Base(); }

  // For values written beside the records; they are not counted as headers.
  OutputXDR& GetOutputXDR() { return m_Output; }

 private:
  template <class T>
  int Append(HookHeaderType tag, int id, T value);

  OutputXDR m_Output;
  uint64_t m_ullHeaderCount;
  int m_iRefCount;
};

// Parses a list once, at construction, into an ordered index id -> the values under that id,
// in list order. Each entry keeps the value's address inside the list and its tag, so that a
// lookup of another type is refused instead of reading an integer over a string's bytes (or 8
// bytes over a 4-byte value at the end of the list).
//
// Any byte sequence is accepted: the parse indexes the complete, well-formed records before
// the first fault (a cut-off record, a count past the end, a string whose last unit is not 0
// or whose count is 0) and ignores the rest; an unknown tag costs its 4 bytes and the parse
// goes on with the next 4 as a tag. Nothing outside the given bytes is ever read, and every
// string handed out is terminated within them.
//
// The reader over (data, size) reads the caller's memory in place: results stay valid while
// that memory stays mapped and unchanged. The other parsing constructors read a private copy.
class MAILHOOK_API CInputHookHeadersImp : public CInputHookHeaders {
 public:
  // A negative size (or a null data) is an empty list.
  CInputHookHeadersImp(void* data, int size);
  // A private copy of the unread bytes of mb and its m_Cont chain.
  explicit CInputHookHeadersImp(CMessageBlock* mb);
  // A private copy of what the encoder has written.
  explicit CInputHookHeadersImp(OutputXDR& out);
  // Empty: no ids.
  CInputHookHeadersImp();
  ~CInputHookHeadersImp() override;
  CInputHookHeadersImp(const CInputHookHeadersImp&) = delete;
  CInputHookHeadersImp& operator=(const CInputHookHeadersImp&) = delete;

  // OnBegin(n), OnValue(i, address) for every value of the callback's id, OnEnd(); always 0.
  int Enumerate(CEnumerateInputHeadersCallback& callback) override;
  int GetHeader(int id, int64_t* value) const override;
  int GetHeader(int id, const char16_t** value) const override;
  int GetHeader(int id, const char** value) const override;
  int GetHeader(int id, int* value) const override;
  uint64_t GetHeaderCount() override { return m_ullHeaderCount; }
  int GetHeadersId(int* ids, int capacity, int& count) override;
  // The first Release destroys the reader (the count starts at 1).
  void Release() override;
  // The whole list as given (its first byte and its size), as the writer reports its own: a
  // caller can pass the list on unchanged. Cleanup does not change them.
  uint64_t GetDataLength() override;
  void* GetDataBlock() override;

  // Empties the index for good (no re-parse); GetHeaderCount keeps the earlier count.
  int Cleanup();

  // The tag of value index (0-based, list order) of id: for callers that read whole lists of
  // mixed types through Enumerate. 0, or -1 when there is no such value.
  int GetValueTag(int id, int index, uint32_t& tag) const;
  // Value index of id with its tag, address and, for strings, the number of units before the
  // terminator as the parse found it. Over shared memory the peer can overwrite a terminator
  // after the parse: a caller that reads by this length never reads outside the list, whatever
  // the peer does meanwhile (a terminator search could run off the mapping). 0, or -1.
  int GetValue(int id, int index, uint32_t& tag, const char*& value, uint32_t& units) const;

  // Every record, ordered by id and within an id in list order: visit(id, tag, value, units),
  // value and units as GetValue gives them.
  template <class Visit>
  void ForEachRecord(Visit visit) const {
    for (const HeaderValue& h : m_Headers) visit(h.iId, h.uTag, h.pValue, h.uUnits);
  }
  size_t RecordCount() const { return m_Headers.size(); }

 private:
  struct HeaderValue {
    int32_t iId;
    uint32_t uTag;
    uint32_t uUnits;     // a string's units before its terminator; 0 for integers
    const char* pValue;  // integer bytes, or the first character of a terminated string
  };

  void Parse();
  void ParseRecords();
  // The values under id, in list order: [first, last).
  std::pair<const HeaderValue*, const HeaderValue*> Values(int id) const;
  // The first value under id when it has the given tag, else null.
  const char* Find(int id, HookHeaderType tag) const;

  InputXDR m_Input;
  uint64_t m_ullHeaderCount;
  // One flat index, ordered by id and within an id by list order: one allocation per list
  // rather than one per header.
  std::vector<HeaderValue> m_Headers;
  int m_iRefCount;
};
