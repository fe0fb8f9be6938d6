// Files, sections and views: the Windows behaviour the library relies on, checked with real
// files and, where it is about other processes, real child processes. Same code on Windows.
#include <algorithm>
#include <cstring>
#include <iostream>
#include <string>

#include <gtest/gtest.h>

#include "platform/win32_test_util.h"
#include "support/test_support.h"

using namespace w32test;

namespace {

// Waits for the parent's next line on standard input.
void AwaitParent() {
  std::string line;
  std::getline(std::cin, line);
}

void Say(const std::string& line) {
  std::cout << line << std::endl;
}

std::string Expect(mhtest::ChildProcess& child) {
  std::string line;
  return child.ReadLine(line) ? line : "<child ended>";
}

}  // namespace

// Maps the whole file, keeps only the view (file and section handles closed), and reports
// whether the bytes it sees are still those it was given.
MHTEST_CHILD(hold_view) {
  HANDLE file = OpenFile(mhtest::ToU16(args.at(0)), OPEN_EXISTING);
  if (file == INVALID_HANDLE_VALUE) return 2;
  HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, 0, nullptr);
  if (!mapping) return 3;
  char* view = static_cast<char*>(MapViewOfFileEx(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0, nullptr));
  if (!view) return 4;
  CloseHandle(mapping);
  CloseHandle(file);
  Say("mapped");
  AwaitParent();
  const std::string& expected = args.at(1);
  Say(std::memcmp(view, expected.data(), expected.size()) == 0 ? "intact" : "changed");
  AwaitParent();
  UnmapViewOfFile(view);
  Say("unmapped");
  AwaitParent();
  return 0;
}

// Holds the file open without FILE_SHARE_DELETE until told to close it.
MHTEST_CHILD(hold_open) {
  HANDLE file = OpenFile(mhtest::ToU16(args.at(0)), OPEN_EXISTING);
  if (file == INVALID_HANDLE_VALUE) return 2;
  Say("open");
  AwaitParent();
  CloseHandle(file);
  Say("closed");
  AwaitParent();
  return 0;
}

// A short view at the second allocation unit of the file: reads what the parent wrote there
// and answers next to it.
MHTEST_CHILD(peer_view) {
  HANDLE file = OpenFile(mhtest::ToU16(args.at(0)), OPEN_EXISTING);
  if (file == INVALID_HANDLE_VALUE) return 2;
  HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, 0, nullptr);
  if (!mapping) return 3;
  char* view =
      static_cast<char*>(MapViewOfFileEx(mapping, FILE_MAP_ALL_ACCESS, 0, Granularity(), 100, nullptr));
  if (!view) return 4;
  Say("ready");
  AwaitParent();
  Say(std::string(view, std::strlen(view)));
  std::memcpy(view + 50, "from child", 11);
  Say("wrote");
  AwaitParent();
  UnmapViewOfFile(view);
  CloseHandle(mapping);
  CloseHandle(file);
  return 0;
}

// Once the parent has closed everything it had on the file, shrinks and deletes it: both
// fail if the child inherited any of the parent's handles.
MHTEST_CHILD(after_parent_closed) {
  const std::u16string path = mhtest::ToU16(args.at(0));
  Say("ready");
  AwaitParent();
  HANDLE file = OpenFile(path, OPEN_EXISTING);
  if (file == INVALID_HANDLE_VALUE) return 2;
  bool shrunk = Resize(file, 0);
  DWORD shrinkError = GetLastError();
  CloseHandle(file);
  bool deleted = DeleteFileW(WinStr(path.c_str())) != FALSE;
  DWORD deleteError = GetLastError();
  Say("shrink=" + (shrunk ? std::string("ok") : std::to_string(shrinkError)) +
      " delete=" + (deleted ? std::string("ok") : std::to_string(deleteError)));
  return 0;
}

TEST(Win32File, OpenDispositionsReportWhatExisted) {
  mhtest::TempDir dir;
  const std::u16string path = dir.WFile("a.dat");

  SetLastError(1234);
  HANDLE file = OpenFile(mhtest::ToU16((dir.Path() / "missing" / "x").string()), OPEN_EXISTING);
  EXPECT_EQ(file, INVALID_HANDLE_VALUE);
  EXPECT_LAST_ERROR(ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(OpenFile(path, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_LAST_ERROR(ERROR_FILE_NOT_FOUND);

  SetLastError(1234);
  file = OpenFile(path, OPEN_ALWAYS);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_LAST_ERROR(ERROR_SUCCESS);
  EXPECT_TRUE(WriteAll(file, "hello"));
  ASSERT_TRUE(CloseHandle(file));

  file = OpenFile(path, OPEN_ALWAYS);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_LAST_ERROR(ERROR_ALREADY_EXISTS);
  EXPECT_EQ(ReadHead(file, 16), "hello");
  ASSERT_TRUE(CloseHandle(file));

  EXPECT_EQ(OpenFile(path, CREATE_NEW), INVALID_HANDLE_VALUE);
  EXPECT_LAST_ERROR(ERROR_FILE_EXISTS);

  // CREATE_ALWAYS says the file existed and empties it.
  file = OpenFile(path, CREATE_ALWAYS);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_LAST_ERROR(ERROR_ALREADY_EXISTS);
  EXPECT_EQ(SizeOf(file), 0u);

  // Access is what was asked for, whatever the descriptor underneath allows.
  HANDLE reader = OpenFile(path, OPEN_EXISTING, FILE_SHARE_READ | FILE_SHARE_WRITE, GENERIC_READ);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  DWORD n = 0;
  EXPECT_FALSE(WriteFile(reader, "x", 1, &n, nullptr));
  EXPECT_LAST_ERROR(ERROR_ACCESS_DENIED);
  EXPECT_FALSE(SetEndOfFile(reader));
  EXPECT_EQ(SizeOf(file), 0u);
  HANDLE writer = OpenFile(path, OPEN_EXISTING, FILE_SHARE_READ | FILE_SHARE_WRITE, GENERIC_WRITE);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(WriteAll(writer, "abc"));
  char buf[4];
  EXPECT_FALSE(ReadFile(writer, buf, sizeof buf, &n, nullptr));
  EXPECT_LAST_ERROR(ERROR_ACCESS_DENIED);
  EXPECT_EQ(ReadHead(reader, 4), "abc");
  CloseHandle(writer);
  CloseHandle(reader);
  CloseHandle(file);
}

TEST(Win32File, DeleteOfAnOpenFileIsRefusedInAnyProcess) {
  mhtest::TempDir dir;
  const std::u16string path = dir.WFile("d.dat");
  HANDLE file = OpenFile(path, CREATE_NEW);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(DeleteFileW(WinStr(path.c_str())));
  EXPECT_LAST_ERROR(ERROR_SHARING_VIOLATION);
  ASSERT_TRUE(CloseHandle(file));

  mhtest::ChildProcess child("hold_open", {dir.File("d.dat").string()});
  ASSERT_EQ(Expect(child), "open");
  EXPECT_FALSE(DeleteFileW(WinStr(path.c_str())));
  EXPECT_LAST_ERROR(ERROR_SHARING_VIOLATION);
  // The refused delete left the file as it was: the parent still opens the same file.
  file = OpenFile(path, OPEN_ALWAYS);
  EXPECT_LAST_ERROR(ERROR_ALREADY_EXISTS);
  CloseHandle(file);
  child.WriteLine("close");
  ASSERT_EQ(Expect(child), "closed");
  EXPECT_TRUE(DeleteFileW(WinStr(path.c_str())));
  child.WriteLine("exit");
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_EQ(OpenFile(path, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_LAST_ERROR(ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(DeleteFileW(WinStr(path.c_str())));
  EXPECT_LAST_ERROR(ERROR_FILE_NOT_FOUND);
}

TEST(Win32File, SectionExtendsTheFileAndNeverShrinksIt) {
  mhtest::TempDir dir;
  HANDLE file = OpenFile(dir.WFile("m.dat"), CREATE_NEW);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);

  // An empty file has nothing to map at its own size.
  SetLastError(0);
  EXPECT_EQ(CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, 0, nullptr), nullptr);
  EXPECT_LAST_ERROR(ERROR_FILE_INVALID);

  const std::string head(1000, 'h');
  ASSERT_TRUE(WriteAll(file, head));
  const DWORD page = PageSize();
  HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, 3 * page, nullptr);
  ASSERT_NE(mapping, nullptr);
  EXPECT_EQ(SizeOf(file), 3u * page);
  char* view = static_cast<char*>(MapViewOfFileEx(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0, nullptr));
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(std::string(view, head.size()), head);
  EXPECT_EQ(view[head.size()], 0);
  view[3 * page - 1] = 'z';  // the last byte of the section is backed by the file

  // A smaller section leaves the file alone.
  HANDLE small = CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, 10, nullptr);
  ASSERT_NE(small, nullptr);
  EXPECT_EQ(SizeOf(file), 3u * page);
  CloseHandle(small);

  // A read-only section cannot grow the file.
  HANDLE reader =
      OpenFile(dir.WFile("m.dat"), OPEN_EXISTING, FILE_SHARE_READ | FILE_SHARE_WRITE, GENERIC_READ);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  EXPECT_EQ(CreateFileMappingW(reader, nullptr, PAGE_READONLY, 0, 4 * page, nullptr), nullptr);
  EXPECT_EQ(SizeOf(file), 3u * page);
  HANDLE readOnly = CreateFileMappingW(reader, nullptr, PAGE_READONLY, 0, 0, nullptr);
  ASSERT_NE(readOnly, nullptr);
  EXPECT_EQ(MapViewOfFileEx(readOnly, FILE_MAP_WRITE, 0, 0, 0, nullptr), nullptr);
  const char* seen = static_cast<const char*>(MapViewOfFileEx(readOnly, FILE_MAP_READ, 0, 0, 0, nullptr));
  ASSERT_NE(seen, nullptr);
  EXPECT_EQ(seen[3 * page - 1], 'z');
  EXPECT_TRUE(UnmapViewOfFile(seen));
  CloseHandle(readOnly);
  CloseHandle(reader);

  EXPECT_TRUE(FlushViewOfFile(view, 0));
  EXPECT_TRUE(UnmapViewOfFile(view));
  EXPECT_FALSE(UnmapViewOfFile(view));
  EXPECT_TRUE(CloseHandle(mapping));
  CloseHandle(file);
}

TEST(Win32File, ViewsStayInsideTheirSection) {
  mhtest::TempDir dir;
  HANDLE file = OpenFile(dir.WFile("v.dat"), CREATE_NEW);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  const DWORD gran = Granularity(), page = PageSize();
  const DWORD sectionSize = gran + 2 * page;
  HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, sectionSize, nullptr);
  ASSERT_NE(mapping, nullptr);

  // Longer than the section, from the start or from an offset: refused, file untouched.
  SetLastError(0);
  EXPECT_EQ(MapViewOfFileEx(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sectionSize + page, nullptr), nullptr);
  EXPECT_LAST_ERROR(ERROR_ACCESS_DENIED);
  SetLastError(0);
  EXPECT_EQ(MapViewOfFileEx(mapping, FILE_MAP_ALL_ACCESS, 0, gran, 3 * page, nullptr), nullptr);
  EXPECT_LAST_ERROR(ERROR_ACCESS_DENIED);
  SetLastError(0);
  const DWORD pastEnd = (sectionSize + gran - 1) / gran * gran;
  EXPECT_EQ(MapViewOfFileEx(mapping, FILE_MAP_ALL_ACCESS, 0, pastEnd, 0, nullptr), nullptr);
  EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(SizeOf(file), sectionSize);

  // Length 0 is the section less the offset: its last byte is the file's last byte.
  char* tail = static_cast<char*>(MapViewOfFileEx(mapping, FILE_MAP_ALL_ACCESS, 0, gran, 0, nullptr));
  ASSERT_NE(tail, nullptr);
  tail[0] = 'a';
  tail[2 * page - 1] = 'b';
  EXPECT_TRUE(UnmapViewOfFile(tail));
  std::string all = ReadHead(file, sectionSize);
  ASSERT_EQ(all.size(), sectionSize);
  EXPECT_EQ(all[gran], 'a');
  EXPECT_EQ(all[sectionSize - 1], 'b');
  EXPECT_EQ(SizeOf(file), sectionSize);

  // Views of a closed section's handle stay usable; a closed handle maps nothing.
  char* view = static_cast<char*>(MapViewOfFileEx(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0, nullptr));
  ASSERT_NE(view, nullptr);
  EXPECT_TRUE(CloseHandle(mapping));
  EXPECT_EQ(view[gran], 'a');
  EXPECT_EQ(MapViewOfFileEx(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0, nullptr), nullptr);
  EXPECT_LAST_ERROR(ERROR_INVALID_HANDLE);
  EXPECT_TRUE(UnmapViewOfFile(view));
  CloseHandle(file);
}

TEST(Win32File, ShrinkingAMappedFileIsRefusedInAnyProcess) {
  mhtest::TempDir dir;
  const std::u16string path = dir.WFile("s.dat");
  HANDLE file = OpenFile(path, CREATE_NEW);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  const std::string content(3000, 'c');
  ASSERT_TRUE(WriteAll(file, content));

  // In this process: a section alone, then a view alone, each keeps the size.
  HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, 0, nullptr);
  ASSERT_NE(mapping, nullptr);
  EXPECT_FALSE(Resize(file, 100));
  EXPECT_LAST_ERROR(ERROR_USER_MAPPED_FILE);
  void* view = MapViewOfFileEx(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0, nullptr);
  ASSERT_NE(view, nullptr);
  CloseHandle(mapping);
  EXPECT_FALSE(Resize(file, 100));
  EXPECT_LAST_ERROR(ERROR_USER_MAPPED_FILE);
  EXPECT_EQ(SizeOf(file), content.size());
  // Growing a mapped file is allowed.
  EXPECT_TRUE(Resize(file, 4000));
  EXPECT_TRUE(UnmapViewOfFile(view));
  EXPECT_TRUE(Resize(file, static_cast<LONG>(content.size())));

  // In another process that holds nothing but its view.
  mhtest::ChildProcess child("hold_view", {dir.File("s.dat").string(), content});
  ASSERT_EQ(Expect(child), "mapped");
  EXPECT_FALSE(Resize(file, 100));
  EXPECT_LAST_ERROR(ERROR_USER_MAPPED_FILE);
  EXPECT_EQ(SizeOf(file), content.size());
  child.WriteLine("check");
  EXPECT_EQ(Expect(child), "intact");
  child.WriteLine("unmap");
  ASSERT_EQ(Expect(child), "unmapped");
  EXPECT_TRUE(Resize(file, 100));
  EXPECT_EQ(SizeOf(file), 100u);
  child.WriteLine("exit");
  EXPECT_EQ(child.Wait(), 0);
  CloseHandle(file);
}

TEST(Win32File, ViewsOfDifferentLengthsInTwoProcessesShareBytes) {
  mhtest::TempDir dir;
  HANDLE file = OpenFile(dir.WFile("p.dat"), CREATE_NEW);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  const DWORD gran = Granularity();
  HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, 2 * gran, nullptr);
  ASSERT_NE(mapping, nullptr);
  char* view = static_cast<char*>(MapViewOfFileEx(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0, nullptr));
  ASSERT_NE(view, nullptr);

  mhtest::ChildProcess child("peer_view", {dir.File("p.dat").string()});
  ASSERT_EQ(Expect(child), "ready");
  std::memcpy(view + gran, "from parent", 12);
  child.WriteLine("read");
  EXPECT_EQ(Expect(child), "from parent");
  ASSERT_EQ(Expect(child), "wrote");
  EXPECT_STREQ(view + gran + 50, "from child");
  child.WriteLine("exit");
  EXPECT_EQ(child.Wait(), 0);
  UnmapViewOfFile(view);
  CloseHandle(mapping);
  CloseHandle(file);
}

TEST(Win32File, ChildProcessesInheritNoHandles) {
  mhtest::TempDir dir;
  const std::u16string path = dir.WFile("i.dat");
  HANDLE file = OpenFile(path, CREATE_NEW);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(WriteAll(file, std::string(500, 'i')));
  HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, 0, nullptr);
  ASSERT_NE(mapping, nullptr);
  void* view = MapViewOfFileEx(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0, nullptr);
  ASSERT_NE(view, nullptr);

  mhtest::ChildProcess child("after_parent_closed", {dir.File("i.dat").string()});
  ASSERT_EQ(Expect(child), "ready");
  UnmapViewOfFile(view);
  CloseHandle(mapping);
  CloseHandle(file);
  child.WriteLine("go");
  EXPECT_EQ(Expect(child), "shrink=ok delete=ok");
  EXPECT_EQ(child.Wait(), 0);
}

// The message road makes a file's view again at another length for every large message: each new
// view must show its own file's bytes as they are (two files take turns here), and once the
// files' handles are closed nothing of the old views may keep another process from shrinking or
// deleting them.
TEST(Win32File, ViewsMadeAgainAtOtherLengthsShowTheFileAndLeaveNothingBehind) {
  mhtest::TempDir dir;
  HANDLE files[2] = {OpenFile(dir.WFile("r0.dat"), CREATE_NEW), OpenFile(dir.WFile("r1.dat"), CREATE_NEW)};
  ASSERT_NE(files[0], INVALID_HANDLE_VALUE);
  ASSERT_NE(files[1], INVALID_HANDLE_VALUE);
  std::string model[2];  // what each file holds; sections only ever extend it with zeros
  const DWORD unit = Granularity();
  int round = 0;
  for (DWORD length : {4 * unit, 16 * unit, 2 * unit, 16 * unit + 100, 3 * unit, 20 * unit}) {
    for (int f = 0; f < 2; ++f, ++round) {
      HANDLE mapping = CreateFileMappingW(files[f], nullptr, PAGE_READWRITE, 0, length, nullptr);
      ASSERT_NE(mapping, nullptr);
      char* view = static_cast<char*>(MapViewOfFileEx(mapping, FILE_MAP_ALL_ACCESS, 0, 0, length, nullptr));
      ASSERT_NE(view, nullptr);
      CloseHandle(mapping);
      if (model[f].size() < length) model[f].resize(length, '\0');
      EXPECT_EQ(std::string(view, length), model[f].substr(0, length))
          << "file " << f << ", view of " << length;
      const char mark = static_cast<char>('a' + round % 26);
      std::memset(view, mark, length);
      std::memset(model[f].data(), mark, length);
      ASSERT_TRUE(UnmapViewOfFile(view));
    }
  }
  mhtest::ChildProcess child("after_parent_closed", {dir.File("r0.dat").string()});
  ASSERT_EQ(Expect(child), "ready");
  CloseHandle(files[0]);
  child.WriteLine("go");
  EXPECT_EQ(Expect(child), "shrink=ok delete=ok");
  EXPECT_EQ(child.Wait(), 0);
  CloseHandle(files[1]);
}
