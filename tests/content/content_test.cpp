// CInputHookContentImp and COutputHookContentMMapResourceImp: the reader's end of content and
// its report lines, and the writer over a real resource: growth, the moved data area, the
// resource's maximum and its file-size close, in-place reservations and truncation.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "content/hook_HookContent.h"
#include "content_support.h"
#include "foundation/hook_Log.h"
#include "pool/hook_MemMapResourcePool.h"

using namespace contenttest;
using mhtest::TempDir;

namespace {

const std::vector<Report> kNone;
Report Code(int code, const char* unit = kContentUnit) {
  return {code, unit};
}

}  // namespace

TEST(CInputHookContentImp, ReadsInPiecesUpToTheExactEndThenReportsTheEndLikeAFailure) {
  const auto bytes = Pattern(3, 1000);
  CInputHookContentImp reader(const_cast<unsigned char*>(bytes.data()), 1000);
  EXPECT_EQ(reader.GetRawMemoryBlock(), bytes.data());  // in place, no copy
  std::vector<unsigned char> out(1000);
  uint64_t total = 0, read = 99;
  DBG::CLogCapture capture;
  EXPECT_EQ(reader.Read(out.data(), 0, read), 0);  // size 0 reads nothing
  EXPECT_EQ(read, 0u);
  read = 77;
  EXPECT_EQ(reader.Read(nullptr, 2, read), -1);  // refused, read and cursor untouched
  EXPECT_EQ(read, 77u);
  EXPECT_EQ(Reports(capture), std::vector<Report>{Code(HOOK_ERR_INVALID_ARG)});
  capture.Clear();
  while (total < 1000) {
    ASSERT_EQ(reader.Read(out.data() + total, 333, read), 0);
    ASSERT_GT(read, 0u);
    total += read;
  }
  EXPECT_EQ(out, bytes);
  EXPECT_EQ(Reports(capture), kNone);  // reading exactly the content reports nothing
  // The call after the last byte: -1, read = 0, one report with code 0.
  read = 5;
  EXPECT_EQ(reader.Read(out.data(), 10, read), -1);
  EXPECT_EQ(read, 0u);
  EXPECT_EQ(Reports(capture), std::vector<Report>{Code(HOOK_ERR_GENERAL)});
  EXPECT_EQ(reader.GetContentSize(), 1000u);
}

TEST(CInputHookContentImp, EmptyNegativeAndNullBlocksHoldNoContent) {
  char data[8] = {};
  struct Case {
    void* block;
    int size;
  } cases[] = {{data, 0}, {data, -1}, {data, -2147483647 - 1}, {nullptr, 0}, {nullptr, 4096}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.size) + (c.block ? " over a block" : " over null"));
    DBG::CLogCapture capture;
    CInputHookContentImp reader(c.block, c.size);
    EXPECT_EQ(reader.GetContentSize(), 0u);
    char out[8];
    uint64_t read = 3;
    EXPECT_EQ(reader.Read(out, sizeof(out), read), -1);
    EXPECT_EQ(read, 0u);
    EXPECT_EQ(Reports(capture), std::vector<Report>{Code(HOOK_ERR_GENERAL)});
  }
}

namespace {

class WriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_pPool = std::make_unique<CMemMapResourcePool>(41);
    m_pResource = OpenResource(m_pPool.get(), m_dir, "content", 1, SIZE_TYPE_LARGE, 1u << 20);
    ASSERT_NE(m_pResource, nullptr);
    ASSERT_EQ(m_pPool->AddResource(m_pResource), 0);
  }
  void TearDown() override { m_pPool->Close(); }

  TempDir m_dir;
  std::unique_ptr<CMemMapResourcePool> m_pPool;
  CMemMapResource* m_pResource = nullptr;
};

}  // namespace

TEST_F(WriterTest, AWriteThatFitsDoesNotGrowAndOneMoreByteGrowsOnce) {
  COutputHookContentMMapResourceImp writer(m_pResource);
  const int capacity = m_pResource->GetDataStorageSize();
  void* firstBase = writer.GetRawMemoryBlock();
  EXPECT_EQ(firstBase, m_pResource->GetDataBaseAddr());
  EXPECT_EQ(writer.GetContentSize(), 0u);
  EXPECT_EQ(writer.GetMaxDataStorageSize(), static_cast<uint64_t>(m_pResource->GetMaxDataStorageSize()));

  auto bytes = Pattern(7, static_cast<size_t>(capacity) + 1);
  uint64_t written = 0;
  ASSERT_EQ(writer.Write(bytes.data(), static_cast<uint64_t>(capacity), written), 0);
  EXPECT_EQ(written, static_cast<uint64_t>(capacity));
  EXPECT_EQ(m_pResource->GetDataStorageSize(), capacity);  // it fits: no growth
  EXPECT_EQ(writer.GetRawMemoryBlock(), firstBase);

  ASSERT_EQ(writer.Write(bytes.data() + capacity, 1, written), 0);
  EXPECT_EQ(written, 1u);
  EXPECT_EQ(writer.GetContentSize(), static_cast<uint64_t>(capacity) + 1);
  // The data area may have moved: the writer follows it.
  void* base = m_pResource->GetDataBaseAddr();
  EXPECT_EQ(writer.GetRawMemoryBlock(), base);
  EXPECT_GT(m_pResource->GetDataStorageSize(), capacity);
  EXPECT_EQ(FirstMismatch(base, static_cast<size_t>(capacity) + 1, 7), static_cast<size_t>(capacity) + 1);
}

TEST_F(WriterTest, AWritePastTheMaximumFailsWithGrowAndKeepsWhatWasWritten) {
  COutputHookContentMMapResourceImp writer(m_pResource);
  const auto max = writer.GetMaxDataStorageSize();
  auto bytes = Pattern(9, 2000);
  uint64_t written = 0;
  ASSERT_EQ(writer.Write(bytes.data(), 2000, written), 0);
  void* base = writer.GetRawMemoryBlock();

  DBG::CLogCapture capture;
  written = 123;
  std::vector<unsigned char> big(static_cast<size_t>(max) - 1999);
  EXPECT_EQ(writer.Write(big.data(), big.size(), written), -1);
  EXPECT_EQ(written, 123u);
  EXPECT_EQ(writer.GetContentSize(), 2000u);
  EXPECT_EQ(Reports(capture), std::vector<Report>{Code(HOOK_ERR_GROW)});
  // The file is below the size limit, so the resource stayed mapped, where it was.
  EXPECT_TRUE(m_pResource->IsMapped());
  EXPECT_EQ(writer.GetRawMemoryBlock(), base);

  // ReserveWrite in the same case: null, same code, and the resource is not asked.
  capture.Clear();
  EXPECT_EQ(writer.ReserveWrite(big.size()), nullptr);
  EXPECT_EQ(Reports(capture), std::vector<Report>{Code(HOOK_ERR_GROW)});
  EXPECT_EQ(writer.GetContentSize(), 2000u);

  // Exactly up to the maximum still fits; sizes no resource can hold fail without wrapping.
  ASSERT_EQ(writer.Write(big.data(), big.size() - 1, written), 0);
  EXPECT_EQ(writer.GetContentSize(), max);
  capture.Clear();
  EXPECT_EQ(writer.ReserveWrite(1ull << 32), nullptr);
  EXPECT_EQ(writer.Write(big.data(), (1ull << 32) - max, written), -1);
  EXPECT_EQ(Reports(capture), (std::vector<Report>{Code(HOOK_ERR_GROW), Code(HOOK_ERR_GROW)}));
  EXPECT_EQ(writer.GetContentSize(), max);
  EXPECT_EQ(FirstMismatch(m_pResource->GetDataBaseAddr(), 2000, 9), 2000u);
}

TEST(COutputHookContentMMapResourceImp, AFileGrownPastTheLimitIsClosedAndLaterWritesFailCleanly) {
  TempDir dir;
  CMemMapResourcePool pool(42);
  const uint64_t limit = pool.GetMaxAllowedMemMapFileSize();
  if (limit > (64u << 20))
    GTEST_SKIP() << "the configured file-size limit is too large to pass in a unit test";
  CMemMapResource* r = OpenResource(&pool, dir, "big", 1, SIZE_TYPE_LARGE, limit + (2u << 20));
  ASSERT_NE(r, nullptr);
  pool.AddResource(r);
  COutputHookContentMMapResourceImp writer(r);
  const auto bytes = Pattern(5, static_cast<size_t>(limit) + (1u << 20));
  uint64_t written = 0;
  ASSERT_EQ(writer.Write(const_cast<unsigned char*>(bytes.data()), bytes.size(), written), 0);

  DBG::CLogCapture capture;
  std::vector<unsigned char> more(2u << 20);
  EXPECT_EQ(writer.Write(more.data(), more.size(), written), -1);
  EXPECT_EQ(Reports(capture), std::vector<Report>{Code(HOOK_ERR_GROW)});
  // The file is past the limit: the resource dropped its view, and the writer forgot it.
  EXPECT_FALSE(r->IsMapped());
  EXPECT_EQ(writer.GetRawMemoryBlock(), nullptr);
  capture.Clear();
  char one = 'x';
  EXPECT_EQ(writer.Write(&one, 1, written), -1);
  EXPECT_EQ(writer.ReserveWrite(1), nullptr);
  EXPECT_EQ(Reports(capture), (std::vector<Report>{Code(HOOK_ERR_GENERAL), Code(HOOK_ERR_GENERAL)}));
  EXPECT_EQ(writer.GetContentSize(), bytes.size());

  // Renewed, the resource maps the file again with everything written before intact, and the
  // same writer goes on at its end.
  ASSERT_EQ(r->RenewMemMap(), 0);
  ASSERT_EQ(writer.Write(&one, 1, written), 0);
  auto* base = static_cast<unsigned char*>(r->GetDataBaseAddr());
  EXPECT_EQ(writer.GetRawMemoryBlock(), base);
  EXPECT_EQ(FirstMismatch(base, bytes.size(), 5), bytes.size());
  EXPECT_EQ(base[bytes.size()], 'x');
  pool.Close();
}

TEST_F(WriterTest, ReserveWriteHandsOutRoomInPlace) {
  COutputHookContentMMapResourceImp writer(m_pResource);
  DBG::CLogCapture capture;
  auto* base = static_cast<char*>(writer.GetRawMemoryBlock());
  EXPECT_EQ(writer.ReserveWrite(0), base);  // the end of an empty content
  EXPECT_EQ(writer.GetContentSize(), 0u);

  char* room = static_cast<char*>(writer.ReserveWrite(5));
  ASSERT_EQ(room, base);
  std::memcpy(room, "hello", 5);
  EXPECT_EQ(writer.ReserveWrite(0), base + 5);
  EXPECT_EQ(writer.GetContentSize(), 5u);

  // A reservation that does not fit grows without a detail line and returns room in the
  // (possibly moved) area, after what was written.
  const int capacity = m_pResource->GetDataStorageSize();
  room = static_cast<char*>(writer.ReserveWrite(static_cast<uint64_t>(capacity)));
  ASSERT_NE(room, nullptr);
  base = static_cast<char*>(m_pResource->GetDataBaseAddr());
  EXPECT_EQ(room, base + 5);
  EXPECT_EQ(std::string(base, 5), "hello");
  EXPECT_EQ(Reports(capture), kNone);
}

TEST_F(WriterTest, SetContentSizeOnlyTruncatesAndNeverToNothing) {
  COutputHookContentMMapResourceImp writer(m_pResource);
  auto bytes = Pattern(1, 100);
  uint64_t written = 0;
  ASSERT_EQ(writer.Write(bytes.data(), 100, written), 0);
  writer.SetContentSize(40);
  EXPECT_EQ(writer.GetContentSize(), 40u);
  writer.SetContentSize(40);
  EXPECT_EQ(writer.GetContentSize(), 40u);
  for (int size : {100, 41, 0, -1}) {
    DBG::CLogCapture capture;
    writer.SetContentSize(size);
    EXPECT_EQ(writer.GetContentSize(), 40u);
    EXPECT_EQ(capture.Lines(LOG_ERROR).size(), 1u);
  }
  // The next write goes on from the truncated end.
  ASSERT_EQ(writer.Write(const_cast<char*>("XY"), 2, written), 0);
  EXPECT_EQ(std::string(static_cast<char*>(writer.GetRawMemoryBlock()) + 40, 2), "XY");
}

TEST_F(WriterTest, ANewWriterStartsAtZeroOverWhatTheResourceHolds) {
  auto bytes = Pattern(2, 3000);
  uint64_t written = 0;
  {
    COutputHookContentMMapResourceImp first(m_pResource);
    ASSERT_EQ(first.Write(bytes.data(), 3000, written), 0);
  }
  m_pResource->SetDataSize(3000);
  COutputHookContentMMapResourceImp second(m_pResource);
  EXPECT_EQ(second.GetContentSize(), 0u);
  ASSERT_EQ(second.Write(const_cast<char*>("new"), 3, written), 0);
  auto* base = static_cast<char*>(m_pResource->GetDataBaseAddr());
  EXPECT_EQ(std::string(base, 3), "new");
  EXPECT_EQ(static_cast<unsigned char>(base[3]), bytes[3]);
  // The writer never records its size in the resource.
  EXPECT_EQ(m_pResource->GetDataSize(), 3000);
}

TEST(COutputHookContentMMapResourceImp, WithoutAUsableResourceEveryCallFailsCleanly) {
  {
    DBG::CLogCapture capture;
    COutputHookContentMMapResourceImp writer(nullptr);
    EXPECT_EQ(Reports(capture), std::vector<Report>{Code(HOOK_ERR_INVALID_ARG)});
    capture.Clear();
    char b = 1;
    uint64_t written = 9;
    EXPECT_EQ(writer.Write(&b, 1, written), -1);
    EXPECT_EQ(written, 9u);
    EXPECT_EQ(writer.ReserveWrite(1), nullptr);
    EXPECT_EQ(Reports(capture), (std::vector<Report>{Code(HOOK_ERR_GENERAL), Code(HOOK_ERR_GENERAL)}));
    EXPECT_EQ(writer.GetMaxDataStorageSize(), 0u);
    EXPECT_EQ(writer.GetContentSize(), 0u);
    EXPECT_EQ(writer.GetRawMemoryBlock(), nullptr);
  }
  {
    // A resource never opened: its accessors raise; the writer reports and stays empty.
    CMemMapResourcePool pool(43);
    CMemMapResource* r = pool.CreateResource();
    DBG::CLogCapture capture;
    COutputHookContentMMapResourceImp writer(r);
    EXPECT_EQ(Reports(capture), std::vector<Report>{Code(HOOK_ERR_GENERAL, kResourceUnit)});
    capture.Clear();
    char b = 1;
    uint64_t written = 0;
    EXPECT_EQ(writer.Write(&b, 1, written), -1);
    EXPECT_EQ(writer.ReserveWrite(0), nullptr);
    EXPECT_EQ(Reports(capture), (std::vector<Report>{Code(HOOK_ERR_GENERAL), Code(HOOK_ERR_GENERAL)}));
    EXPECT_EQ(writer.GetRawMemoryBlock(), nullptr);
    pool.DestroyResource(r);
  }
}
