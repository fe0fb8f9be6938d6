#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/test_support.h"

#include "headers/hook_HookHeadersImp.h"

namespace {

using Bytes = std::vector<unsigned char>;

using mhtest::FromHex;

const Bytes kExample = FromHex(
    "09000000050000000400000061626300"
    "070000000200000007000000");

Bytes Written(COutputHookHeaders& w) {
  const auto* p = static_cast<const unsigned char*>(w.GetDataBlock());
  return Bytes(p, p + w.GetDataLength());
}

std::vector<int> Ids(CInputHookHeaders& r) {
  std::vector<int> ids(r.GetHeaderCount());
  int count = 0;
  EXPECT_EQ(r.GetHeadersId(ids.data(), static_cast<int>(ids.size()), count), 0);
  EXPECT_EQ(count, static_cast<int>(ids.size()));
  return ids;
}

// Wide values may sit at odd addresses in the packed list: read them byte-wise.
std::u16string WideAt(const void* p) {
  std::u16string s;
  for (const char* c = static_cast<const char*>(p);; c += 2) {
    char16_t u;
    std::memcpy(&u, c, 2);
    if (u == 0) return s;
    s.push_back(u);
  }
}

class Recorder final : public CInputHookHeaders::CEnumerateInputHeadersCallback {
 public:
  explicit Recorder(int id) : m_iId(id) {}
  int GetHeaderId() override { return m_iId; }
  void OnBegin(int count) override { m_Calls.push_back("begin " + std::to_string(count)); }
  void OnEnd() override { m_Calls.push_back("end"); }
  void OnValue(int index, const void* value) override {
    m_Calls.push_back(std::to_string(index));
    m_Values.push_back(value);
  }
  int m_iId;
  std::vector<std::string> m_Calls;
  std::vector<const void*> m_Values;
};

}  // namespace

TEST(OutputHookHeaders, WritesTheExactRecords) {
  COutputHookHeadersImp w;
  EXPECT_EQ(w.GetHeaderCount(), 0u);
  EXPECT_EQ(w.GetDataLength(), 0u);
  EXPECT_EQ(w.GetDataBlock(), w.GetOutputXDR().Begin()->Base());
  EXPECT_EQ(w.SetHeader(5, "abc"), 0);
  EXPECT_EQ(w.SetHeader(2, 7), 0);
  EXPECT_EQ(Written(w), kExample);
  EXPECT_EQ(w.GetHeaderCount(), 2u);
  w.Release();  // the count starts at 0: the writer stays alive
  EXPECT_EQ(w.SetHeader(2, 8), 0);
  EXPECT_EQ(w.GetHeaderCount(), 3u);  // same id again: another record

  COutputHookHeadersImp each(uint64_t{64});
  EXPECT_EQ(each.SetHeader(3, static_cast<const char*>(nullptr)), 0);
  EXPECT_EQ(each.SetHeader(1, u""), 0);
  EXPECT_EQ(each.SetHeader(4, int64_t{-1}), 0);
  EXPECT_EQ(Written(each), FromHex("09000000030000000100000000"
                                   "1000000001000000010000000000"
                                   "1100000004000000ffffffffffffffff"));
}

TEST(OutputHookHeaders, RunsOutOfCapacityForGood) {
  unsigned char area[16] = {};
  COutputHookHeadersImp w(area, sizeof area);
  EXPECT_EQ(w.GetDataBlock(), area);
  EXPECT_EQ(w.SetHeader(1, 1), 0);
  EXPECT_EQ(w.SetHeader(2, 2), -1);
  EXPECT_EQ(w.GetHeaderCount(), 1u);
  EXPECT_EQ(w.GetDataLength(), 16u);  // the failed record's tag fitted
  CInputHookHeadersImp r(area, 16);
  EXPECT_EQ(Ids(r), std::vector<int>{1});

  COutputHookHeadersImp negative(area, -5);
  EXPECT_EQ(negative.SetHeader(1, 1), -1);
  EXPECT_EQ(negative.GetDataLength(), 0u);
}

TEST(InputHookHeaders, IndexesTheExampleAndAnswersLookups) {
  Bytes list = kExample;
  CInputHookHeadersImp r(list.data(), static_cast<int>(list.size()));
  EXPECT_EQ(r.GetDataBlock(), list.data());
  EXPECT_EQ(r.GetDataLength(), 28u);
  int ids[2] = {-7, -7};
  int count = 0;
  EXPECT_EQ(r.GetHeadersId(ids, 1, count), -1);
  EXPECT_EQ(r.GetHeadersId(ids, -1, count), -1);
  EXPECT_EQ(ids[0], -7);
  EXPECT_EQ(r.GetHeadersId(ids, 2, count), 0);
  EXPECT_EQ(ids[0], 2);
  EXPECT_EQ(ids[1], 5);
  EXPECT_EQ(count, 2);

  int v = 0;
  const char* s = nullptr;
  EXPECT_EQ(r.GetHeader(2, &v), 0);
  EXPECT_EQ(v, 7);
  ASSERT_EQ(r.GetHeader(5, &s), 0);
  EXPECT_EQ(s, reinterpret_cast<const char*>(list.data()) + 12);  // in place, not a copy
  list[12] = 'X';
  EXPECT_STREQ(s, "Xbc");

  // Misses and type mismatches leave the output alone; an 8-byte read of the last 4-byte value
  // would run past the list.
  int64_t ll = 42;
  const char16_t* w = u"keep";
  v = 99;
  EXPECT_EQ(r.GetHeader(9, &v), -1);
  EXPECT_EQ(r.GetHeader(2, &ll), -1);
  EXPECT_EQ(r.GetHeader(5, &v), -1);
  EXPECT_EQ(r.GetHeader(5, &w), -1);
  EXPECT_EQ(r.GetHeader(2, &s), -1);
  EXPECT_EQ(v, 99);
  EXPECT_EQ(ll, 42);
  EXPECT_EQ(std::u16string(w), u"keep");

  EXPECT_EQ(r.Cleanup(), 0);
  EXPECT_EQ(r.GetHeader(2, &v), -1);
  EXPECT_EQ(r.GetHeaderCount(), 2u);
}

TEST(InputHookHeaders, EnumeratesEveryValueOfAnIdInOrder) {
  COutputHookHeadersImp w;
  w.SetHeader(5, "a");
  w.SetHeader(-1, 3);
  w.SetHeader(5, "b");
  w.SetHeader(4, u"wide");
  CInputHookHeadersImp r(w.GetDataBlock(), static_cast<int>(w.GetDataLength()));
  EXPECT_EQ(r.GetHeaderCount(), 3u);
  EXPECT_EQ(Ids(r), (std::vector<int>{-1, 4, 5}));
  const char* s = nullptr;
  EXPECT_EQ(r.GetHeader(5, &s), 0);
  EXPECT_STREQ(s, "a");

  Recorder five(5);
  EXPECT_EQ(r.Enumerate(five), 0);
  EXPECT_EQ(five.m_Calls, (std::vector<std::string>{"begin 2", "0", "1", "end"}));
  EXPECT_EQ(five.m_Values[0], s);
  EXPECT_STREQ(static_cast<const char*>(five.m_Values[1]), "b");
  const char16_t* ws = nullptr;
  ASSERT_EQ(r.GetHeader(4, &ws), 0);
  EXPECT_EQ(WideAt(ws), u"wide");

  Recorder none(9);
  CInputHookHeadersImp empty(nullptr, 0);
  EXPECT_EQ(empty.GetHeaderCount(), 0u);
  EXPECT_EQ(empty.Enumerate(none), 0);
  EXPECT_EQ(none.m_Calls, (std::vector<std::string>{"begin 0", "end"}));
}

TEST(InputHookHeaders, RoundTripsThroughEveryConstructor) {
  COutputHookHeadersImp w(uint64_t{4096});
  const std::string longText(1000, 'q');
  for (int i = 0; i < 10; ++i) {
    ASSERT_EQ(w.SetHeader(i, i * 1000 - 3), 0);
    ASSERT_EQ(w.SetHeader(100 + i, int64_t{1} << (i * 6)), 0);
  }
  ASSERT_EQ(w.SetHeader(300, longText.c_str()), 0);
  ASSERT_EQ(w.SetHeader(301, u"\u00fcber"), 0);

  // The same bytes over a two-block chain split at an odd place.
  const char* bytes = static_cast<const char*>(w.GetDataBlock());
  auto* head = new CMessageBlock(bytes, 77);
  head->WritePtr(uint64_t{77});
  auto* tail = new CMessageBlock(bytes + 77, w.GetDataLength() - 77);
  tail->WritePtr(w.GetDataLength() - 77);
  head->Cont(tail);
  std::vector<CInputHookHeadersImp*> readers = {
      new CInputHookHeadersImp(w.GetDataBlock(), static_cast<int>(w.GetDataLength())),
      new CInputHookHeadersImp(w.GetOutputXDR()), new CInputHookHeadersImp(head)};
  head->Release();
  for (CInputHookHeadersImp* r : readers) {
    EXPECT_EQ(r->GetHeaderCount(), 22u);
    EXPECT_EQ(r->GetDataLength(), w.GetDataLength());
    for (int i = 0; i < 10; ++i) {
      int v = 0;
      int64_t ll = 0;
      EXPECT_TRUE(r->GetHeader(i, &v) == 0 && v == i * 1000 - 3);
      EXPECT_TRUE(r->GetHeader(100 + i, &ll) == 0 && ll == int64_t{1} << (i * 6));
    }
    const char* s = nullptr;
    const char16_t* ws = nullptr;
    EXPECT_EQ(r->GetHeader(300, &s), 0);
    EXPECT_EQ(s, longText);
    EXPECT_EQ(r->GetHeader(301, &ws), 0);
    EXPECT_EQ(WideAt(ws), u"\u00fcber");
    r->Release();  // the first Release destroys the reader (leak check)
  }
}

TEST(InputHookHeaders, StopsAtMalformedRecordsAndSkipsUnknownTags) {
  // An unknown tag costs 4 bytes; the parse goes on.
  Bytes unknown = {8, 0, 0, 0, 7, 0, 0, 0, 3, 0, 0, 0, 1, 0, 0, 0};
  CInputHookHeadersImp skipped(unknown.data(), static_cast<int>(unknown.size()));
  EXPECT_EQ(Ids(skipped), std::vector<int>{3});

  const Bytes good = {7, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0};
  const std::vector<Bytes> bad = {
      {9, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 'a', 'b', 'c'},      // no terminator
      {9, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0},                  // count 0
      {16, 0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0, 'a', 0, 0, 'b'},    // wide, last unit not 0
      {16, 0, 0, 0, 2, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0},  // huge count
  };
  for (const Bytes& tail : bad) {
    Bytes list = good;
    list.insert(list.end(), tail.begin(), tail.end());
    list.insert(list.end(), good.begin(), good.end());
    list[list.size() - 8] = 9;  // a later record for id 9 must not be reached
    CInputHookHeadersImp r(list.data(), static_cast<int>(list.size()));
    EXPECT_EQ(Ids(r), std::vector<int>{1});
  }
  CInputHookHeadersImp negative(unknown.data(), -1);
  EXPECT_EQ(negative.GetHeaderCount(), 0u);
}

// Over shared memory the peer may overwrite terminators after the parse: the lengths the reader
// hands out are the ones it checked, so a caller reading by them stays inside the list.
TEST(InputHookHeaders, StringLengthsAreThoseTheParseCheckedWhateverTheBytesBecome) {
  COutputHookHeadersImp w;
  w.SetHeader(1, "abc");
  w.SetHeader(2, u"wide");
  w.SetHeader(2, 7);
  w.SetHeader(3, "");
  Bytes list = Written(w);
  CInputHookHeadersImp r(list.data(), static_cast<int>(list.size()));
  std::replace(list.begin(), list.end(), static_cast<unsigned char>(0), static_cast<unsigned char>('x'));

  struct Expected {
    int id, index;
    uint32_t tag, units;
  };
  for (auto e : {Expected{1, 0, HEADER_TYPE_STRING, 3}, Expected{2, 0, HEADER_TYPE_WSTRING, 4},
                 Expected{2, 1, HEADER_TYPE_INT, 0}, Expected{3, 0, HEADER_TYPE_STRING, 0}}) {
    SCOPED_TRACE(e.id * 10 + e.index);
    uint32_t tag = 0, units = 99;
    const char* value = nullptr;
    ASSERT_EQ(r.GetValue(e.id, e.index, tag, value, units), 0);
    EXPECT_EQ(tag, e.tag);
    EXPECT_EQ(units, e.units);
    ASSERT_GE(value, reinterpret_cast<const char*>(list.data()));
    EXPECT_LE(value + units * (tag == HEADER_TYPE_WSTRING ? 2 : 1) + 1,
              reinterpret_cast<const char*>(list.data() + list.size()));
  }
  uint32_t tag = 0, units = 0;
  const char* value = nullptr;
  EXPECT_EQ(r.GetValue(2, 2, tag, value, units), -1);
  EXPECT_EQ(r.GetValue(4, 0, tag, value, units), -1);
}
