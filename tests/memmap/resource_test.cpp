// CMemMapResource over real files: the header it writes byte for byte, growth within the
// maximum, the data size, renewing and shrinking a view from the shared header, the size-limit
// operations, and headers and files from a peer that make no sense.
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

// Opens up the protected operations.
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

void WriteFile(const fs::path& p, const std::string& bytes) {
  std::ofstream(p, std::ios::binary) << bytes;
}

int32_t Le32(const std::string& bytes, size_t offset) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(bytes.at(offset + i));
  return static_cast<int32_t>(v);
}

void PutLe32(std::string& bytes, size_t offset, int32_t value) {
  for (int i = 0; i < 4; ++i)
    bytes[offset + i] = static_cast<char>((static_cast<uint32_t>(value) >> (8 * i)) & 0xFF);
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

TEST(CMemMapResource, RoundUpToPages) {
  const int page = Page();
  EXPECT_EQ(TestResource::RoundUp(548), page);
  EXPECT_EQ(TestResource::RoundUp(page), page);
  EXPECT_EQ(TestResource::RoundUp(page + 1), 2 * page);
  EXPECT_EQ(TestResource::RoundUp(1), page);
}

TEST(CMemMapResource, OpenWritesTheHeaderByteForByte) {
  TempDir dir;
  const int page = Page();
  std::u16string name = dir.WFile("r.dat");
  std::u16string longName = name + std::u16string(300 - name.size(), u'x');
  TestResource r;
  ASSERT_EQ(r.Open(11, SIZE_TYPE_LARGE, name.c_str(), 0, 0x100000), 0);
  EXPECT_EQ(r.GetCurrentMapSize(), page);
  EXPECT_EQ(r.GetDataStorageSize(), page - 548);
  EXPECT_EQ(r.GetDataSize(), 0);
  EXPECT_EQ(r.GetMaxSize(), TestResource::RoundUp(0x100000 + 548));
  if (page == 4096) {
    EXPECT_EQ(r.GetMaxDataStorageSize(), 257 * 4096 - 548);
  }
  EXPECT_EQ(r.GetResourceId(), 11);
  EXPECT_EQ(r.GetResourcePoolId(), 4);
  EXPECT_EQ(r.GetSizeType(), SIZE_TYPE_LARGE);
  EXPECT_EQ(static_cast<char*>(r.GetDataBaseAddr()) - static_cast<char*>(static_cast<void*>(&r.Header())),
            548);

  std::string bytes = ReadFile(dir.File("r.dat"));
  ASSERT_EQ(bytes.size(), static_cast<size_t>(page));
  EXPECT_EQ(Le32(bytes, 0), 548);
  EXPECT_EQ(Le32(bytes, 4), page - 548);
  EXPECT_EQ(Le32(bytes, 8), page);
  EXPECT_EQ(Le32(bytes, 12), page);
  EXPECT_EQ(Le32(bytes, 16), r.GetMaxSize());
  EXPECT_EQ(Le32(bytes, 20), 0);
  EXPECT_EQ(Le32(bytes, 24), 1);
  std::u16string stored(reinterpret_cast<const char16_t*>(bytes.data() + 28));
  EXPECT_EQ(stored, name);

  TestResource cut;
  // A name the header cannot hold whole would send the peer to another file.
  ASSERT_EQ(cut.Open(12, SIZE_TYPE_SMALL, longName.c_str(), 0, 0), -1);
  EXPECT_FALSE(fs::exists(dir.File(mhtest::ToU8(longName.substr(dir.WFile("").size(), 200)))));
  ASSERT_EQ(cut.Open(12, SIZE_TYPE_SMALL, name.c_str(), 5000, 0), 0);  // re-open, keep the file
  EXPECT_EQ(cut.GetCurrentMapSize(), TestResource::RoundUp(5000 + 548));
  EXPECT_EQ(std::u16string(cut.GetBackingStoreName()), name);

  // Totals that no 32-bit view holds are refused, not wrapped.
  TestResource huge;
  EXPECT_EQ(huge.Open(13, SIZE_TYPE_SMALL, dir.WFile("h.dat").c_str(), 0, 0xFFFFFFFFull), -1);
  EXPECT_FALSE(huge.IsMapped());
}

TEST(CMemMapResource, LongestNameFillsTheFieldAndIsTerminated) {
  TempDir dir;
  // The longest name the field holds: 259 units and the terminator.
  std::u16string base = dir.WFile("");
  std::u16string name = base + std::u16string(259 - base.size(), u'n');
  TestResource r;
  ASSERT_EQ(r.Open(1, SIZE_TYPE_SMALL, name.c_str(), 0, 0), 0);
  EXPECT_EQ(r.Header().szBackingStoreName[259], 0);
  EXPECT_EQ(std::u16string(r.Header().szBackingStoreName), name);
  EXPECT_EQ(std::u16string(r.GetBackingStoreName()), name);
}

TEST(CMemMapResource, GrowWithinTheMaximumAndKeepTheData) {
  TempDir dir;
  const int page = Page();
  TestResource r;
  ASSERT_EQ(r.Open(1, SIZE_TYPE_LARGE, dir.WFile("g.dat").c_str(), 0, 64 * 1024), 0);
  std::memcpy(r.GetDataBaseAddr(), "kept", 5);

  // Beyond the maximum: refused, the view untouched.
  void* before = r.GetDataBaseAddr();
  EXPECT_EQ(r.Grow(64 * 1024 + page), -1);
  EXPECT_EQ(r.GetDataBaseAddr(), before);
  EXPECT_EQ(r.GetCurrentMapSize(), page);
  // Already room: nothing changes.
  EXPECT_EQ(r.Grow(100), 0);
  EXPECT_EQ(r.GetCurrentMapSize(), page);

  ASSERT_EQ(r.Grow(3 * page), 0);
  EXPECT_EQ(r.GetCurrentMapSize(), TestResource::RoundUp(3 * page + 548));
  EXPECT_EQ(r.GetDataStorageSize(), r.GetCurrentMapSize() - 548);
  EXPECT_EQ(r.Header().iCurrentMapSize, r.GetCurrentMapSize());
  EXPECT_EQ(fs::file_size(dir.File("g.dat")), static_cast<uintmax_t>(r.GetCurrentMapSize()));
  EXPECT_STREQ(static_cast<char*>(r.GetDataBaseAddr()), "kept");
  // The largest data area is reachable exactly.
  EXPECT_EQ(r.Grow(r.GetMaxDataStorageSize()), 0);
  EXPECT_EQ(r.GetCurrentMapSize(), r.GetMaxSize());
  EXPECT_EQ(r.AdjustMapSize(r.GetMaxSize() + page), -1);
}

TEST(CMemMapResource, DataSizeStaysWithinStorage) {
  TempDir dir;
  TestResource r;
  ASSERT_EQ(r.Open(1, SIZE_TYPE_SMALL, dir.WFile("d.dat").c_str(), 0, 0), 0);
  const int storage = r.GetDataStorageSize();
  EXPECT_EQ(r.SetDataSize(storage + 1), 0);
  EXPECT_EQ(r.GetDataSize(), 0);
  EXPECT_EQ(r.SetDataSize(-1), 0);
  EXPECT_EQ(r.GetDataSize(), 0);
  EXPECT_EQ(r.SetDataSize(storage), 0);
  EXPECT_EQ(r.GetDataSize(), storage);
  EXPECT_EQ(r.Header().iDataSize, storage);
}

TEST(CMemMapResource, UnmappedAccessorsRaiseGeneral) {
  TestResource r;
  EXPECT_EQ(RaisedCode([&] { r.GetDataBaseAddr(); }), HOOK_ERR_GENERAL);
  EXPECT_EQ(RaisedCode([&] { r.GetDataSize(); }), HOOK_ERR_GENERAL);
  EXPECT_EQ(RaisedCode([&] { r.GetDataStorageSize(); }), HOOK_ERR_GENERAL);
  EXPECT_EQ(RaisedCode([&] { r.Grow(1); }), HOOK_ERR_GENERAL);
  EXPECT_EQ(r.SetDataSize(0), 0);
}

TEST(CMemMapResource, RenewFollowsThePeersDataSize) {
  TempDir dir;
  const auto path = dir.WFile("s.dat");
  TestResource writer, reader;
  ASSERT_EQ(writer.Open(5, SIZE_TYPE_LARGE, path.c_str(), 0, 1 << 20), 0);
  ASSERT_EQ(reader.OpenExisting(5, path.c_str()), 0);
  EXPECT_EQ(reader.GetMaxSize(), writer.GetMaxSize());
  EXPECT_EQ(reader.GetDefaultSize(), writer.GetDefaultSize());
  EXPECT_EQ(reader.GetSizeType(), SIZE_TYPE_LARGE);
  const int firstView = reader.GetCurrentMapSize();

  // Exactly the view's data area: the view stays.
  ASSERT_EQ(writer.SetDataSize(firstView - 548), 0);
  {
    DBG::CLogCapture capture;
    ASSERT_EQ(reader.RenewMemMap(), 0);
    EXPECT_EQ(reader.GetCurrentMapSize(), firstView);
    EXPECT_EQ(capture.Texts(LOG_TRACE_EXIT), std::vector<std::string>{"CMemMapResource::RenewMemMap()"});
    EXPECT_EQ(capture.Texts(LOG_TRACE_ENTER), std::vector<std::string>{"CMemMapResource::RenewMemMap()"});
  }

  // The writer grows past the reader's view: the reader maps exactly data + 548.
  const int dataSize = 100000;
  ASSERT_EQ(writer.Grow(dataSize), 0);
  auto* w = static_cast<unsigned char*>(writer.GetDataBaseAddr());
  for (int i = 0; i < dataSize; ++i) w[i] = static_cast<unsigned char>(i * 31 + 7);
  ASSERT_EQ(writer.SetDataSize(dataSize), 0);
  // Before renewing, the reader never reports more than its own view holds.
  EXPECT_EQ(reader.GetDataSize(), firstView - 548);
  EXPECT_LE(reader.GetDataStorageSize(), firstView - 548);
  {
    DBG::CLogCapture capture;
    ASSERT_EQ(reader.RenewMemMap(), 0);
    auto exits = capture.Texts(LOG_TRACE_EXIT);
    ASSERT_FALSE(exits.empty());
    EXPECT_EQ(exits.front(), "CMemMapResource::RenewMemMap(), need to renew memory map");
    EXPECT_EQ(exits.back(), "CMemMapResource::RenewMemMap()");
  }
  EXPECT_EQ(reader.GetCurrentMapSize(), dataSize + 548);
  EXPECT_EQ(reader.GetDataStorageSize(), dataSize);
  EXPECT_EQ(reader.GetDataSize(), dataSize);
  EXPECT_EQ(std::memcmp(reader.GetDataBaseAddr(), w, dataSize), 0);
  EXPECT_EQ(writer.Header().iCurrentMapSize, dataSize + 548);  // the reader mapped last
}

TEST(CMemMapResource, SmallDataShrinksALargeView) {
  if (Page() != 4096) GTEST_SKIP() << "sizes below assume 4096-byte pages";
  TempDir dir;
  struct Case {
    int maxData;
    int shrinkSize;
  };
  // A fifth of the maximum, rounded up, capped at 6 MiB.
  for (Case c : {Case{32 << 20, 0x600000}, Case{10 << 20, 513 * 4096}}) {
    SCOPED_TRACE(c.maxData);
    const auto path = dir.WFile("shrink" + std::to_string(c.maxData) + ".dat");
    TestResource r;
    ASSERT_EQ(r.Open(1, SIZE_TYPE_LARGE, path.c_str(), 0, c.maxData), 0);
    ASSERT_EQ(r.Grow(c.maxData), 0);
    ASSERT_EQ(r.SetDataSize(100), 0);
    ASSERT_EQ(r.RenewMemMap(), 0);
    EXPECT_EQ(r.GetCurrentMapSize(), c.shrinkSize);
    EXPECT_EQ(r.GetDataStorageSize(), c.shrinkSize - 548);
    // Data that does not fit under the shrink size keeps a large view.
    ASSERT_EQ(r.Grow(c.maxData), 0);
    ASSERT_EQ(r.SetDataSize(c.shrinkSize - 548), 0);
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
  ASSERT_EQ(writer.Close(), 0);

  reader.SetMaxAllowedFileSize(0x100000);
  ASSERT_EQ(reader.OpenExisting(2, path.c_str()), 0);
  EXPECT_EQ(reader.GetCurrentMapSize(), 0x100000);  // the rounded limit, not the whole file
  reader.CloseByLimitedFileSize();
  EXPECT_FALSE(reader.IsMapped());
  ASSERT_EQ(reader.RenewMemMap(), 0);
  EXPECT_TRUE(reader.IsMapped());
  EXPECT_LE(reader.GetCurrentMapSize(), 0x100000);

  // Nobody else maps the file: it goes back to its default length.
  EXPECT_EQ(reader.ResizeMappingFileDependonFilesize(), 1);
  EXPECT_FALSE(reader.IsMapped());
  EXPECT_EQ(fs::file_size(dir.File("l.dat")), static_cast<uintmax_t>(reader.GetDefaultSize()));
  EXPECT_EQ(reader.ResizeMappingFileDependonFilesize(), 0);
  reader.CloseByLimitedFileSize();  // now within the limit: stays as it is
  ASSERT_EQ(reader.RenewMemMap(), 0);
  EXPECT_EQ(reader.GetCurrentMapSize(), reader.GetDefaultSize());
}

namespace {

// A backing file as Open writes it: 548-byte header, then fileSize - 548 bytes of data.
std::string GoodFile(int fileSize, int maxSize, int dataSize) {
  std::string bytes(static_cast<size_t>(fileSize), '\0');
  PutLe32(bytes, 0, 548);
  PutLe32(bytes, 4, fileSize - 548);
  PutLe32(bytes, 8, 4096);
  PutLe32(bytes, 12, fileSize);
  PutLe32(bytes, 16, maxSize);
  PutLe32(bytes, 20, dataSize);
  PutLe32(bytes, 24, 0);
  return bytes;
}

}  // namespace

TEST(CMemMapResource, OpenExistingRefusesHeadersThatMakeNoSense) {
  if (Page() != 4096) GTEST_SKIP() << "the files below assume 4096-byte pages";
  TempDir dir;
  const auto path = dir.WFile("bad.dat");
  const int kFile = 8192, kMax = 1 << 20;
  {
    WriteFile(dir.File("bad.dat"), GoodFile(kFile, kMax, 100));
    TestResource r;
    ASSERT_EQ(r.OpenExisting(1, path.c_str()), 0);
    EXPECT_EQ(r.GetDataSize(), 100);
  }
  struct Case {
    const char* what;
    size_t offset;
    int32_t value;
  };
  const Case cases[] = {
      {"header size", 0, 547},
      {"negative data size", 20, -1},
      {"data beyond the maximum", 20, kMax},
      {"data beyond the file", 20, kFile - 547},
      {"negative maximum", 16, -4096},
      {"maximum not a page multiple", 16, kMax + 1},
      {"maximum beyond 32 bits of view", 16, 0x7FFFF000},
      {"maximum without room for the header", 16, 0},
      {"zero default", 8, 0},
      {"size type", 24, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string bytes = GoodFile(kFile, kMax, 100);
    PutLe32(bytes, c.offset, c.value);
    WriteFile(dir.File("bad.dat"), bytes);
    DBG::CLogCapture capture;
    TestResource r;
    EXPECT_EQ(r.OpenExisting(1, path.c_str()), -1);
    EXPECT_FALSE(r.IsMapped());
    EXPECT_EQ(capture.Texts(LOG_ERROR).size(), 1u);
    // Renewing re-opens by name and refuses again, without touching the file.
    EXPECT_EQ(r.RenewMemMap(), -1);
    EXPECT_EQ(fs::file_size(dir.File("bad.dat")), static_cast<uintmax_t>(kFile));
    EXPECT_EQ(ReadFile(dir.File("bad.dat")), bytes);
  }
  // Files shorter than the header, down to empty.
  for (size_t len : {size_t{0}, size_t{1}, size_t{28}, size_t{547}}) {
    SCOPED_TRACE(len);
    WriteFile(dir.File("bad.dat"), GoodFile(kFile, kMax, 0).substr(0, len));
    TestResource r;
    EXPECT_EQ(r.OpenExisting(1, path.c_str()), -1);
    EXPECT_FALSE(r.IsMapped());
    EXPECT_EQ(fs::file_size(dir.File("bad.dat")), len);
  }
}

TEST(CMemMapResource, RenewRefusesAPeersCorruptHeaderAndKeepsTheView) {
  TempDir dir;
  const auto path = dir.WFile("peer.dat");
  TestResource writer, reader;
  ASSERT_EQ(writer.Open(1, SIZE_TYPE_SMALL, path.c_str(), 0, 256 << 20), 0);
  ASSERT_EQ(reader.OpenExisting(1, path.c_str()), 0);
  const auto fileSize = fs::file_size(dir.File("peer.dat"));
  const int view = reader.GetCurrentMapSize();

  // A data size within the maximum but far beyond the file: no 256 MiB extension.
  writer.Header().iDataSize = (256 << 20) - 548;
  EXPECT_EQ(reader.RenewMemMap(), -1);
  EXPECT_EQ(fs::file_size(dir.File("peer.dat")), fileSize);
  EXPECT_TRUE(reader.IsMapped());
  EXPECT_EQ(reader.GetCurrentMapSize(), view);
  // Read without renewing, the size is cut to the reader's own view.
  EXPECT_EQ(reader.GetDataSize(), view - 548);

  writer.Header().iDataSize = 0x7FFFFFFF;
  EXPECT_EQ(reader.RenewMemMap(), -1);
  writer.Header().iDataSize = -5;
  EXPECT_EQ(reader.RenewMemMap(), -1);
  EXPECT_EQ(reader.GetDataSize(), 0);  // negative reads as empty
  writer.Header().iDataSize = 10;
  writer.Header().iHeaderSize = 4096;
  EXPECT_EQ(reader.RenewMemMap(), -1);
  EXPECT_EQ(
      static_cast<char*>(reader.GetDataBaseAddr()) - static_cast<char*>(static_cast<void*>(&reader.Header())),
      548);
  writer.Header().iHeaderSize = 548;
  EXPECT_EQ(reader.RenewMemMap(), 0);
  EXPECT_EQ(fs::file_size(dir.File("peer.dat")), fileSize);
}
