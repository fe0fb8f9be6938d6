// Internal to the Win32 file calls on POSIX: what files (win32_posix_file.cpp), sections
// (win32_posix_section.cpp) and views (win32_posix_view.cpp) share.
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
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <memory>
#include <mutex>

#include "win32/win32_posix_internal.h"

namespace mhwin {

constexpr off_t kMapMarker = LLONG_MAX - 2;
constexpr off_t kDeleteMarker = LLONG_MAX - 3;
constexpr off_t kResizeMarker = LLONG_MAX - 4;

// One byte lock on a marker; wait=false fails at once with EAGAIN when another holds it.
bool LockMarker(int fd, off_t marker, short type, bool wait);
// A new open file description of the file behind fd (a dup would share fd's locks).
int ReopenDescription(int fd, int flags);
// A lock that file systems without these locks cannot give: the file works unprotected.
inline bool LockUnsupported(int err) {
  return err == EINVAL || err == ENOLCK || err == EOPNOTSUPP;
}

// Which file a section or a parked view maps: a parked view may be taken up by a section of the
// same file only.
struct FileId {
  dev_t dev = 0;
  ino_t ino = 0;
  bool operator==(const FileId&) const = default;
};

inline FileId IdOf(const struct stat& st) {
  return FileId{st.st_dev, st.st_ino};
}

// Counts the handles open per file (views): a view is parked only while its file is open here.
void FileOpened(FileId id);
void FileClosed(FileId id);

// A description of the file that holds no lock, which views map. The kernel keeps a mapped
// description (and any lock on it) alive as long as the mapping: mapping the section's own
// description would let a view kept for re-use (below) hold the file's map lock.
struct Descriptor {
  explicit Descriptor(int f) : fd(f) {}
  ~Descriptor();
  const int fd;
};

struct File : Object {
  File(int f, DWORD a, FileId i, bool p);
  ~File() override;
  // Opened with the first section of this handle.
  std::shared_ptr<Descriptor> MapSource();
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
  ~Section();
  const int fd;
  const std::shared_ptr<Descriptor> source;
  const std::uint64_t size;
  const bool writable;
  const bool prefault;
  const FileId id;
};

struct Mapping : Object {
  explicit Mapping(std::shared_ptr<Section> s) : Object(Kind::Mapping), section(std::move(s)) {}
  std::shared_ptr<Section> section;
};

}  // namespace mhwin
