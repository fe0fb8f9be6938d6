// Owner-only folders and backing files, and the guard against backing files cut short under a
// mapping: what a hook and a service check before they trust a file another process can reach.
// One implementation per platform (mh_Files_posix.cpp, mh_Files_win.cpp).
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

#include <mailhook/mh_Runtime.h>

#include "mailhook_export.h"

namespace mailhook {

// Empty when path is a regular file owned by this user and closed to everyone else; otherwise
// why it must not be used. A backing file others could read leaks mail; one they could write
// lets them change it between the scan and the delivery.
MAILHOOK_API std::string PrivateFileProblem(const std::filesystem::path& path);

// An adopted resource keeps three descriptors (the file, its section and what its view maps):
// false when a registration of this many resources would leave fewer than a reserve for
// connections and logs, so that it is refused instead of failing requests later (or other pools).
MAILHOOK_API bool DescriptorsLeftFor(size_t resources);

// While a BusGuard lives, a SIGBUS raised on this thread by touching a page of a mapped file
// that another process cut short does not end the process: the page is replaced by a private
// zero page, the access goes on, and Faulted() says that what was read must be thrown away and
// the mapping dropped. A SIGBUS outside any guard kills the process as before. On Windows a
// mapped file cannot be cut short, so the guard never faults there.
class MAILHOOK_API BusGuard {
 public:
  BusGuard();
  ~BusGuard();
  BusGuard(const BusGuard&) = delete;
  BusGuard& operator=(const BusGuard&) = delete;
  bool Faulted() const;
};

}  // namespace mailhook
