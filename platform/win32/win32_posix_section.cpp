// File mapping objects (sections) on POSIX with Windows' semantics: a section holds its file's
// map lock for as long as it or a view of it lives, and allocates the file as far as it reaches.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>

#include "win32/win32_posix_file_internal.h"

using mhwin::Fail;
using mhwin::FailErrno;
using mhwin::File;
using mhwin::kMapMarker;
using mhwin::kResizeMarker;
using mhwin::LockMarker;
using mhwin::LockUnsupported;
using mhwin::Mapping;
using mhwin::ReopenDescription;
using mhwin::RetryOnEintr;
using mhwin::Section;

mhwin::Section::~Section() {
  close(fd);
}

namespace {

// Allocates [from, size) for real; extends the file when it is shorter, never shrinks it.
// A file without holes needs only its new tail: allocating from 0 again would cost time in
// proportion to the whole file on every growth step.
int AllocateRange(int fd, std::uint64_t from, std::uint64_t size) {
  int rc = RetryOnEintr(
      [&] { return fallocate(fd, 0, static_cast<off_t>(from), static_cast<off_t>(size - from)); });
  if (rc != 0 && errno == EOPNOTSUPP) {
    // A file system without fallocate: extend sparsely, never shrinking.
    struct stat st {};
    if (fstat(fd, &st) != 0) return -1;
    if (static_cast<std::uint64_t>(st.st_size) >= size) return 0;
    rc = RetryOnEintr([&] { return ftruncate(fd, static_cast<off_t>(size)); });
  }
  return rc;
}

}  // namespace

HANDLE CreateFileMappingW(HANDLE file, LPSECURITY_ATTRIBUTES, DWORD protect, DWORD maximumSizeHigh,
                          DWORD maximumSizeLow, LPCWSTR name) {
  HANDLE none = nullptr;
  if (name != nullptr) return Fail(ERROR_NOT_SUPPORTED, none);
  auto f = mhwin::Lookup<File>(file, mhwin::Kind::File);
  if (!f) return Fail(ERROR_INVALID_HANDLE, none);
  bool writable;
  if (protect == PAGE_READWRITE) {
    if ((f->access & (GENERIC_READ | GENERIC_WRITE)) != (GENERIC_READ | GENERIC_WRITE))
      return Fail(ERROR_ACCESS_DENIED, none);
    writable = true;
  } else if (protect == PAGE_READONLY) {
    if ((f->access & GENERIC_READ) == 0) return Fail(ERROR_ACCESS_DENIED, none);
    writable = false;
  } else {
    return Fail(ERROR_INVALID_PARAMETER, none);
  }

  int fd = ReopenDescription(f->fd, writable ? O_RDWR : O_RDONLY);
  if (fd < 0) return FailErrno(none);
  auto fail = [fd](DWORD error) {
    close(fd);
    return Fail(error, HANDLE{nullptr});
  };
  // Held for the section's life; a shrink in progress elsewhere makes us wait for it. From here
  // on the file can grow but not shrink, so a size read now is one nobody takes away.
  if (!LockMarker(fd, kMapMarker, F_RDLCK, true) && !LockUnsupported(errno))
    return fail(mhwin::ErrnoToWin32(errno));
  struct stat st {};
  if (fstat(fd, &st) != 0) return fail(mhwin::ErrnoToWin32(errno));
  std::uint64_t maximum = (static_cast<std::uint64_t>(maximumSizeHigh) << 32) | maximumSizeLow;
  // Fewer allocated blocks than bytes means holes.
  auto needsAllocation = [&] {
    auto fileSize = static_cast<std::uint64_t>(st.st_size);
    return writable && (maximum > fileSize || static_cast<std::uint64_t>(st.st_blocks) * 512 <
                                                  std::min(maximum == 0 ? fileSize : maximum, fileSize));
  };
  // Size changes are serialised, so that a peer's extension is never undone by our cutting back
  // a failed one; a section that changes nothing (the common case) needs no such lock.
  bool resizeLocked = false;
  if (needsAllocation()) {
    resizeLocked = LockMarker(fd, kResizeMarker, F_WRLCK, true);
    if (!resizeLocked && !LockUnsupported(errno)) return fail(mhwin::ErrnoToWin32(errno));
    if (fstat(fd, &st) != 0) return fail(mhwin::ErrnoToWin32(errno));
  }
  auto fileSize = static_cast<std::uint64_t>(st.st_size);
  if (maximum == 0) {
    if (fileSize == 0) return fail(ERROR_FILE_INVALID);
    maximum = fileSize;
  }
  if (maximum > fileSize && !writable) return fail(ERROR_NOT_ENOUGH_MEMORY);
  if (maximum > static_cast<std::uint64_t>(LLONG_MAX / 2)) return fail(ERROR_NOT_ENOUGH_MEMORY);
  // Really allocate the section (extension and holes alike), so a full disk fails here rather
  // than as SIGBUS on the first write into a hole. Not ftruncate (sparse, and it shrinks a
  // file a peer grew) and not posix_fallocate (its fallback writes zeros over a peer's data).
  // A fully written file skips the call.
  bool holes = static_cast<std::uint64_t>(st.st_blocks) * 512 < std::min(maximum, fileSize);
  if (writable && (maximum > fileSize || holes) &&
      AllocateRange(fd, holes ? 0 : std::min(fileSize, maximum), maximum) != 0) {
    int err = errno;
    // A failed extension may have grown the file part of the way: cut it back. Safe under
    // the resize lock: no peer maps past the size read under it.
    struct stat after {};
    if (resizeLocked && fstat(fd, &after) == 0 && static_cast<std::uint64_t>(after.st_size) > fileSize)
      (void)RetryOnEintr([&] { return ftruncate(fd, static_cast<off_t>(fileSize)); });
    return fail(mhwin::ErrnoToWin32(err));
  }
  // Releasing the resize lock keeps the map lock: they are different bytes.
  if (resizeLocked) (void)LockMarker(fd, kResizeMarker, F_UNLCK, false);
  auto source = f->MapSource();
  if (!source) return fail(mhwin::ErrnoToWin32(errno));
  auto section =
      std::make_shared<Section>(fd, std::move(source), maximum, writable, f->prefault, mhwin::IdOf(st));
  return mhwin::InsertHandle(std::make_shared<Mapping>(std::move(section)));
}
