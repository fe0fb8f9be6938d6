// The header list: a message's headers as a flat sequence of typed records, written by the hook
// (or by the service for changed headers) into a shared-memory data area and indexed in place
// by the other side.
//
// Format, all integers little-endian, packed, no count and no terminator (the list ends where
// the data size recorded with the area says):
//   record = u32 tag | i32 header id | value
//   tag 7  HEADER_TYPE_INT      i32
//   tag 9  HEADER_TYPE_STRING   u32 count n (chars + 1), n bytes ending in 0
//   tag 16 HEADER_TYPE_WSTRING  u32 count n (UTF-16 units + 1), n units ending in a 0 unit
//   tag 17 HEADER_TYPE_INT64    i64
// Ids mean nothing to the library; one id may appear in several records, in write order.
// Example: header 5 = "abc", then header 2 = 7:
//   09 00 00 00 05 00 00 00 04 00 00 00 61 62 63 00 07 00 00 00 02 00 00 00 07 00 00 00
#pragma once

#include <cstdint>

#include "mailhook_export.h"

enum HookHeaderType : uint32_t {
  HEADER_TYPE_INT = 7,
  HEADER_TYPE_STRING = 9,
  HEADER_TYPE_WSTRING = 16,
  HEADER_TYPE_INT64 = 17,
};

class MAILHOOK_API CHookHeaders {};

// Appends records to a header list. Results: 0, or -1 when the record did not fit.
class MAILHOOK_API COutputHookHeaders {
 public:
  COutputHookHeaders() = default;
  COutputHookHeaders(const COutputHookHeaders&) = default;
  COutputHookHeaders& operator=(const COutputHookHeaders&) = default;
  virtual ~COutputHookHeaders();

  virtual int SetHeader(int id, int64_t value) = 0;
  // Null values are written as the empty string.
  virtual int SetHeader(int id, const char16_t* value) = 0;
  virtual int SetHeader(int id, const char* value) = 0;
  virtual int SetHeader(int id, int value) = 0;
  // Records written by successful SetHeader calls.
  virtual uint64_t GetHeaderCount() = 0;
  virtual void Release() = 0;
  // Bytes written so far (partial bytes of a failed record included) and where they start.
  virtual uint64_t GetDataLength() = 0;
  virtual void* GetDataBlock() = 0;
};

// An index over one header list. Values are not copied: string results point into the list's
// bytes, so they live as long as those bytes (and change when they change).
class MAILHOOK_API CInputHookHeaders {
 public:
  // Receives every value stored under one id. Implementations are final or keep their own
  // destructor protected: the reader never destroys a callback.
  class CEnumerateInputHeadersCallback {
   public:
    virtual int GetHeaderId() = 0;
    virtual void OnBegin(int count) = 0;
    virtual void OnEnd() = 0;
    // value: for integers the address of their 4 or 8 little-endian bytes; for strings the
    // address of the first character of a terminated string (wide ones may be unaligned).
    virtual void OnValue(int index, const void* value) = 0;

   protected:
    CEnumerateInputHeadersCallback() = default;
    CEnumerateInputHeadersCallback(const CEnumerateInputHeadersCallback&) = default;
    CEnumerateInputHeadersCallback& operator=(const CEnumerateInputHeadersCallback&) = default;
    ~CEnumerateInputHeadersCallback() = default;
  };

  CInputHookHeaders() = default;
  CInputHookHeaders(const CInputHookHeaders&) = default;
  CInputHookHeaders& operator=(const CInputHookHeaders&) = default;

  virtual int Enumerate(CEnumerateInputHeadersCallback& callback) = 0;
  virtual ~CInputHookHeaders();
  // The first value stored under id. 0, or -1 with the output untouched when id is absent or
  // its first value is of another type.
  virtual int GetHeader(int id, int64_t* value) const = 0;
  // The wide string in place: UTF-16 units as stored, possibly at an odd address.
  virtual int GetHeader(int id, const char16_t** value) const = 0;
  virtual int GetHeader(int id, const char** value) const = 0;
  virtual int GetHeader(int id, int* value) const = 0;
  // Distinct ids, not records.
  virtual uint64_t GetHeaderCount() = 0;
  // Appends the ids in ascending order to ids[0..] and adds their number to count (the caller
  // zeroes it); -1 and nothing written when they do not fit in capacity.
  virtual int GetHeadersId(int* ids, int capacity, int& count) = 0;
  virtual void Release() = 0;
  virtual uint64_t GetDataLength() = 0;
  virtual void* GetDataBlock() = 0;
};
