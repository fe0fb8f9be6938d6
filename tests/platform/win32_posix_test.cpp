// Checks that only make sense for the POSIX implementation of the Win32 subset: a full disk
// or a file-size limit must fail the mapping call instead of raising SIGBUS later, new files
// are owner-only, and no descriptor leaks into a child process.
#include <gtest/gtest.h>

#if !defined(_WIN32)

#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <map>
#include <sstream>

#include "platform/win32_test_util.h"
#include "support/test_support.h"

using namespace w32test;

namespace {

// Mapping a file over the space left: must fail with an error, keep the file's size and data,
// and a section that fits must be writable to its last byte.
void MapOverTheLimit(const std::string& path, DWORD tooBig, DWORD fits) {
  HANDLE file = OpenFile(mhtest::ToU16(path), CREATE_NEW);
  const std::string head(1000, 'd');
  if (file == INVALID_HANDLE_VALUE || !WriteAll(file, head)) {
    std::cout << "setup failed" << std::endl;
    return;
  }
  SetLastError(0);
  HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, tooBig, nullptr);
  std::cout << "big=" << (mapping ? "mapped" : std::to_string(GetLastError())) << std::endl;
  std::cout << "size=" << SizeOf(file) << std::endl;
  std::cout << "data=" << (ReadHead(file, 2000) == head ? "kept" : "lost") << std::endl;
  mapping = CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, fits, nullptr);
  char* view =
      mapping ? static_cast<char*>(MapViewOfFileEx(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0, nullptr)) : nullptr;
  if (view) {
    view[fits - 1] = 'e';  // SIGBUS here would kill the child: the parent sees no "fit=" line
    std::cout << "fit=ok" << std::endl;
  } else {
    std::cout << "fit=" << GetLastError() << std::endl;
  }
}

std::map<std::string, std::string> ReadResults(mhtest::ChildProcess& child) {
  std::map<std::string, std::string> out;
  std::string line;
  while (child.ReadLine(line)) {
    auto eq = line.find('=');
    out[line.substr(0, eq)] = eq == std::string::npos ? "" : line.substr(eq + 1);
  }
  return out;
}

// Every open descriptor of this process that names the given file.
int DescriptorsOf(const std::filesystem::path& file) {
  int n = 0;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
    auto target = std::filesystem::read_symlink(entry.path(), ec);
    if (!ec && target == file) ++n;
  }
  return n;
}

}  // namespace

// A file-size limit of 64 KiB: the extension fails instead of SIGXFSZ or SIGBUS.
MHTEST_CHILD(map_over_fsize_limit) {
  signal(SIGXFSZ, SIG_IGN);
  rlimit limit{64 * 1024, 64 * 1024};
  if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 2;
  MapOverTheLimit(args.at(0), 1024 * 1024, 32 * 1024);
  return 0;
}

// A 1 MiB tmpfs in a mount namespace of the child's own, gone when it exits.
MHTEST_CHILD(map_over_full_tmpfs) {
  const std::string dir = args.at(0);
  if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=1m") != 0) {
    std::cout << "nomount" << std::endl;
    return 0;
  }
  MapOverTheLimit(dir + "/full.dat", 4 * 1024 * 1024, 512 * 1024);
  return 0;
}

MHTEST_CHILD(count_descriptors) {
  std::cout << "count=" << DescriptorsOf(args.at(0)) << std::endl;
  return 0;
}

TEST(Win32Posix, FullDiskFailsTheMappingCall) {
  mhtest::TempDir dir;
  {
    mhtest::ChildProcess child("map_over_fsize_limit", {dir.File("limited.dat").string()});
    auto r = ReadResults(child);
    EXPECT_EQ(child.Wait(), 0);
    EXPECT_EQ(r["big"], std::to_string(ERROR_FILE_TOO_LARGE));
    EXPECT_EQ(r["size"], "1000");
    EXPECT_EQ(r["data"], "kept");
    EXPECT_EQ(r["fit"], "ok");
  }
  std::filesystem::create_directory(dir.File("mnt"));
  mhtest::ChildProcess child("map_over_full_tmpfs", {dir.File("mnt").string()});
  auto r = ReadResults(child);
  EXPECT_EQ(child.Wait(), 0);
  if (r.count("nomount")) GTEST_SKIP() << "no private tmpfs here (needs privilege); file-size limit checked";
  EXPECT_EQ(r["big"], std::to_string(ERROR_DISK_FULL));
  EXPECT_EQ(r["size"], "1000");
  EXPECT_EQ(r["data"], "kept");
  EXPECT_EQ(r["fit"], "ok");
}

TEST(Win32Posix, NewFilesAreOwnerOnlyAndOnlyRegularFilesOpen) {
  mhtest::TempDir dir;
  HANDLE file = OpenFile(dir.WFile("o.dat"), OPEN_ALWAYS);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  CloseHandle(file);
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

TEST(Win32Posix, NoDescriptorReachesAChild) {
  mhtest::TempDir dir;
  HANDLE file = OpenFile(dir.WFile("c.dat"), CREATE_NEW);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(WriteAll(file, "content"));
  HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, 0, nullptr);
  ASSERT_NE(mapping, nullptr);
  // The file handle and the section each hold a descriptor here; the child sees none.
  const auto path = std::filesystem::canonical(dir.File("c.dat"));
  EXPECT_GE(DescriptorsOf(path), 2);
  mhtest::ChildProcess child("count_descriptors", {path.string()});
  auto r = ReadResults(child);
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_EQ(r["count"], "0");
  CloseHandle(mapping);
  CloseHandle(file);
}

#endif
