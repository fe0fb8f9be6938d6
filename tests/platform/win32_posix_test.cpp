// What only the POSIX implementation of the Win32 subset must do: a full disk or a file-size limit
// fails the mapping call instead of raising SIGBUS later; new files are owner-only, and links and
// anything but regular files are not opened.
#include <gtest/gtest.h>

#if !defined(_WIN32)

#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <filesystem>

#include "platform/win32_test_util.h"
#include "support/test_support.h"

using namespace w32test;

// Under a 64 KiB file-size limit (args[0] "fsize") or on a 1 MiB tmpfs of its own mount namespace
// ("tmpfs", gone when it exits), maps file args[1] over the space left, then a section that fits,
// written to its last byte: a SIGBUS there kills the child before its last line.
MHTEST_CHILD(map_over_the_limit) {
  const bool fsize = args.at(0) == "fsize";
  const rlimit limit{64 * 1024, 64 * 1024};
  if (fsize && (signal(SIGXFSZ, SIG_IGN) == SIG_ERR || setrlimit(RLIMIT_FSIZE, &limit) != 0)) return 2;
  const std::string dir = std::filesystem::path(args.at(1)).parent_path().string();
  if (!fsize &&
      (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
       mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=1m") != 0))
    return 3;
  HANDLE file = OpenFile(mhtest::ToU16(args.at(1)), CREATE_NEW);
  const std::string head(1000, 'd');
  if (file == INVALID_HANDLE_VALUE || !WriteAll(file, head)) return 4;
  HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, 4 << 20, nullptr);
  const DWORD error = GetLastError();
  mhtest::TellParent("big=" + (mapping ? "mapped" : std::to_string(error)) + " size=" +
                     std::to_string(SizeOf(file)) + (ReadHead(file, 2000) == head ? " kept" : " lost"));
  const DWORD fits = 32 * 1024;
  mapping = CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, fits, nullptr);
  char* view =
      mapping ? static_cast<char*>(MapViewOfFileEx(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0, nullptr)) : nullptr;
  if (!view) return 5;
  view[fits - 1] = 'e';
  mhtest::TellParent("fit");
  return 0;
}

TEST(Win32Posix, AFullDiskOrAFileSizeLimitFailsTheMappingCall) {
  mhtest::TempDir dir;
  std::filesystem::create_directory(dir.File("mnt"));
  for (auto [how, error] :
       {std::pair<std::string, DWORD>{"fsize", ERROR_FILE_TOO_LARGE}, {"tmpfs", ERROR_DISK_FULL}}) {
    mhtest::ChildProcess child("map_over_the_limit", {how, dir.File("mnt/" + how + ".dat").string()});
    std::string big, fit;
    child.ReadLine(big);
    child.ReadLine(fit);
    const int rc = child.Wait();
    if (how == "tmpfs" && rc == 3)
      GTEST_SKIP() << "no private tmpfs here (needs privilege); file-size limit checked";
    EXPECT_EQ(big, "big=" + std::to_string(error) + " size=1000 kept") << how;
    EXPECT_EQ(fit, "fit") << how;
    EXPECT_EQ(rc, 0) << how;
  }
}

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

#endif
