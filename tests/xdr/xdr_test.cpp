#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "xdr/hook_XDR.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes Written(const OutputXDR& out) {
  const auto* p = reinterpret_cast<const unsigned char*>(out.Begin()->ReadPtr());
  return Bytes(p, p + out.TotalLength());
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
  const Bytes want = {0x41, 0xFE, 0x01, 0xFE, 0xFF, 0xCD, 0xAB, 0xAC, 0x20, 0xFE, 0xFF, 0xFF,
                      0xFF, 0xEF, 0xBE, 0xAD, 0xDE, 0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02,
                      0x01, 0x01, 0x00, 0xFE, 0xFF, 0x61, 0x00, 0xAC, 0x20, 0x04, 0x03, 0x02,
                      0x01, 0x00, 0x01, 0x04, 0,    0,    0,    'a',  'b',  'c',  0};
  EXPECT_EQ(Written(out), want);

  OutputXDR strings;
  strings << static_cast<const char*>(nullptr);
  strings << "";
  strings << u"ab";
  strings.WriteWString(0, nullptr);
  EXPECT_EQ(Written(strings),
            (Bytes{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 3, 0, 0, 0, 'a', 0, 'b', 0, 0, 0, 1, 0, 0, 0, 0, 0}));
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
  const uint16_t ushorts[] = {7, 0xFFFF};
  const char16_t wide[] = u"h\u00e9";
  out << 'c';
  out << static_cast<short>(-3);
  out << static_cast<unsigned short>(9);
  out << -5;
  out << 6u;
  out << "text";
  out << wide;
  out << int64_t{-9};
  out.WriteUShortArray(ushorts, 2);
  out.WriteBoolean(1);
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
  unsigned char b = 0;
  EXPECT_EQ(in >> c, 1);
  EXPECT_EQ(in >> s, 1);
  EXPECT_EQ(in >> us, 1);
  EXPECT_EQ(in >> i, 1);
  EXPECT_EQ(in >> u, 1);
  EXPECT_EQ(in >> str, 1);
  EXPECT_EQ(in >> wstr, 1);
  EXPECT_TRUE(in.ReadULongLong(ll) && in.ReadUShortArray(arr, 2));
  EXPECT_EQ(in.ReadBoolean(b), 1);
  EXPECT_EQ(c, 'c');
  EXPECT_EQ(s, -3);
  EXPECT_EQ(us, 9);
  EXPECT_EQ(i, -5);
  EXPECT_EQ(u, 6u);
  EXPECT_STREQ(str, "text");
  EXPECT_EQ(std::u16string(wstr), wide);
  EXPECT_EQ(ll, -9);
  EXPECT_EQ(arr[1], 0xFFFF);
  EXPECT_EQ(b, 1);
  EXPECT_EQ(in.Length(), 0u);
  InputXDR::FreeMem(str);
  InputXDR::FreeMem(wstr);

  // The decoder owns a copy: later changes to the encoder's area do not show through.
  OutputXDR small(uint64_t{12});
  small.WriteLong(7);
  small.WriteString("abc");
  InputXDR copy(small);
  small.Begin()->Base()[0] = 9;
  int v = 0;
  EXPECT_TRUE(copy.ReadLong(v));
  EXPECT_EQ(v, 7);
  EXPECT_NE(copy.ReadPtr() - 4, small.Begin()->Base());
}

TEST(InputXDR, ShortDataFailsWithoutMovingOrOverreading) {
  Decoder empty({1, 0, 0, 0, 0});
  char* s = nullptr;
  EXPECT_TRUE(empty.in.ReadString(s));
  EXPECT_STREQ(s, "");
  InputXDR::FreeMem(s);
  EXPECT_EQ(empty.in.Length(), 0u);
  char c = 0;
  EXPECT_FALSE(empty.in.ReadChar(c));
  EXPECT_EQ(empty.in.GoodBit(), 0);

  Decoder cut({8, 0, 0, 0, 'a', 'b'});
  s = reinterpret_cast<char*>(&c);
  EXPECT_FALSE(cut.in.ReadString(s));
  EXPECT_EQ(s, nullptr);
  EXPECT_EQ(cut.in.Length(), 2u);

  Decoder three({1, 2, 3});
  int v = 0;
  EXPECT_FALSE(three.in.ReadLong(v));
  EXPECT_EQ(three.in.Length(), 3u);
  EXPECT_TRUE(three.in.ReadChar(c));
  EXPECT_EQ(three.in.GoodBit(), 0);
  unsigned char flags[4] = {7, 7, 7, 7};
  EXPECT_EQ(three.in.ReadBooleanArray(flags, 3), 0);
  EXPECT_EQ(flags[0], 7);
  EXPECT_EQ(three.in.Length(), 2u);

  Decoder huge({0xFF, 0xFF, 0xFF, 0xFF, 'a'});
  char16_t* w = nullptr;
  EXPECT_FALSE(huge.in.ReadWString(w));
  EXPECT_EQ(w, nullptr);
  EXPECT_EQ(huge.in.Length(), 1u);
}

TEST(InputXDR, NeverHandsOutAnUnterminatedString) {
  Decoder narrow({3, 0, 0, 0, 'a', 'b', 'c', 0});
  char* s = nullptr;
  EXPECT_FALSE(narrow.in.ReadString(s));
  EXPECT_EQ(s, nullptr);
  EXPECT_EQ(narrow.in.GoodBit(), 0);
  EXPECT_EQ(narrow.in.Length(), 4u);  // the count stays consumed

  Decoder wide({2, 0, 0, 0, 'a', 0, 0, 'b'});
  char16_t* w = nullptr;
  EXPECT_FALSE(wide.in.ReadWString(w));
  EXPECT_EQ(w, nullptr);

  Decoder zero({0, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_TRUE(zero.in.ReadWString(w));  // a count of 0 reads as the empty string
  EXPECT_EQ(w[0], 0);
  InputXDR::FreeMem(w);
  EXPECT_EQ(zero.in.Length(), 4u);
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

TEST(InputXDR, CopiesTheUnreadBytesOfAChain) {
  auto* head = new CMessageBlock(uint64_t{8});
  head->Copy("..ab", 4);
  head->ReadPtr(uint64_t{2});
  auto* tail = new CMessageBlock(uint64_t{8});
  tail->Copy("cd\0", 3);
  head->Cont(tail);
  InputXDR in(head);
  head->Release();
  EXPECT_EQ(in.Length(), 5u);
  EXPECT_EQ(std::string(in.ReadPtr()), "abcd");

  InputXDR none(static_cast<const CMessageBlock*>(nullptr));
  EXPECT_EQ(none.Length(), 0u);
  InputXDR sized(uint64_t{16});
  EXPECT_EQ(sized.Length(), 0u);
}
