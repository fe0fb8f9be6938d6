// Drives the decoder with the input itself: byte 0 says how many of the following bytes are
// operations (at most 63); the rest is the data decoded, read in place from an exactly sized
// copy and, in parallel, from a copy made out of a two-block chain. Both must agree, never read
// outside the data, never move backwards and never hand out an unterminated string.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "xdr/hook_XDR.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

template <class T>
size_t TerminatedLength(const T* s) {
  size_t n = 0;
  while (s[n] != 0) ++n;  // an unterminated result runs into the sanitizer's redzone
  return n;
}

// One operation; returns its result so that the two decoders can be compared.
uint64_t Run(InputXDR& in, uint8_t op) {
  const uint32_t n = op >> 5;  // array length 0..7
  union {
    char c[8];
    unsigned char uc[8];
    int16_t s[8];
    uint16_t us[8];
    char16_t w[8];
    int32_t l[8];
    uint32_t ul[8];
  } arr{};
  char c = 0;
  unsigned char uc = 0;
  int16_t s = 0;
  uint16_t us = 0;
  char16_t w = 0;
  int32_t l = 0;
  uint32_t ul = 0;
  int64_t ll = 0;
  char* str = nullptr;
  char16_t* wstr = nullptr;
  switch (op % 30) {
    case 0:
      return in.ReadChar(c) ? 0x100u | static_cast<unsigned char>(c) : 0;
    case 1:
      return in.ReadOctect(uc) ? 0x100u | uc : 0;
    case 2:
      return static_cast<uint64_t>(in.ReadBoolean(uc)) << 8 | uc;
    case 3:
      return in.ReadShort(s) ? 0x10000u | static_cast<uint16_t>(s) : 0;
    case 4:
      return in.ReadUShort(us) ? 0x10000u | us : 0;
    case 5:
      return in.ReadWChar(w) ? 0x10000u | w : 0;
    case 6:
      return in.ReadLong(l) ? 0x100000000u | static_cast<uint32_t>(l) : 0;
    case 7:
      return in.ReadULong(ul) ? 0x100000000u | ul : 0;
    case 8:
      return in.ReadULongLong(ll) ? static_cast<uint64_t>(ll) ^ 0x5A5A : 1;
    case 9:
    case 10: {
      if (!in.ReadString(str)) {
        Check(str == nullptr);
        return 0;
      }
      const uint64_t len = TerminatedLength(str) + 1;
      InputXDR::FreeMem(str);
      return len;
    }
    case 11:
    case 12: {
      if (!in.ReadWString(wstr)) {
        Check(wstr == nullptr);
        return 0;
      }
      const uint64_t len = TerminatedLength(wstr) + 1;
      InputXDR::FreeMem(wstr);
      return len;
    }
    case 13:
      return in.ReadCharArray(arr.c, n);
    case 14:
      return in.ReadOctectArray(arr.uc, n);
    case 15:
      return in.ReadShortArray(arr.s, n);
    case 16:
      return in.ReadUShortArray(arr.us, n);
    case 17:
      return in.ReadWCharArray(arr.w, n);
    case 18:
      return in.ReadLongArray(arr.l, n);
    case 19:
      return in.ReadULongArray(arr.ul, n);
    case 20:
      return static_cast<uint64_t>(in.ReadBooleanArray(arr.uc, n));
    case 21:
      return in.SkipChar();
    case 22:
      return static_cast<uint64_t>(in.SkipBoolean());
    case 23:
      return in.SkipShort();
    case 24:
      return in.SkipWChar();
    case 25:
      return in.SkipLong();
    case 26:
      return in.SkipULongLong();
    case 27:
      return in.SkipString();
    case 28:
      return in.SkipWString();
    default: {
      unsigned int v = 0;
      return (in >> v) | (uint64_t{v} << 8);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t nOps = data[0] % 64 < size - 1 ? data[0] % 64 : size - 1;
  const uint8_t* ops = data + 1;
  const std::vector<char> bytes(data + 1 + nOps, data + size);

  InputXDR direct(bytes.data(), bytes.size());
  const size_t half = bytes.size() / 2;
  auto* head = new CMessageBlock(bytes.data(), half);
  head->WritePtr(uint64_t{half});
  auto* tail = new CMessageBlock(bytes.data() + half, bytes.size() - half);
  tail->WritePtr(uint64_t{bytes.size() - half});
  head->Cont(tail);
  InputXDR copied(head);
  head->Release();

  for (size_t i = 0; i < nOps; ++i) {
    const uint64_t before = direct.Length();
    const int good = direct.GoodBit();
    const uint64_t a = Run(direct, ops[i]);
    const uint64_t b = Run(copied, ops[i]);
    Check(a == b);
    Check(direct.Length() == copied.Length() && direct.GoodBit() == copied.GoodBit());
    Check(direct.Length() <= before);
    Check(direct.GoodBit() <= good);
    Check(direct.ReadPtr() >= bytes.data() && direct.ReadPtr() <= bytes.data() + bytes.size());
  }
  return 0;
}
