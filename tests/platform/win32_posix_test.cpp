// What only the POSIX implementation of the Win32 subset must do: anything but a regular file is
// not opened. (New files owner-only and links not followed are faults_test's
// WrongOwnerOrModeIsRefusedAndAnotherUserIsKeptOut, on the hook's backing files; a full disk or a
// file-size limit failing the mapping call instead of raising SIGBUS is its
// DiskFillsWhileContentGrows.)
#include <gtest/gtest.h>

#if !defined(_WIN32)

#include <sys/stat.h>

#include "platform/win32_test_util.h"
#include "support/test_support.h"

using namespace w32test;

TEST(Win32Posix, OnlyRegularFilesOpen) {
  mhtest::TempDir dir;
  // A FIFO planted at the path would block.
  ASSERT_EQ(mkfifo(dir.File("fifo.dat").c_str(), 0600), 0);
  for (DWORD access : {DWORD{GENERIC_READ}, DWORD{GENERIC_READ | GENERIC_WRITE}}) {
    EXPECT_EQ(OpenFile(dir.WFile("fifo.dat"), OPEN_EXISTING, FILE_SHARE_READ, access), INVALID_HANDLE_VALUE);
    EXPECT_LAST_ERROR(ERROR_ACCESS_DENIED);
  }
}

#endif
