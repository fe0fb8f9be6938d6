// What only the POSIX implementation of the Win32 subset must do: new files are owner-only, and
// links and anything but regular files are not opened. (A full disk or a file-size limit failing
// the mapping call instead of raising SIGBUS is faults_test's DiskFillsWhileContentGrows.)
#include <gtest/gtest.h>

#if !defined(_WIN32)

#include <sys/stat.h>

#include <filesystem>

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

#endif
