// Files on POSIX with Windows' semantics: handles, opening, sizes, reading and writing, deletion.
// The locks that stand in for Windows' sharing rules are described in win32_posix_file_internal.h.

#include <fcntl.h>
#include <sys/stat.h>
#if defined(__linux__)
#include <linux/magic.h>
#include <sys/vfs.h>
#endif
#include <unistd.h>

#include <cstdint>
#include <string>

#include "dbg/dbg_log.h"
#include "win32/win32_posix_file_internal.h"

using mhwin::Fail;
using mhwin::FailErrno;
using mhwin::File;
using mhwin::kDeleteMarker;
using mhwin::kMapMarker;
using mhwin::kResizeMarker;
using mhwin::LockMarker;
using mhwin::LockUnsupported;
using mhwin::ReopenDescription;
using mhwin::RetryOnEintr;

bool mhwin::LockMarker(int fd, off_t marker, short type, bool wait) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = marker;
  fl.l_len = 1;
  int cmd = wait ? F_OFD_SETLKW : F_OFD_SETLK;
  return RetryOnEintr([&] { return fcntl(fd, cmd, &fl); }) == 0;
}

int mhwin::ReopenDescription(int fd, int flags) {
  std::string self = "/proc/self/fd/" + std::to_string(fd);
  return RetryOnEintr([&] { return open(self.c_str(), flags | O_CLOEXEC); });
}

mhwin::Descriptor::~Descriptor() {
  close(fd);
}

mhwin::File::File(int f, DWORD a, FileId i, bool p)
    : Object(Kind::File), fd(f), access(a), id(i), prefault(p) {
  FileOpened(id);
}

mhwin::File::~File() {
  FileClosed(id);
  close(fd);
}

std::shared_ptr<mhwin::Descriptor> mhwin::File::MapSource() {
  std::lock_guard lock(mapSourceMutex);
  if (!mapSource) {
    int d = ReopenDescription(fd, (access & GENERIC_WRITE) != 0 ? O_RDWR : O_RDONLY);
    if (d >= 0) mapSource = std::make_shared<Descriptor>(d);
  }
  return mapSource;
}

namespace {

std::string PathOf(LPCWSTR name) {
  return DBG::ToUtf8(name);
}

// Windows tells a missing folder (3) from a missing file (2); errno says ENOENT for both.
DWORD MissingError(const std::string& path) {
  auto slash = path.find_last_of('/');
  if (slash == std::string::npos || slash == 0) return ERROR_FILE_NOT_FOUND;
  struct stat st {};
  bool folder = stat(path.substr(0, slash).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  return folder ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

// The last error of a failed open or unlink of path.
template <class T>
T FailOpen(const std::string& path, T failure) {
  if (errno == ENOENT || errno == ENOTDIR) return Fail(MissingError(path), failure);
  return FailErrno(failure);
}

// Views of a file in memory (tmpfs) are filled in when they are made. A view is made to the
// length its data needs, and the message road re-makes a large one for every message (a view
// shrinks when its resource goes back to the pool and grows again for the next large message):
// taking the page faults of a whole view one page at a time costs several times more than one
// pass in the kernel, more so under a hypervisor. Not for files on a disk: there the kernel maps
// pre-filled pages read-only, so each written page would fault once more anyway.
bool Prefaults(int fd) {
#if defined(__linux__)
  struct statfs fs {};
  return fstatfs(fd, &fs) == 0 && fs.f_type == TMPFS_MAGIC;
#else
  (void)fd;
  return false;
#endif
}

int OpenFlags(DWORD access) {
  // A write handle is opened read-write too: the shared delete lock is a read lock, which
  // needs a readable description. ReadFile checks the access asked for instead.
  int mode = (access & GENERIC_WRITE) != 0 ? O_RDWR : O_RDONLY;
  return mode | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
}

// Sets the file's size to newSize, refusing to shrink a file that any section maps; sets the
// last error on failure. The size change runs under the exclusive resize lock.
bool ResizeUnmapped(int fd, off_t newSize) {
  int probe = ReopenDescription(fd, O_RDWR);
  if (probe < 0) return FailErrno(false);
  auto fail = [probe](int err) {
    close(probe);
    errno = err;
    return FailErrno(false);
  };
  if (!LockMarker(probe, kResizeMarker, F_WRLCK, true) && !LockUnsupported(errno)) return fail(errno);
  struct stat st {};
  if (fstat(probe, &st) != 0) return fail(errno);
  if (newSize < st.st_size && !LockMarker(probe, kMapMarker, F_WRLCK, false)) {
    int err = errno;
    if (err == EAGAIN || err == EACCES) {
      close(probe);
      return Fail(ERROR_USER_MAPPED_FILE, false);
    }
    if (!LockUnsupported(err)) return fail(err);
  }
  // Growing stays sparse, as Windows defers the valid data; a writable mapping allocates.
  if (newSize != st.st_size && RetryOnEintr([&] { return ftruncate(probe, newSize); }) != 0)
    return fail(errno);
  close(probe);
  return true;
}

}  // namespace

HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES,
                   DWORD creationDisposition, DWORD, HANDLE) {
  if (fileName == nullptr || fileName[0] == 0) return Fail(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
  const std::string path = PathOf(fileName);
  const int flags = OpenFlags(desiredAccess);
  // New files are owner-only: security attributes have no POSIX meaning here.
  const mode_t mode = 0600;

  for (int attempt = 0; attempt < 16; ++attempt) {
    int fd = -1;
    bool existed = false;
    switch (creationDisposition) {
      case CREATE_NEW:
        fd = RetryOnEintr([&] { return open(path.c_str(), flags | O_CREAT | O_EXCL, mode); });
        if (fd < 0) {
          if (errno == EEXIST) return Fail(ERROR_FILE_EXISTS, INVALID_HANDLE_VALUE);
          return FailOpen(path, INVALID_HANDLE_VALUE);
        }
        break;
      case CREATE_ALWAYS:
      case OPEN_ALWAYS:
        fd = RetryOnEintr([&] { return open(path.c_str(), flags | O_CREAT | O_EXCL, mode); });
        if (fd < 0 && errno == EEXIST) {
          existed = true;
          fd = RetryOnEintr([&] { return open(path.c_str(), flags); });
          if (fd < 0 && errno == ENOENT) continue;  // deleted in between: try again
        }
        if (fd < 0) return FailOpen(path, INVALID_HANDLE_VALUE);
        break;
      case OPEN_EXISTING:
      case TRUNCATE_EXISTING:
        existed = true;
        fd = RetryOnEintr([&] { return open(path.c_str(), flags); });
        if (fd < 0) return FailOpen(path, INVALID_HANDLE_VALUE);
        break;
      default:
        return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    }

    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      close(fd);
      return Fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    }
    // Opened without blocking so that a FIFO planted at the path cannot hang us; a regular
    // file goes back to blocking I/O.
    (void)fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if ((shareMode & FILE_SHARE_DELETE) == 0 && !LockMarker(fd, kDeleteMarker, F_RDLCK, true)) {
      // Not every file system has these locks; the file works without delete protection.
      if (!LockUnsupported(errno)) {
        close(fd);
        return FailErrno(INVALID_HANDLE_VALUE);
      }
    }
    // A DeleteFileW may have unlinked the path while we waited for the lock.
    struct stat now {};
    if (stat(path.c_str(), &now) != 0 || now.st_ino != st.st_ino || now.st_dev != st.st_dev) {
      close(fd);
      if (creationDisposition == OPEN_EXISTING || creationDisposition == TRUNCATE_EXISTING)
        return Fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
      continue;
    }
    if (existed && (creationDisposition == CREATE_ALWAYS || creationDisposition == TRUNCATE_EXISTING)) {
      if (!ResizeUnmapped(fd, 0)) {
        DWORD err = GetLastError();
        close(fd);
        return Fail(err, INVALID_HANDLE_VALUE);
      }
    }
    HANDLE h = mhwin::InsertHandle(std::make_shared<File>(fd, desiredAccess, mhwin::IdOf(st), Prefaults(fd)));
    bool reportExisting =
        existed && (creationDisposition == OPEN_ALWAYS || creationDisposition == CREATE_ALWAYS);
    SetLastError(reportExisting ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
  }
  return Fail(ERROR_SHARING_VIOLATION, INVALID_HANDLE_VALUE);
}

DWORD GetFileSize(HANDLE file, LPDWORD fileSizeHigh) {
  auto f = mhwin::Lookup<File>(file, mhwin::Kind::File);
  if (!f) return Fail(ERROR_INVALID_HANDLE, INVALID_FILE_SIZE);
  struct stat st {};
  if (fstat(f->fd, &st) != 0) return FailErrno(INVALID_FILE_SIZE);
  auto size = static_cast<std::uint64_t>(st.st_size);
  if (fileSizeHigh) *fileSizeHigh = static_cast<DWORD>(size >> 32);
  // 0xFFFFFFFF can be a valid low part: success must say so.
  SetLastError(NO_ERROR);
  return static_cast<DWORD>(size);
}

DWORD SetFilePointer(HANDLE file, LONG distanceToMove, PLONG distanceToMoveHigh, DWORD moveMethod) {
  auto f = mhwin::Lookup<File>(file, mhwin::Kind::File);
  if (!f) return Fail(ERROR_INVALID_HANDLE, INVALID_SET_FILE_POINTER);
  std::int64_t distance =
      distanceToMoveHigh ? static_cast<std::int64_t>(
                               (static_cast<std::uint64_t>(static_cast<DWORD>(*distanceToMoveHigh)) << 32) |
                               static_cast<DWORD>(distanceToMove))
                         : static_cast<std::int64_t>(distanceToMove);
  int whence = moveMethod == FILE_BEGIN     ? SEEK_SET
               : moveMethod == FILE_CURRENT ? SEEK_CUR
               : moveMethod == FILE_END     ? SEEK_END
                                            : -1;
  if (whence < 0) return Fail(ERROR_INVALID_PARAMETER, INVALID_SET_FILE_POINTER);
  off_t base = whence == SEEK_SET ? 0 : lseek(f->fd, 0, whence);
  if (base < 0) return FailErrno(INVALID_SET_FILE_POINTER);
  if (static_cast<std::int64_t>(base) + distance < 0)
    return Fail(ERROR_NEGATIVE_SEEK, INVALID_SET_FILE_POINTER);
  off_t pos = lseek(f->fd, static_cast<off_t>(base + distance), SEEK_SET);
  if (pos < 0) return FailErrno(INVALID_SET_FILE_POINTER);
  if (distanceToMoveHigh) *distanceToMoveHigh = static_cast<LONG>(static_cast<std::uint64_t>(pos) >> 32);
  SetLastError(NO_ERROR);
  return static_cast<DWORD>(static_cast<std::uint64_t>(pos));
}

BOOL SetEndOfFile(HANDLE file) {
  auto f = mhwin::Lookup<File>(file, mhwin::Kind::File);
  if (!f) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if ((f->access & GENERIC_WRITE) == 0) return Fail(ERROR_ACCESS_DENIED, FALSE);
  off_t pos = lseek(f->fd, 0, SEEK_CUR);
  if (pos < 0) return FailErrno(FALSE);
  return ResizeUnmapped(f->fd, pos) ? TRUE : FALSE;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead, LPVOID) {
  auto f = mhwin::Lookup<File>(file, mhwin::Kind::File);
  if (bytesRead) *bytesRead = 0;
  if (!f) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if ((f->access & GENERIC_READ) == 0) return Fail(ERROR_ACCESS_DENIED, FALSE);
  ssize_t n = RetryOnEintr([&] { return read(f->fd, buffer, bytesToRead); });
  if (n < 0) return FailErrno(FALSE);
  if (bytesRead) *bytesRead = static_cast<DWORD>(n);
  return TRUE;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten, LPVOID) {
  auto f = mhwin::Lookup<File>(file, mhwin::Kind::File);
  if (bytesWritten) *bytesWritten = 0;
  if (!f) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if ((f->access & GENERIC_WRITE) == 0) return Fail(ERROR_ACCESS_DENIED, FALSE);
  DWORD done = 0;
  while (done < bytesToWrite) {
    ssize_t n = RetryOnEintr(
        [&] { return write(f->fd, static_cast<const char*>(buffer) + done, bytesToWrite - done); });
    if (n <= 0) {
      if (bytesWritten) *bytesWritten = done;
      if (n == 0) return Fail(ERROR_DISK_FULL, FALSE);  // no progress: never spin
      return FailErrno(FALSE);
    }
    done += static_cast<DWORD>(n);
  }
  if (bytesWritten) *bytesWritten = done;
  return TRUE;
}

BOOL DeleteFileW(LPCWSTR fileName) {
  if (fileName == nullptr || fileName[0] == 0) return Fail(ERROR_PATH_NOT_FOUND, FALSE);
  const std::string path = PathOf(fileName);
  int fd = RetryOnEintr([&] { return open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK); });
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return FailOpen(path, FALSE);
    // Not ours to open (a link, or no write permission): nothing of ours can hold it.
    if (RetryOnEintr([&] { return unlink(path.c_str()); }) != 0) return FailOpen(path, FALSE);
    return TRUE;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    close(fd);
    return Fail(ERROR_ACCESS_DENIED, FALSE);
  }
  // Windows refuses to delete an open file (32) and a mapped one (5). A file system without
  // these locks cannot tell: the file is deleted unprotected.
  const struct {
    off_t marker;
    DWORD error;
  } holders[] = {{kDeleteMarker, ERROR_SHARING_VIOLATION}, {kMapMarker, ERROR_ACCESS_DENIED}};
  for (const auto& h : holders) {
    if (LockMarker(fd, h.marker, F_WRLCK, false)) continue;
    int err = errno;
    if (err == EAGAIN || err == EACCES) {
      close(fd);
      return Fail(h.error, FALSE);
    }
    if (LockUnsupported(err)) break;
    close(fd);
    errno = err;
    return FailErrno(FALSE);
  }
  int rc = RetryOnEintr([&] { return unlink(path.c_str()); });
  int err = errno;
  close(fd);
  if (rc != 0) {
    errno = err;
    return FailErrno(FALSE);
  }
  return TRUE;
}
