// The XDR encoder's exact bytes, its capacity, the decoder reading back what it wrote, and string
// counts that claim more than the bytes left (other short and malformed input is the fuzz
// target's).
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "xdr/hook_XDR.h"

namespace {

std::string Hex(const OutputXDR& out) {
  static const char kDigits[] = "0123456789abcdef";
  const auto* p = reinterpret_cast<const unsigned char*>(out.Begin()->ReadPtr());
  std::string s;
  for (uint64_t i = 0; i < out.TotalLength(); ++i) s += {kDigits[p[i] >> 4], kDigits[p[i] & 15]};
  return s;
}

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
              out.WriteULongArray(longs, 1));
  EXPECT_EQ(out.WriteBooleanArray(bools, 2), 1);
  EXPECT_TRUE(out.WriteString(3, "abcdef"));  // only len characters, then a terminator of ours
  out << static_cast<const char*>(nullptr);
  out << u"ab";
  EXPECT_EQ(Hex(out),
            "41fe01feffcdabac20feffffffefbeadde0807060504030201"
            "0100feff6100ac2004030201"
            "0001"
            "0400000061626300"
            "0100000000"
            "03000000610062000000");
}

TEST(OutputXDR, CapacityFailuresAreStickyButLaterWritesMayFit) {
  OutputXDR out(uint64_t{16});
  EXPECT_TRUE(out.WriteLong(7) && out.WriteString("abc"));
  EXPECT_FALSE(out.WriteULongLong(1));
  EXPECT_EQ(out.TotalLength(), 12u);
  EXPECT_TRUE(out.WriteChar('x'));
  EXPECT_EQ(out.GoodBit(), 0);
  const unsigned char bools[] = {1, 1};
  EXPECT_EQ(out.WriteBooleanArray(bools, 2), 0);  // stops before the first element
  EXPECT_EQ(out.TotalLength(), 13u);
}

TEST(InputXDR, DecodesWhatTheEncoderWroteFromItsOwnCopy) {
  OutputXDR out;
  out << 'c';
  out << static_cast<short>(-3);
  out << -5;
  out << 6u;
  out << "text";
  out << u"h\u00e9";
  out << int64_t{-9};
  const uint16_t ushorts[] = {7, 0xFFFF};
  out.WriteUShortArray(ushorts, 2);
  ASSERT_EQ(out.GoodBit(), 1);

  InputXDR in(out);
  out.Begin()->Base()[0] = 'Z';  // the decoder owns a copy
  char c = 0;
  short s = 0;
  int i = 0;
  unsigned int u = 0;
  char* str = nullptr;
  char16_t* wstr = nullptr;
  int64_t ll = 0;
  uint16_t arr[2] = {};
  EXPECT_EQ((in >> c) & (in >> s) & (in >> i) & (in >> u) & (in >> str) & (in >> wstr), 1);
  EXPECT_TRUE(in.ReadULongLong(ll) && in.ReadUShortArray(arr, 2));
  EXPECT_EQ(std::make_tuple(c, s, i, u, ll, arr[1]), std::make_tuple('c', -3, -5, 6u, -9, 0xFFFF));
  EXPECT_STREQ(str, "text");
  EXPECT_EQ(std::u16string(wstr), u"h\u00e9");
  EXPECT_EQ(in.Length(), 0u);
  EXPECT_FALSE(in.ReadChar(c));
  EXPECT_EQ(in.GoodBit(), 0);
  InputXDR::FreeMem(str);
  InputXDR::FreeMem(wstr);
}

// A string's count comes from the other process. One that claims more than the bytes left fails
// before anything is read past them or allocated for it, and stays consumed. The caller's memory
// goes on past the decoder's 7 bytes with what would complete the string, terminator included,
// so a decoder that looked past its block would find it whole.
TEST(InputXDR, AStringCountPastTheBytesLeftFailsWithoutReadingPastThem) {
  const char bytes[] =
      "\x08\x00\x00\x00"
      "abcdefg";
  InputXDR in(bytes, 7);
  char* s = nullptr;
  EXPECT_FALSE(in.ReadString(s));
  EXPECT_EQ(s, nullptr);
  EXPECT_EQ(in.GoodBit(), 0);
  EXPECT_EQ(in.Length(), 3u);
  // 4 Gi units claimed: a decoder that allocated before it checked would ask for 8 GiB.
  const char wide[] =
      "\xff\xff\xff\xff"
      "a\0\0";
  InputXDR win(wide, 8);
  char16_t* ws = nullptr;
  EXPECT_FALSE(win.ReadWString(ws));
  EXPECT_EQ(ws, nullptr);
  EXPECT_EQ(win.Length(), 4u);
}
