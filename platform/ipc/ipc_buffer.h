// The IPC library stand-in: CIPCMsgBuffer, a byte buffer of typed items with a write end and a
// read position, and CStreamable, the base of objects that stream themselves into one.
//
// Wire format (little-endian, no padding). Every item starts with a one-byte tag:
//   0x01 signed 32-bit      4 bytes
//   0x02 unsigned 32-bit    4 bytes
//   0x03 wide string        u32 count of UTF-16 code units, then the units (no terminator)
//   0x04 list of strings    u32 count of strings, then each as u32 count + units (no tags)
// A string written by pointer (up to its zero) and one written as OS::x_wstring are the same
// item, so either reads back as OS::x_wstring.
//
// Reads are const and move a mutable read position: the buffer is the sender's immutable
// message, the position is the reader's cursor. A read that finds another tag, runs past the
// written bytes or meets a count the remaining bytes cannot hold throws CIPCError and leaves
// the read position and the target unchanged. Counts are checked against the bytes left before
// anything is allocated, so hostile bytes cannot make a read allocate more than they hold.
//
// Not thread-safe, reads included (they move the position): one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "mh_ipc_export.h"
#include "os/os_string.h"

using CIPCStringList = std::vector<OS::x_wstring>;

// Raised by CIPCMsgBuffer for a read of the wrong type, past the end, with a count the bytes
// cannot hold, and for a write past a fixed-size buffer's capacity.
class MH_IPC_API CIPCError : public std::runtime_error {
 public:
  enum Code : int {
    TYPE_MISMATCH = 1,  // the next item has another tag
    PAST_END = 2,       // the item (or its tag) runs past the written bytes
    BAD_COUNT = 3,      // a string or list count larger than the remaining bytes can hold
    CAPACITY = 4,       // a write past a fixed-size buffer's capacity, or past 4 GiB
  };
  CIPCError(Code code, const std::string& what);
  Code GetCode() const { return m_eCode; }

 private:
  Code m_eCode;
};

class MH_IPC_API CIPCMsgBuffer {
 public:
  enum ItemTag : uint8_t {
    TAG_INT32 = 0x01,
    TAG_UINT32 = 0x02,
    TAG_WSTRING = 0x03,
    TAG_WSTRING_LIST = 0x04,
  };

  // size: bytes reserved up front. fixedSize: when true, the buffer never grows past size and a
  // write that would need more throws CIPCError(CAPACITY); when false it grows as needed.
  explicit CIPCMsgBuffer(uint32_t size = 0, bool fixedSize = false);
  CIPCMsgBuffer(const CIPCMsgBuffer&) = default;
  CIPCMsgBuffer(CIPCMsgBuffer&&) noexcept = default;
  CIPCMsgBuffer& operator=(const CIPCMsgBuffer&) = default;
  CIPCMsgBuffer& operator=(CIPCMsgBuffer&&) noexcept = default;
  virtual ~CIPCMsgBuffer();

  // Writes append one item at the end.
  CIPCMsgBuffer& operator<<(int32_t value);
  CIPCMsgBuffer& operator<<(uint32_t value);
  // A zero-terminated string; null writes an empty string.
  CIPCMsgBuffer& operator<<(const char16_t* value);
  CIPCMsgBuffer& operator<<(const OS::x_wstring& value);
  CIPCMsgBuffer& operator<<(const CIPCStringList& value);

  // Reads take the item at the read position and advance past it.
  const CIPCMsgBuffer& operator>>(int32_t& value) const;
  const CIPCMsgBuffer& operator>>(uint32_t& value) const;
  const CIPCMsgBuffer& operator>>(OS::x_wstring& value) const;
  // Replaces the list's contents with the received strings.
  const CIPCMsgBuffer& operator>>(CIPCStringList& value) const;

  // The tag of the next item; throws CIPCError(PAST_END) when nothing is left.
  ItemTag PeekTag() const;

  // The written bytes, as a transport sends them.
  const uint8_t* GetData() const { return m_Bytes.data(); }
  size_t GetSize() const { return m_Bytes.size(); }
  // Replaces the contents with received bytes and rewinds the read position. Nothing is
  // checked here: each read checks what it takes.
  void Load(const void* data, size_t size);
  void Load(std::vector<uint8_t>&& bytes);
  // Empties the buffer (contents and read position).
  void Clear();

  size_t GetReadPos() const { return m_uReadPos; }
  size_t GetRemaining() const { return m_Bytes.size() - m_uReadPos; }
  bool AtEnd() const { return m_uReadPos >= m_Bytes.size(); }
  void Rewind() const { m_uReadPos = 0; }

 private:
  // Room for size more bytes at the end, within the capacity.
  uint8_t* Grow(size_t size);
  static void PutU32(uint8_t* at, uint32_t value);
  void AppendU32Item(ItemTag tag, uint32_t value);
  void AppendUnits(const char16_t* units, size_t count);
  void AppendStringItem(const char16_t* units, size_t count);
  // Checks the tag at pos and returns the position after it.
  size_t TakeTag(size_t pos, ItemTag expected) const;
  uint32_t TakeU32(size_t& pos) const;
  // Reads count + units at pos into out.
  void TakeUnits(size_t& pos, OS::x_wstring& out) const;

  std::vector<uint8_t> m_Bytes;
  mutable size_t m_uReadPos = 0;
  uint32_t m_uCapacity;
  bool m_bFixedSize;
};

// The base of objects that stream themselves: "obj << buffer" fills obj from the buffer's read
// position, "obj >> buffer" appends obj to the buffer. It holds no state.
class MH_IPC_API CStreamable {
 public:
  CStreamable() = default;
  CStreamable(const CStreamable&) = default;
  CStreamable& operator=(const CStreamable&) = default;
  virtual ~CStreamable();

  virtual void operator<<(const CIPCMsgBuffer& buffer) = 0;
  virtual void operator>>(CIPCMsgBuffer& buffer) const = 0;
};

// The name of a component an RPC server listens as and a client sends to. Any string is held;
// the transport refuses names that cannot be a file name (see CRPCClientHelper).
class MH_IPC_API CComponentID {
 public:
  explicit CComponentID(const char16_t* id);
  explicit CComponentID(const OS::x_wstring& id);
  const OS::x_wstring& GetId() const { return m_strId; }
  bool operator==(const CComponentID& other) const { return m_strId == other.m_strId; }

 private:
  OS::x_wstring m_strId;
};
