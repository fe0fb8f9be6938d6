// CMemMapResource over real files: the header it writes, growth within the maximum, the data
// size, renewing and shrinking a view from the shared header, the size-limit operations, and
// peer files and headers that make no sense.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/hook_HookError.h"
#include "foundation/hook_Log.h"
#include "memmap/hook_MemMapResource.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using mhtest::TempDir;

namespace {

class TestResource : public CMemMapResource {
 public:
  TestResource() : CMemMapResource(4) {}
  using CMemMapResource::AdjustMapSize;
  using CMemMapResource::GetDefaultSize;
  using CMemMapResource::GetMaxSize;
  using CMemMapResource::RoundUp;
  MemMapResourceHeader& Header() {
    return *reinterpret_cast<MemMapResourceHeader*>(static_cast<char*>(GetDataBaseAddr()) - kHeaderSize);
  }
};

int Page() {
  SYSTEM_INFO info{};
  GetSystemInfo(&info);
  return static_cast<int>(info.dwPageSize);
}

std::string ReadFile(const fs::path& p) {
  std::string bytes(static_cast<size_t>(fs::file_size(p)), '\0');
  std::ifstream(p, std::ios::binary).read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

int32_t Le32(const std::string& b, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(b.at(at + i));
  return static_cast<int32_t>(v);
}

void PutLe32(std::string& b, size_t at, int32_t value) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>(static_cast<uint32_t>(value) >> (8 * i));
}

int RaisedCode(const std::function<void()>& f) {
  try {
    f();
  } catch (const CHookError& e) {
    return e.Code();
  }
  return -1;
}

}  // namespace

TEST(CMemMapResource, OpenWritesTheHeaderByteForByte) {
  const int page = Page();
  EXPECT_EQ(TestResource::RoundUp(548), page);
  EXPECT_EQ(TestResource::RoundUp(page), page);
  EXPECT_EQ(TestResource::RoundUp(page + 1), 2 * page);

  TempDir dir;
  // The longest name the field holds whole: 259 units and the terminator.
  const std::u16string name = dir.WFile("") + std::u16string(259 - dir.WFile("").size(), u'n');
  TestResource r;
  ASSERT_EQ(r.Open(11, SIZE_TYPE_LARGE, name.c_str(), 0, 0x100000), 0);
  EXPECT_EQ(r.GetDataStorageSize(), page - 548);
  EXPECT_EQ(r.GetMaxDataStorageSize(), TestResource::RoundUp(0x100000 + 548) - 548);
  EXPECT_TRUE(page != 4096 || r.GetMaxSize() == 257 * 4096);
  const std::string bytes = ReadFile(fs::path(name));
  ASSERT_EQ(bytes.size(), static_cast<size_t>(page));
  const std::vector<int32_t> fields = {548, page - 548, page, page, r.GetMaxSize(), 0, SIZE_TYPE_LARGE};
  for (size_t i = 0; i < fields.size(); ++i) EXPECT_EQ(Le32(bytes, 4 * i), fields[i]) << "field " << i;
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(bytes.data() + 28)), name);
  EXPECT_EQ(Le32(bytes, 28 + 2 * 258) >> 16, 0);  // unit 259

  // A name the field cannot hold whole would send the peer to another file; totals that no
  // 32-bit view holds are refused rather than wrapped.
  TestResource bad;
  EXPECT_EQ(bad.Open(1, SIZE_TYPE_SMALL, (name + u"x").c_str(), 0, 0), -1);
  EXPECT_EQ(bad.Open(1, SIZE_TYPE_SMALL, dir.WFile("h").c_str(), 0, 0xFFFFFFFFull), -1);
  EXPECT_FALSE(bad.IsMapped());
  EXPECT_EQ(RaisedCode([&] { bad.GetDataBaseAddr(); }), HOOK_ERR_GENERAL);
  EXPECT_EQ(RaisedCode([&] { bad.GetDataSize(); }), HOOK_ERR_GENERAL);
  EXPECT_EQ(RaisedCode([&] { bad.GetDataStorageSize(); }), HOOK_ERR_GENERAL);
  EXPECT_EQ(RaisedCode([&] { bad.Grow(1); }), HOOK_ERR_GENERAL);
}

TEST(CMemMapResource, GrowAndDataSizeStayWithinLimits) {
  TempDir dir;
  const int page = Page();
  TestResource r;
  ASSERT_EQ(r.Open(1, SIZE_TYPE_LARGE, dir.WFile("g.dat").c_str(), 0, 64 * 1024), 0);
  std::memcpy(r.GetDataBaseAddr(), "kept", 5);
  void* before = r.GetDataBaseAddr();
  EXPECT_EQ(r.Grow(64 * 1024 + page), -1);  // beyond the maximum: the view is untouched
  EXPECT_EQ(r.GetDataBaseAddr(), before);
  EXPECT_EQ(r.GetCurrentMapSize(), page);

  ASSERT_EQ(r.Grow(3 * page), 0);
  EXPECT_EQ(r.GetCurrentMapSize(), TestResource::RoundUp(3 * page + 548));
  EXPECT_EQ(r.Header().iDataStorageSize, r.GetCurrentMapSize() - 548);
  EXPECT_EQ(fs::file_size(dir.File("g.dat")), static_cast<uintmax_t>(r.GetCurrentMapSize()));
  EXPECT_STREQ(static_cast<char*>(r.GetDataBaseAddr()), "kept");
  EXPECT_EQ(r.Grow(r.GetMaxDataStorageSize()), 0);
  EXPECT_EQ(r.GetCurrentMapSize(), r.GetMaxSize());
  EXPECT_EQ(r.AdjustMapSize(r.GetMaxSize() + page), -1);

  const int storage = r.GetDataStorageSize();
  for (int ignored : {storage + 1, -1}) {
    EXPECT_EQ(r.SetDataSize(ignored), 0);
    EXPECT_EQ(r.GetDataSize(), 0);
  }
  EXPECT_EQ(r.SetDataSize(storage), 0);
  EXPECT_EQ(r.Header().iDataSize, storage);
}

TEST(CMemMapResource, RenewFollowsThePeersDataSize) {
  TempDir dir;
  const auto path = dir.WFile("s.dat");
  TestResource writer, reader;
  ASSERT_EQ(writer.Open(5, SIZE_TYPE_LARGE, path.c_str(), 0, 1 << 20), 0);
  ASSERT_EQ(reader.OpenExisting(5, path.c_str()), 0);
  EXPECT_EQ(reader.GetMaxSize(), writer.GetMaxSize());
  EXPECT_EQ(reader.GetSizeType(), SIZE_TYPE_LARGE);
  const int firstView = reader.GetCurrentMapSize();

  ASSERT_EQ(writer.SetDataSize(firstView - 548), 0);  // exactly the view's data area: kept
  ASSERT_EQ(reader.RenewMemMap(), 0);
  EXPECT_EQ(reader.GetCurrentMapSize(), firstView);
  const int dataSize = 100000;
  ASSERT_EQ(writer.Grow(dataSize), 0);
  auto* w = static_cast<unsigned char*>(writer.GetDataBaseAddr());
  for (int i = 0; i < dataSize; ++i) w[i] = static_cast<unsigned char>(i * 31 + 7);
  ASSERT_EQ(writer.SetDataSize(dataSize), 0);
  EXPECT_EQ(reader.GetDataSize(), firstView - 548);  // never more than the own view holds
  ASSERT_EQ(reader.RenewMemMap(), 0);
  EXPECT_EQ(reader.GetCurrentMapSize(), dataSize + 548);
  EXPECT_EQ(reader.GetDataStorageSize(), dataSize);
  EXPECT_EQ(std::memcmp(reader.GetDataBaseAddr(), w, dataSize), 0);
  EXPECT_EQ(writer.Header().iCurrentMapSize, dataSize + 548);  // the reader mapped last
}

TEST(CMemMapResource, SmallDataShrinksALargeView) {
  if (Page() != 4096) GTEST_SKIP() << "sizes below assume 4096-byte pages";
  TempDir dir;
  // A fifth of the maximum, rounded up, at most 6 MiB.
  for (auto [maxData, shrinkSize] : {std::pair{32 << 20, 0x600000}, std::pair{10 << 20, 513 * 4096}}) {
    SCOPED_TRACE(maxData);
    TestResource r;
    ASSERT_EQ(r.Open(1, SIZE_TYPE_LARGE, dir.WFile(std::to_string(maxData)).c_str(), 0, maxData), 0);
    ASSERT_EQ(r.Grow(maxData), 0);
    ASSERT_EQ(r.SetDataSize(100), 0);
    ASSERT_EQ(r.RenewMemMap(), 0);
    EXPECT_EQ(r.GetCurrentMapSize(), shrinkSize);
    ASSERT_EQ(r.Grow(maxData), 0);
    ASSERT_EQ(r.SetDataSize(shrinkSize - 548), 0);  // not small enough to shrink
    ASSERT_EQ(r.RenewMemMap(), 0);
    EXPECT_EQ(r.GetCurrentMapSize(), r.GetMaxSize());
  }
}

TEST(CMemMapResource, SizeLimitClosesAndTruncates) {
  TempDir dir;
  const auto path = dir.WFile("l.dat");
  TestResource writer, reader;
  ASSERT_EQ(writer.Open(2, SIZE_TYPE_LARGE, path.c_str(), 0, 4 << 20), 0);
  ASSERT_EQ(writer.Grow(2 << 20), 0);
  writer.Close();
  reader.SetMaxAllowedFileSize(0x100000);
  ASSERT_EQ(reader.OpenExisting(2, path.c_str()), 0);
  EXPECT_EQ(reader.GetCurrentMapSize(), 0x100000);  // the rounded limit, not the whole file
  reader.CloseByLimitedFileSize();
  EXPECT_FALSE(reader.IsMapped());
  ASSERT_EQ(reader.RenewMemMap(), 0);
  EXPECT_LE(reader.GetCurrentMapSize(), 0x100000);

  EXPECT_EQ(reader.ResizeMappingFileDependonFilesize(), 1);  // nobody else maps it
  EXPECT_FALSE(reader.IsMapped());
  EXPECT_EQ(fs::file_size(dir.File("l.dat")), static_cast<uintmax_t>(reader.GetDefaultSize()));
  EXPECT_EQ(reader.ResizeMappingFileDependonFilesize(), 0);
  ASSERT_EQ(reader.RenewMemMap(), 0);
  EXPECT_EQ(reader.GetCurrentMapSize(), reader.GetDefaultSize());
}

TEST(CMemMapResource, PeerFilesAndHeadersThatMakeNoSenseAreRefused) {
  if (Page() != 4096) GTEST_SKIP() << "the files below assume 4096-byte pages";
  TempDir dir;
  const auto path = dir.WFile("bad.dat");
  const int kFile = 8192, kMax = 1 << 20;
  auto file = [&](size_t at, int32_t value) {
    std::string b(kFile, '\0');
    const int32_t fields[] = {548, kFile - 548, 4096, kFile, kMax, 100, 0};
    for (int i = 0; i < 7; ++i) PutLe32(b, 4 * i, fields[i]);
    if (at != std::string::npos) PutLe32(b, at, value);
    return b;
  };
  std::ofstream(dir.File("bad.dat"), std::ios::binary) << file(std::string::npos, 0);
  TestResource good;
  ASSERT_EQ(good.OpenExisting(1, path.c_str()), 0);
  EXPECT_EQ(good.GetDataSize(), 100);
  good.Close();

  const std::pair<size_t, int32_t> fields[] = {
      {0, 547}, {20, -1}, {20, kMax}, {20, kFile - 547}, {16, -4096}, {16, kMax + 1}, {16, 0x7FFFF000},
      {16, 0},  {8, 0},   {24, 2}};
  for (auto [at, value] : fields) {
    SCOPED_TRACE(std::to_string(at) + "=" + std::to_string(value));
    const std::string bytes = file(at, value);
    std::ofstream(dir.File("bad.dat"), std::ios::binary) << bytes;
    TestResource r;
    EXPECT_EQ(r.OpenExisting(1, path.c_str()), -1);
    EXPECT_FALSE(r.IsMapped());
    EXPECT_EQ(r.RenewMemMap(), -1);  // re-opens by name and refuses again
    EXPECT_EQ(ReadFile(dir.File("bad.dat")), bytes);
  }
  for (size_t len : {0, 1, 547}) {  // shorter than the header
    std::ofstream(dir.File("bad.dat"), std::ios::binary) << file(std::string::npos, 0).substr(0, len);
    TestResource r;
    EXPECT_EQ(r.OpenExisting(1, path.c_str()), -1);
    EXPECT_EQ(fs::file_size(dir.File("bad.dat")), len);
  }

  // Adopted first, then corrupted by the peer: refused, the view kept, the file never extended.
  TestResource writer, reader;
  ASSERT_EQ(writer.Open(1, SIZE_TYPE_SMALL, path.c_str(), 0, 256 << 20), 0);
  ASSERT_EQ(reader.OpenExisting(1, path.c_str()), 0);
  const int view = reader.GetCurrentMapSize();
  for (int32_t bad : {(256 << 20) - 548, 0x7FFFFFFF, -5}) {
    writer.Header().iDataSize = bad;
    EXPECT_EQ(reader.RenewMemMap(), -1);
    EXPECT_EQ(reader.GetCurrentMapSize(), view);
    EXPECT_EQ(fs::file_size(dir.File("bad.dat")), static_cast<uintmax_t>(view));
  }
  EXPECT_EQ(reader.GetDataSize(), 0);  // negative reads as empty
  writer.Header().iDataSize = 10;
  writer.Header().iHeaderSize = 4096;
  EXPECT_EQ(reader.RenewMemMap(), -1);
  writer.Header().iHeaderSize = 548;
  EXPECT_EQ(reader.RenewMemMap(), 0);
}
