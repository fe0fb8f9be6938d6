// What only the POSIX implementation of the Win32 subset must do: new files are owner-only, and
// links and anything but regular files are not opened; a view kept for re-use is handed out only
// as asked for; a disk that fills part of the way through
// an extension fails the mapping call as a full disk and leaves the file as it was. (A full tmpfs
// or a file-size limit failing the mapping call instead of raising SIGBUS is faults_test's
// DiskFillsWhileContentGrows.)
#include <gtest/gtest.h>

#if !defined(_WIN32)

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/win32_test_util.h"
#include "support/test_support.h"

using namespace w32test;

TEST(Win32Posix, NewFilesAreOwnerOnlyAndOnlyRegularFilesOpen) {
  mhtest::TempDir dir;
  CloseHandle(OpenFile(dir.WFile("o.dat"), OPEN_ALWAYS));
  namespace fs = std::filesystem;
  EXPECT_EQ(fs::status(dir.File("o.dat")).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  // A link in a shared folder is not followed.
  fs::create_symlink(dir.File("o.dat"), dir.File("link.dat"));
  EXPECT_EQ(OpenFile(dir.WFile("link.dat"), OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(OpenFile(dir.WFile("link.dat"), OPEN_ALWAYS), INVALID_HANDLE_VALUE);
  // Nor is anything but a regular file opened: a FIFO planted at the path would block.
  ASSERT_EQ(mkfifo(dir.File("fifo.dat").c_str(), 0600), 0);
  for (DWORD access : {DWORD{GENERIC_READ}, DWORD{GENERIC_READ | GENERIC_WRITE}}) {
    EXPECT_EQ(OpenFile(dir.WFile("fifo.dat"), OPEN_EXISTING, FILE_SHARE_READ, access), INVALID_HANDLE_VALUE);
    EXPECT_LAST_ERROR(ERROR_ACCESS_DENIED);
  }
}

// A view's protection as the kernel has it ("rw-s"); "" when nothing is mapped there.
std::string Protection(const void* view) {
  std::ifstream maps("/proc/self/maps");
  for (std::string range, perms, rest; maps >> range >> perms && std::getline(maps, rest);)
    if (std::stoull(range, nullptr, 16) == reinterpret_cast<uintptr_t>(view)) return perms;
  return "";
}

// A view unmapped while its file stays open is kept for the next view of the file (the pages
// both lengths share stay mapped); that view must still have the protection and the offset it
// asks for, which every caller of the library leaves at read-write and 0.
TEST(Win32Posix, AViewKeptForReuseIsHandedOutOnlyWithTheProtectionAndOffsetAskedFor) {
  mhtest::TempDir dir;
  HANDLE file = OpenFile(dir.WFile("v.dat"), CREATE_NEW);
  const DWORD step = Granularity();
  HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, 2 * step, nullptr);
  auto view = [&](DWORD access, DWORD offset) {
    return static_cast<char*>(MapViewOfFileEx(mapping, access, 0, offset, step, nullptr));
  };
  char* first = view(FILE_MAP_ALL_ACCESS, 0);
  ASSERT_NE(first, nullptr);
  first[0] = 'a';
  ASSERT_TRUE(UnmapViewOfFile(first));
  char* read = view(FILE_MAP_READ, 0);
  ASSERT_NE(read, nullptr);
  EXPECT_EQ(Protection(read), "r--s");
  EXPECT_EQ(read[0], 'a');
  ASSERT_TRUE(UnmapViewOfFile(read));
  char* second = view(FILE_MAP_ALL_ACCESS, step);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(Protection(second), "rw-s");
  EXPECT_EQ(second[0], '\0');
  UnmapViewOfFile(second);
  CloseHandle(mapping);
  CloseHandle(file);
}

// In a mount namespace of its own, on an 8 MiB ext4 file system in folder args[0] (gone with the
// namespace): a file of 1000 bytes mapped at 16 MiB. ext4 allocates what it can before it runs
// out, growing the file part of the way. Says what the call returned and what became of the file;
// 3 when no such file system can be made here (no privilege, no loop device, no mkfs.ext4).
MHTEST_CHILD(map_past_a_full_disk) {
  const std::string dir = args.at(0);
  if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      std::system(("cd " + dir + " && truncate -s 8m fs && mkfs.ext4 -q fs && mkdir m && mount -o loop fs m")
                      .c_str()) != 0)
    return 3;
  HANDLE file = OpenFile(mhtest::ToU16(dir + "/m/f.dat"), CREATE_NEW);
  const std::string head(1000, 'd');
  if (file == INVALID_HANDLE_VALUE || !WriteAll(file, head)) return 4;
  HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, 16 << 20, nullptr);
  const DWORD error = GetLastError();
  mhtest::TellParent((mapping ? std::string("mapped") : "error " + std::to_string(error)) + ", size " +
                     std::to_string(SizeOf(file)) + (ReadHead(file, 2000) == head ? ", kept" : ", lost"));
  return 0;
}

TEST(Win32Posix, ADiskThatFillsDuringAnExtensionFailsItAsFullAndLeavesTheFileAsItWas) {
  mhtest::TempDir dir;
  mhtest::ChildProcess child("map_past_a_full_disk", {dir.Path().string()});
  std::string said;
  child.ReadLine(said);
  if (child.Wait() == 3) GTEST_SKIP() << "cannot mount an ext4 image here (needs root and a loop device)";
  EXPECT_EQ(said, "error " + std::to_string(ERROR_DISK_FULL) + ", size 1000, kept");
}

#endif
