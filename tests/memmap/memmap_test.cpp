// CMemMap and CMemMapResource over real files: mapping and growing, the size-limit operations,
// the shared header byte for byte, growth within the maximum and views renewed from the peer's
// header, and peer files that make no sense (a header the peer spoils after adoption is the
// receiver test's).
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "foundation/hook_HookError.h"
#include "foundation/hook_Log.h"
#include "memmap/hook_MemMapResource.h"
#include "platform/win32_test_util.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using mhtest::TempDir;

namespace {

class TestResource : public CMemMapResource {
 public:
  TestResource() : CMemMapResource(4) {}
  using CMemMapResource::GetMaxSize;
  MemMapResourceHeader& Header() {
    return *reinterpret_cast<MemMapResourceHeader*>(static_cast<char*>(GetDataBaseAddr()) - kHeaderSize);
  }
};

}  // namespace

TEST(CMemMap, MapsGrowsNeverShrinksAndRefusesNonsense) {
  TempDir dir;
  std::ofstream(dir.File("b.dat"), std::ios::binary) << "hello";
  CMemMap m;
  ASSERT_EQ(m.Open(dir.WFile("b.dat").c_str()), 0);
  ASSERT_EQ(m.Map(-1), 0);  // the whole file
  EXPECT_EQ(m.Size(), 5u);
  EXPECT_EQ(std::memcmp(m.Addr(), "hello", 5), 0);

  ASSERT_EQ(m.Map(dir.WFile("grow.dat").c_str(), 10000), 0);
  static_cast<char*>(m.Addr())[9999] = 'z';
  ASSERT_EQ(m.Map(100000), 0);  // re-maps (the address may move) and keeps the bytes
  EXPECT_EQ(fs::file_size(dir.File("grow.dat")), 100000u);
  EXPECT_EQ(static_cast<char*>(m.Addr())[9999], 'z');
  ASSERT_EQ(m.Map(4096), 0);
  EXPECT_EQ(fs::file_size(dir.File("grow.dat")), 100000u);
  ASSERT_EQ(m.MapByLimitedSize(8192), 0);
  EXPECT_EQ(m.Size(), 8192u);
  ASSERT_EQ(m.MapByLimitedSize(1u << 20), 0);
  EXPECT_EQ(m.Size(), 100000u);

  CMemMap bad;
  EXPECT_EQ(bad.Map(dir.WFile("missing/x.dat").c_str(), 4096), -1);
  ASSERT_EQ(bad.Open(dir.WFile("empty.dat").c_str()), 0);
  for (int len : {0, -1, -7}) EXPECT_EQ(bad.Map(len), -1) << len;
  EXPECT_EQ(bad.Map(4096, nullptr, -4096), -1);
  EXPECT_EQ(bad.Addr(), nullptr);
  EXPECT_EQ(bad.Map(4096), 0);  // the file stayed open

  // The size-limit operations act only above their threshold, and never truncate under
  // another view (the resize reports its failure and still counts as done).
  EXPECT_FALSE(bad.CloseByLimitedFileSize(4096));
  EXPECT_FALSE(bad.ResizeMappingFile(4096, 4096));
  {
    CMemMap other;
    ASSERT_EQ(other.Map(dir.WFile("grow.dat").c_str(), 65536), 0);
    EXPECT_TRUE(m.ResizeMappingFile(4096, 4096));
    EXPECT_EQ(fs::file_size(dir.File("grow.dat")), 100000u);
  }
  ASSERT_EQ(m.Map(4096), 0);
  EXPECT_TRUE(m.ResizeMappingFile(4096, 4096));
  EXPECT_EQ(m.Addr(), nullptr);
  EXPECT_EQ(fs::file_size(dir.File("grow.dat")), 4096u);
  ASSERT_EQ(m.Map(16384), 0);
  EXPECT_TRUE(m.CloseByLimitedFileSize(8192));
  EXPECT_EQ(m.GetHandle(), INVALID_HANDLE_VALUE);
}

TEST(CMemMapResource, OpenWritesTheHeaderByteForByteAndAdoptsOnlyASaneOne) {
  TempDir dir;
  // The longest name the field holds whole: 259 units and the terminator.
  const std::u16string name = dir.WFile("") + std::u16string(259 - dir.WFile("").size(), u'n');
  TestResource r;
  ASSERT_EQ(r.Open(11, SIZE_TYPE_LARGE, name.c_str(), 0, 0x100000), 0);
  const int page = static_cast<int>(w32test::PageSize());
  const std::string bytes = mhtest::ReadFile(fs::path(name));
  ASSERT_EQ(bytes.size(), static_cast<size_t>(page));
  const int32_t fields[] = {548, page - 548, page, page, 0x100000 + page, 0, SIZE_TYPE_LARGE};
  EXPECT_EQ(bytes.substr(0, 28),
            std::string(reinterpret_cast<const char*>(fields), 28));  // little-endian hosts
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(bytes.data() + 28)), name);

  // A name cut short would send the peer to another file; totals no 32-bit view holds are refused.
  TestResource bad;
  EXPECT_EQ(bad.Open(1, SIZE_TYPE_SMALL, (name + u"x").c_str(), 0, 0), -1);
  EXPECT_EQ(bad.Open(1, SIZE_TYPE_SMALL, dir.WFile("h").c_str(), 0, 0xFFFFFFFFull), -1);
  const std::function<void()> unmapped[] = {[&] { bad.GetDataBaseAddr(); }, [&] { bad.GetDataSize(); },
                                            [&] { bad.GetDataStorageSize(); }, [&] { bad.Grow(1); }};
  for (const auto& call : unmapped) EXPECT_THROW(call(), CHookError);

  // Spoiled by a peer, the same file is not adopted and is left as it was (the first case spoils
  // nothing): header size, data size past the file, map size, maximum, size type.
  r.Close();
  for (auto [field, value] :
       {std::pair<int, int32_t>{5, 0}, {0, 547}, {5, page - 547}, {2, 0}, {4, 0x7FFFF000}, {6, 2}}) {
    std::string spoiled = bytes;
    std::memcpy(spoiled.data() + 4 * field, &value, 4);
    std::ofstream(fs::path(name), std::ios::binary) << spoiled;
    EXPECT_EQ(TestResource().OpenExisting(11, name.c_str()), field == 5 && value == 0 ? 0 : -1) << field;
    EXPECT_EQ(mhtest::ReadFile(fs::path(name)), spoiled) << field;
  }
}

TEST(CMemMapResource, GrowsUpToTheMaximumAndRenewsFromThePeersHeader) {
  TempDir dir;
  const auto path = dir.WFile("s.dat");
  TestResource writer, reader;
  ASSERT_EQ(writer.Open(5, SIZE_TYPE_LARGE, path.c_str(), 0, 1 << 20), 0);
  ASSERT_EQ(reader.OpenExisting(5, path.c_str()), 0);
  const int page = static_cast<int>(w32test::PageSize());
  EXPECT_EQ(reader.GetCurrentMapSize(), page);
  EXPECT_EQ(writer.Grow((1 << 20) + page), -1);  // beyond the maximum: the view is untouched
  EXPECT_EQ(writer.GetCurrentMapSize(), page);
  for (int ignored : {page - 547, -1}) EXPECT_EQ(writer.SetDataSize(ignored), 0);
  EXPECT_EQ(writer.GetDataSize(), 0);
  ASSERT_EQ(writer.SetDataSize(page - 548), 0);  // exactly the view's data area: kept
  ASSERT_EQ(reader.RenewMemMap(), 0);
  EXPECT_EQ(reader.GetCurrentMapSize(), page);

  const int dataSize = 100000;
  ASSERT_EQ(writer.Grow(dataSize), 0);
  EXPECT_EQ(writer.Header().iDataStorageSize, writer.GetCurrentMapSize() - 548);
  auto* w = static_cast<unsigned char*>(writer.GetDataBaseAddr());
  for (int i = 0; i < dataSize; ++i) w[i] = static_cast<unsigned char>(i * 31 + 7);
  ASSERT_EQ(writer.SetDataSize(dataSize), 0);
  EXPECT_EQ(reader.GetDataSize(), page - 548);  // never more than the own view holds
  ASSERT_EQ(reader.RenewMemMap(), 0);
  EXPECT_EQ(reader.GetCurrentMapSize(), dataSize + 548);
  EXPECT_EQ(std::memcmp(reader.GetDataBaseAddr(), w, dataSize), 0);
  EXPECT_EQ(writer.Header().iCurrentMapSize, dataSize + 548);  // the reader mapped last

  // Exactly the maximum: grown to and renewed to; one byte more is refused.
  const int maxData = writer.GetMaxDataStorageSize();
  ASSERT_EQ(writer.Grow(maxData), 0);
  EXPECT_EQ(writer.GetCurrentMapSize(), writer.GetMaxSize());
  ASSERT_EQ(writer.SetDataSize(maxData), 0);
  ASSERT_EQ(reader.RenewMemMap(), 0);
  EXPECT_EQ(reader.GetCurrentMapSize(), reader.GetMaxSize());
  writer.Header().iDataSize = maxData + 1;
  EXPECT_EQ(reader.RenewMemMap(), -1);

  // Small data shrinks a large view to a fifth of the maximum, rounded up, at most 6 MiB; data
  // that needs exactly that much keeps the large view.
  if (page != 4096) return;
  for (auto [max, shrunk] : {std::pair{10 << 20, 513 * 4096}, std::pair{32 << 20, 0x600000}}) {
    TestResource big;
    ASSERT_EQ(big.Open(1, SIZE_TYPE_LARGE, dir.WFile(std::to_string(max)).c_str(), 0, max), 0);
    ASSERT_EQ(big.Grow(max), 0);
    ASSERT_EQ(big.SetDataSize(shrunk - 548), 0);
    ASSERT_EQ(big.RenewMemMap(), 0);
    EXPECT_EQ(big.GetCurrentMapSize(), big.GetMaxSize());
    ASSERT_EQ(big.SetDataSize(shrunk - 549), 0);
    ASSERT_EQ(big.RenewMemMap(), 0);
    EXPECT_EQ(big.GetCurrentMapSize(), shrunk);
  }
}
