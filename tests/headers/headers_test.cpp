// The header list: the exact records the writer packs, its capacity, the reader's lookups in
// place, enumeration, lengths that stay those the parse checked, and lists cut short or malformed
// (lists split over blocks are the fuzz target's).
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "headers/hook_HookHeadersImp.h"
#include "support/test_support.h"

namespace {

using Bytes = std::vector<unsigned char>;
using mhtest::FromHex;

Bytes Written(COutputHookHeaders& w) {
  const auto* p = static_cast<const unsigned char*>(w.GetDataBlock());
  return Bytes(p, p + w.GetDataLength());
}

std::vector<int> Ids(CInputHookHeaders& r) {
  std::vector<int> ids(r.GetHeaderCount());
  int count = 0;
  EXPECT_EQ(r.GetHeadersId(ids.data(), static_cast<int>(ids.size()), count), 0);
  return ids;
}

class Recorder final : public CInputHookHeaders::CEnumerateInputHeadersCallback {
 public:
  int GetHeaderId() override { return 5; }
  void OnBegin(int count) override { calls += "begin " + std::to_string(count) + ";"; }
  void OnEnd() override { calls += "end"; }
  void OnValue(int index, const void* value) override {
    calls += std::to_string(index) + "=" + static_cast<const char*>(value) + ";";
  }
  std::string calls;
};

}  // namespace

TEST(OutputHookHeaders, WritesTheExactRecordsUntilItsCapacityRunsOut) {
  COutputHookHeadersImp w(uint64_t{128});
  EXPECT_EQ(w.SetHeader(5, "abc") | w.SetHeader(2, 7) | w.SetHeader(3, static_cast<const char*>(nullptr)) |
                w.SetHeader(1, u"h") | w.SetHeader(4, int64_t{-1}),
            0);
  EXPECT_EQ(Written(w),
            FromHex("0900000005000000040000006162630007000000020000000700000009000000030000000100000000"
                    "10000000010000000200000068000000"
                    "1100000004000000ffffffffffffffff"));
  EXPECT_EQ(w.GetHeaderCount(), 5u);

  unsigned char area[16] = {};
  COutputHookHeadersImp small(area, sizeof area);
  EXPECT_EQ(small.SetHeader(1, 1), 0);
  EXPECT_EQ(small.SetHeader(2, 2), -1);
  EXPECT_EQ(small.SetHeader(3, 3), -1);
  EXPECT_EQ(small.GetHeaderCount(), 1u);
}

TEST(InputHookHeaders, AnswersLookupsInPlaceAndEnumeratesInOrder) {
  COutputHookHeadersImp w;
  w.SetHeader(5, "a");
  w.SetHeader(-1, 3);
  w.SetHeader(5, "b");
  w.SetHeader(4, u"wide");
  w.SetHeader(6, int64_t{1} << 40);
  Bytes list = Written(w);
  auto& r = *new CInputHookHeadersImp(list.data(), static_cast<int>(list.size()));
  EXPECT_EQ(Ids(r), (std::vector<int>{-1, 4, 5, 6}));
  int64_t big = 0;
  ASSERT_EQ(r.GetHeader(6, &big), 0);
  EXPECT_EQ(big, int64_t{1} << 40);
  int ids[1] = {-7}, count = 0;
  EXPECT_EQ(r.GetHeadersId(ids, 1, count), -1);  // too small for every id: untouched
  EXPECT_EQ(ids[0], -7);
  int v = 0;
  const char* s = nullptr;
  const char16_t* ws = nullptr;
  ASSERT_EQ(r.GetHeader(-1, &v) | r.GetHeader(5, &s) | r.GetHeader(4, &ws), 0);
  EXPECT_EQ(v, 3);
  EXPECT_GE(reinterpret_cast<const unsigned char*>(s), list.data());  // in place, not a copy
  EXPECT_LT(reinterpret_cast<const unsigned char*>(s), list.data() + list.size());
  EXPECT_STREQ(s, "a");
  std::u16string wide(4, u'\0');
  std::memcpy(wide.data(), ws, 8);  // may sit at an odd address
  EXPECT_EQ(wide, u"wide");

  // Misses and type mismatches leave the output alone.
  int64_t ll = 42;
  v = 99;
  EXPECT_EQ(r.GetHeader(9, &v), -1);
  EXPECT_EQ(r.GetHeader(-1, &ll), -1);
  EXPECT_EQ(r.GetHeader(5, &v), -1);
  EXPECT_EQ(r.GetHeader(5, &ws), -1);
  EXPECT_EQ(r.GetHeader(-1, &s), -1);
  EXPECT_EQ(v, 99);
  EXPECT_EQ(ll, 42);

  Recorder five;
  EXPECT_EQ(r.Enumerate(five), 0);
  EXPECT_EQ(five.calls, "begin 2;0=a;1=b;end");
  r.Release();  // the first Release destroys a reader (leak check)
}

// Over shared memory the peer may overwrite terminators after the parse: the lengths the reader
// hands out are the ones it checked, so a caller reading by them stays inside the list.
TEST(InputHookHeaders, StringLengthsAreThoseTheParseCheckedWhateverTheBytesBecome) {
  COutputHookHeadersImp w;
  w.SetHeader(1, "abc");
  w.SetHeader(2, u"wide");
  w.SetHeader(2, 7);
  Bytes list = Written(w);
  CInputHookHeadersImp r(list.data(), static_cast<int>(list.size()));
  std::replace(list.begin(), list.end(), static_cast<unsigned char>(0), static_cast<unsigned char>('x'));
  struct Expected {
    int id, index;
    uint32_t tag, units;
  };
  for (auto e : {Expected{1, 0, HEADER_TYPE_STRING, 3}, Expected{2, 0, HEADER_TYPE_WSTRING, 4},
                 Expected{2, 1, HEADER_TYPE_INT, 0}}) {
    uint32_t tag = 0, units = 99;
    const char* value = nullptr;
    ASSERT_EQ(r.GetValue(e.id, e.index, tag, value, units), 0);
    EXPECT_EQ(tag, e.tag);
    EXPECT_EQ(units, e.units);
  }
  uint32_t tag = 0, units = 0;
  const char* value = nullptr;
  EXPECT_EQ(r.GetValue(2, 2, tag, value, units), -1);
}

// A list read up to every length it can be cut at (inside a tag, an id, an integer, a count, the
// units or the terminator of a string) gives exactly the records wholly before the cut. The bytes
// after the cut are the list's own, so a reader that looked past its length would find a whole
// record there and take it.
TEST(InputHookHeaders, EveryCutOfAListGivesExactlyTheRecordsBeforeIt) {
  COutputHookHeadersImp w;
  ASSERT_EQ(w.SetHeader(1, 7) | w.SetHeader(2, int64_t{-2}) | w.SetHeader(3, "abc") |
                w.SetHeader(4, u"wide") | w.SetHeader(5, u""),
            0);
  Bytes list = Written(w);
  const size_t ends[] = {12, 28, 44, 66, 80};  // where each record ends
  ASSERT_EQ(list.size(), 80u);
  for (size_t cut = 0; cut <= list.size(); ++cut) {
    CInputHookHeadersImp r(list.data(), static_cast<int>(cut));
    std::vector<int> whole;
    for (int id = 1; id <= 5; ++id)
      if (ends[id - 1] <= cut) whole.push_back(id);
    EXPECT_EQ(Ids(r), whole) << "cut at " << cut;
  }

  // Malformed after a good record: a wide string without its terminator, or with only half of
  // one; a count past the bytes left; a string of count 0, which has no terminator at all.
  for (const char* bad : {"10000000090000000200000061006200", "10000000090000000200000061000041",
                          "100000000900000005000000610062000000", "0900000009000000ffffffff61000000",
                          "090000000900000000000000"}) {
    Bytes bytes = FromHex(std::string("070000000100000007000000") + bad);
    CInputHookHeadersImp r(bytes.data(), static_cast<int>(bytes.size()));
    EXPECT_EQ(Ids(r), std::vector<int>{1}) << bad;
  }
}

// Values under one id come back in the order written, whatever order the ids come in: enough
// records that the index is sorted by the general algorithm, not the one for short runs.
TEST(InputHookHeaders, ValuesOfOneIdKeepTheirWriteOrder) {
  COutputHookHeadersImp w(uint64_t{4096});
  for (int i = 0; i < 60; ++i) ASSERT_EQ(w.SetHeader((59 - i) % 4, i), 0);
  Bytes list = Written(w);
  CInputHookHeadersImp r(list.data(), static_cast<int>(list.size()));
  for (int id = 0; id < 4; ++id) {
    std::vector<int> values;
    uint32_t tag = 0, units = 0;
    const char* value = nullptr;
    for (int index = 0; r.GetValue(id, index, tag, value, units) == 0; ++index)
      values.push_back(value[0]);  // below 128: the low byte is the value
    EXPECT_EQ(values.size(), 15u);
    EXPECT_TRUE(std::is_sorted(values.begin(), values.end())) << ::testing::PrintToString(values);
  }
}
