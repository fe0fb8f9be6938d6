// OutputXDR and InputXDR: the value encoding of everything the two processes exchange in
// shared memory (the header list above all).
//
// Every value is stored at its natural width, little-endian, packed: no alignment, no filler,
// no byte-order mark.
//   char, octet, boolean (0/1)      1 byte
//   short, unsigned short, wchar    2 bytes (a wide character is one UTF-16 code unit)
//   long, unsigned long             4 bytes
//   64-bit integer                  8 bytes
//   string                          u32 count n (characters + 1), then n bytes ending in 0
//   wide string                     u32 count n (code units + 1), then n units ending in 0
//   array of m elements             the elements, no count
// Example: "abc" is 04 00 00 00 61 62 63 00.
//
// Failure model: every coder has a sticky good bit, 1 from construction and cleared by the
// first failing operation. A failing operation writes or reads nothing and leaves the position
// where it was, except a string, whose count stays consumed (or written). Operations do not
// consult the good bit, so a later, smaller one may still succeed; callers test GoodBit()
// after a sequence. Nothing is logged or thrown except std::bad_alloc for a decoded string.
//
// One coder is used by one thread at a time.
#pragma once

#include <cstdint>

#include "mailhook_export.h"
#include "xdr/hook_MessageBlock.h"

class MAILHOOK_API XDR {};

class MAILHOOK_API OutputXDR {
 public:
  static constexpr uint64_t kDefaultSize = 512;

  // Encodes into the caller's buffer (capacity size); the buffer is never freed here.
  OutputXDR(char* buffer, uint64_t size);
  // Encodes into mb's data block, shared with one more reference, from the area's first byte
  // whatever mb's positions are; mb itself is not changed. A null mb (or one without a data
  // block) gives an encoder with no room.
  explicit OutputXDR(CMessageBlock* mb);
  // An owned area of size bytes (kDefaultSize when 0).
  explicit OutputXDR(uint64_t size);
  OutputXDR();
  ~OutputXDR() = default;
  OutputXDR(const OutputXDR&) = delete;
  OutputXDR& operator=(const OutputXDR&) = delete;

  bool WriteChar(char c);
  bool WriteOctect(unsigned char c);
  bool WriteBoolean(unsigned char b);
  bool WriteShort(int16_t v);
  bool WriteUShort(uint16_t v);
  bool WriteWChar(char16_t v);
  bool WriteLong(int32_t v);
  bool WriteULong(uint32_t v);
  bool WriteULongLong(int64_t v);

  // len != 0: count len + 1, the len characters at s and a terminating 0 (written here, not
  // read from s[len], so a buffer without a terminator never leaks a stray byte); len == 0:
  // the empty string (s is not read). Fails without writing characters when the count did not
  // fit, and when len + 1 does not fit in the 32-bit count.
  bool WriteString(uint32_t len, const char* s);
  // Null as the empty string.
  bool WriteString(const char* s);
  bool WriteWString(uint32_t len, const char16_t* s);
  bool WriteWString(const char16_t* s);

  bool WriteCharArray(const char* p, uint32_t n);
  bool WriteOctectArray(const unsigned char* p, uint32_t n);
  bool WriteShortArray(const int16_t* p, uint32_t n);
  bool WriteUShortArray(const uint16_t* p, uint32_t n);
  bool WriteWCharArray(const char16_t* p, uint32_t n);
  bool WriteLongArray(const int32_t* p, uint32_t n);
  bool WriteULongArray(const uint32_t* p, uint32_t n);
  // One element at a time, stopping as soon as the good bit is 0 (also before the first one);
  // returns the good bit.
  int WriteBooleanArray(const unsigned char* p, uint32_t n);

  int GoodBit() const { return m_GoodBit; }
  const CMessageBlock* Begin() const { return &m_Block; }
  CMessageBlock* Current() const { return m_Current; }
  CMessageBlock* End() const { return m_Current->Cont(); }
  // Bytes written: the lengths of the blocks from Begin() through Current().
  uint64_t TotalLength() const;

 private:
  // Reserves n bytes at the write position: p is their address. 0, or -1 (good bit cleared,
  // nothing reserved) when they go past the capacity.
  int Adjust(uint64_t n, char*& p);
  template <class T>
  bool WriteValue(T v);
  template <class T>
  bool WriteArray(const T* p, uint32_t n);
  template <class T>
  bool WriteStringOf(uint32_t len, const T* s);

  CMessageBlock m_Block;
  CMessageBlock* m_Current;
  int m_GoodBit;
};

class MAILHOOK_API InputXDR {
 public:
  // Nothing to read.
  InputXDR();
  // A private copy of everything the encoder has written; all of it readable.
  explicit InputXDR(const OutputXDR& out);
  // Over db, with flags as the message block's flags; nothing readable.
  InputXDR(CDataBlock* db, uint32_t flags);
  // Reads size bytes of the caller's memory in place (borrowed); null data reads nothing.
  InputXDR(const char* data, uint64_t size);
  // A private copy of the unread bytes of mb and its m_Cont chain, in chain order; null mb
  // reads nothing.
  explicit InputXDR(const CMessageBlock* mb);
  // An owned area of size bytes; nothing readable.
  explicit InputXDR(uint64_t size);
  ~InputXDR() = default;
  InputXDR(const InputXDR&) = delete;
  InputXDR& operator=(const InputXDR&) = delete;

  bool ReadChar(char& c);
  bool ReadOctect(unsigned char& c);
  // The target becomes 0 or 1; left unchanged on failure. Returns the good bit.
  int ReadBoolean(unsigned char& b);
  bool ReadShort(int16_t& v);
  bool ReadUShort(uint16_t& v);
  bool ReadWChar(char16_t& v);
  bool ReadLong(int32_t& v);
  bool ReadULong(uint32_t& v);
  bool ReadULongLong(int64_t& v);

  // A new heap string owned by the caller (free with FreeMem), exactly the stored characters
  // and terminator; count 0 reads as the empty string. Null and false when the count or the
  // characters are missing, and also when the last stored unit is not 0: a decoded string is
  // always terminated where its count says, so a stored one without its terminator is
  // malformed. The count stays consumed on those failures.
  bool ReadString(char*& s);
  bool ReadWString(char16_t*& s);

  // n elements into the caller's array; fail at once (nothing read) when fewer remain.
  bool ReadCharArray(char* p, uint32_t n);
  bool ReadOctectArray(unsigned char* p, uint32_t n);
  bool ReadShortArray(int16_t* p, uint32_t n);
  bool ReadUShortArray(uint16_t* p, uint32_t n);
  bool ReadWCharArray(char16_t* p, uint32_t n);
  bool ReadLongArray(int32_t* p, uint32_t n);
  bool ReadULongArray(uint32_t* p, uint32_t n);
  // Each element stored as 0/1; returns the good bit, or 0 (nothing read) when fewer remain.
  int ReadBooleanArray(unsigned char* p, uint32_t n);

  bool SkipChar();
  bool SkipOctect();
  int SkipBoolean();
  bool SkipShort();
  bool SkipUShort();
  bool SkipWChar();
  bool SkipLong();
  bool SkipULong();
  bool SkipULongLong();
  // Read the count, then pass its characters; the count stays consumed when they are missing.
  bool SkipString();
  bool SkipWString();

  int GoodBit() const { return m_GoodBit; }
  uint64_t Length() const;
  // The next unread byte; addresses into a decoder over caller memory stay valid while that
  // memory does, into a private copy while the decoder lives.
  char* ReadPtr() const { return m_Block.ReadPtr(); }
  // Advances without a bound test.
  void ReadPtr(uint64_t n) { m_Block.ReadPtr(n); }
  char* WritePtr() const { return m_Block.WritePtr(); }
  // The block read from: its base is the first byte of the decoded data.
  const CMessageBlock* Begin() const { return &m_Block; }

  static void FreeMem(void* p);

 private:
  // Passes n bytes: p is their address. 0, or -1 (good bit cleared, position kept) when fewer
  // than n remain.
  int Adjust(uint64_t n, char*& p);
  template <class T>
  bool ReadValue(T& v);
  template <class T>
  bool ReadArray(T* p, uint32_t n);
  template <class T>
  bool ReadStringOf(T*& s);
  template <class T>
  bool SkipStringOf();
  // Copies the unread bytes of the chain from first through last (or its end when null).
  void CopyChain(const CMessageBlock* first, const CMessageBlock* last);

  CMessageBlock m_Block;
  int m_GoodBit;
};

// Each returns the encoder's good bit after the write.
MAILHOOK_API unsigned char operator<<(OutputXDR& out, char v);
MAILHOOK_API unsigned char operator<<(OutputXDR& out, short v);
MAILHOOK_API unsigned char operator<<(OutputXDR& out, unsigned short v);
MAILHOOK_API unsigned char operator<<(OutputXDR& out, int v);
MAILHOOK_API unsigned char operator<<(OutputXDR& out, unsigned int v);
MAILHOOK_API unsigned char operator<<(OutputXDR& out, const char* v);
MAILHOOK_API unsigned char operator<<(OutputXDR& out, const char16_t* v);
MAILHOOK_API unsigned char operator<<(OutputXDR& out, int64_t v);

// Each returns the decoder's good bit after the read. Strings are freed with FreeMem.
MAILHOOK_API unsigned char operator>>(InputXDR& in, char& v);
MAILHOOK_API unsigned char operator>>(InputXDR& in, short& v);
MAILHOOK_API unsigned char operator>>(InputXDR& in, unsigned short& v);
MAILHOOK_API unsigned char operator>>(InputXDR& in, int& v);
MAILHOOK_API unsigned char operator>>(InputXDR& in, unsigned int& v);
MAILHOOK_API unsigned char operator>>(InputXDR& in, char*& v);
MAILHOOK_API unsigned char operator>>(InputXDR& in, char16_t*& v);
