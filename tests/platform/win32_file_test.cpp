// Files, sections and views: the Windows behaviour the library relies on, checked with real
// files and, where it is about other processes, real child processes. Same code on Windows.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "platform/win32_test_util.h"
#include "support/test_support.h"

using namespace w32test;

namespace {

// The child's next line, after sending it line (if any).
std::string Say(mhtest::ChildProcess& child, const std::string& line = {}) {
  std::string answer;
  if (!line.empty() && !child.WriteLine(line)) return "<child gone>";
  return child.ReadLine(answer) ? answer : "<child ended>";
}

}  // namespace

// Holds the file args[0] open (args[1] "open"), or only a view of 100 bytes at its second
// allocation unit with the file and section handles closed ("view"); then answers the parent:
// "read" with the text in the view, "write" by writing next to it, "close" by letting go,
// "shrink" and "delete" by doing that to the file ("done", or the error number).
MHTEST_CHILD(peer) {
  const std::u16string path = mhtest::ToU16(args.at(0));
  HANDLE file = OpenFile(path, OPEN_EXISTING);
  if (file == INVALID_HANDLE_VALUE) return 2;
  char* view = nullptr;
  if (args.at(1) == "view") {
    HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, 0, nullptr);
    view = mapping ? static_cast<char*>(
                         MapViewOfFileEx(mapping, FILE_MAP_ALL_ACCESS, 0, Granularity(), 100, nullptr))
                   : nullptr;
    if (!view) return 3;
    CloseHandle(mapping);
    CloseHandle(file);
  }
  mhtest::TellParent("ready");
  for (std::string line; mhtest::ReadParentLine(line) && line != "exit";) {
    std::string answer = "done";
    if (line == "read") answer = std::string(view, strnlen(view, 100));
    if (line == "write") std::memcpy(view + 50, "from child", 11);
    if (line == "close") view ? UnmapViewOfFile(view) : CloseHandle(file);
    if ((line == "shrink" && !Resize(file, 0)) || (line == "delete" && !DeleteFileW(WinStr(path.c_str()))))
      answer = std::to_string(GetLastError());
    mhtest::TellParent(answer);
  }
  return 0;
}

TEST(Win32File, OpenDispositionsAndAccessReportWhatExisted) {
  mhtest::TempDir dir;
  const std::u16string path = dir.WFile("a.dat");
  EXPECT_EQ(OpenFile(mhtest::ToU16((dir.Path() / "missing" / "x").string()), OPEN_EXISTING),
            INVALID_HANDLE_VALUE);
  EXPECT_LAST_ERROR(ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(OpenFile(path, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_LAST_ERROR(ERROR_FILE_NOT_FOUND);
  // Each disposition in turn on one path: the last error says whether the file existed, and
  // CREATE_ALWAYS empties it.
  const DWORD kFails = 99;
  const struct {
    DWORD how, error, size;
  } steps[] = {{OPEN_ALWAYS, ERROR_SUCCESS, 0},
               {OPEN_ALWAYS, ERROR_ALREADY_EXISTS, 5},
               {CREATE_NEW, ERROR_FILE_EXISTS, kFails},
               {CREATE_ALWAYS, ERROR_ALREADY_EXISTS, 0}};
  HANDLE file = INVALID_HANDLE_VALUE;
  for (const auto& step : steps) {
    SetLastError(1234);
    file = OpenFile(path, step.how);
    EXPECT_LAST_ERROR(step.error);
    if (step.size == kFails) {
      EXPECT_EQ(file, INVALID_HANDLE_VALUE);
      continue;
    }
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(SizeOf(file), step.size) << step.how;
    if (step.how == CREATE_ALWAYS) break;  // kept open for what follows
    EXPECT_TRUE(WriteAll(file, "hello"));
    CloseHandle(file);
  }

  // Access is what was asked for, whatever the descriptor underneath allows.
  HANDLE reader = OpenFile(path, OPEN_EXISTING, FILE_SHARE_READ | FILE_SHARE_WRITE, GENERIC_READ);
  HANDLE writer = OpenFile(path, OPEN_EXISTING, FILE_SHARE_READ | FILE_SHARE_WRITE, GENERIC_WRITE);
  DWORD n = 0;
  EXPECT_FALSE(WriteFile(reader, "x", 1, &n, nullptr));
  EXPECT_LAST_ERROR(ERROR_ACCESS_DENIED);
  EXPECT_FALSE(SetEndOfFile(reader));
  EXPECT_TRUE(WriteAll(writer, "abc"));
  char buf[4];
  EXPECT_FALSE(ReadFile(writer, buf, sizeof buf, &n, nullptr));
  EXPECT_LAST_ERROR(ERROR_ACCESS_DENIED);
  EXPECT_EQ(ReadHead(reader, 4), "abc");
  // A position whose low part is all ones is a success told by the last error; a negative one fails.
  LONG high = 0;
  SetLastError(ERROR_GEN_FAILURE);
  EXPECT_EQ(SetFilePointer(writer, -1, &high, FILE_BEGIN), INVALID_SET_FILE_POINTER);
  EXPECT_LAST_ERROR(NO_ERROR);
  EXPECT_EQ(SetFilePointer(writer, -100, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
  EXPECT_LAST_ERROR(ERROR_NEGATIVE_SEEK);
  // A read-only section can neither grow the file nor give a writable view.
  EXPECT_EQ(CreateFileMappingW(reader, nullptr, PAGE_READONLY, 0, 100, nullptr), nullptr);
  HANDLE readOnly = CreateFileMappingW(reader, nullptr, PAGE_READONLY, 0, 0, nullptr);
  ASSERT_NE(readOnly, nullptr);
  EXPECT_EQ(MapViewOfFileEx(readOnly, FILE_MAP_WRITE, 0, 0, 0, nullptr), nullptr);
  EXPECT_EQ(SizeOf(file), 3u);
  for (HANDLE h : {readOnly, writer, reader, file}) CloseHandle(h);
}

TEST(Win32File, DeleteOfAnOpenFileIsRefusedInAnyProcess) {
  mhtest::TempDir dir;
  const std::u16string path = dir.WFile("d.dat");
  HANDLE file = OpenFile(path, CREATE_NEW);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(DeleteFileW(WinStr(path.c_str())));
  EXPECT_LAST_ERROR(ERROR_SHARING_VIOLATION);
  ASSERT_TRUE(CloseHandle(file));
  mhtest::ChildProcess child("peer", {dir.File("d.dat").string(), "open"});
  ASSERT_EQ(Say(child), "ready");
  EXPECT_FALSE(DeleteFileW(WinStr(path.c_str())));
  EXPECT_LAST_ERROR(ERROR_SHARING_VIOLATION);
  // The refused delete left the file as it was: the parent still opens the same file.
  CloseHandle(OpenFile(path, OPEN_ALWAYS));
  EXPECT_LAST_ERROR(ERROR_ALREADY_EXISTS);
  ASSERT_EQ(Say(child, "close"), "done");
  EXPECT_TRUE(DeleteFileW(WinStr(path.c_str())));
  child.WriteLine("exit");
  EXPECT_EQ(child.Wait(), 0);
}

TEST(Win32File, SectionsExtendTheFileAndViewsStayInside) {
  mhtest::TempDir dir;
  HANDLE file = OpenFile(dir.WFile("m.dat"), CREATE_NEW);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  // An empty file has nothing to map at its own size.
  EXPECT_EQ(CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, 0, nullptr), nullptr);
  EXPECT_LAST_ERROR(ERROR_FILE_INVALID);
  const std::string head(1000, 'h');
  ASSERT_TRUE(WriteAll(file, head));
  const DWORD gran = Granularity(), page = PageSize(), sectionSize = gran + 2 * page;
  HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, sectionSize, nullptr);
  ASSERT_NE(mapping, nullptr);
  EXPECT_EQ(SizeOf(file), sectionSize);

  // Longer than the section, from the start or from an offset, or past its end: refused.
  EXPECT_EQ(MapViewOfFileEx(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sectionSize + page, nullptr), nullptr);
  EXPECT_LAST_ERROR(ERROR_ACCESS_DENIED);
  EXPECT_EQ(MapViewOfFileEx(mapping, FILE_MAP_ALL_ACCESS, 0, gran, 3 * page, nullptr), nullptr);
  EXPECT_LAST_ERROR(ERROR_ACCESS_DENIED);
  const DWORD pastEnd = (sectionSize + gran - 1) / gran * gran;
  EXPECT_EQ(MapViewOfFileEx(mapping, FILE_MAP_ALL_ACCESS, 0, pastEnd, 0, nullptr), nullptr);
  EXPECT_EQ(SizeOf(file), sectionSize);

  // Length 0 is the section less the offset: its last byte is the file's last byte.
  char* tail = static_cast<char*>(MapViewOfFileEx(mapping, FILE_MAP_ALL_ACCESS, 0, gran, 0, nullptr));
  ASSERT_NE(tail, nullptr);
  tail[0] = 'a';
  tail[2 * page - 1] = 'b';
  EXPECT_TRUE(UnmapViewOfFile(tail));
  EXPECT_FALSE(UnmapViewOfFile(tail));
  std::string all = ReadHead(file, sectionSize);
  ASSERT_EQ(all.size(), sectionSize);
  EXPECT_EQ(all.substr(0, head.size() + 1), head + '\0');
  EXPECT_EQ(all[gran], 'a');
  EXPECT_EQ(all[sectionSize - 1], 'b');

  // A closed section's handle maps nothing (its views outliving it are the next test's).
  EXPECT_TRUE(CloseHandle(mapping));
  EXPECT_EQ(MapViewOfFileEx(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0, nullptr), nullptr);
  EXPECT_LAST_ERROR(ERROR_INVALID_HANDLE);
  CloseHandle(file);
}

// A view in another process shares its bytes with ours at another offset and length, and, the
// only thing that process holds on the file, keeps it from being shrunk (as a section or a view
// alone does here); growing stays allowed.
TEST(Win32File, ViewsInTwoProcessesShareBytesAndKeepTheFileFromShrinking) {
  mhtest::TempDir dir;
  // The child gets the name whole: spaces and text outside any ANSI code page.
  const std::u16string path = dir.WFile("s p\xC3\xA9 \xE2\x82\xAC.dat");
  HANDLE file = OpenFile(path, CREATE_NEW);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  const DWORD gran = Granularity();
  HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, 2 * gran, nullptr);
  ASSERT_NE(mapping, nullptr);
  EXPECT_FALSE(Resize(file, 100));
  EXPECT_LAST_ERROR(ERROR_USER_MAPPED_FILE);
  char* view = static_cast<char*>(MapViewOfFileEx(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0, nullptr));
  ASSERT_NE(view, nullptr);
  CloseHandle(mapping);
  EXPECT_FALSE(Resize(file, 100));
  EXPECT_LAST_ERROR(ERROR_USER_MAPPED_FILE);
  EXPECT_TRUE(Resize(file, static_cast<LONG>(3 * gran)));

  mhtest::ChildProcess child("peer", {mhtest::ToU8(path), "view"});
  ASSERT_EQ(Say(child), "ready");
  std::memcpy(view + gran, "from parent", 12);
  EXPECT_TRUE(UnmapViewOfFile(view));
  EXPECT_EQ(Say(child, "read"), "from parent");
  EXPECT_EQ(Say(child, "write"), "done");
  EXPECT_EQ(ReadHead(file, gran + 61).substr(gran + 50), std::string("from child", 11));
  EXPECT_FALSE(Resize(file, 100));
  EXPECT_LAST_ERROR(ERROR_USER_MAPPED_FILE);
  EXPECT_EQ(SizeOf(file), 3u * gran);
  EXPECT_EQ(Say(child, "close"), "done");
  EXPECT_TRUE(Resize(file, 100));
  EXPECT_EQ(SizeOf(file), 100u);
  child.WriteLine("exit");
  EXPECT_EQ(child.Wait(), 0);
  CloseHandle(file);
}

// The message road makes a file's view again at another length for every large message: each new
// view must show its own file's bytes as they are (two files take turns here). A child started
// while the last view is up inherits nothing, and once the file's handles are closed nothing of
// the old views keeps it from shrinking or deleting the file.
TEST(Win32File, ViewsMadeAgainShowTheFileAndNothingIsInheritedOrLeftBehind) {
  mhtest::TempDir dir;
  HANDLE files[2] = {OpenFile(dir.WFile("r0.dat"), CREATE_NEW), OpenFile(dir.WFile("r1.dat"), CREATE_NEW)};
  ASSERT_NE(files[0], INVALID_HANDLE_VALUE);
  ASSERT_NE(files[1], INVALID_HANDLE_VALUE);
  std::string model[2];  // what each file holds; sections only ever extend it with zeros
  const DWORD unit = Granularity();
  int round = 0;
  char* view = nullptr;
  for (DWORD length : {4 * unit, 16 * unit, 2 * unit, 16 * unit + 100, 3 * unit, 20 * unit}) {
    for (int f = 0; f < 2; ++f, ++round) {
      ASSERT_TRUE(view == nullptr || UnmapViewOfFile(view));
      HANDLE mapping = CreateFileMappingW(files[f], nullptr, PAGE_READWRITE, 0, length, nullptr);
      ASSERT_NE(mapping, nullptr);
      view = static_cast<char*>(MapViewOfFileEx(mapping, FILE_MAP_ALL_ACCESS, 0, 0, length, nullptr));
      ASSERT_NE(view, nullptr);
      CloseHandle(mapping);
      if (model[f].size() < length) model[f].resize(length, '\0');
      EXPECT_EQ(std::string(view, length), model[f].substr(0, length))
          << "file " << f << ", view of " << length;
      const char mark = static_cast<char>('a' + round % 26);
      std::memset(view, mark, length);
      std::memset(model[f].data(), mark, length);
    }
  }
  // Once the parent has closed everything it had on the file, the child shrinks and deletes it:
  // both fail if it inherited any of the parent's handles or a view left anything behind.
  mhtest::ChildProcess child("peer", {dir.File("r1.dat").string(), "open"});
  ASSERT_EQ(Say(child), "ready");
  UnmapViewOfFile(view);
  CloseHandle(files[1]);
  EXPECT_EQ(Say(child, "shrink"), "done");
  EXPECT_EQ(Say(child, "close"), "done");
  EXPECT_EQ(Say(child, "delete"), "done");
  ASSERT_TRUE(child.WriteLine("exit"));
  EXPECT_EQ(child.Wait(), 0);
  CloseHandle(files[0]);
}
