#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "support/test_support.h"

#include "xdr/hook_XDR.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes Written(const OutputXDR& out) {
  const auto* p = reinterpret_cast<const unsigned char*>(out.Begin()->ReadPtr());
  return Bytes(p, p + out.TotalLength());
}

using mhtest::FromHex;

std::string Hex(const Bytes& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  for (unsigned char b : bytes) s += {kDigits[b >> 4], kDigits[b & 15]};
  return s;
}

// A decoder over an exactly sized heap copy, so that any read past the end trips the sanitizer.
struct Decoder {
  explicit Decoder(const Bytes& bytes)
      : copy(bytes), in(reinterpret_cast<const char*>(copy.data()), copy.size()) {}
  Bytes copy;
  InputXDR in;
};

}  // namespace

TEST(OutputXDR, EncodesEveryKindPackedLittleEndian) {
  OutputXDR out(uint64_t{128});
  const int16_t shorts[] = {1, -2};
  const char16_t wide[] = {u'a', 0x20AC};
  const uint32_t longs[] = {0x01020304};
  const unsigned char bools[] = {0, 9};
  EXPECT_TRUE(out.WriteChar('A') && out.WriteOctect(0xFE) && out.WriteBoolean(5) && out.WriteShort(-2) &&
              out.WriteUShort(0xABCD) && out.WriteWChar(0x20AC) && out.WriteLong(-2) &&
              out.WriteULong(0xDEADBEEF) && out.WriteULongLong(0x0102030405060708) &&
              out.WriteShortArray(shorts, 2) && out.WriteWCharArray(wide, 2) &&
              out.WriteULongArray(longs, 1) && out.WriteLongArray(nullptr, 0));
  EXPECT_EQ(out.WriteBooleanArray(bools, 2), 1);
  EXPECT_TRUE(out.WriteString(3, "abcdef"));  // only len characters, then a terminator of ours
  EXPECT_EQ(Hex(Written(out)),
            "41fe01feffcdabac20feffffffefbeadde"
            "0807060504030201"
            "0100feff6100ac2004030201"
            "0001"
            "0400000061626300");

  OutputXDR strings;
  strings << static_cast<const char*>(nullptr);
  strings << "";
  strings << u"ab";
  strings.WriteWString(0, nullptr);
  EXPECT_EQ(Hex(Written(strings)),
            "0100000000"
            "0100000000"
            "03000000610062000000"
            "010000000000");
}

TEST(OutputXDR, CapacityFailuresAreStickyButLaterWritesMayFit) {
  OutputXDR out(uint64_t{16});
  EXPECT_TRUE(out.WriteLong(7));
  EXPECT_TRUE(out.WriteString("abc"));
  EXPECT_EQ(Written(out), (Bytes{7, 0, 0, 0, 4, 0, 0, 0, 'a', 'b', 'c', 0}));
  EXPECT_FALSE(out.WriteULongLong(1));
  EXPECT_EQ(out.GoodBit(), 0);
  EXPECT_EQ(out.TotalLength(), 12u);
  EXPECT_TRUE(out.WriteChar('x'));
  EXPECT_EQ(out.TotalLength(), 13u);
  EXPECT_EQ(out.GoodBit(), 0);
  EXPECT_EQ(out << 1, 0);
  const unsigned char bools[] = {1, 1};
  EXPECT_EQ(out.WriteBooleanArray(bools, 2), 0);  // stops before the first element
  EXPECT_EQ(out.TotalLength(), 13u);

  OutputXDR sized(uint64_t{0});
  for (int i = 0; i < 128; ++i) ASSERT_TRUE(sized.WriteLong(i));
  EXPECT_FALSE(sized.WriteLong(128));
  OutputXDR none(static_cast<CMessageBlock*>(nullptr));
  EXPECT_FALSE(none.WriteChar('x'));
}

TEST(OutputXDR, EncodesIntoAMessageBlockFromItsStart) {
  CMessageBlock mb(uint64_t{8});
  mb.WritePtr(uint64_t{5});
  {
    OutputXDR out(&mb);
    EXPECT_EQ(mb.ReferenceCount(), 2);
    EXPECT_TRUE(out.WriteLong(0x11223344));
    EXPECT_FALSE(out.WriteULongLong(0));
  }
  EXPECT_EQ(mb.ReferenceCount(), 1);
  EXPECT_EQ(mb.WriteOffset(), 5u);
  EXPECT_EQ(std::memcmp(mb.Base(), "\x44\x33\x22\x11", 4), 0);
}

TEST(InputXDR, DecodesWhatTheEncoderWrote) {
  OutputXDR out;
  out << 'c';
  out << static_cast<short>(-3);
  out << static_cast<unsigned short>(9);
  out << -5;
  out << 6u;
  out << "text";
  out << u"h\u00e9";
  out << int64_t{-9};
  const uint16_t ushorts[] = {7, 0xFFFF};
  out.WriteUShortArray(ushorts, 2);
  ASSERT_EQ(out.GoodBit(), 1);

  InputXDR in(out);
  char c = 0;
  short s = 0;
  unsigned short us = 0;
  int i = 0;
  unsigned int u = 0;
  char* str = nullptr;
  char16_t* wstr = nullptr;
  int64_t ll = 0;
  uint16_t arr[2] = {};
  EXPECT_EQ((in >> c) & (in >> s) & (in >> us) & (in >> i) & (in >> u) & (in >> str) & (in >> wstr), 1);
  EXPECT_TRUE(in.ReadULongLong(ll) && in.ReadUShortArray(arr, 2));
  EXPECT_EQ(std::make_tuple(c, s, us, i, u, ll, arr[1]), std::make_tuple('c', -3, 9, -5, 6u, -9, 0xFFFF));
  EXPECT_STREQ(str, "text");
  EXPECT_EQ(std::u16string(wstr), u"h\u00e9");
  EXPECT_EQ(in.Length(), 0u);
  InputXDR::FreeMem(str);
  InputXDR::FreeMem(wstr);

  // The decoder owns a copy: later changes to the encoder's area do not show through.
  InputXDR copy(out);
  out.Begin()->Base()[0] = 'Z';
  EXPECT_TRUE(copy.ReadChar(c));
  EXPECT_EQ(c, 'c');
}

// Each case: the data, one read, whether it succeeds, and the unread bytes after it. A failed
// fixed-width read keeps its position; a failed string keeps its count consumed.
TEST(InputXDR, ShortOrMalformedDataFailsWithoutOverreading) {
  enum Op { kLong, kString, kWString, kBools3 };
  struct Case {
    const char* hex;
    Op op;
    bool ok;
    uint64_t left;
  };
  const Case cases[] = {
      {"0100000000", kString, true, 0},
      {"080000006162", kString, false, 2},
      {"010203", kLong, false, 3},
      {"ffffffff61", kWString, false, 1},
      {"0300000061626300", kString, false, 4},
      {"0200000061000062", kWString, false, 4},
      {"0000000000000000", kWString, true, 4},
      {"0102", kBools3, false, 2},
  };
  for (const Case& c : cases) {
    Decoder d(FromHex(c.hex));
    char* s = reinterpret_cast<char*>(&d);
    char16_t* w = reinterpret_cast<char16_t*>(&d);
    int v = 0;
    unsigned char flags[3] = {7, 7, 7};
    bool ok = false;
    switch (c.op) {
      case kLong:
        ok = d.in.ReadLong(v);
        break;
      case kString:
        ok = d.in.ReadString(s);
        break;
      case kWString:
        ok = d.in.ReadWString(w);
        break;
      case kBools3:
        ok = d.in.ReadBooleanArray(flags, 3) != 0;
        break;
    }
    SCOPED_TRACE(c.hex);
    EXPECT_EQ(ok, c.ok);
    EXPECT_EQ(d.in.GoodBit(), c.ok ? 1 : 0);
    EXPECT_EQ(d.in.Length(), c.left);
    EXPECT_EQ(flags[0], 7);
    // Success here is always the empty string; failure always hands out null.
    if (c.op == kString) {
      EXPECT_TRUE(ok ? s[0] == 0 : s == nullptr);
    }
    if (c.op == kWString) {
      EXPECT_TRUE(ok ? w[0] == 0 : w == nullptr);
    }
    if (ok) InputXDR::FreeMem(c.op == kString ? static_cast<void*>(s) : w);
  }
  // Sticky: a later, smaller read still succeeds while the good bit stays 0.
  Decoder three(FromHex("010203"));
  int v = 0;
  char c = 0;
  EXPECT_FALSE(three.in.ReadLong(v));
  EXPECT_TRUE(three.in.ReadChar(c));
  EXPECT_EQ(three.in.GoodBit(), 0);
}

TEST(InputXDR, SkipsAndEveryCutOffLength) {
  OutputXDR out;
  out << "abc";
  out << u"xy";
  out << 5;
  out << int64_t{6};
  out.WriteChar('z');
  const Bytes all = Written(out);
  ASSERT_EQ(all.size(), 8u + 10u + 4u + 8u + 1u);
  Decoder whole(all);
  EXPECT_TRUE(whole.in.SkipString() && whole.in.SkipWString() && whole.in.SkipLong() &&
              whole.in.SkipULongLong() && whole.in.SkipChar());
  EXPECT_EQ(whole.in.Length(), 0u);

  // Each prefix decodes the values that fit entirely, then fails for good.
  const size_t ends[] = {8, 18, 22, 30, 31};
  for (size_t len = 0; len < all.size(); ++len) {
    Decoder part(Bytes(all.begin(), all.begin() + static_cast<long>(len)));
    char* s = nullptr;
    char16_t* w = nullptr;
    int i = 0;
    int64_t ll = 0;
    char c = 0;
    size_t complete = 0;
    if (part.in.ReadString(s)) ++complete;
    if (complete == 1 && part.in.ReadWString(w)) ++complete;
    if (complete == 2 && part.in.ReadLong(i)) ++complete;
    if (complete == 3 && part.in.ReadULongLong(ll)) ++complete;
    if (complete == 4 && part.in.ReadChar(c)) ++complete;
    size_t expected = 0;
    while (expected < 5 && ends[expected] <= len) ++expected;
    EXPECT_EQ(complete, expected) << "length " << len;
    EXPECT_EQ(part.in.GoodBit(), 0);
    InputXDR::FreeMem(s);
    InputXDR::FreeMem(w);
  }
}
