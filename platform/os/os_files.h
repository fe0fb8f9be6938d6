// Owner-only folders and files, and the guard against files cut short under a mapping: what a
// process checks before it trusts a file another process can reach. One implementation per
// platform (os_files_posix.cpp, os_files_win.cpp).
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

#include "mh_os_export.h"

namespace OS {

// Why a folder cannot be used as a private one; NONE when it can.
struct CFolderProblem {
  enum Kind { NONE, CANNOT_CREATE, UNSAFE };
  Kind m_eKind = NONE;
  std::string m_strWhy;
  explicit operator bool() const { return m_eKind != NONE; }
};

// Creates the folder if it is missing (its parents too; on POSIX mode 0700, on Windows it inherits
// the access of the folder it is made in) and checks that it is a real folder (no link), and on
// POSIX that it is this user's and closed to everyone else.
MH_OS_API CFolderProblem PreparePrivateFolder(const std::filesystem::path& dir);

// Empty when path is a regular file owned by this user and closed to everyone else; otherwise
// why it must not be used. A backing file others could read leaks mail; one they could write
// lets them change it between the scan and the delivery.
MH_OS_API std::string PrivateFileProblem(const std::filesystem::path& path);

// An adopted resource keeps three descriptors (the file, its section and what its view maps):
// false when this many more resources would leave fewer than a reserve for connections and logs,
// so that they are refused instead of failing requests later.
MH_OS_API bool DescriptorsLeftFor(size_t resources);

// While a CBusGuard lives, a SIGBUS raised on this thread by touching a page of a mapped file
// that another process cut short does not end the process: the page is replaced by a private
// zero page, the access goes on, and Faulted() says that what was read must be thrown away and
// the mapping dropped. A SIGBUS outside any guard kills the process as before. On Windows a
// mapped file cannot be cut short, so the guard never faults there.
class MH_OS_API CBusGuard {
 public:
  CBusGuard();
  ~CBusGuard();
  CBusGuard(const CBusGuard&) = delete;
  CBusGuard& operator=(const CBusGuard&) = delete;
  bool Faulted() const;
};

}  // namespace OS
