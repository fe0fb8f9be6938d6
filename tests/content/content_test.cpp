// CInputHookContentImp and COutputHookContentMMapResourceImp: the reader's end of content and
// its reports, and the writer over a real resource: growth, the moved data area, the maximum,
// in-place reservations and truncation.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "content/hook_HookContent.h"
#include "content_support.h"
#include "foundation/hook_Log.h"

using namespace contenttest;
using mhtest::TempDir;
using Codes = std::vector<std::string>;

TEST(CInputHookContentImp, ReadsInPiecesToTheExactEndThenReportsTheEndLikeAFailure) {
  const auto bytes = Pattern(3, 1000);
  CInputHookContentImp reader(const_cast<unsigned char*>(bytes.data()), 1000);
  EXPECT_EQ(reader.GetRawMemoryBlock(), bytes.data());  // in place, no copy
  std::vector<unsigned char> out(1000);
  uint64_t total = 0, read = 77;
  DBG::CLogCapture capture;
  EXPECT_EQ(reader.Read(nullptr, 2, read), -1);  // refused, read and cursor untouched
  EXPECT_EQ(read, 77u);
  EXPECT_EQ(Reports(capture), Codes{Code(HOOK_ERR_INVALID_ARG)});
  capture.Clear();
  while (total < 1000) {
    ASSERT_EQ(reader.Read(out.data() + total, 333, read), 0);
    ASSERT_GT(read, 0u);
    total += read;
  }
  EXPECT_EQ(out, bytes);
  EXPECT_EQ(Reports(capture), Codes{});  // reading exactly the content reports nothing
  EXPECT_EQ(reader.Read(out.data(), 10, read), -1);
  EXPECT_EQ(read, 0u);
  EXPECT_EQ(Reports(capture), Codes{Code(HOOK_ERR_GENERAL)});

  char data[8] = {};
  for (auto [block, size] : {std::pair<void*, int>{data, 0}, {data, -1}, {nullptr, 4096}}) {
    CInputHookContentImp empty(block, size);
    EXPECT_EQ(empty.GetContentSize(), 0u);
    EXPECT_EQ(empty.Read(data, sizeof(data), read), -1);
  }
}

TEST(COutputHookContentMMapResourceImp, GrowsOnlyWhenNeededUpToTheMaximumAndFollowsTheArea) {
  TempDir dir;
  CMemMapResourcePool pool(41);
  CMemMapResource* r = OpenResource(&pool, dir, "content", 1, SIZE_TYPE_LARGE, 1u << 20);
  ASSERT_NE(r, nullptr);
  COutputHookContentMMapResourceImp writer(r);
  const int capacity = r->GetDataStorageSize();
  const auto max = writer.GetMaxDataStorageSize();
  char* base = static_cast<char*>(writer.GetRawMemoryBlock());
  EXPECT_EQ(writer.ReserveWrite(0), base);  // the end of an empty content
  std::memcpy(writer.ReserveWrite(5), "hello", 5);
  const auto bytes = Pattern(7, static_cast<size_t>(max));
  uint64_t written = 0;
  auto* src = const_cast<unsigned char*>(bytes.data());
  ASSERT_EQ(writer.Write(src, static_cast<uint64_t>(capacity) - 5, written), 0);
  EXPECT_EQ(r->GetDataStorageSize(), capacity);  // it fits: no growth
  EXPECT_EQ(writer.GetRawMemoryBlock(), base);
  ASSERT_EQ(writer.Write(src + capacity - 5, 1, written), 0);
  EXPECT_GT(r->GetDataStorageSize(), capacity);
  base = static_cast<char*>(r->GetDataBaseAddr());  // the area may have moved: the writer follows
  EXPECT_EQ(writer.GetRawMemoryBlock(), base);
  EXPECT_EQ(std::string(base, 5), "hello");
  EXPECT_EQ(std::memcmp(base + 5, bytes.data(), static_cast<size_t>(capacity) - 4), 0);

  // Past the maximum: GROW, nothing written, the view kept where it was; exactly up to it fits.
  const uint64_t have = writer.GetContentSize();
  DBG::CLogCapture capture;
  written = 123;
  EXPECT_EQ(writer.Write(src, max - have + 1, written), -1);
  EXPECT_EQ(written, 123u);
  EXPECT_EQ(writer.ReserveWrite(max - have + 1), nullptr);
  EXPECT_EQ(writer.ReserveWrite(1ull << 32), nullptr);  // no wrapping
  EXPECT_EQ(Reports(capture), Codes(3, Code(HOOK_ERR_GROW)));
  EXPECT_TRUE(r->IsMapped());
  EXPECT_EQ(writer.GetContentSize(), have);
  ASSERT_EQ(writer.Write(src, max - have, written), 0);
  EXPECT_EQ(writer.GetContentSize(), max);

  // Truncation only, never to nothing; the next write goes on from the new end.
  writer.SetContentSize(40);
  for (int size : {41, 0, -1}) writer.SetContentSize(size);
  EXPECT_EQ(writer.GetContentSize(), 40u);
  ASSERT_EQ(writer.Write(const_cast<char*>("XY"), 2, written), 0);
  EXPECT_EQ(std::string(static_cast<char*>(writer.GetRawMemoryBlock()) + 40, 2), "XY");
  EXPECT_EQ(r->GetDataSize(), 0);  // the writer never records its size in the resource
  pool.Close();
}
