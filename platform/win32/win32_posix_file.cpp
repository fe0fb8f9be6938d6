// Files, sections and views on POSIX with Windows' semantics.
//
// Two open-file-description locks stand in for what Windows enforces in the kernel; each
// sits on a marker byte far past any data, so it never touches a real byte range:
//   kMapMarker    - every section holds it shared on a description of its own (not a dup),
//                   for as long as the section or any of its views lives. Shrinking a file
//                   first takes it exclusively, without waiting: if that fails some process
//                   still maps the file and the shrink is refused with 1224, because on Linux
//                   that process would otherwise die of SIGBUS.
//   kDeleteMarker - every file handle opened without FILE_SHARE_DELETE holds it shared;
//                   DeleteFileW takes it exclusively without waiting, or fails with 32.
//                   Otherwise a peer's OPEN_ALWAYS would create a new file while the other
//                   side keeps the old inode.
//   kResizeMarker - taken exclusively (waiting) around every size change, so that a peer's
//                   extension can never be undone by a concurrent SetEndOfFile that read the
//                   size before it, nor by our cutting back a failed extension.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#if defined(__linux__)
#include <linux/magic.h>
#include <sys/vfs.h>
#endif
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "dbg/dbg_log.h"
#include "win32/win32_posix_internal.h"

namespace {

constexpr off_t kMapMarker = LLONG_MAX - 2;
constexpr off_t kDeleteMarker = LLONG_MAX - 3;
constexpr off_t kResizeMarker = LLONG_MAX - 4;

using mhwin::Fail;
using mhwin::FailErrno;
using mhwin::Retry;

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

// One byte lock on a marker; wait=false fails at once with EAGAIN when another holds it.
bool LockMarker(int fd, off_t marker, short type, bool wait) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = marker;
  fl.l_len = 1;
  int cmd = wait ? F_OFD_SETLKW : F_OFD_SETLK;
  return Retry([&] { return fcntl(fd, cmd, &fl); }) == 0;
}

// A new open file description of the file behind fd (a dup would share fd's locks).
int ReopenDescription(int fd, int flags) {
  std::string self = "/proc/self/fd/" + std::to_string(fd);
  return Retry([&] { return open(self.c_str(), flags | O_CLOEXEC); });
}

// Which file a section or a parked view maps: a parked view may be taken up by a section of the
// same file only.
struct FileId {
  dev_t dev = 0;
  ino_t ino = 0;
  bool operator==(const FileId&) const = default;
};

FileId IdOf(const struct stat& st) {
  return FileId{st.st_dev, st.st_ino};
}

void FileOpened(FileId id);
void FileClosed(FileId id);

// A description of the file that holds no lock, which views map. The kernel keeps a mapped
// description (and any lock on it) alive as long as the mapping: mapping the section's own
// description would let a view kept for re-use (below) hold the file's map lock.
struct Descriptor {
  explicit Descriptor(int f) : fd(f) {}
  ~Descriptor() { close(fd); }
  const int fd;
};

struct File : mhwin::Object {
  File(int f, DWORD a, FileId i, bool p) : Object(mhwin::Kind::File), fd(f), access(a), id(i), prefault(p) {
    FileOpened(id);
  }
  ~File() override {
    FileClosed(id);
    close(fd);
  }
  // Opened with the first section of this handle.
  std::shared_ptr<Descriptor> MapSource() {
    std::lock_guard lock(mapSourceMutex);
    if (!mapSource) {
      int d = ReopenDescription(fd, (access & GENERIC_WRITE) != 0 ? O_RDWR : O_RDONLY);
      if (d >= 0) mapSource = std::make_shared<Descriptor>(d);
    }
    return mapSource;
  }
  const int fd;
  const DWORD access;
  const FileId id;
  const bool prefault;  // asked once per handle: the file system does not change under it

 private:
  std::mutex mapSourceMutex;
  std::shared_ptr<Descriptor> mapSource;
};

// The section: its own description holding kMapMarker shared until the last view is gone, and
// the description its views map.
struct Section {
  Section(int f, std::shared_ptr<Descriptor> src, std::uint64_t s, bool w, bool p, FileId i)
      : fd(f), source(std::move(src)), size(s), writable(w), prefault(p), id(i) {}
  ~Section() { close(fd); }
  const int fd;
  const std::shared_ptr<Descriptor> source;
  const std::uint64_t size;
  const bool writable;
  const bool prefault;
  const FileId id;
};

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

struct Mapping : mhwin::Object {
  explicit Mapping(std::shared_ptr<Section> s) : Object(mhwin::Kind::Mapping), section(std::move(s)) {}
  std::shared_ptr<Section> section;
};

struct View {
  std::size_t length;
  std::uint64_t offset;
  int prot;
  std::shared_ptr<Section> section;
};

// A view just unmapped, kept in memory for the next view of the same file: re-mapping a view to
// a new length (a resource's view follows its data, so the message road does it for every large
// message) then keeps the pages both lengths share instead of faulting them all in again, which
// on a plain tmpfs costs microseconds a page. Its memory is never touched while parked, and it
// holds no lock: the file may be shrunk or deleted under it as under no view at all (shrinking
// drops its pages; a later view is made only after its section has allocated the file as far as
// it reaches). It is dropped for good when the last handle of the file here closes, and when
// newer views push it out.
struct ParkedView {
  void* addr;
  std::size_t length;
  std::uint64_t offset;
  int prot;
  FileId id;
};

constexpr std::size_t kMaxParkedViews = 4;

struct Views {
  std::mutex mutex;
  std::map<const void*, View> byAddress;
  std::vector<ParkedView> parked;  // oldest first
  // Handles open per file: a view is parked only while the file is open here, since only then
  // can a view of it be made again.
  std::map<std::pair<dev_t, ino_t>, int> openFiles;
};

Views& TheViews() {
  static Views* views = new Views;
  return *views;
}

void DropParkedViews(FileId id);

void FileOpened(FileId id) {
  Views& v = TheViews();
  std::lock_guard lock(v.mutex);
  ++v.openFiles[{id.dev, id.ino}];
}

// The last handle of a file closes: nothing of this process holds the file mapped any more, as
// on Windows, where a closed view is gone for good.
void FileClosed(FileId id) {
  {
    Views& v = TheViews();
    std::lock_guard lock(v.mutex);
    auto it = v.openFiles.find({id.dev, id.ino});
    if (it == v.openFiles.end() || --it->second > 0) return;
    v.openFiles.erase(it);
  }
  DropParkedViews(id);
}

// Drops every parked view of the file.
void DropParkedViews(FileId id) {
  Views& v = TheViews();
  std::lock_guard lock(v.mutex);
  std::erase_if(v.parked, [&](const ParkedView& pv) {
    if (!(pv.id == id)) return false;
    munmap(pv.addr, pv.length);
    return true;
  });
}

// Fills the page tables of [from, to) of a view in one pass; where the kernel cannot, the pages
// fault in as they are touched.
void Populate(void* view, std::size_t from, std::size_t to, bool write) {
#if defined(MADV_POPULATE_WRITE)
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  from = (from + page - 1) / page * page;
  if (from >= to) return;
  (void)madvise(static_cast<char*>(view) + from, to - from, write ? MADV_POPULATE_WRITE : MADV_POPULATE_READ);
#else
  (void)view, (void)from, (void)to, (void)write;
#endif
}

int OpenFlags(DWORD access) {
  // A write handle is opened read-write too: the shared delete lock is a read lock, which
  // needs a readable description. ReadFile checks the access asked for instead.
  int mode = (access & GENERIC_WRITE) != 0 ? O_RDWR : O_RDONLY;
  return mode | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
}

// A lock that file systems without these locks cannot give: the file works unprotected.
bool LockUnsupported(int err) {
  return err == EINVAL || err == ENOLCK || err == EOPNOTSUPP;
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
  if (newSize != st.st_size && Retry([&] { return ftruncate(probe, newSize); }) != 0) return fail(errno);
  close(probe);
  return true;
}

// Allocates [from, size) for real; extends the file when it is shorter, never shrinks it.
// A file without holes needs only its new tail: allocating from 0 again would cost time in
// proportion to the whole file on every growth step.
int AllocateRange(int fd, std::uint64_t from, std::uint64_t size) {
  int rc = Retry([&] { return fallocate(fd, 0, static_cast<off_t>(from), static_cast<off_t>(size - from)); });
  if (rc != 0 && errno == EOPNOTSUPP) {
    // A file system without fallocate: extend sparsely, never shrinking.
    struct stat st {};
    if (fstat(fd, &st) != 0) return -1;
    if (static_cast<std::uint64_t>(st.st_size) >= size) return 0;
    rc = Retry([&] { return ftruncate(fd, static_cast<off_t>(size)); });
  }
  return rc;
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
        fd = Retry([&] { return open(path.c_str(), flags | O_CREAT | O_EXCL, mode); });
        if (fd < 0) {
          if (errno == EEXIST) return Fail(ERROR_FILE_EXISTS, INVALID_HANDLE_VALUE);
          return FailOpen(path, INVALID_HANDLE_VALUE);
        }
        break;
      case CREATE_ALWAYS:
      case OPEN_ALWAYS:
        fd = Retry([&] { return open(path.c_str(), flags | O_CREAT | O_EXCL, mode); });
        if (fd < 0 && errno == EEXIST) {
          existed = true;
          fd = Retry([&] { return open(path.c_str(), flags); });
          if (fd < 0 && errno == ENOENT) continue;  // deleted in between: try again
        }
        if (fd < 0) return FailOpen(path, INVALID_HANDLE_VALUE);
        break;
      case OPEN_EXISTING:
      case TRUNCATE_EXISTING:
        existed = true;
        fd = Retry([&] { return open(path.c_str(), flags); });
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
    HANDLE h = mhwin::InsertHandle(std::make_shared<File>(fd, desiredAccess, IdOf(st), Prefaults(fd)));
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
  ssize_t n = Retry([&] { return read(f->fd, buffer, bytesToRead); });
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
    ssize_t n =
        Retry([&] { return write(f->fd, static_cast<const char*>(buffer) + done, bytesToWrite - done); });
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
  int fd = Retry([&] { return open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK); });
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return FailOpen(path, FALSE);
    // Not ours to open (a link, or no write permission): nothing of ours can hold it.
    if (Retry([&] { return unlink(path.c_str()); }) != 0) return FailOpen(path, FALSE);
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
  int rc = Retry([&] { return unlink(path.c_str()); });
  int err = errno;
  close(fd);
  if (rc != 0) {
    errno = err;
    return FailErrno(FALSE);
  }
  return TRUE;
}

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
      (void)Retry([&] { return ftruncate(fd, static_cast<off_t>(fileSize)); });
    return fail(mhwin::ErrnoToWin32(err));
  }
  // Releasing the resize lock keeps the map lock: they are different bytes.
  if (resizeLocked) (void)LockMarker(fd, kResizeMarker, F_UNLCK, false);
  auto source = f->MapSource();
  if (!source) return fail(mhwin::ErrnoToWin32(errno));
  auto section = std::make_shared<Section>(fd, std::move(source), maximum, writable, f->prefault, IdOf(st));
  return mhwin::InsertHandle(std::make_shared<Mapping>(std::move(section)));
}

LPVOID MapViewOfFileEx(HANDLE fileMapping, DWORD desiredAccess, DWORD fileOffsetHigh, DWORD fileOffsetLow,
                       SIZE_T numberOfBytesToMap, LPVOID baseAddress) {
  LPVOID none = nullptr;
  auto m = mhwin::Lookup<Mapping>(fileMapping, mhwin::Kind::Mapping);
  if (!m) return Fail(ERROR_INVALID_HANDLE, none);
  const Section& s = *m->section;
  std::uint64_t offset = (static_cast<std::uint64_t>(fileOffsetHigh) << 32) | fileOffsetLow;
  SYSTEM_INFO si;
  GetSystemInfo(&si);
  if (offset % si.dwAllocationGranularity != 0) return Fail(mhwin::ERROR_MAPPED_ALIGNMENT, none);
  if (offset >= s.size) return Fail(ERROR_ACCESS_DENIED, none);
  std::uint64_t length = numberOfBytesToMap == 0 ? s.size - offset : numberOfBytesToMap;
  // A view never reaches past its section.
  if (length > s.size - offset) return Fail(ERROR_ACCESS_DENIED, none);
  bool write = (desiredAccess & FILE_MAP_WRITE) != 0;
  if (write && !s.writable) return Fail(ERROR_ACCESS_DENIED, none);
  int prot = PROT_READ | (write ? PROT_WRITE : 0);
  Views& v = TheViews();
  std::unique_lock lock(v.mutex);
  void* p = MAP_FAILED;
  if (baseAddress == nullptr) {
    auto it = std::find_if(v.parked.rbegin(), v.parked.rend(), [&](const ParkedView& pv) {
      return pv.id == s.id && pv.offset == offset && pv.prot == prot;
    });
    if (it != v.parked.rend()) {
      ParkedView pv = *it;
      v.parked.erase(std::next(it).base());
      // The pages of the shared length stay mapped; the new section has allocated the file
      // as far as the new length reaches.
      p = pv.length == length ? pv.addr
                              : mremap(pv.addr, pv.length, static_cast<size_t>(length), MREMAP_MAYMOVE);
      if (p == MAP_FAILED)
        munmap(pv.addr, pv.length);
      else if (s.prefault && length > pv.length)
        Populate(p, pv.length, static_cast<std::size_t>(length), write);
    }
  }
  if (p == MAP_FAILED) {
    lock.unlock();
    int flags = MAP_SHARED | (baseAddress ? MAP_FIXED_NOREPLACE : 0) | (s.prefault ? MAP_POPULATE : 0);
    p = mmap(baseAddress, static_cast<size_t>(length), prot, flags, s.source->fd, static_cast<off_t>(offset));
    if (p == MAP_FAILED) {
      if (errno == EEXIST) return Fail(ERROR_INVALID_ADDRESS, none);
      return FailErrno(none);
    }
    if (baseAddress && p != baseAddress) {
      munmap(p, static_cast<size_t>(length));
      return Fail(ERROR_INVALID_ADDRESS, none);
    }
    lock.lock();
  }
  v.byAddress[p] = View{static_cast<std::size_t>(length), offset, prot, m->section};
  return p;
}

LPVOID MapViewOfFile(HANDLE fileMapping, DWORD desiredAccess, DWORD fileOffsetHigh, DWORD fileOffsetLow,
                     SIZE_T numberOfBytesToMap) {
  return MapViewOfFileEx(fileMapping, desiredAccess, fileOffsetHigh, fileOffsetLow, numberOfBytesToMap,
                         nullptr);
}

BOOL UnmapViewOfFile(LPCVOID baseAddress) {
  std::shared_ptr<Section> keep;  // released after the view's lock is dropped
  Views& v = TheViews();
  std::lock_guard lock(v.mutex);
  auto it = v.byAddress.find(baseAddress);
  if (it == v.byAddress.end()) return Fail(ERROR_INVALID_ADDRESS, FALSE);
  View& view = it->second;
  const FileId id = view.section->id;
  // Only a file still open here can be mapped again.
  if (v.openFiles.count({id.dev, id.ino}) == 0) {
    if (munmap(const_cast<void*>(baseAddress), view.length) != 0) return FailErrno(FALSE);
  } else {
    if (v.parked.size() == kMaxParkedViews) {
      munmap(v.parked.front().addr, v.parked.front().length);
      v.parked.erase(v.parked.begin());
    }
    v.parked.push_back(ParkedView{const_cast<void*>(baseAddress), view.length, view.offset, view.prot, id});
  }
  keep = std::move(view.section);
  v.byAddress.erase(it);
  return TRUE;
}

BOOL FlushViewOfFile(LPCVOID baseAddress, SIZE_T numberOfBytesToFlush) {
  Views& v = TheViews();
  std::lock_guard lock(v.mutex);
  auto it = v.byAddress.upper_bound(baseAddress);
  if (it == v.byAddress.begin()) return Fail(ERROR_INVALID_ADDRESS, FALSE);
  --it;
  auto start = reinterpret_cast<std::uintptr_t>(it->first);
  auto addr = reinterpret_cast<std::uintptr_t>(baseAddress);
  if (addr >= start + it->second.length) return Fail(ERROR_INVALID_ADDRESS, FALSE);
  std::size_t length = numberOfBytesToFlush == 0 ? start + it->second.length - addr : numberOfBytesToFlush;
  long page = sysconf(_SC_PAGESIZE);
  std::uintptr_t aligned = addr & ~static_cast<std::uintptr_t>(page - 1);
  if (msync(reinterpret_cast<void*>(aligned), length + (addr - aligned), MS_SYNC) != 0)
    return FailErrno(FALSE);
  return TRUE;
}
