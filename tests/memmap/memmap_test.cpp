// CMemMap over real files: opening, mapping and growing, closing and removing, the size-limit
// operations, and two objects (and two processes) sharing one file.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "foundation/hook_Log.h"
#include "memmap/hook_MemMap.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using mhtest::TempDir;

namespace {

void WriteBytes(const fs::path& p, const std::string& bytes) {
  std::ofstream(p, std::ios::binary) << bytes;
}

uint64_t SizeOf(const fs::path& p) {
  return fs::file_size(p);
}

}  // namespace

TEST(CMemMap, OpenCreatesOrKeeps) {
  TempDir dir;
  auto path = dir.WFile("a.dat");
  {
    CMemMap m;
    ASSERT_EQ(m.Open(path.c_str()), 0);
    EXPECT_TRUE(fs::exists(dir.File("a.dat")));
    EXPECT_EQ(SizeOf(dir.File("a.dat")), 0u);
    EXPECT_EQ(std::u16string(m.FileName()), path);
  }

  WriteBytes(dir.File("b.dat"), "hello");
  CMemMap m;
  ASSERT_EQ(m.Open(dir.WFile("b.dat").c_str()), 0);
  ASSERT_EQ(m.Map(-1), 0);
  EXPECT_EQ(m.Size(), 5u);
  EXPECT_EQ(std::memcmp(m.Addr(), "hello", 5), 0);
}

TEST(CMemMap, MapLengthsExtendAndLimit) {
  TempDir dir;
  auto path = dir.WFile("grow.dat");
  CMemMap m;
  ASSERT_EQ(m.Map(path.c_str(), 10000), 0);
  EXPECT_EQ(m.Size(), 10000u);
  EXPECT_EQ(SizeOf(dir.File("grow.dat")), 10000u);
  static_cast<char*>(m.Addr())[9999] = 'z';

  // A longer map re-maps (the address may move) and keeps the bytes.
  ASSERT_EQ(m.Map(100000), 0);
  EXPECT_EQ(SizeOf(dir.File("grow.dat")), 100000u);
  EXPECT_EQ(static_cast<char*>(m.Addr())[9999], 'z');

  // A shorter map never shrinks the file.
  ASSERT_EQ(m.Map(4096), 0);
  EXPECT_EQ(m.Size(), 4096u);
  EXPECT_EQ(SizeOf(dir.File("grow.dat")), 100000u);

  ASSERT_EQ(m.Map(-1), 0);
  EXPECT_EQ(m.Size(), 100000u);

  ASSERT_EQ(m.MapByLimitedSize(8192), 0);
  EXPECT_EQ(m.Size(), 8192u);
  ASSERT_EQ(m.MapByLimitedSize(1u << 20), 0);
  EXPECT_EQ(m.Size(), 100000u);

  void* addr = nullptr;
  EXPECT_EQ(m(addr), 0);
  EXPECT_EQ(addr, m.Addr());
}

TEST(CMemMap, RefusesWhatCannotBeMapped) {
  TempDir dir;
  DBG::CLogCapture capture;
  CMemMap m;
  // A folder that does not exist: the open fails and nothing is mapped.
  EXPECT_EQ(m.Map(dir.WFile("missing/x.dat").c_str(), 4096), -1);
  EXPECT_EQ(m.Addr(), nullptr);
  EXPECT_EQ(m.GetHandle(), INVALID_HANDLE_VALUE);

  // Not a valid handle: the mapping call fails and says why.
  CMemMap byHandle(reinterpret_cast<void*>(static_cast<intptr_t>(0x12340)), 4096);
  EXPECT_EQ(byHandle.Addr(), nullptr);
  EXPECT_EQ(capture.Texts(LOG_ERROR_MAPPING).size(), 1u);

  // An empty file mapped at length 0 and lengths that make no sense are refused; the file
  // stays open and maps fine afterwards.
  ASSERT_EQ(m.Open(dir.WFile("empty.dat").c_str()), 0);
  EXPECT_EQ(m.Map(0), -1);
  EXPECT_EQ(m.Map(-1), -1);
  EXPECT_EQ(m.Map(-7), -1);
  EXPECT_EQ(m.Map(4096, nullptr, -4096), -1);
  EXPECT_EQ(m.Addr(), nullptr);
  EXPECT_EQ(m.Map(4096), 0);
  EXPECT_NE(m.Addr(), nullptr);

  void* untouched = reinterpret_cast<void*>(0x1);
  CMemMap none;
  EXPECT_EQ(none(untouched), -1);
  EXPECT_EQ(untouched, reinterpret_cast<void*>(0x1));
}

TEST(CMemMap, CloseRemoveAndHandles) {
  TempDir dir;
  auto path = dir.WFile("c.dat");

  // Over a caller's handle: the object never owns it, so Close reports no file of its own
  // but still drops the view.
  HANDLE h =
      CreateFileW(WinStr(path.c_str()), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  {
    CMemMap m(h, 4096);
    ASSERT_NE(m.Addr(), nullptr);
    EXPECT_EQ(m.GetHandle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(m.Close(), -1);
    EXPECT_EQ(m.Addr(), nullptr);
    EXPECT_EQ(m.CloseHandle(), -1);
    EXPECT_EQ(m.CloseFileMappingHandle(), -1);
  }
  EXPECT_EQ(GetFileSize(h, nullptr), 4096u);  // the caller's handle still works
  ASSERT_TRUE(CloseHandle(h));

  {
    CMemMap keep;
    ASSERT_EQ(keep.Map(path.c_str(), 4096), 0);
    EXPECT_EQ(keep.Remove(), 0);
    EXPECT_EQ(keep.Close(), -1);  // already closed
  }
  EXPECT_TRUE(fs::exists(dir.File("c.dat")));

  {
    CMemMap temp(path.c_str(), 8192, true);
    ASSERT_NE(temp.Addr(), nullptr);
  }
  EXPECT_FALSE(fs::exists(dir.File("c.dat")));

  // A second Open keeps the old view until the next map call.
  CMemMap m;
  ASSERT_EQ(m.Map(dir.WFile("d.dat").c_str(), 4096), 0);
  std::memcpy(m.Addr(), "old", 4);
  ASSERT_EQ(m.Open(dir.WFile("e.dat").c_str()), 0);
  ASSERT_NE(m.Addr(), nullptr);
  EXPECT_STREQ(static_cast<const char*>(m.Addr()), "old");
  ASSERT_EQ(m.Map(4096), 0);
  EXPECT_EQ(SizeOf(dir.File("e.dat")), 4096u);
}

TEST(CMemMap, SizeLimitOperations) {
  TempDir dir;
  auto path = dir.WFile("limit.dat");
  CMemMap m;
  ASSERT_EQ(m.Map(path.c_str(), 8192), 0);

  EXPECT_FALSE(m.CloseByLimitedFileSize(8192));  // equal: nothing closes
  EXPECT_NE(m.Addr(), nullptr);
  EXPECT_FALSE(m.ResizeMappingFile(8192, 4096));
  EXPECT_NE(m.Addr(), nullptr);

  EXPECT_TRUE(m.ResizeMappingFile(4096, 4096));
  EXPECT_EQ(m.Addr(), nullptr);
  EXPECT_EQ(SizeOf(dir.File("limit.dat")), 4096u);
  EXPECT_NE(m.GetHandle(), INVALID_HANDLE_VALUE);  // the file stays open

  ASSERT_EQ(m.Map(16384), 0);
  EXPECT_TRUE(m.CloseByLimitedFileSize(8192));
  EXPECT_EQ(m.Addr(), nullptr);
  EXPECT_EQ(m.GetHandle(), INVALID_HANDLE_VALUE);
  EXPECT_FALSE(m.CloseByLimitedFileSize(0));  // nothing open
}

TEST(CMemMap, TwoObjectsShareOneFile) {
  TempDir dir;
  auto path = dir.WFile("shared.dat");
  CMemMap writer, reader;
  ASSERT_EQ(writer.Map(path.c_str(), 65536), 0);
  ASSERT_EQ(reader.Map(path.c_str(), 4096), 0);
  std::memcpy(static_cast<char*>(writer.Addr()) + 100, "from writer", 12);
  EXPECT_STREQ(static_cast<char*>(reader.Addr()) + 100, "from writer");
  std::memcpy(reader.Addr(), "back", 5);
  EXPECT_STREQ(static_cast<char*>(writer.Addr()), "back");

  // The reader's view keeps the file from shrinking under it.
  DBG::CLogCapture capture;
  EXPECT_TRUE(writer.ResizeMappingFile(4096, 4096));
  auto reports = capture.Texts(LOG_ERROR_REPORT);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0], "Resize mapping file failed 4c8");
  EXPECT_EQ(SizeOf(dir.File("shared.dat")), 65536u);
  EXPECT_STREQ(static_cast<char*>(reader.Addr()) + 100, "from writer");
}

// Maps the file named by args[0] with length args[1], checks the marker the parent wrote at
// offset 100, writes its own at 200, and holds the view until told to read it once more.
MHTEST_CHILD(map_and_hold) {
  CMemMap m;
  auto path = mhtest::ToU16(args.at(0));
  if (m.Map(path.c_str(), std::stoi(args.at(1))) != 0) return 2;
  if (std::strcmp(static_cast<char*>(m.Addr()) + 100, "parent") != 0) return 3;
  std::memcpy(static_cast<char*>(m.Addr()) + 200, "child", 6);
  mhtest::TellParent("mapped");
  std::string line;
  if (!mhtest::ReadParentLine(line) || line != "check") return 4;
  // Still readable after the parent's attempt to shrink the file: no SIGBUS.
  volatile char last = static_cast<char*>(m.Addr())[m.Size() - 1];
  (void)last;
  mhtest::TellParent(std::string("still ") + (static_cast<char*>(m.Addr()) + 100));
  return 0;
}

TEST(CMemMap, TwoProcessesShareAndTruncationIsRefused) {
  TempDir dir;
  auto path = dir.WFile("proc.dat");
  CMemMap parent;
  ASSERT_EQ(parent.Map(path.c_str(), 4096), 0);
  std::memcpy(static_cast<char*>(parent.Addr()) + 100, "parent", 7);

  mhtest::ChildProcess child("map_and_hold", {dir.File("proc.dat").string(), "262144"});
  ASSERT_TRUE(child.WaitForLine("mapped"));
  // The child's longer view grew the file; the parent sees its writes through its own view.
  EXPECT_EQ(SizeOf(dir.File("proc.dat")), 262144u);
  EXPECT_STREQ(static_cast<char*>(parent.Addr()) + 200, "child");

  DBG::CLogCapture capture;
  EXPECT_TRUE(parent.ResizeMappingFile(4096, 4096));
  auto reports = capture.Texts(LOG_ERROR_REPORT);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0], "Resize mapping file failed 4c8");
  EXPECT_EQ(SizeOf(dir.File("proc.dat")), 262144u);

  ASSERT_TRUE(child.WriteLine("check"));
  std::string line;
  ASSERT_TRUE(child.ReadLine(line));
  EXPECT_EQ(line, "still parent");
  EXPECT_EQ(child.Wait(), 0);

  // With the child gone nothing maps the file any more: the same resize now truncates.
  ASSERT_EQ(parent.Map(4096), 0);
  EXPECT_TRUE(parent.ResizeMappingFile(4096, 4096));
  EXPECT_EQ(SizeOf(dir.File("proc.dat")), 4096u);
}
