// The layer's header list: what a program writes is what the other side reads, the sizes the
// library states are the bytes it writes, and a list cut anywhere gives its whole records only.
#include <algorithm>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>
#include <mailhook/mh_Error.h>
#include <mailhook/mh_HeaderList.h>

#include "api/mh_HeaderListSink.h"
#include "ipc/rpc_test_util.h"

using mailhook::CHeaderList;
using mailhook::CHeaderListWriter;
using mailhook::CHeaderValue;
using mailhook::CMailhookError;

namespace {

// A fixed area, as the service's update list has.
class CAreaSink final : public mailhook::CHeaderListSink {
 public:
  explicit CAreaSink(size_t size) : m_Area(size, '\xAA'), m_Writer(m_Area.data(), static_cast<int>(size)) {}
  const char* Data() const { return m_Area.data(); }

 protected:
  bool Grow(uint64_t) override {
    if (m_bGiven) return false;
    m_bGiven = true;
    SetWriter(&m_Writer, 0, false);
    return true;
  }

 private:
  std::vector<char> m_Area;
  COutputHookHeadersImp m_Writer;
  bool m_bGiven = false;
};

std::vector<CHeaderValue> ById(std::vector<CHeaderValue> v) {
  std::stable_sort(v.begin(), v.end(), [](const auto& a, const auto& b) { return a.id < b.id; });
  return v;
}

}  // namespace

TEST(HeaderList, WritesWhatItCountsAndReadsBackWholeRecordsOnly) {
  const std::vector<CHeaderValue> written{CHeaderValue::Text(44, "<b@example.org>"),
                                          CHeaderValue::Int(30, -7),
                                          CHeaderValue::Int64(22, -5'000'000'000),
                                          CHeaderValue::Text(4, "Grüße, 世界 \U0001F600"),
                                          CHeaderValue::String(100, ""),
                                          CHeaderValue::Text(44, "<c@example.org>"),
                                          CHeaderValue::WString(5, u"w"),
                                          CHeaderValue::Text(44, "<a@example.org>")};
  EXPECT_EQ(written[3].type, CHeaderValue::kWString);
  EXPECT_EQ(written[3].Utf8(), "Grüße, 世界 \U0001F600");
  EXPECT_EQ(written[0].type, CHeaderValue::kString);
  EXPECT_EQ(written[1].Utf8(), "-7");

  CAreaSink sink(4096);
  CHeaderListWriter writer(sink);
  const CHeaderList list(written);
  writer.Add(list);
  ASSERT_EQ(writer.Bytes(), list.EncodedSize());
  EXPECT_EQ(writer.Count(), written.size());
  // Ordered by id, the records of one id in the order written.
  EXPECT_EQ(CHeaderList::Parse(sink.Data(), writer.Bytes()).Values(), ById(written));
  EXPECT_EQ(CHeaderList::Parse(sink.Data(), writer.Bytes()).FindAll(44).size(), 3u);

  // Cut at every length: exactly the records wholly inside the cut.
  for (uint64_t cut = 0; cut < writer.Bytes(); ++cut) {
    std::vector<CHeaderValue> whole;
    uint64_t end = 0;
    for (const auto& v : written)
      if ((end += v.EncodedSize()) <= cut) whole.push_back(v);
    ASSERT_EQ(CHeaderList::Parse(sink.Data(), cut).Values(), ById(whole)) << "cut at " << cut;
  }
}

TEST(HeaderList, ARecordThatCannotBeHeldLeavesTheListAsItWas) {
  CAreaSink sink(40);
  CHeaderListWriter writer(sink);
  writer.AddInt(1, 1);
  EXPECT_EQ(CodeOf<CMailhookError>([&] { writer.AddString(2, std::string(30, 's')); }),
            CMailhookError::TOO_LARGE);
  EXPECT_EQ(CodeOf<CMailhookError>([&] { writer.AddString(3, std::string("a\0b", 3)); }),
            CMailhookError::INVALID_ARGUMENT);
  EXPECT_EQ(CodeOf<CMailhookError>([&] { writer.AddWString(3, std::u16string(u"a\0b", 3)); }),
            CMailhookError::INVALID_ARGUMENT);
  EXPECT_EQ(writer.Bytes(), 12u);
  EXPECT_EQ(writer.Count(), 1u);
  // Nothing past the list was touched, and a record that fits still goes in.
  EXPECT_TRUE(std::all_of(sink.Data() + 12, sink.Data() + 40, [](char c) { return c == '\xAA'; }));
  writer.AddInt64(4, 9);
  EXPECT_EQ(CHeaderList::Parse(sink.Data(), writer.Bytes()).Values(),
            (std::vector<CHeaderValue>{CHeaderValue::Int(1, 1), CHeaderValue::Int64(4, 9)}));
}
